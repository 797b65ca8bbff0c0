// The host's threaded mode: events due at one instant overlap on the processors and the clock
// waits for them, waits block until an event on another processor satisfies them, and the
// verifier's rules hold per processor, with the rules that only several processors can break
// (lock order, a lock held too long, a lock at the wrong IRQL on a processor thread).
#include <host/smp.h>
#include <host/testing.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using host::HostLock;
using host::kMillisecond;
using host::kSecond;
using host::Scheduler;

class Threaded : public host::testing::WorldTest {
  protected:
    // Schedules `body`, standing for driver code, at `when` (virtual) on whichever processor
    // takes it, at `level`.
    void at(host::Time when, std::function<void()> body, Scheduler::Level level) {
        HostLock::Hold hold;
        const KIRQL irql = level == Scheduler::Level::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL;
        scheduler().at(
            when, [body = std::move(body), irql] { host::callDriverAt(irql, "test", body); },
            "test event", level);
    }
    void runFor(host::Time duration) {
        HostLock::Hold hold;
        scheduler().runFor(duration);
    }
};

TEST_F(Threaded, InstantOverlapsOnProcessorsAndWaitsBlockUntilAnotherProcessorSignals) {
    world().startProcessors(4);
    // Two events at one instant each wait (in real time, bounded) for the other to be inside:
    // they can only both finish if they run at the same time; the clock stays at the instant.
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{true};
    std::atomic<host::Time> seen[2] = {0, 0};
    for (int i = 0; i < 2; i++) {
        at(
            10 * kMillisecond,
            [&, i] {
                inside++;
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (inside < 2 && std::chrono::steady_clock::now() < until) {
                    std::this_thread::yield();
                }
                overlapped = overlapped && inside == 2;
                seen[i] = world().now();
            },
            Scheduler::Level::Dispatch);
    }
    // A passive event waits on an event another processor sets 5 s of virtual time later.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<host::Time> woke{0};
    NTSTATUS waited = STATUS_PENDING;
    at(
        20 * kMillisecond,
        [&] {
            waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woke = world().now();
        },
        Scheduler::Level::Passive);
    at(
        5 * kSecond + 20 * kMillisecond, [&] { KeSetEvent(&event, 0, FALSE); },
        Scheduler::Level::Dispatch);
    runFor(10 * kSecond);
    EXPECT_TRUE(overlapped);
    EXPECT_EQ(seen[0], 10 * kMillisecond);
    EXPECT_EQ(seen[1], 10 * kMillisecond);
    EXPECT_EQ(waited, STATUS_SUCCESS);
    EXPECT_EQ(woke, 5 * kSecond + 20 * kMillisecond);
    EXPECT_GE(world().processors()->mostAtOnce(), 2u);
    world().stopProcessors();
    EXPECT_EQ(world().now(), 10 * kSecond);
}

// A thread outside the processors (a sender) inside a driver call holds the clock at its
// instant, however long its real processor keeps it there: a wait for the call to return (NDIS
// halting an adapter waits for the sends inside the miniport) must find it returned at that
// instant, not the clock run on to the next event (here 300 s on, where removal's hang watch
// fires). A wait inside a driver call lets the clock go on.
TEST_F(Threaded, AThreadInADriverCallHoldsTheClockUntilItReturnsOrWaits) {
    world().startProcessors(4);
    at(
        300 * kSecond, [] {}, Scheduler::Level::Dispatch);
    std::atomic<bool> inside{false};
    bool returned = false; // under the host lock
    std::thread sender([&] {
        HostLock::Hold hold;
        host::callDriverAt(DISPATCH_LEVEL, "test", [&] {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // preempted mid-call
        });
        returned = true;
    });
    while (!inside) {
        std::this_thread::yield();
    }
    host::Time before = 0, returnedAt = 0, slept = 0;
    {
        HostLock::Hold hold;
        before = world().now();
        host::waitUntil([&] { return returned; }, host::kForever, "test");
        returnedAt = world().now();
        host::callDriverAt(PASSIVE_LEVEL, "test", [] {
            LARGE_INTEGER second{};
            second.QuadPart = -10 * 1000 * 1000;
            KeDelayExecutionThread(KernelMode, FALSE, &second);
        });
        slept = world().now() - returnedAt;
    }
    sender.join();
    world().stopProcessors();
    EXPECT_EQ(returnedAt, before);
    EXPECT_EQ(slept, kSecond);
}

TEST_F(Threaded, VerifierRulesHoldOnEveryProcessor) {
    struct Case {
        const char* rule;
        Scheduler::Level level;
        std::function<void(PKSPIN_LOCK a, PKSPIN_LOCK b)> first, second;
    };
    auto nested = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        KIRQL old = KfAcquireSpinLock(outer);
        KefAcquireSpinLockAtDpcLevel(inner);
        KefReleaseSpinLockFromDpcLevel(inner);
        KfReleaseSpinLock(outer, old);
    };
    const Case cases[] = {
        // One processor takes A then B, another B then A: a deadlock waiting to happen.
        {host::rule::kLockOrderInversion, Scheduler::Level::Dispatch,
         [&](PKSPIN_LOCK a, PKSPIN_LOCK b) { nested(a, b); },
         [&](PKSPIN_LOCK a, PKSPIN_LOCK b) { nested(b, a); }},
        {host::rule::kSpinLockHeldTooLong, Scheduler::Level::Dispatch,
         [](PKSPIN_LOCK a, PKSPIN_LOCK) {
             KIRQL old = KfAcquireSpinLock(a);
             std::this_thread::sleep_for(std::chrono::milliseconds(20));
             KfReleaseSpinLock(a, old);
         },
         nullptr},
        // The DPC-level form at PASSIVE_LEVEL (a work item): the lock's kind needs DISPATCH.
        {host::rule::kSpinLockIrql, Scheduler::Level::Passive,
         [](PKSPIN_LOCK a, PKSPIN_LOCK) {
             KefAcquireSpinLockAtDpcLevel(a);
             KefReleaseSpinLockFromDpcLevel(a);
         },
         nullptr},
        {host::rule::kSpinLockHeldOnReturn, Scheduler::Level::Dispatch,
         [](PKSPIN_LOCK a, PKSPIN_LOCK) { KefAcquireSpinLockAtDpcLevel(a); }, nullptr},
        {host::rule::kWaitAtRaisedIrql, Scheduler::Level::Dispatch,
         [](PKSPIN_LOCK, PKSPIN_LOCK) {
             LARGE_INTEGER interval{};
             interval.QuadPart = -10 * 1000;
             KeDelayExecutionThread(KernelMode, FALSE, &interval);
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        KSPIN_LOCK a;
        KSPIN_LOCK b;
        KeInitializeSpinLock(&a);
        KeInitializeSpinLock(&b);
        host::setSpinLockHoldBound(5 * 1000 * 1000);
        {
            host::testing::ExpectViolation expect(c.rule);
            world().startProcessors(4);
            const host::Time now = world().now();
            at(
                now + kMillisecond, [&] { c.first(&a, &b); }, c.level);
            if (c.second) {
                at(
                    now + 2 * kMillisecond, [&] { c.second(&a, &b); }, c.level);
            }
            runFor(10 * kMillisecond);
            world().stopProcessors();
        }
        host::setSpinLockHoldBound(500 * 1000 * 1000);
        host::forgetLockOrder();
    }
}

} // namespace
