// The synchronous URB channel and chip register access, through NDIS, the simulated USB bus
// and the KT735 model: what goes on the wire, what a failed or late request gives, and that a
// timed-out request has really completed before the routine returns.
//
// The adapter record is created as initialization creates it, on an NDIS adapter added through
// the driver's filter; its device objects come from NDIS.
#include <host/io.h>

#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;
using host::kSecond;
using host::usb::Fault;
using host::usb::Match;

class UsbChannelTest : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        plug();
        connect();
    }

    // A vendor register read built as ReadRegisters builds it, for calling SubmitUrbSync.
    URB readUrb(USHORT count, USHORT first) {
        URB urb;
        std::memset(&urb, 0, sizeof(urb));
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_IN, 0, KT735_REQUEST_READ_REGISTERS, 0, first,
                              adapter_->RegisterReadBuffer, nullptr, count, nullptr);
        return urb;
    }

    std::vector<unsigned char> readBuffer() const {
        return {adapter_->RegisterReadBuffer,
                adapter_->RegisterReadBuffer + sizeof(adapter_->RegisterReadBuffer)};
    }
};

// Writes of one, eight and six registers and reads back, compared as whole setup packets and
// data stages on the wire: a one-byte write carries its value in wValue too, longer ones 0.
TEST_F(UsbChannelTest, RegisterAccessesAreVendorRequestsOnTheWire) {
    EXPECT_EQ(adapter_->NextDeviceObject, ndis().lower()); // where requests go
    adapter_->RegisterWriteBuffer[0] = 0x03;
    EXPECT_EQ(WriteRegisters(adapter_, 1, TxFlowControl), ULONG{KT735N_OK});
    std::memset(adapter_->RegisterWriteBuffer, 0xFF, MULTICAST_TABLE_LENGTH);
    EXPECT_EQ(WriteRegisters(adapter_, MULTICAST_TABLE_LENGTH, MulticastTable), ULONG{KT735N_OK});
    const unsigned char station[6] = {0x02, 0x00, 0xC0, 0xFF, 0xEE, 0x01};
    std::memcpy(adapter_->RegisterWriteBuffer, station, sizeof(station));
    EXPECT_EQ(WriteRegisters(adapter_, STATION_ADDRESS_LENGTH, StationAddress), ULONG{KT735N_OK});

    std::memset(adapter_->RegisterReadBuffer, 0xEE, sizeof(adapter_->RegisterReadBuffer));
    EXPECT_EQ(ReadRegisters(adapter_, STATION_ADDRESS_LENGTH, StationAddress), ULONG{KT735N_OK});
    std::vector<unsigned char> expected(sizeof(adapter_->RegisterReadBuffer), 0xEE);
    std::memcpy(expected.data(), station, sizeof(station));
    EXPECT_EQ(readBuffer(), expected);

    EXPECT_EQ(bus().logText(),
              (std::vector<std::string>{
                  "VENDOR_DEVICE 40 f1 0003 001a 0001 out 03 SUCCESS",
                  "VENDOR_DEVICE 40 f1 0000 0008 0008 out ffffffffffffffff SUCCESS",
                  "VENDOR_DEVICE 40 f1 0000 0010 0006 out 0200c0ffee01 SUCCESS",
                  "VENDOR_DEVICE c0 f0 0000 0010 0006 in 0200c0ffee01 SUCCESS",
              }));
    EXPECT_EQ(device().reg(TxFlowControl), 0x03);
}

// The stack fails a read, at once (inside IofCallDriver) or after pending it: the URB's status
// makes the read a failure, and the buffer keeps what it held.
TEST_F(UsbChannelTest, ReadFailedByTheStackIsAFailure) {
    for (bool inlineCompletion : {true, false}) {
        for (bool stall : {false, true}) {
            SCOPED_TRACE(std::string(inlineCompletion ? "inline " : "pending ") +
                         (stall ? "stall" : "failure"));
            bus().setTiming(host::usb::Timing::fixedLatency(inlineCompletion));
            Match read{.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0};
            bus().addFault(stall ? Fault::stalling(read) : Fault::failing(read));
            std::memset(adapter_->RegisterReadBuffer, 0x3C, sizeof(adapter_->RegisterReadBuffer));
            const std::vector<unsigned char> before = readBuffer();

            EXPECT_EQ(ReadRegisters(adapter_, STATION_ADDRESS_LENGTH, StationAddress),
                      ULONG{KT735N_FAILED});
            EXPECT_EQ(readBuffer(), before);
            ASSERT_FALSE(bus().log().empty());
            EXPECT_TRUE(bus().log().back().done());
            EXPECT_FALSE(USBD_SUCCESS(bus().log().back().status));
            bus().clearFaults();
        }
    }
}

