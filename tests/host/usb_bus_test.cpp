// The simulated USB bus, for what the driver suite cannot show: full-speed frame timing and a
// usbmon capture read back by tshark, record by record (the synchronous 5-second timeout and
// the cancel of a held transfer are shown through the driver's own channel and hang check).
// Vendor requests, faults, held requests released, pipes, stalls, port cycle, unplug and PnP
// are exercised by tests/driver.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "host/io.h"
#include "host/kernel.h"
#include "host/testing.h"
#include "host/usb_bus.h"
#include "host/usbmon.h"
#include "kt735_device.h"

namespace host::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A synchronous request as a client driver makes it: build, call, wait for the completion.
// Returns the request's status.
NTSTATUS submitSync(PDEVICE_OBJECT target, PURB urb) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IofCallDriver(target, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    }
    return iosb.Status;
}

// An asynchronous request from a driver-allocated IRP; the completion routine records what it
// saw and frees the IRP.
struct Async {
    URB urb{};
    std::array<std::uint8_t, 64> buffer{};
    int calls = 0;
    NTSTATUS status = 0;
    PIRP irp = nullptr;
    std::function<void()> then; // run by the completion routine

    static NTSTATUS NTAPI done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* a = static_cast<Async*>(context);
        ++a->calls;
        a->status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        a->irp = nullptr;
        if (a->then) {
            a->then();
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // An OUT transfer of `out`, or (`out` empty) an IN transfer of up to `length` bytes.
    NTSTATUS bulk(PDEVICE_OBJECT to, USBD_PIPE_HANDLE pipe, const Bytes& out, ULONG length = 0) {
        std::copy(out.begin(), out.end(), buffer.begin());
        UsbBuildInterruptOrBulkTransferRequest(
            &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer.data(), nullptr,
            out.empty() ? length : static_cast<ULONG>(out.size()),
            out.empty() ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
        irp = IoAllocateIrp(static_cast<CCHAR>(to->StackSize + 1), FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, done, this, TRUE, TRUE, TRUE);
        return IofCallDriver(to, irp);
    }
};

class UsbBusTest : public host::testing::WorldTest {
  protected:
    UsbBusTest() { bus_.plug(device_); }

    PDEVICE_OBJECT pdo() { return bus_.pdo(); }

    // Registers: a vendor request as the driver builds it; the URB is left in last_.
    NTSTATUS vendor(bool in, std::uint16_t index, std::uint8_t* data, std::uint16_t count) {
        last_ = URB{};
        UsbBuildVendorRequest(
            &last_, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, in ? 0xF0 : 0xF1,
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
        ASSERT_EQ(dd.idVendor, 0x4B56);

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
        for (int i = 0; i < 3; ++i) {
            pipes_[i] = info->Pipes[i].PipeHandle;
        }
        ExFreePool(select);
        ExFreePool(config);
    }

    NTSTATUS abortPipe(USBD_PIPE_HANDLE pipe) {
        last_ = URB{};
        last_.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        last_.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        last_.UrbPipeRequest.PipeHandle = pipe;
        return submitSync(pdo(), &last_);
    }

    kt735::model::Kt735Device device_;
    Bus bus_;
    URB last_{};
    USBD_PIPE_HANDLE pipes_[3] = {};
};

// ---- timing ------------------------------------------------------------------------------------

// Full-speed timing: a request starts with the first 1 ms frame that begins after it was
// submitted and completes at the end of the frame of its last stage or packet. A control read
// takes three frames (setup, data, status); a 64-byte bulk OUT one packet; the IN's data comes
// from the device when the OUT ends, and its 64 bytes fill the buffer, so one packet ends it.
TEST_F(UsbBusTest, FullSpeedFramesTimeEachStageAndPacket) {
    configure();
    auto frameAfter = [](host::Time t) {
        return (t + host::kMillisecond - 1) / host::kMillisecond * host::kMillisecond;
    };
    world().scheduler().runFor(300 * host::kMicrosecond); // mid-frame
    std::uint8_t data[2] = {};
    ASSERT_EQ(vendor(true, 0x10, data, 2), STATUS_SUCCESS);
    const host::usb::Request& read = bus_.log().back();
    EXPECT_EQ(read.completed, frameAfter(read.submitted) + 3 * host::kMillisecond);

    Async in, out;
    ASSERT_EQ(in.bulk(pdo(), pipes_[0], {}, 64), STATUS_PENDING);
    ASSERT_EQ(out.bulk(pdo(), pipes_[1], Bytes(64, 0x5A)), STATUS_PENDING);
    const host::Time submitted = world().now();
    world().scheduler().runUntil([&] { return out.calls == 1; });
    device_.injectBulkIn(Bytes(64, 0x5A));
    world().scheduler().runUntilIdle();
    ASSERT_EQ(in.calls, 1);
    const auto& log = bus_.log();
    EXPECT_EQ(log[log.size() - 1].completed, frameAfter(submitted) + host::kMillisecond); // OUT
    EXPECT_EQ(log[log.size() - 2].completed, frameAfter(submitted) + 2 * host::kMillisecond);
    EXPECT_EQ(log[log.size() - 2].data, Bytes(64, 0x5A));
}

// A bulk transfer alone on the bus still moves at most 19 packets a frame: 19 full packets end in
// their first frame, one byte more needs a second, and 39 packets a third.
TEST_F(UsbBusTest, ALoneBulkTransferTakesAFrameForEach19Packets) {
    configure();
    for (auto [bytes, frames] : {std::pair{1216u, 1}, {1217u, 2}, {2432u, 2}, {2433u, 3}}) {
        SCOPED_TRACE(bytes);
        Bytes data(bytes, 0x5A);
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               pipes_[1], data.data(), nullptr, bytes, 0, nullptr);
        const host::Time frameStart =
            (world().now() + host::kMillisecond - 1) / host::kMillisecond * host::kMillisecond;
        ASSERT_EQ(submitSync(pdo(), &urb), STATUS_SUCCESS);
        EXPECT_EQ(bus_.log().back().completed, frameStart + frames * host::kMillisecond);
    }
}

// Transfers that end in the same frame complete one after the other, and a completion routine
// may cancel the next of them and submit a new request, which takes the cancelled one's place in
// the bus's books: the cancelled one completes once and never reaches the device, the new one
// takes a frame of its own, and the rest of the frame leaves both alone.
TEST_F(UsbBusTest, ACompletionRoutineCancelsTheNextTransferAndSubmitsAnother) {
    configure();
    Async first, second, third;
    first.then = [&] {
        IoCancelIrp(second.irp);
        EXPECT_EQ(third.bulk(pdo(), pipes_[1], Bytes(60, 0x33)), STATUS_PENDING);
    };
    const std::uint64_t before = device_.counters().bulkOutTransfers;
    ASSERT_EQ(first.bulk(pdo(), pipes_[1], Bytes(60, 0x11)), STATUS_PENDING);
    ASSERT_EQ(second.bulk(pdo(), pipes_[1], Bytes(60, 0x22)), STATUS_PENDING);
    world().scheduler().runUntil([&] { return first.calls == 1; });
    const host::Time frameEnd = world().now();
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(second.status, STATUS_CANCELLED);
    EXPECT_EQ(third.calls, 0);
    world().scheduler().runUntilIdle();
    EXPECT_EQ(third.calls, 1);
    EXPECT_EQ(third.status, STATUS_SUCCESS);
    EXPECT_EQ(bus_.log().back().completed, frameEnd + host::kMillisecond);
    EXPECT_EQ(device_.counters().bulkOutTransfers - before, 2u);
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(bus_.outstanding(), 0u);
}

// A frame from the wire reaches a bulk-in buffer with the trailer the chip appends (its FCS, two
// reserved bytes, the status word), as far as the buffer goes, whether it streams straight into
// a posted transfer or waits in the chip's FIFO for one: a buffer that ends inside the frame or
// inside the trailer takes that much and completes with an overrun, and nothing past its end is
// written. The bus's unlogged path and its logged one give the same result.
TEST_F(UsbBusTest, AReceivedFrameFillsTheBulkInBufferAsFarAsItGoes) {
    configure();
    device_.ethernet().plug();
    world().scheduler().runFor(300 * host::kMillisecond);
    ASSERT_TRUE(device_.ethernetPhy().link());
    device_.pokeReg(kt735::model::reg::kControl0, kt735::model::bits::kControl0RxEnable);
    device_.pokeReg(kt735::model::reg::kControl2, kt735::model::bits::kControl2Promiscuous);
    Bytes frame(20);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    const std::uint32_t fcs = kt735::model::crc32Ethernet(frame);
    Bytes whole = frame;
    whole.insert(whole.end(), {static_cast<std::uint8_t>(fcs), static_cast<std::uint8_t>(fcs >> 8),
                               static_cast<std::uint8_t>(fcs >> 16),
                               static_cast<std::uint8_t>(fcs >> 24), 0, 0, 0x20, 0x01});
    for (bool logging : {false, true}) {
        for (bool postedFirst : {true, false}) {
            for (ULONG length : {12u, 20u, 24u, 28u, 40u}) {
                SCOPED_TRACE(::testing::Message() << "logging " << logging << ", posted first "
                                                  << postedFirst << ", buffer " << length);
                bus_.setLogging(logging);
                Async in;
                in.buffer.fill(0xEE);
                if (!postedFirst) {
                    device_.ethernet().sendToAdapter(frame, 0x0120);
                }
                ASSERT_EQ(in.bulk(pdo(), pipes_[0], {}, length), STATUS_PENDING);
                if (postedFirst) {
                    device_.ethernet().sendToAdapter(frame, 0x0120);
                }
                world().scheduler().runUntil([&] { return in.calls == 1; });
                ASSERT_EQ(in.calls, 1);
                const std::size_t n = std::min<std::size_t>(length, whole.size());
                const bool overrun = length < whole.size();
                EXPECT_EQ(Bytes(in.buffer.begin(), in.buffer.begin() + 48), [&] {
                    Bytes expected(48, 0xEE);
                    std::copy_n(whole.begin(), n, expected.begin());
                    return expected;
                }());
                EXPECT_EQ(in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, n);
                EXPECT_EQ(in.urb.UrbHeader.Status,
                          overrun ? USBD_STATUS_BUFFER_OVERRUN : USBD_STATUS_SUCCESS);
                EXPECT_EQ(in.status, overrun ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
            }
        }
    }
    EXPECT_EQ(device_.rxFifoDepth(), 0u);
    EXPECT_EQ(bus_.outstanding(), 0u);
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
    std::uint8_t write[3] = {0x00, 0x4B, 0xAD}, read[3];
    vendor(false, 0x10, write, 3);
    vendor(true, 0x10, read, 3);
    Async in, out, aborted;
    in.bulk(pdo(), pipes_[0], {}, 64);
    out.bulk(pdo(), pipes_[1], {0xDE, 0xAD, 0xBE, 0xEF});
    scheduler().runUntilIdle();
    device_.injectBulkIn({0xDE, 0xAD, 0xBE, 0xEF});
    scheduler().runUntilIdle();
    aborted.bulk(pdo(), pipes_[0], {}, 64);
    abortPipe(pipes_[0]);
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
                           "'S'\t241\t16\t004bad\t\t\n'C'\t\t\t\t\t\n" // register write
                           "'S'\t240\t16\t\t\t\n'C'\t\t\t\t004bad\t\n" // read back
                           "'S'\t\t\t\t\t\n'S'\t\t\t\t\tdeadbeef\n"    // bulk in posted, bulk out
                           "'C'\t\t\t\t\t\n'C'\t\t\t\t\tdeadbeef\n"    // out done, then the in
                           "'S'\t\t\t\t\t\n'C'\t\t\t\t\t\n"            // the aborted in
                           "'S'\t240\t16\t\t\t\n'C'\t\t\t\t\t\n";      // a stalled read
    EXPECT_EQ(fields, expected);

    std::string setups = tsharkOn("-Y \"usb.urb_type == 'S' && usb.transfer_type == 2\" "
                                  "-T fields -e usb.bmRequestType -e usb.setup.wLength");
    EXPECT_NE(setups.find("0xc0\t3"), std::string::npos) << setups;
    EXPECT_NE(setups.find("0x40\t3"), std::string::npos) << setups;
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
