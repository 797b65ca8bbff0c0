// The simulated USB bus, driven the way a client driver drives the hub's PDO: synchronous URBs
// through IoBuildDeviceIoControlRequest and a 5-second wait, asynchronous ones from IRPs the
// driver allocates, with completion routines.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/io.h"
#include "host/kernel.h"
#include "host/testing.h"
#include "host/usb_bus.h"
#include "host/usbmon.h"

namespace host::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A small device: descriptors, a 256-byte vendor register file (0xF0 reads, 0xF1 writes), and
// a bulk loopback from endpoint 0x02 to 0x81.
class FakeDevice : public UsbDevice {
  public:
    UsbPort* port = nullptr;
    std::array<std::uint8_t, 256> regs{};
    std::vector<SetupPacket> controls;
    std::vector<Bytes> bulkOuts;
    std::deque<Bytes> loopback;
    std::size_t posted = 0;
    std::size_t shortReads = 0; // answer the next vendor reads with one byte less
    int resets = 0;
    int detaches = 0;
    bool remoteWake = false;

    Bytes device = {18,   1,    0x10, 0x01, 0xFF, 0xFF, 0xFF, 8, 0x34,
                    0x12, 0x78, 0x56, 0x01, 0x01, 0,    0,    0, 1};
    Bytes config = {9, 2, 39,   0, 1,  1,    0,    0xA0, 50, // configuration
                    9, 4, 0,    0, 3,  0xFF, 0xFF, 0,    0,  // interface 0
                    7, 5, 0x81, 2, 64, 0,    0,              // bulk in
                    7, 5, 0x02, 2, 64, 0,    0,              // bulk out
                    7, 5, 0x83, 3, 8,  0,    1};             // interrupt in

    void attach(UsbPort& p) override { port = &p; }
    void detach() override { ++detaches; }
    void portReset() override { ++resets; }

    Outcome control(const SetupPacket& s, std::span<std::uint8_t> data,
                    std::size_t& actual) override {
        controls.push_back(s);
        auto answer = [&](const Bytes& bytes) {
            actual = std::min<std::size_t>(bytes.size(), s.wLength);
            std::copy_n(bytes.begin(), actual, data.begin());
            return Outcome::Ok;
        };
        switch ((s.bmRequestType >> 5) & 3) {
        case 0: // standard
            switch (s.bRequest) {
            case 6:
                if (s.wValue >> 8 == 1) {
                    return answer(device);
                }
                return s.wValue >> 8 == 2 ? answer(config) : Outcome::Stall;
            case 0:
                return answer({static_cast<std::uint8_t>(remoteWake ? 2 : 0), 0});
            case 1:
            case 3:
                if (s.wValue == 1 && s.bmRequestType == 0) {
                    remoteWake = s.bRequest == 3;
                }
                return Outcome::Ok;
            case 9:
                return Outcome::Ok;
            }
            return Outcome::Stall;
        case 2: // vendor
            if (s.bRequest == 0xF0 && s.isIn()) {
                std::size_t n = s.wLength - (shortReads > 0 ? 1 : 0);
                shortReads -= shortReads > 0 ? 1 : 0;
                std::copy_n(regs.begin() + s.wIndex, n, data.begin());
                actual = n;
                return Outcome::Ok;
            }
            if (s.bRequest == 0xF1 && !s.isIn()) {
                std::copy(data.begin(), data.end(), regs.begin() + s.wIndex);
                return Outcome::Ok;
            }
            return Outcome::Stall;
        }
        return Outcome::Stall;
    }

    Outcome bulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override {
        bulkOuts.emplace_back(data.begin(), data.end());
        if (endpoint == 0x02) {
            loopback.emplace_back(data.begin(), data.end());
            deliver();
        }
        return Outcome::Ok;
    }

    void inPosted(const InRequest& request) override {
        ++posted;
        if (request.endpoint == 0x81) {
            deliver();
        }
    }

    void deliver() {
        while (!loopback.empty() && port->pendingIn(0x81) > 0) {
            port->completeIn(0x81, loopback.front());
            loopback.pop_front();
        }
    }
};

// The driver's synchronous channel: build, call, wait at most 5 seconds, cancel on timeout.
// Returns STATUS_SUCCESS when the request finished (whatever its outcome), STATUS_IO_TIMEOUT
// when it was cancelled, and the IRP's status block in `iosb`.
NTSTATUS submitSync(PDEVICE_OBJECT target, PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB,
                    IO_STATUS_BLOCK* iosbOut = nullptr, NTSTATUS* callStatus = nullptr) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(target, irp);
    if (callStatus != nullptr) {
        *callStatus = status;
    }
    NTSTATUS result = STATUS_SUCCESS;
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -50'000'000;
        if (KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            result = STATUS_IO_TIMEOUT;
        }
    } else {
        iosb.Status = status;
    }
    if (iosbOut != nullptr) {
        *iosbOut = iosb;
    }
    return result;
}

