// The simulated USB bus, driven the way a client driver drives the hub's PDO: synchronous URBs
// through IoBuildDeviceIoControlRequest and a 5-second wait, asynchronous ones from IRPs the
// driver allocates, with completion routines.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <deque>
#include <filesystem>

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
    std::size_t shortReads = 0; // answer the next vendor reads with one byte less
    int resets = 0;
    int detaches = 0;

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

    // Standard requests: device and configuration descriptors, GET_STATUS (all clear), and
    // CLEAR/SET_FEATURE and SET_CONFIGURATION accepted; anything else stalls.
    Outcome control(const SetupPacket& s, std::span<std::uint8_t> data,
                    std::size_t& actual) override {
        controls.push_back(s);
        auto answer = [&](const Bytes& bytes) {
            actual = std::min<std::size_t>(bytes.size(), s.wLength);
            std::copy_n(bytes.begin(), actual, data.begin());
            return Outcome::Ok;
        };
        if (s.bmRequestType == 0x80 && s.bRequest == 6 &&
            (s.wValue >> 8 == 1 || s.wValue >> 8 == 2)) {
            return answer(s.wValue >> 8 == 1 ? device : config);
        }
        if (s.bmRequestType == 0x80 && s.bRequest == 0) {
            return answer({0, 0});
        }
        if ((s.bmRequestType & 0x60) == 0) {
            return s.bRequest == 1 || s.bRequest == 3 || s.bRequest == 9 ? Outcome::Ok
                                                                         : Outcome::Stall;
        }
        if (s.bmRequestType == 0xC0 && s.bRequest == 0xF0) {
            actual = s.wLength - (shortReads > 0 ? 1 : 0);
            shortReads -= shortReads > 0 ? 1 : 0;
            std::copy_n(regs.begin() + s.wIndex, actual, data.begin());
            return Outcome::Ok;
        }
        if (s.bmRequestType == 0x40 && s.bRequest == 0xF1) {
            std::copy(data.begin(), data.end(), regs.begin() + s.wIndex);
            return Outcome::Ok;
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
// when it was cancelled.
NTSTATUS submitSync(PDEVICE_OBJECT target, PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -50'000'000;
    if (IofCallDriver(target, irp) == STATUS_PENDING &&
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        return STATUS_IO_TIMEOUT;
    }
    return STATUS_SUCCESS;
}

// An asynchronous request from a driver-allocated IRP; the completion routine records what it
// saw and frees the IRP, unless `again` asks it to post the same IN transfer once more on the
// same IRP (the way a driver keeps its bulk-in pipe busy), keeping what arrived in `frames`.
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
    int again = 0;
    std::vector<Bytes> frames;
    PDEVICE_OBJECT target = nullptr;
    USBD_PIPE_HANDLE pipe = nullptr;

    static NTSTATUS NTAPI done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* a = static_cast<Async*>(context);
        ++a->calls;
        a->status = irp->IoStatus.Status;
        a->cancel = irp->Cancel;
        a->pendingReturned = irp->PendingReturned;
        a->irql = KeGetCurrentIrql();
        a->when = world().now();
        if (a->status == STATUS_SUCCESS && a->again-- > 0) {
            a->frames.push_back(a->received());
            IoInitializeIrp(irp, irp->Size, irp->StackCount);
            a->bulk(a->target, a->pipe, {}, sizeof a->buffer);
        } else {
            IoFreeIrp(irp);
            a->irp = nullptr;
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    NTSTATUS send(PDEVICE_OBJECT to, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        if (irp == nullptr) {
            irp = IoAllocateIrp(static_cast<CCHAR>(to->StackSize + 1), FALSE);
        }
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, done, this, TRUE, TRUE, TRUE);
        return IofCallDriver(to, irp);
    }

    // An OUT transfer of `out`, or (`out` empty) an IN transfer of up to `length` bytes.
    NTSTATUS bulk(PDEVICE_OBJECT to, USBD_PIPE_HANDLE on, const Bytes& out, ULONG length = 0) {
        target = to;
        pipe = on;
        std::copy(out.begin(), out.end(), buffer.begin());
        UsbBuildInterruptOrBulkTransferRequest(
            &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer.data(), nullptr,
            out.empty() ? length : static_cast<ULONG>(out.size()),
            out.empty() ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
        return send(to);
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

    // Registers: a vendor request as the driver builds it; the URB is left in last_.
    NTSTATUS vendor(bool in, std::uint16_t index, std::uint8_t* data, std::uint16_t count,
                    ULONG extraFlags = 0) {
        last_ = URB{};
        UsbBuildVendorRequest(
            &last_, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            (in ? USBD_TRANSFER_DIRECTION_IN : 0) | extraFlags, 0, in ? 0xF0 : 0xF1,
            count == 1 && !in ? data[0] : 0, index, data, nullptr, count, nullptr);
        return submitSync(pdo(), &last_);
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

    NTSTATUS pipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
        last_ = URB{};
        last_.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        last_.UrbHeader.Function = function;
        last_.UrbPipeRequest.PipeHandle = pipe;
        return submitSync(pdo(), &last_);
    }

    FakeDevice device_;
    Bus bus_;
    URB last_{};
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

    // SELECT_CONFIGURATION filled the interface and its pipes from the descriptor, keeping the
    // transfer sizes the driver asked for.
    const auto& info = *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(selectedInfo_.data());
    EXPECT_NE(info.InterfaceHandle, nullptr);
    EXPECT_NE(configHandle_, nullptr);
    EXPECT_EQ(info.Class, 0xFF);
    const auto pipes = {
        std::make_tuple(UCHAR{0x81}, UsbdPipeTypeBulk, USHORT{64}, ULONG{1536}, UCHAR{0}),
        std::make_tuple(UCHAR{0x02}, UsbdPipeTypeBulk, USHORT{64}, ULONG{1536}, UCHAR{0}),
        std::make_tuple(UCHAR{0x83}, UsbdPipeTypeInterrupt, USHORT{8},
                        ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE}, UCHAR{1})};
    const USBD_PIPE_INFORMATION* p = info.Pipes;
    for (const auto& want : pipes) {
        EXPECT_EQ(std::make_tuple(p->EndpointAddress, p->PipeType, p->MaximumPacketSize,
                                  p->MaximumTransferSize, p->Interval),
                  want);
        ++p;
    }
}

TEST_F(UsbBusTest, VendorRequestsCarryTheirSetupPacketAndData) {
    for (int i = 0; i < 6; ++i) {
        device_.regs[0x10 + i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    std::uint8_t read[20] = {};
    ASSERT_EQ(vendor(true, 0x10, read, 6), STATUS_SUCCESS);
    EXPECT_EQ(last_.UrbControlVendorClassRequest.TransferBufferLength, 6u);
    EXPECT_EQ(Bytes(read, read + 7), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0}));
    std::uint8_t one = 0x5A;
    ASSERT_EQ(vendor(false, 0x7E, &one, 1), STATUS_SUCCESS);
    std::uint8_t four[4] = {1, 2, 3, 0x42};
    ASSERT_EQ(vendor(false, 0x25, four, 4), STATUS_SUCCESS);
    EXPECT_EQ(device_.regs[0x7E], 0x5A);
    EXPECT_EQ(device_.regs[0x28], 0x42);

    // A short answer without USBD_SHORT_TRANSFER_OK is an error, with it a shorter transfer.
    device_.shortReads = 2;
    vendor(true, 0x10, read, 6);
    EXPECT_EQ(last_.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
    vendor(true, 0x10, read, 6, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(last_.UrbControlVendorClassRequest.TransferBufferLength, 5u);

    // A request the device does not know: a protocol stall of the default pipe, which stays
    // usable.
    URB bad{};
    UsbBuildVendorRequest(&bad, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x99, 0, 0,
                          nullptr, nullptr, 0, nullptr);
    ASSERT_EQ(submitSync(pdo(), &bad), STATUS_SUCCESS);
    EXPECT_EQ(bus_.log().back().irpStatus, STATUS_UNSUCCESSFUL);

    EXPECT_EQ(bus_.logText(), (std::vector<std::string>{
                                  "VENDOR_DEVICE c0 f0 0000 0010 0006 in a0a1a2a3a4a5 SUCCESS",
                                  "VENDOR_DEVICE 40 f1 005a 007e 0001 out 5a SUCCESS",
                                  "VENDOR_DEVICE 40 f1 0000 0025 0004 out 01020342 SUCCESS",
                                  "VENDOR_DEVICE c0 f0 0000 0010 0006 in a0a1a2a3a4 DATA_UNDERRUN",
                                  "VENDOR_DEVICE c0 f0 0000 0010 0006 in a0a1a2a3a4 SUCCESS",
                                  "VENDOR_DEVICE 40 99 0000 0000 0000 STALL_PID",
                              }));
    vendor(true, 0x10, read, 1);
    EXPECT_EQ(last_.UrbHeader.Status, USBD_STATUS_SUCCESS);
}

TEST_F(UsbBusTest, MalformedRequestsAreRejectedAtOnce) {
    Async function;
    function.urb.UrbHeader.Function = 0x0077;
    function.urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
    EXPECT_EQ(function.send(pdo()), STATUS_UNSUCCESSFUL); // not pended
    EXPECT_EQ(function.urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

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
    Time t0 = world().now();
    Async out;
    ASSERT_EQ(out.bulk(pdo(), pipes_[1], {1, 2, 3}), STATUS_PENDING);
    EXPECT_EQ(out.calls, 0);
    EXPECT_TRUE(device_.bulkOuts.empty()); // not on the wire yet
    scheduler().runUntilIdle();
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.when, t0 + kMillisecond);
    EXPECT_EQ(out.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(out.pendingReturned);
    EXPECT_EQ(out.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);

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
    EXPECT_EQ(device_.bulkOuts.size(), 1u);
}

TEST_F(UsbBusTest, PostedInWaitsForDataUntilCancelled) {
    configure();
    Async waiting;
    ASSERT_EQ(waiting.bulk(pdo(), pipes_[0], {}, 64), STATUS_PENDING);
    scheduler().runFor(10 * kSecond);
    EXPECT_EQ(waiting.calls, 0);
    EXPECT_EQ(bus_.pendingIn(0x81), 1u);
    EXPECT_TRUE(IoCancelIrp(waiting.irp));
    EXPECT_EQ(waiting.status, STATUS_CANCELLED);
    EXPECT_TRUE(waiting.cancel);
    EXPECT_EQ(waiting.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus_.pendingIn(0x81), 0u);
    EXPECT_EQ(bus_.outstanding(), 0u);
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
    EXPECT_TRUE(device_.controls.empty() || device_.controls.back().bRequest != 0xF0);

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

    ASSERT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_[0]), STATUS_SUCCESS);
    Time abortDone = bus_.log().back().completed;
    for (Async& a : ins) {
        EXPECT_EQ(a.status, STATUS_CANCELLED);
        EXPECT_LE(a.when, abortDone);
    }
    EXPECT_EQ(bus_.pendingIn(0x81), 0u);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(bus_.logText(), (std::vector<std::string>{
                                  "BULK_OR_INTERRUPT_TRANSFER 81 CANCELED",
                                  "BULK_OR_INTERRUPT_TRANSFER 81 CANCELED",
                                  "BULK_OR_INTERRUPT_TRANSFER 81 CANCELED",
                                  "BULK_OR_INTERRUPT_TRANSFER 02 out 05 SUCCESS",
                                  "ABORT_PIPE 81 SUCCESS",
                              }));
}

TEST_F(UsbBusTest, StalledEndpointStaysHaltedUntilResetPipe) {
    configure();
    bus_.addFault(Fault::stalling({.endpoint = 0x02}));
    Async first, second, third;
    first.bulk(pdo(), pipes_[1], {1});
    scheduler().runUntilIdle();
    EXPECT_EQ(first.status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(first.cancel);
    EXPECT_EQ(first.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(bus_.halted(0x02));
    second.bulk(pdo(), pipes_[1], {2});
    scheduler().runUntilIdle();
    EXPECT_EQ(second.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_TRUE(device_.bulkOuts.empty());

    // RESET_PIPE goes on the wire as CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint.
    device_.controls.clear();
    ASSERT_EQ(pipeRequest(URB_FUNCTION_RESET_PIPE, pipes_[1]), STATUS_SUCCESS);
    EXPECT_EQ(last_.UrbHeader.Status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(device_.controls.size(), 1u);
    EXPECT_EQ(device_.controls[0].bytes(), (Bytes{0x02, 0x01, 0, 0, 0x02, 0, 0, 0}));
    EXPECT_FALSE(bus_.halted(0x02));
    third.bulk(pdo(), pipes_[1], {3});
    scheduler().runUntilIdle();
    EXPECT_EQ(third.status, STATUS_SUCCESS);
    EXPECT_EQ(device_.bulkOuts, (std::vector<Bytes>{{3}}));
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

// A completion routine may post its IRP again at once, inline completion or not: the bus must
// be done with the IRP before it completes it.
TEST_F(UsbBusTest, CompletionRoutinesMayResubmitTheIrp) {
    configure();
    for (bool inlineCompletion : {false, true}) {
        bus_.timing().inlineCompletion = inlineCompletion;
        for (std::uint8_t i = 0; i < 4; ++i) {
            device_.loopback.push_back(Bytes(i + 1u, i));
        }
        Async r;
        r.again = 4;
        r.bulk(pdo(), pipes_[0], {}, 64);
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
    // The 3rd register read, twice; reads of another index do not count.
    std::size_t f = bus_.addFault(Fault::failing(
        {.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0, .wIndex = 0x28, .nth = 3},
        USBD_STATUS_CRC, 2));
    std::vector<USBD_STATUS> seen;
    for (int i = 0; i < 6; ++i) {
        vendor(true, 0x28, b, 2);
        seen.push_back(last_.UrbHeader.Status);
        vendor(true, 0x10, b, 2);
        EXPECT_EQ(last_.UrbHeader.Status, USBD_STATUS_SUCCESS);
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
    vendor(false, 0x00, b, 2);
    EXPECT_EQ(last_.UrbHeader.Status, USBD_STATUS_STALL_PID);
    vendor(false, 0x00, b, 2);
    EXPECT_EQ(last_.UrbHeader.Status, USBD_STATUS_SUCCESS);
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
    EXPECT_EQ(vendor(true, 0, b, 1), STATUS_SUCCESS);
    EXPECT_EQ(last_.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
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
    // STATUS_NOT_SUPPORTED); returns the dispatch status and leaves the IRP's block in iosb_.
    NTSTATUS send(UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr,
                  BUS_QUERY_ID_TYPE idType = BusQueryDeviceID) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(0, pdo(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb_);
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
    // The answer to IRP_MN_QUERY_ID, a multi-string with '|' between its strings.
    std::wstring queryId(BUS_QUERY_ID_TYPE type) {
        EXPECT_EQ(send(IRP_MN_QUERY_ID, nullptr, type), STATUS_SUCCESS);
        auto* p = reinterpret_cast<PWSTR>(iosb_.Information);
        std::wstring s;
        for (const WCHAR* c = p; *c != 0 || (type == BusQueryHardwareIDs && c[1] != 0); ++c) {
            s.push_back(*c != 0 ? *c : L'|');
        }
        ExFreePool(p);
        return s;
    }
    IO_STATUS_BLOCK iosb_{};
};

TEST_F(UsbBusPnpTest, AnswersAsAHubPdo) {
    EXPECT_EQ(send(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    EXPECT_EQ(send(IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
    EXPECT_NE(caps.Flags & (1u << 9), 0u); // SurpriseRemovalOK
    EXPECT_EQ(caps.DeviceWake, 3u);        // PowerDeviceD2
    EXPECT_EQ(queryId(BusQueryDeviceID), L"USB\\VID_1234&PID_5678");
    EXPECT_EQ(queryId(BusQueryHardwareIDs),
              L"USB\\VID_1234&PID_5678&REV_0101|USB\\VID_1234&PID_5678");
    EXPECT_EQ(send(IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Information, 0u);
    EXPECT_EQ(send(IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED); // left as it was
    EXPECT_EQ(send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(
        bus_.pnpLog(),
        (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID,
                            IRP_MN_QUERY_ID, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_RESOURCES,
                            IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
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

// A capture of configuration, register reads and writes, bulk traffic, an abort and a stall,
// read back by tshark: each record decodes as what went on the wire, and nothing is malformed.
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
    device_.regs[0x11] = 0x4B;
    device_.regs[0x12] = 0xAD;
    std::uint8_t read[3];
    vendor(true, 0x10, read, 3);
    std::uint8_t write[2] = {0x24, 0x00};
    vendor(false, 0x7E, write, 2);
    Async in, out, aborted;
    in.bulk(pdo(), pipes_[0], {}, 64);
    out.bulk(pdo(), pipes_[1], {0xDE, 0xAD, 0xBE, 0xEF});
    scheduler().runUntilIdle();
    aborted.bulk(pdo(), pipes_[0], {}, 64);
    pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_[0]);
    bus_.addFault(Fault::stalling({.bRequest = 0xF0}));
    vendor(true, 0x10, read, 1);
    bus_.setCapture(nullptr);
    writer.close();

    auto tsharkOn = [&](const std::string& args) {
        return run(tshark + " -r " + path + " " + args + " 2>/dev/null");
    };
    std::string fields = tsharkOn("-T fields -e usb.urb_type -e usb.setup.bRequest "
                                  "-e usb.setup.wIndex -e usb.data_fragment "
                                  "-e usb.control.Response -e usb.capdata");
    // tshark names wIndex of GET_DESCRIPTOR the language id, so that column stays empty there.
    std::string expected = "'S'\t6\t\t\t\t\n'C'\t\t\t\t\t\n"           // device descriptor
                           "'S'\t6\t\t\t\t\n'C'\t\t\t\t\t\n"           // configuration descriptor
                           "'S'\t9\t0\t\t\t\n'C'\t\t\t\t\t\n"          // SET_CONFIGURATION
                           "'S'\t240\t16\t\t\t\n'C'\t\t\t\t004bad\t\n" // register read
                           "'S'\t241\t126\t2400\t\t\n'C'\t\t\t\t\t\n"  // register write
                           "'S'\t\t\t\t\t\n'S'\t\t\t\t\tdeadbeef\n"    // bulk in posted, bulk out
                           "'C'\t\t\t\t\t\n'C'\t\t\t\t\tdeadbeef\n"    // out done, loopback in
                           "'S'\t\t\t\t\t\n'C'\t\t\t\t\t\n"            // the aborted in
                           "'S'\t240\t16\t\t\t\n'C'\t\t\t\t\t\n";      // a stalled read
    EXPECT_EQ(fields, expected);

    std::string setups = tsharkOn("-Y \"usb.urb_type == 'S' && usb.transfer_type == 2\" "
                                  "-T fields -e usb.bmRequestType -e usb.setup.wLength");
    EXPECT_NE(setups.find("0xc0\t3"), std::string::npos) << setups;
    EXPECT_NE(setups.find("0x40\t2"), std::string::npos) << setups;
    // Completion statuses: success everywhere but the aborted transfer and the stall.
    EXPECT_EQ(tsharkOn("-Y \"usb.urb_type == 'C'\" -T fields -e usb.urb_status"),
              "0\n0\n0\n0\n0\n0\n0\n-104\n-32\n");
    EXPECT_EQ(tsharkOn("-Y \"(usb && frame.cap_len != usb.data_len + 64) || (usb.urb_type == 'C' "
                       "&& !usb.request_in) || _ws.malformed || _ws.expert.severity >= "
                       "\\\"Warning\\\"\""),
              "");
    std::filesystem::remove(path);
}

} // namespace
} // namespace host::usb