// Late answers: 4.9 seconds is in time (fixed latency, so that the answer lands on the exact
// tick); a request held past 5 seconds is cancelled, and the register routines report that
// timeout as a failure. (A stack slow to complete the cancel: the test below.)
TEST_F(UsbChannelTest, RequestPendingFiveSecondsTimesOut) {
    bus().setTiming(host::usb::Timing::fixedLatency());
    const host::Time latency = bus().timing().control;
    Match read{.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0};

    bus().addFault(Fault::delaying(read, 4900 * kMillisecond - latency));
    const host::Time start = world().now();
    EXPECT_EQ(ReadRegisters(adapter_, STATION_ADDRESS_LENGTH, StationAddress), ULONG{KT735N_OK});
    EXPECT_EQ(world().now() - start, 4900 * kMillisecond);
    EXPECT_EQ(bus().log().back().status, USBD_STATUS_SUCCESS);

    bus().addFault(Fault::holding({.function = URB_FUNCTION_VENDOR_DEVICE}, 2));
    EXPECT_EQ(ReadRegisters(adapter_, 1, Register7A), ULONG{KT735N_FAILED});
    adapter_->RegisterWriteBuffer[0] = 0x24;
    adapter_->RegisterWriteBuffer[1] = 0x00;
    EXPECT_EQ(WriteRegisters(adapter_, 2, Register7E), ULONG{KT735N_FAILED});
    EXPECT_EQ(bus().outstanding(), 0u);
    EXPECT_EQ(world().irps().liveCount(), 0u);
    EXPECT_EQ(bus().logText().back(), "VENDOR_DEVICE 40 f1 0000 007e 0002 out 2400 CANCELED");

    // Nothing is left to fire later.
    world().scheduler().runFor(10 * kSecond);
    EXPECT_EQ(bus().log().size(), 3u);
}

// No request can be built: nothing reaches the bus and the result is KT735N_FAILED.
TEST_F(UsbChannelTest, RequestThatCannotBeBuiltFailsWithoutTouchingTheBus) {
    world().memory().failNth(host::Memory::Kind::Irp, 1);
    URB urb = readUrb(1, Control0);
    EXPECT_EQ(SubmitUrbSync(adapter_, &urb), ULONG{KT735N_FAILED});
    world().memory().failNth(host::Memory::Kind::Irp, 1);
    EXPECT_EQ(SubmitPortRequestSync(adapter_, IOCTL_INTERNAL_USB_CYCLE_PORT), ULONG{KT735N_FAILED});
    // Runs longer than the buffers are refused before anything is built.
    EXPECT_EQ(ReadRegisters(adapter_, sizeof(adapter_->RegisterReadBuffer) + 1, Control0),
              ULONG{KT735N_FAILED});
    EXPECT_EQ(WriteRegisters(adapter_, sizeof(adapter_->RegisterWriteBuffer) + 1, WakeFrame0),
              ULONG{KT735N_FAILED});
    // An adapter whose device objects were never fetched has nowhere to send.
    PDEVICE_OBJECT next = adapter_->NextDeviceObject;
    adapter_->NextDeviceObject = nullptr;
    EXPECT_EQ(ReadRegisters(adapter_, 1, Control0), ULONG{KT735N_FAILED});
    adapter_->NextDeviceObject = next;
    EXPECT_TRUE(bus().log().empty());
    EXPECT_EQ(world().irps().liveCount(), 0u);
}

// ---- a lower driver that completes cancelled requests only later ------------------------------

// Holds every request it gets; its cancel routine completes the request 20 ms after the cancel,
// as a stack that must first stop a transfer on the wire does.
struct SlowCancelStack {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ULONG ioControlCode = 0;
    host::Time received = -1;
    host::Time completed = -1;
};
SlowCancelStack* g_stack = nullptr;