// An asynchronous request from a driver-allocated IRP; the completion routine records what it
// saw and frees the IRP.
struct Async {
    URB urb{};
    std::array<std::uint8_t, 64> buffer{};
    int calls = 0;
    NTSTATUS status = 0;
    BOOLEAN cancel = FALSE;
    BOOLEAN pendingReturned = FALSE;
    KIRQL irql = 0;
    Time when = -1;
    PIRP irp = nullptr;
    NTSTATUS callStatus = 0;

    static NTSTATUS NTAPI done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* a = static_cast<Async*>(context);
        ++a->calls;
        a->status = irp->IoStatus.Status;
        a->cancel = irp->Cancel;
        a->pendingReturned = irp->PendingReturned;
        a->irql = KeGetCurrentIrql();
        a->when = world().now();
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    NTSTATUS send(PDEVICE_OBJECT target, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp = IoAllocateIrp(static_cast<CCHAR>(target->StackSize + 1), FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, done, this, TRUE, TRUE, TRUE);
        callStatus = IofCallDriver(target, irp);
        return callStatus;
    }

    NTSTATUS bulk(PDEVICE_OBJECT target, USBD_PIPE_HANDLE pipe, const Bytes& out,
                  ULONG length = 0) {
        std::copy(out.begin(), out.end(), buffer.begin());
        UsbBuildInterruptOrBulkTransferRequest(
            &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer.data(), nullptr,
            out.empty() ? length : static_cast<ULONG>(out.size()),
            out.empty() ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
        return send(target);
    }
    Bytes received() const {
        return Bytes(buffer.begin(),
                     buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
};

class UsbBusTest : public host::testing::WorldTest {
  protected:
    UsbBusTest() { bus_.plug(device_); }

    PDEVICE_OBJECT pdo() { return bus_.pdo(); }

    // Registers: a vendor request as the driver builds it.
    NTSTATUS vendor(bool in, std::uint16_t index, std::uint8_t* data, std::uint16_t count,
                    ULONG extraFlags = 0, URB* urbOut = nullptr) {
        URB urb{};
        UsbBuildVendorRequest(
            &urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            (in ? USBD_TRANSFER_DIRECTION_IN : 0) | extraFlags, 0, in ? 0xF0 : 0xF1,
            count == 1 && !in ? data[0] : 0, index, data, nullptr, count, nullptr);
        NTSTATUS status = submitSync(pdo(), &urb);
        if (urbOut != nullptr) {
            *urbOut = urb;
        }
        return status;
    }

    // The configuration sequence of a client driver; leaves the pipe handles in pipes_.
    void configure() {
        URB urb{};
        USB_DEVICE_DESCRIPTOR dd{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &dd, nullptr, sizeof dd,
                                     nullptr);
        ASSERT_EQ(submitSync(pdo(), &urb), STATUS_SUCCESS);
        ASSERT_EQ(dd.idVendor, 0x1234);

        auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            ExAllocatePoolWithTag(NonPagedPool, 255, 0x74736554));
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, nullptr, 255,
                                     nullptr);
        ASSERT_EQ(submitSync(pdo(), &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 39u);

        PUSB_INTERFACE_DESCRIPTOR interface =
            USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        ASSERT_NE(interface, nullptr);
        USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
        PURB select = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_NE(select, nullptr);
        PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
        info->Pipes[0].MaximumTransferSize = 1536;
        info->Pipes[1].MaximumTransferSize = 1536;
        UsbBuildSelectConfigurationRequest(select, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3),
                                           config);
        ASSERT_EQ(submitSync(pdo(), select), STATUS_SUCCESS);
        ASSERT_EQ(select->UrbHeader.Status, USBD_STATUS_SUCCESS);
        ASSERT_EQ(info->NumberOfPipes, 3u);
        selectedInfo_.assign(reinterpret_cast<std::uint8_t*>(info),
                             reinterpret_cast<std::uint8_t*>(info) + info->Length);
        configHandle_ = select->UrbSelectConfiguration.ConfigurationHandle;
        for (int i = 0; i < 3; ++i) {
            pipes_[i] = info->Pipes[i].PipeHandle;
        }
        ExFreePool(select);
        ExFreePool(config);
    }

    const USBD_INTERFACE_INFORMATION& selected() const {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(selectedInfo_.data());
    }

    NTSTATUS pipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, URB* out = nullptr) {
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe;
        NTSTATUS s = submitSync(pdo(), &urb);
        if (out != nullptr) {
            *out = urb;
        }
        return s;
    }

    FakeDevice device_;
    Bus bus_;
    USBD_PIPE_HANDLE pipes_[3] = {};
    USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
    Bytes selectedInfo_;
};

// ---- what goes on the wire ---------------------------------------------------------------------

