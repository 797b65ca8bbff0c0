// Real-time cost of a frame through the whole stack: NDIS's upper edge, the driver, the I/O
// manager, the USB bus and the KT735 model, and back, in both directions and for three frame
// sizes. Beside each, in the same binary, a baseline: a memcpy of the frame plus one
// IoAllocateIrp/IoFreeIrp pair. Counters: frames per second of CPU time, heap allocations per
// frame in steady state, and the ratio of the frame's cost to the baseline's.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "host/ndis.h"
#include "host/pnp.h"
#include "host/usb_bus.h"
#include "host/world.h"
#include "kt735_device.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// ---- heap allocations, counted ---------------------------------------------------------------

namespace {
std::atomic<std::uint64_t> g_allocations{0};
} // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer owns malloc: count operator new only.
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#else
// Every malloc of the process (operator new included) goes through here.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t size) {
    ++g_allocations;
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    ++g_allocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    ++g_allocations;
    return __libc_realloc(p, size);
}
}
#endif

namespace {

using host::kMillisecond;

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::uint8_t> makeFrame(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; i++) {
        bytes[i] = static_cast<std::uint8_t>(i < 6 ? 0xFF : i);
    }
    return bytes;
}

// CPU seconds of one baseline operation for frames of `length` bytes: the frame copied once and
// one IRP allocated and freed through the host's I/O manager.
double baselineSeconds(std::size_t length) {
    std::vector<std::uint8_t> from = makeFrame(length);
    std::vector<std::uint8_t> to(length);
    constexpr int kRounds = 200000;
    double start = threadSeconds();
    for (int i = 0; i < kRounds; i++) {
        std::memcpy(to.data(), from.data(), length);
        benchmark::DoNotOptimize(to.data());
        PIRP irp = IoAllocateIrp(2, FALSE);
        benchmark::DoNotOptimize(irp);
        IoFreeIrp(irp);
    }
    return (threadSeconds() - start) / kRounds;
}

// The driver started on Ethernet against a 10/100 partner, the link settled. Upper-edge
// records are off (only counted), and so are the bus's and the chip's logs: the stack keeps
// nothing per frame.
struct Stack {
    host::World world;
    kt735::model::Kt735Device device;
    host::usb::Bus bus;
    PDRIVER_OBJECT driver = nullptr;
    host::ndis::Adapter* adapter = nullptr;

    Stack() {
        world.verifier().setHandler([](const host::Violation& v) {
            std::fprintf(stderr, "verifier: %s\n", v.text().c_str());
            std::abort();
        });
        NTSTATUS status = STATUS_PENDING;
        driver = world.pnp().loadDriver(DriverEntry, L"KT735N", &status);
        bus.plug(device);
        world.pnp().addDevice(driver, bus.pdo());
        adapter = world.ndis().lastAdapter();
        world.pnp().startDevice(bus.pdo());
        if (adapter == nullptr || !adapter->running()) {
            std::fprintf(stderr, "the adapter did not start\n");
            std::abort();
        }
        world.scheduler().runFor(3000 * kMillisecond);
        bus.setLogging(false);
        device.setLogging(false);
        adapter->log().setRecording(false);
    }
    ~Stack() {
        world.pnp().removeDevice(bus.pdo());
        world.pnp().unloadDriver(driver);
    }
    // Until the frame's bulk-out transfer has reached the chip and completed.
    void sendOne(std::span<const std::uint8_t> frame) {
        std::uint64_t before = device.counters().bulkOutTransfers;
        if (adapter->send(frame).status != NDIS_STATUS_PENDING) {
            std::fprintf(stderr, "the send was refused\n");
            std::abort();
        }
        runUntil([&] { return device.counters().bulkOutTransfers != before; });
    }
    void receiveOne(std::span<const std::uint8_t> frame) {
        std::uint64_t before = adapter->log().receivedCount;
        device.ethernet().sendToAdapter(frame);
        // Until indicated and the packet returned to the driver.
        runUntil([&] {
            return adapter->log().receivedCount != before && adapter->packetsHeldByNdis() == 0;
        });
    }
    template <class Done>
    void runUntil(Done done) {
        for (int steps = 0; !done(); ++steps) {
            if (steps > 100000 || !world.scheduler().step(world.now() + 10 * host::kSecond)) {
                std::fprintf(stderr, "a frame did not make it through\n");
                std::abort();
            }
        }
    }
};