VOID NTAPI SlowCancel(PDEVICE_OBJECT, PIRP irp) {
    host::world().scheduler().after(
        20 * kMillisecond,
        [irp] {
            g_stack->completed = host::world().now();
            irp->IoStatus.Status = STATUS_CANCELLED;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "slow cancel");
}

NTSTATUS NTAPI HoldRequest(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    g_stack->ioControlCode = location->Parameters.DeviceIoControl.IoControlCode;
    g_stack->received = host::world().now();
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, SlowCancel);
    return STATUS_PENDING;
}

TEST_F(UsbChannelTest, TimedOutRequestIsWaitedForUntilItsCancelCompletes) {
    SlowCancelStack stack;
    g_stack = &stack;
    stack.driver = host::createDriverObject(L"\\Driver\\SlowCancel");
    stack.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HoldRequest;
    ASSERT_EQ(
        IoCreateDevice(stack.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stack.device),
        STATUS_SUCCESS);
    PDEVICE_OBJECT next = adapter_->NextDeviceObject;
    adapter_->NextDeviceObject = stack.device;

    // Both routines time out after five seconds (the port request after its one-second pause)
    // and return only once the late cancellation has completed the request.
    for (ULONG code :
         {ULONG{IOCTL_INTERNAL_USB_SUBMIT_URB}, ULONG{IOCTL_INTERNAL_USB_CYCLE_PORT}}) {
        const host::Time start = world().now();
        const host::Time pause = code == IOCTL_INTERNAL_USB_CYCLE_PORT ? kSecond : 0;
        URB urb = readUrb(1, Control0);
        EXPECT_EQ(code == IOCTL_INTERNAL_USB_SUBMIT_URB ? SubmitUrbSync(adapter_, &urb)
                                                        : SubmitPortRequestSync(adapter_, code),
                  ULONG(STATUS_IO_TIMEOUT));
        EXPECT_EQ(stack.ioControlCode, code);
        EXPECT_EQ(stack.received, start + pause);
        EXPECT_EQ(stack.completed, start + pause + 5 * kSecond + 20 * kMillisecond);
        EXPECT_EQ(world().now(), stack.completed);
        EXPECT_EQ(world().irps().liveCount(), 0u);
    }

    adapter_->NextDeviceObject = next;
    host::deleteDriverObject(stack.driver);
    g_stack = nullptr;
}

// A tracked IRP whose cancel routine, inside CancelTrackedIrp's IoCancelIrp, completes it and
// then stands for another processor in that window: the slot's next IRP is passed down and
// completes there too. The cancelled IRP is the canceller's to free; the next one is freed by
// its own completion, not left to a canceller that never heard of it.
struct CancelWindow {
    Adapter* adapter = nullptr;
    CancellableIrp* slot = nullptr;
};
CancelWindow* g_window = nullptr;

NTSTATUS NTAPI ReleaseOnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
    ReleaseTrackedIrp(g_window->adapter, g_window->slot, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI CompleteAndRunTheNext(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    PIRP next = IoAllocateIrp(1, FALSE);
    TrackIrp(g_window->adapter, g_window->slot, next);
    ReleaseTrackedIrp(g_window->adapter, g_window->slot, next);
}

NTSTATUS NTAPI HoldForCancel(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CompleteAndRunTheNext);
    return STATUS_PENDING;
}

TEST_F(UsbChannelTest, CancellerFreesOnlyTheIrpItCancelled) {
    CancellableIrp slot{};
    CancelWindow window{adapter_, &slot};
    g_window = &window;
    PDRIVER_OBJECT driver = host::createDriverObject(L"\\Driver\\HoldForCancel");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HoldForCancel;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);

    const std::size_t live = world().irps().liveCount();
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, ReleaseOnCompletion, nullptr, TRUE, TRUE, TRUE);
    TrackIrp(adapter_, &slot, irp);
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
    EXPECT_TRUE(CancelTrackedIrp(adapter_, &slot));
    EXPECT_EQ(world().irps().liveCount(), live);
    EXPECT_EQ(slot.Irp, nullptr);
    EXPECT_FALSE(CancelTrackedIrp(adapter_, &slot)); // nothing left to cancel

    host::deleteDriverObject(driver);
    g_window = nullptr;
}

} // namespace

} // namespace kt735n_test