TEST_F(UsbBusTest, ConfigurationSequenceIsTheStandardRequests) {
    configure();
    URB urb{};
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           nullptr);
    ASSERT_EQ(submitSync(pdo(), &urb), STATUS_SUCCESS);
    std::uint8_t status[2] = {0xEE, 0xEE};
    UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, status, nullptr,
                             nullptr);
    ASSERT_EQ(submitSync(pdo(), &urb), STATUS_SUCCESS);
    EXPECT_EQ(status[0], 0);

    std::vector<std::string> expected = {
        "GET_DESCRIPTOR_FROM_DEVICE 80 06 0100 0000 0012 in 12011001ffffff0834127856010100000001 "
        "SUCCESS",
        "GET_DESCRIPTOR_FROM_DEVICE 80 06 0200 0000 00ff in 09022700010100a0320904000003ffff0000"
        "070581024000000705020240000007058303080001 SUCCESS",
        "SELECT_CONFIGURATION 00 09 0001 0000 0000 SUCCESS",
        "CLEAR_FEATURE_TO_DEVICE 00 01 0001 0000 0000 SUCCESS",
        "GET_STATUS_FROM_DEVICE 80 00 0000 0000 0002 in 0000 SUCCESS",
    };
    EXPECT_EQ(bus_.logText(), expected);
    EXPECT_TRUE(bus_.configured());

    // SELECT_CONFIGURATION filled the interface and its pipes from the descriptor.
    const USBD_INTERFACE_INFORMATION& info = selected();
    EXPECT_NE(info.InterfaceHandle, nullptr);
    EXPECT_NE(configHandle_, nullptr);
    EXPECT_EQ(info.Class, 0xFF);
    const std::uint8_t addresses[3] = {0x81, 0x02, 0x83};
    const USBD_PIPE_TYPE types[3] = {UsbdPipeTypeBulk, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
    const ULONG transferSizes[3] = {1536, 1536, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(info.Pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(info.Pipes[i].PipeType, types[i]);
        EXPECT_EQ(info.Pipes[i].MaximumPacketSize, i == 2 ? 8 : 64);
        EXPECT_EQ(info.Pipes[i].MaximumTransferSize, transferSizes[i]);
        EXPECT_NE(info.Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_EQ(info.Pipes[2].Interval, 1);
    EXPECT_NE(info.Pipes[0].PipeHandle, info.Pipes[1].PipeHandle);
}

TEST_F(UsbBusTest, VendorRequestsCarryTheirSetupPacketAndData) {
    for (int i = 0; i < 6; ++i) {
        device_.regs[0x10 + i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    std::uint8_t read[20] = {};
    URB urb{};
    ASSERT_EQ(vendor(true, 0x10, read, 6, 0, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 6u);
    EXPECT_EQ(Bytes(read, read + 7), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0}));

    std::uint8_t one = 0x5A;
    ASSERT_EQ(vendor(false, 0x7E, &one, 1), STATUS_SUCCESS);
    std::uint8_t four[4] = {1, 2, 3, 0x42};
    ASSERT_EQ(vendor(false, 0x25, four, 4), STATUS_SUCCESS);
    EXPECT_EQ(device_.regs[0x7E], 0x5A);
    EXPECT_EQ(device_.regs[0x28], 0x42);

    // A short answer without USBD_SHORT_TRANSFER_OK is an error, with it a shorter transfer.
    device_.shortReads = 2;
    ASSERT_EQ(vendor(true, 0x10, read, 6, 0, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
    ASSERT_EQ(vendor(true, 0x10, read, 6, USBD_SHORT_TRANSFER_OK, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 5u);

    // A request the device does not know: a protocol stall of the default pipe, which stays
    // usable.
    URB bad{};
    UsbBuildVendorRequest(&bad, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x99, 0, 0,
                          nullptr, nullptr, 0, nullptr);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(submitSync(pdo(), &bad, IOCTL_INTERNAL_USB_SUBMIT_URB, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(bad.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);

    EXPECT_EQ(bus_.logText(), (std::vector<std::string>{
                                  "VENDOR_DEVICE c0 f0 0000 0010 0006 in a0a1a2a3a4a5 SUCCESS",
                                  "VENDOR_DEVICE 40 f1 005a 007e 0001 out 5a SUCCESS",
                                  "VENDOR_DEVICE 40 f1 0000 0025 0004 out 01020342 SUCCESS",
                                  "VENDOR_DEVICE c0 f0 0000 0010 0006 in a0a1a2a3a4 DATA_UNDERRUN",
                                  "VENDOR_DEVICE c0 f0 0000 0010 0006 in a0a1a2a3a4 SUCCESS",
                                  "VENDOR_DEVICE 40 99 0000 0000 0000 STALL_PID",
                              }));
    ASSERT_EQ(vendor(true, 0x10, read, 1), STATUS_SUCCESS);
    EXPECT_EQ(bus_.log().back().status, USBD_STATUS_SUCCESS);
}

TEST_F(UsbBusTest, MalformedRequestsAreRejectedAtOnce) {
    URB urb{};
    urb.UrbHeader.Function = 0x0077;
    urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
    NTSTATUS call = 0;
    EXPECT_EQ(submitSync(pdo(), &urb, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, &call),
              STATUS_SUCCESS);
    EXPECT_EQ(call, STATUS_UNSUCCESSFUL); // not pended
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    Async bulk;
    int stale = 0;
    EXPECT_EQ(bulk.bulk(pdo(), &stale, {1, 2}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bulk.urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(bulk.calls, 1);

    Async ioctl;
    EXPECT_EQ(ioctl.send(pdo(), 0x00220123), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(device_.bulkOuts.empty());
}

// ---- timing, completion and cancel -------------------------------------------------------------

TEST_F(UsbBusTest, CompletesLaterInVirtualTimeOrInline) {
    configure();
    bus_.clearLog();
    Time t0 = world().now();
    Async out;
    ASSERT_EQ(out.bulk(pdo(), pipes_[1], {1, 2, 3}), STATUS_PENDING);
    EXPECT_EQ(out.calls, 0);
    EXPECT_TRUE(device_.bulkOuts.empty()); // not on the wire yet
    scheduler().runUntilIdle();
    EXPECT_EQ(out.calls, 1);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.when, t0 + kMillisecond);
    EXPECT_EQ(out.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(out.pendingReturned);
    EXPECT_EQ(out.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);

    // Bandwidth: a per-byte cost on top of the frame.
    bus_.timing().perByte = 10;
    Async big;
    t0 = world().now();
    ASSERT_EQ(big.bulk(pdo(), pipes_[1], Bytes(50, 7)), STATUS_PENDING);
    scheduler().runUntilIdle();
    EXPECT_EQ(big.when, t0 + kMillisecond + 500);

    // Inline: complete inside IofCallDriver and return the final status.
    bus_.timing().inlineCompletion = true;
    Async in;
    ASSERT_EQ(in.bulk(pdo(), pipes_[0], {}, 64), STATUS_SUCCESS);
    EXPECT_EQ(in.calls, 1);
    EXPECT_FALSE(in.pendingReturned);
    EXPECT_EQ(in.received(), (Bytes{1, 2, 3}));
    Async fail;
    bus_.addFault(Fault::failing({.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER}));
    EXPECT_EQ(fail.bulk(pdo(), pipes_[1], {9}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fail.calls, 1);
    EXPECT_EQ(fail.urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(device_.bulkOuts.size(), 2u);
}

TEST_F(UsbBusTest, CompletionRoutinesSeeSuccessErrorAndCancel) {
    configure();
    // Error: the device stalls a bulk transfer.
    bus_.addFault(Fault::stalling({.endpoint = 0x02}));
    Async stalled;
    ASSERT_EQ(stalled.bulk(pdo(), pipes_[1], {1}), STATUS_PENDING);
    scheduler().runUntilIdle();
    EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(stalled.cancel);
    EXPECT_EQ(stalled.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    // Cancel: a posted IN transfer waits for data until it is cancelled.
    Async waiting;
    ASSERT_EQ(waiting.bulk(pdo(), pipes_[0], {}, 64), STATUS_PENDING);
    scheduler().runFor(10 * kSecond);
    EXPECT_EQ(waiting.calls, 0);
    EXPECT_EQ(bus_.pendingIn(0x81), 1u);
    EXPECT_TRUE(IoCancelIrp(waiting.irp));
    EXPECT_EQ(waiting.calls, 1);
    EXPECT_EQ(waiting.status, STATUS_CANCELLED);
    EXPECT_TRUE(waiting.cancel);
    EXPECT_EQ(waiting.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus_.pendingIn(0x81), 0u);
    EXPECT_EQ(bus_.outstanding(), 0u);

    // A routine that asked only for errors is skipped on success; the I/O manager still signals
    // the caller's event.
    struct Seen {
        int calls = 0;
    } seen;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::uint8_t data[2];
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0xF0, 0, 0, data, nullptr, 2, nullptr);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo(), nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
            ++static_cast<Seen*>(context)->calls;
            return STATUS_SUCCESS;
        },
        &seen, FALSE, TRUE, TRUE);
    ASSERT_EQ(IofCallDriver(pdo(), irp), STATUS_PENDING);
    ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(seen.calls, 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(UsbBusTest, SynchronousWaitTimesOutAfterFiveSecondsAndCancels) {
    bus_.addFault(Fault::holding({.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0}));
    std::uint8_t read[2] = {0x11, 0x22};
    Time t0 = world().now();
    EXPECT_EQ(vendor(true, 0x7A, read, 2), STATUS_IO_TIMEOUT);
    EXPECT_EQ(world().now(), t0 + 5 * kSecond);
    EXPECT_EQ(bus_.outstanding(), 0u);
    ASSERT_EQ(bus_.log().size(), 1u);
    EXPECT_EQ(bus_.log()[0].status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus_.log()[0].irpStatus, STATUS_CANCELLED);
    EXPECT_EQ(bus_.log()[0].completed, t0 + 5 * kSecond);
    EXPECT_EQ(read[0], 0x11); // nothing landed
    EXPECT_TRUE(device_.controls.size() == 0 || device_.controls.back().bRequest != 0xF0);

    // Just inside the limit is a success.
    bus_.addFault(Fault::delaying({.bRequest = 0xF0}, 4900 * kMillisecond - kMillisecond));
    device_.regs[0x7A] = 0x77;
    t0 = world().now();
    EXPECT_EQ(vendor(true, 0x7A, read, 2), STATUS_SUCCESS);
    EXPECT_EQ(world().now(), t0 + 4900 * kMillisecond);
    EXPECT_EQ(read[0], 0x77);
}

// ---- pipes -------------------------------------------------------------------------------------

TEST_F(UsbBusTest, AbortPipeCancelsItsTransfersFirst) {
    configure();
    bus_.clearLog();
    std::array<Async, 3> ins;
    for (Async& a : ins) {
        ASSERT_EQ(a.bulk(pdo(), pipes_[0], {}, 64), STATUS_PENDING);
    }
    Async out; // on the other pipe: untouched
    ASSERT_EQ(out.bulk(pdo(), pipes_[1], {5}), STATUS_PENDING);
    EXPECT_EQ(bus_.pendingIn(0x81), 3u);

    ASSERT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_[0]), STATUS_SUCCESS);
    Time abortDone = bus_.log().back().completed;
    for (Async& a : ins) {
        EXPECT_EQ(a.status, STATUS_CANCELLED);
        EXPECT_EQ(a.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_LE(a.when, abortDone);
    }
    EXPECT_EQ(bus_.pendingIn(0x81), 0u);
    EXPECT_FALSE(device_.port->completeIn(0x81, Bytes{1}));
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(bus_.logText(), (std::vector<std::string>{
                                  "BULK_OR_INTERRUPT_TRANSFER 81 CANCELED",
                                  "BULK_OR_INTERRUPT_TRANSFER 81 CANCELED",
                                  "BULK_OR_INTERRUPT_TRANSFER 81 CANCELED",
                                  "BULK_OR_INTERRUPT_TRANSFER 02 out 05 SUCCESS",
                                  "ABORT_PIPE 81 SUCCESS",
                              }));
}

TEST_F(UsbBusTest, HaltedEndpointNeedsResetPipe) {
    configure();
    bus_.addFault(Fault::stalling({.endpoint = 0x02}));
    Async first, second, third;
    first.bulk(pdo(), pipes_[1], {1});
    scheduler().runUntilIdle();
    EXPECT_TRUE(bus_.halted(0x02));
    second.bulk(pdo(), pipes_[1], {2});
    scheduler().runUntilIdle();
    EXPECT_EQ(second.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_TRUE(device_.bulkOuts.empty());

    device_.controls.clear();
    bus_.clearLog();
    URB reset{};
    ASSERT_EQ(pipeRequest(URB_FUNCTION_RESET_PIPE, pipes_[1], &reset), STATUS_SUCCESS);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(device_.controls.size(), 1u);
    EXPECT_EQ(device_.controls[0].bytes(), (Bytes{0x02, 0x01, 0, 0, 0x02, 0, 0, 0}));
    EXPECT_FALSE(bus_.halted(0x02));
    third.bulk(pdo(), pipes_[1], {3});
    scheduler().runUntilIdle();
    EXPECT_EQ(third.status, STATUS_SUCCESS);
    EXPECT_EQ(device_.bulkOuts, (std::vector<Bytes>{{3}}));
    EXPECT_EQ(bus_.logText()[0], "RESET_PIPE 02 01 0000 0002 0000 SUCCESS");
}

TEST_F(UsbBusTest, BulkInTakesWhatTheDeviceDelivers) {
    configure();
    Async in, small;
    ASSERT_EQ(in.bulk(pdo(), pipes_[0], {}, 64), STATUS_PENDING);
    ASSERT_EQ(small.bulk(pdo(), pipes_[0], {}, 2), STATUS_PENDING);
    Async out;
    out.bulk(pdo(), pipes_[1], {10, 11, 12});
    scheduler().runUntilIdle();
    EXPECT_EQ(in.status, STATUS_SUCCESS);
    EXPECT_EQ(in.received(), (Bytes{10, 11, 12}));
    EXPECT_EQ(small.calls, 0);
    device_.port->completeIn(0x81, Bytes{1, 2, 3});
    scheduler().runUntilIdle();
    EXPECT_EQ(small.urb.UrbHeader.Status, USBD_STATUS_BUFFER_OVERRUN);
    EXPECT_EQ(small.status, STATUS_UNSUCCESSFUL);

    // A pipe from a configuration that is gone is no pipe.
    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(struct _URB_SELECT_CONFIGURATION),
                                       nullptr);
    ASSERT_EQ(submitSync(pdo(), &unconfigure), STATUS_SUCCESS);
    EXPECT_FALSE(bus_.configured());
    Async stale;
    stale.bulk(pdo(), pipes_[1], {1});
    EXPECT_EQ(stale.urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// A receive loop: each completion routine posts the next IN transfer on the same IRP, the way a
// driver keeps its bulk-in pipe busy. The bus must be done with the IRP before it completes it.
struct Receiver {
    PDEVICE_OBJECT target = nullptr;
    USBD_PIPE_HANDLE pipe = nullptr;
    URB urb{};
    std::array<std::uint8_t, 64> buffer{};
    std::vector<Bytes> frames;
    int left = 0;
    PIRP irp = nullptr;

    void post() {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        UsbBuildInterruptOrBulkTransferRequest(
            &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer.data(), nullptr,
            sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        IoSetCompletionRoutine(irp, done, this, TRUE, TRUE, TRUE);
        IofCallDriver(target, irp);
    }
    static NTSTATUS NTAPI done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* r = static_cast<Receiver*>(context);
        if (irp->IoStatus.Status == STATUS_SUCCESS) {
            r->frames.emplace_back(r->buffer.begin(),
                                   r->buffer.begin() +
                                       r->urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        }
        if (irp->IoStatus.Status == STATUS_SUCCESS && --r->left > 0) {
            IoInitializeIrp(irp, irp->Size, irp->StackCount);
            r->post();
        } else {
            IoFreeIrp(irp);
            r->irp = nullptr;
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST_F(UsbBusTest, CompletionRoutinesMayResubmitTheIrp) {
    configure();
    for (bool inlineCompletion : {false, true}) {
        bus_.timing().inlineCompletion = inlineCompletion;
        for (std::uint8_t i = 0; i < 4; ++i) {
            device_.loopback.push_back(Bytes(i + 1u, i));
        }
        Receiver r{pdo(), pipes_[0]};
        r.left = 5;
        r.irp = IoAllocateIrp(static_cast<CCHAR>(pdo()->StackSize + 1), FALSE);
        r.post();
        scheduler().runUntilIdle();
        EXPECT_EQ(r.frames, (std::vector<Bytes>{{0}, {1, 1}, {2, 2, 2}, {3, 3, 3, 3}}));
        EXPECT_EQ(bus_.pendingIn(0x81), 1u); // the fifth waits for data
        ASSERT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_[0]), STATUS_SUCCESS);
        EXPECT_EQ(r.irp, nullptr);
    }
}

// ---- faults, unplug, port cycle ----------------------------------------------------------------

TEST_F(UsbBusTest, FaultRulesPickTheirRequests) {
    std::uint8_t b[2] = {};
    URB urb{};
    // The 3rd register read, twice; reads of another index do not count.
    std::size_t f = bus_.addFault(Fault::failing(
        {.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0, .wIndex = 0x28, .nth = 3},
        USBD_STATUS_CRC, 2));
    std::vector<USBD_STATUS> seen;
    for (int i = 0; i < 6; ++i) {
        vendor(true, 0x28, b, 2, 0, &urb);
        seen.push_back(urb.UrbHeader.Status);
        vendor(true, 0x10, b, 2, 0, &urb);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    }
    EXPECT_EQ(seen, (std::vector<USBD_STATUS>{0, 0, USBD_STATUS_CRC, USBD_STATUS_CRC, 0, 0}));
    EXPECT_EQ(bus_.faultHits(f), 2u);
    // A failed request never reached the device.
    EXPECT_EQ(device_.controls.size(), 1u + 12u - 2u); // the enumeration read, then ours

    // Delay and stall on the default pipe.
    bus_.addFault(Fault::delaying({.endpoint = 0}, 30 * kMillisecond));
    Time t0 = world().now();
    vendor(false, 0x00, b, 2);
    EXPECT_EQ(world().now(), t0 + 31 * kMillisecond);
    bus_.addFault(Fault::stalling({.bRequest = 0xF1}));
    vendor(false, 0x00, b, 2, 0, &urb);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    vendor(false, 0x00, b, 2, 0, &urb);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);

    // A port cycle can be held too: the caller's wait runs out.
    bus_.addFault(Fault::holding({.function = kFunctionCyclePort}));
    EXPECT_EQ(submitSync(pdo(), nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_IO_TIMEOUT);
    EXPECT_EQ(bus_.portCycles(), 0u);
}

TEST_F(UsbBusTest, UnplugFailsEverythingOutstandingAndLater) {
    configure();
    Async in, held;
    ASSERT_EQ(in.bulk(pdo(), pipes_[0], {}, 64), STATUS_PENDING);
    bus_.addFault(Fault::holding({.endpoint = 0x02}));
    ASSERT_EQ(held.bulk(pdo(), pipes_[1], {1}), STATUS_PENDING);
    bus_.unplug();
    EXPECT_EQ(device_.detaches, 1);
    scheduler().runUntilIdle();
    for (Async* a : {&in, &held}) {
        EXPECT_EQ(a->calls, 1);
        EXPECT_EQ(a->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(a->status, STATUS_DEVICE_NOT_CONNECTED);
    }
    std::uint8_t b[1];
    URB urb{};
    EXPECT_EQ(vendor(true, 0, b, 1, 0, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(bus_.outstanding(), 0u);
}

TEST_F(UsbBusTest, CyclePortResetsTheDeviceAndItsConfiguration) {
    configure();
    Async in;
    ASSERT_EQ(in.bulk(pdo(), pipes_[0], {}, 64), STATUS_PENDING);
    EXPECT_EQ(submitSync(pdo(), nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
    EXPECT_EQ(bus_.portCycles(), 1u);
    EXPECT_EQ(device_.resets, 1);
    EXPECT_EQ(in.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(bus_.configured());
    EXPECT_EQ(bus_.log().back().text(), "CYCLE_PORT SUCCESS");
}

TEST_F(UsbBusTest, RemoteWakeupIsRecordedWithTheFeatureState) {
    device_.port->remoteWakeup();
    URB urb{};
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           nullptr);
    ASSERT_EQ(submitSync(pdo(), &urb), STATUS_SUCCESS);
    EXPECT_TRUE(bus_.remoteWakeupEnabled());
    int calls = 0;
    bus_.onRemoteWakeup = [&] { ++calls; };
    scheduler().runFor(kSecond);
    device_.port->remoteWakeup();
    ASSERT_EQ(bus_.wakeups().size(), 2u);
    EXPECT_FALSE(bus_.wakeups()[0].enabled);
    EXPECT_TRUE(bus_.wakeups()[1].enabled);
    EXPECT_EQ(bus_.wakeups()[1].time, world().now());
    EXPECT_EQ(calls, 1);
}

// ---- plug and play -----------------------------------------------------------------------------

class UsbBusPnpTest : public UsbBusTest {
  protected:
    // Sends one PnP request to the PDO the way the PnP manager does (status starts as
    // STATUS_NOT_SUPPORTED); returns the dispatch status and leaves the IRP's block in `iosb`.
    NTSTATUS send(UCHAR minor, IO_STATUS_BLOCK& iosb, PDEVICE_CAPABILITIES caps = nullptr,
                  BUS_QUERY_ID_TYPE idType = BusQueryDeviceID) {
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(0, pdo(), nullptr, 0, nullptr, 0, FALSE, &event_, &iosb);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = minor;
        if (caps != nullptr) {
            next->Parameters.DeviceCapabilities.Capabilities = caps;
        } else {
            next->Parameters.QueryId.IdType = idType;
        }
        return IofCallDriver(pdo(), irp);
    }
    std::wstring queryId(BUS_QUERY_ID_TYPE type) {
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(send(IRP_MN_QUERY_ID, iosb, nullptr, type), STATUS_SUCCESS);
        auto* p = reinterpret_cast<PWSTR>(iosb.Information);
        bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
        std::wstring s;
        for (const WCHAR* c = p; *c != 0 || (multi && c[1] != 0); ++c) {
            s.push_back(*c != 0 ? *c : L'|');
        }
        ExFreePool(p);
        return s;
    }
    KEVENT event_;
};

TEST_F(UsbBusPnpTest, AnswersAsAHubPdo) {
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(send(IRP_MN_START_DEVICE, iosb), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    EXPECT_EQ(send(IRP_MN_QUERY_CAPABILITIES, iosb, &caps), STATUS_SUCCESS);
    EXPECT_NE(caps.Flags & (1u << 9), 0u); // SurpriseRemovalOK
    EXPECT_EQ(caps.DeviceWake, 3u);        // PowerDeviceD2
    EXPECT_EQ(queryId(BusQueryDeviceID), L"USB\\VID_1234&PID_5678");
    EXPECT_EQ(queryId(BusQueryHardwareIDs),
              L"USB\\VID_1234&PID_5678&REV_0101|USB\\VID_1234&PID_5678");
    EXPECT_EQ(send(IRP_MN_QUERY_PNP_DEVICE_STATE, iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(send(IRP_MN_QUERY_RESOURCES, iosb), STATUS_NOT_SUPPORTED); // left as it was
    EXPECT_EQ(send(IRP_MN_SURPRISE_REMOVAL, iosb), STATUS_SUCCESS);
    EXPECT_EQ(send(IRP_MN_REMOVE_DEVICE, iosb), STATUS_SUCCESS);
    EXPECT_EQ(
        bus_.pnpLog(),
        (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID,
                            IRP_MN_QUERY_ID, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_RESOURCES,
                            IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(UsbBusPnpTest, TestsChooseFailureOrLateCompletion) {
    IO_STATUS_BLOCK iosb{};
    bus_.setPnpStatus(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(send(IRP_MN_START_DEVICE, iosb), STATUS_UNSUCCESSFUL);
    bus_.clearPnpStatus(IRP_MN_START_DEVICE);

    bus_.holdPnp(IRP_MN_START_DEVICE);
    ASSERT_EQ(send(IRP_MN_START_DEVICE, iosb), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event_), 0);
    EXPECT_EQ(bus_.heldPnpCount(), 1u);
    ASSERT_TRUE(bus_.completeHeldPnp());
    EXPECT_NE(KeReadStateEvent(&event_), 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_FALSE(bus_.completeHeldPnp());
}

// ---- capture -----------------------------------------------------------------------------------

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    pclose(pipe);
    return output;
}

TEST_F(UsbBusTest, CaptureReadsBackWithTshark) {
    const char* env = std::getenv("KT735_TSHARK");
    std::string tshark = env != nullptr ? env : "tshark";
    if (run("command -v " + tshark + " 2>/dev/null").empty()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    std::string path = (std::filesystem::temp_directory_path() /
                        ("usb_capture_" + std::to_string(::getpid()) + ".pcap"))
                           .string();
    UsbmonWriter writer(path);
    ASSERT_TRUE(writer.good());
    bus_.setCapture(&writer);

    configure();
    device_.regs[0x10] = 0x00;
    device_.regs[0x11] = 0x4B;
    device_.regs[0x12] = 0xAD;
    std::uint8_t read[3];
    vendor(true, 0x10, read, 3);
    std::uint8_t write[2] = {0x24, 0x00};
    vendor(false, 0x7E, write, 2);
    Async in, out;
    in.bulk(pdo(), pipes_[0], {}, 64);
    out.bulk(pdo(), pipes_[1], {0xDE, 0xAD, 0xBE, 0xEF});
    scheduler().runUntilIdle();
    Async aborted;
    aborted.bulk(pdo(), pipes_[0], {}, 64);
    pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_[0]);
    bus_.addFault(Fault::stalling({.bRequest = 0xF0}));
    vendor(true, 0x10, read, 1);
    bus_.setCapture(nullptr);
    writer.close();

    std::string fields =
        run(tshark + " -r " + path +
            " -T fields -e usb.urb_type -e usb.setup.bRequest -e usb.setup.wIndex"
            " -e usb.data_fragment -e usb.control.Response -e usb.capdata 2>/dev/null");
    std::vector<std::string> lines;
    std::istringstream stream(fields);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    // tshark names wIndex of GET_DESCRIPTOR the language id, so that column stays empty there.
    std::vector<std::string> expected = {
        "'S'\t6\t\t\t\t",     "'C'\t\t\t\t\t", // device descriptor
        "'S'\t6\t\t\t\t",     "'C'\t\t\t\t\t", // configuration descriptor
        "'S'\t9\t0\t\t\t",    "'C'\t\t\t\t\t", // SET_CONFIGURATION
        "'S'\t240\t16\t\t\t", "'C'\t\t\t\t004bad\t",   "'S'\t241\t126\t2400\t\t", "'C'\t\t\t\t\t",
        "'S'\t\t\t\t\t",      "'S'\t\t\t\t\tdeadbeef", // bulk in posted, bulk out
        "'C'\t\t\t\t\t",      "'C'\t\t\t\t\tdeadbeef", // out done, loopback in
        "'S'\t\t\t\t\t",      "'C'\t\t\t\t\t",         // the aborted in
        "'S'\t240\t16\t\t\t", "'C'\t\t\t\t\t",         // a stalled read
    };
    EXPECT_EQ(lines, expected) << fields;

    std::string setups = run(tshark + " -r " + path +
                             " -Y \"usb.urb_type == 'S' && usb.transfer_type == 2\" -T fields"
                             " -e usb.bmRequestType -e usb.setup.wLength 2>/dev/null");
    EXPECT_NE(setups.find("0xc0\t3"), std::string::npos) << setups;
    EXPECT_NE(setups.find("0x40\t2"), std::string::npos) << setups;

    std::string sanity =
        run(tshark + " -r " + path +
            " -Y \"(usb && frame.cap_len != usb.data_len + 64) || (usb.urb_type == 'C' && "
            "!usb.request_in) || _ws.malformed || _ws.expert.severity >= \\\"Warning\\\"\" "
            "2>/dev/null");
    EXPECT_EQ(sanity, "");

    // Completion statuses: success everywhere but the aborted transfer and the stall.
    std::string statuses =
        run(tshark + " -r " + path +
            " -Y \"usb.urb_type == 'C'\" -T fields -e usb.urb_status 2>/dev/null | tr '\\n' ' '");
    EXPECT_EQ(statuses, "0 0 0 0 0 0 0 -104 -32 ");
    std::filesystem::remove(path);
}

} // namespace
} // namespace host::usb