template <bool kSend>
void Frames(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    Stack stack;
    const std::vector<std::uint8_t> frame = makeFrame(length);
    auto one = [&] {
        if constexpr (kSend) {
            stack.sendOne(frame);
        } else {
            stack.receiveOne(frame);
        }
    };
    for (int i = 0; i < 2000; i++) { // warm the pools up
        one();
    }
    const double baseline = baselineSeconds(length);
    const std::uint64_t allocations = g_allocations.load();
    const double start = threadSeconds();
    for (auto _ : state) {
        one();
    }
    const double seconds = threadSeconds() - start;
    const auto frames = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
    state.counters["allocs_per_frame"] =
        static_cast<double>(g_allocations.load() - allocations) / frames;
    state.counters["baseline_ns"] = baseline * 1e9;
    state.counters["x_baseline"] = seconds / frames / baseline;
}
BENCHMARK(Frames<true>)->Name("Send")->Arg(60)->Arg(590)->Arg(1514);
BENCHMARK(Frames<false>)->Name("Receive")->Arg(60)->Arg(590)->Arg(1514);

// Goodput in virtual time of a stream of 1514-byte frames: sends (range 1), receives (range 2)
// or both at once (3), the driver's queue and the chip's FIFO kept full. Counters in bytes per
// virtual second, against the bus's 1,216,000 B/s.
void VirtualGoodput(benchmark::State& state) {
    const bool sending = (state.range(0) & 1) != 0;
    const bool receiving = (state.range(0) & 2) != 0;
    const std::vector<std::uint8_t> frame = makeFrame(1514);
    double sent = 0;
    double received = 0;
    for (auto _ : state) {
        Stack stack;
        const std::uint64_t tx0 = stack.device.counters().txFrames;
        const std::uint64_t rx0 = stack.adapter->log().receivedCount;
        const host::Time start = stack.world.now();
        const host::Time end = start + 2 * host::kSecond;
        // The driver takes every send and keeps what it cannot hand over yet waiting, so the
        // queue is kept full by holding this many sends not yet completed.
        constexpr std::uint64_t kSendsOutstanding = 64;
        std::uint64_t issued = 0;
        while (stack.world.now() < end) {
            while (sending &&
                   issued - stack.adapter->log().sendCompletionCount < kSendsOutstanding) {
                stack.adapter->send(frame);
                ++issued;
            }
            while (receiving && stack.device.rxFifoDepth() < 4) {
                stack.device.ethernet().sendToAdapter(frame);
            }
            stack.world.scheduler().step(end);
        }
        const double seconds = static_cast<double>(stack.world.now() - start) / host::kSecond;
        sent = static_cast<double>(stack.device.counters().txFrames - tx0) * 1514 / seconds;
        received = static_cast<double>(stack.adapter->log().receivedCount - rx0) * 1514 / seconds;
    }
    state.counters["tx_Bps"] = sent;
    state.counters["rx_Bps"] = received;
    state.counters["total_Bps"] = sent + received;
}
BENCHMARK(VirtualGoodput)->Arg(1)->Arg(2)->Arg(3)->Iterations(1)->Unit(benchmark::kMillisecond);

// The baseline on its own, for the table.
void Baseline(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    host::World world;
    std::vector<std::uint8_t> from = makeFrame(length);
    std::vector<std::uint8_t> to(length);
    const std::uint64_t allocations = g_allocations.load();
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), length);
        benchmark::DoNotOptimize(to.data());
        PIRP irp = IoAllocateIrp(2, FALSE);
        benchmark::DoNotOptimize(irp);
        IoFreeIrp(irp);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_frame"] = static_cast<double>(g_allocations.load() - allocations) /
                                         static_cast<double>(state.iterations());
}
BENCHMARK(Baseline)->Name("MemcpyAndIrp")->Arg(60)->Arg(590)->Arg(1514);

} // namespace
