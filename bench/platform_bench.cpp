// Real-time cost of the host platform's building blocks, so a regression in the simulation's
// speed shows: virtual-time events, and one synchronous vendor register read through the I/O
// manager, the USB bus and the device model (the path of every register access the driver makes
// at initialization).
#include <benchmark/benchmark.h>

#include "host/usb_bus.h"
#include "host/world.h"
#include "kt735_device.h"

namespace {

void ScheduledEvents(benchmark::State& state) {
    host::World world;
    std::int64_t ran = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            world.scheduler().after(i % 7, [&ran] { ++ran; });
        }
        world.scheduler().runUntilIdle();
    }
    state.SetItemsProcessed(ran);
}
BENCHMARK(ScheduledEvents);

void SynchronousRegisterRead(benchmark::State& state) {
    host::World world;
    kt735::model::Kt735Device device;
    host::usb::Bus bus;
    bus.plug(device);
    bus.setLogging(false);
    UCHAR buffer[6] = {};
    for (auto _ : state) {
        URB urb{};
        UsbBuildVendorRequest(
            &urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            USBD_TRANSFER_DIRECTION_IN, 0, 0xF0, 0, 0x10, buffer, nullptr, sizeof(buffer), nullptr);
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.pdo(), nullptr,
                                                 0, nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        if (IofCallDriver(bus.pdo(), irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        }
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(state.iterations());
    bus.unplug();
}
BENCHMARK(SynchronousRegisterRead);

} // namespace
