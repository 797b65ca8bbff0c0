// NDIS memory freed with the wrong length, and the verifier's timer and work-item rules. Spin
// locks, NdisMSleep and timers that run, move and cancel are exercised by tests/driver.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

constexpr ULONG kTag = 0x5A516161; // "aaQZ"

// ---- memory ------------------------------------------------------------------------------------

TEST_F(NdisTest, NdisMemoryFreedWithTheWrongLengthOrFromPoolIsReported) {
    PVOID p = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 32, kTag), NDIS_STATUS_SUCCESS);
    ExpectViolation v(rule::kPoolFreeMismatch);
    NdisFreeMemory(p, 16, 0);
    NdisFreeMemory(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), 8, 0);
    EXPECT_EQ(v.count(), 2u);
    EXPECT_TRUE(memory().outstanding(Memory::Kind::Ndis).empty());
}

// ---- timers ------------------------------------------------------------------------------------

struct TimerRun {
    PVOID context;
    KIRQL irql;
    Time when;
};
std::vector<TimerRun> g_runs;

VOID NTAPI timerFunction(PVOID, PVOID context, PVOID, PVOID) {
    g_runs.push_back({context, KeGetCurrentIrql(), World::current().now()});
}

class NdisTimerTest : public NdisTest {
  protected:
    NdisTimerTest() {
        g_runs.clear();
        start();
        NdisMInitializeTimer(&timer, script.adapterHandle, timerFunction, &script.context);
    }
    void set(UINT milliseconds) {
        NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), milliseconds);
    }
    NDIS_MINIPORT_TIMER timer;
};

TEST_F(NdisTimerTest, SettingAnUninitialisedTimerIsReported) {
    NDIS_MINIPORT_TIMER other;
    ExpectViolation v(rule::kTimerNotInitialized);
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&other), 10);
    scheduler().runFor(kSecond);
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(NdisTimerTest, ATimerStillSetAfterHaltIsReportedAndNeverRuns) {
    set(5000);
    {
        ExpectViolation v(rule::kTimerPendingAtHalt);
        remove();
    }
    scheduler().runFor(10 * kSecond);
    EXPECT_TRUE(g_runs.empty());
}

// The timer function runs once, when due, at DISPATCH_LEVEL; one that comes back at another IRQL
// or holding a spin lock is reported against it.
TEST_F(NdisTimerTest, ATimerFunctionRunsAtDispatchLevelAndItsReturnIsChecked) {
    const Time start = World::current().now();
    set(10);
    scheduler().runFor(kSecond);
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(g_runs[0].when, start + 10 * kMillisecond);

    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const std::pair<const char*, PNDIS_TIMER_FUNCTION> cases[] = {
        {rule::kIrqlNotRestored, [](PVOID, PVOID, PVOID, PVOID) { KfRaiseIrql(HIGH_LEVEL); }},
        {rule::kSpinLockHeldOnReturn,
         [](PVOID, PVOID, PVOID, PVOID) { KefAcquireSpinLockAtDpcLevel(&lock); }},
    };
    for (const auto& [broken, function] : cases) {
        NdisMInitializeTimer(&timer, script.adapterHandle, function, nullptr);
        ExpectViolation v(broken);
        set(1);
        scheduler().runFor(kSecond);
        ASSERT_EQ(v.count(), 1u) << broken;
        EXPECT_EQ(v.seen().front().call, "NDIS timer function");
    }
}

// NDIS memory holding a set timer may not be freed; one holding a timer that is not set may.
TEST_F(NdisTimerTest, FreeingMemoryThatHoldsASetTimerIsReported) {
    for (bool set : {true, false}) {
        PVOID block = nullptr;
        ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 256, kTag), NDIS_STATUS_SUCCESS);
        auto* t = reinterpret_cast<PNDIS_MINIPORT_TIMER>(static_cast<char*>(block) + 64);
        NdisMInitializeTimer(t, script.adapterHandle, timerFunction, nullptr);
        if (set) {
            NdisMSetTimer(t, 100);
        }
        ExpectViolation v(rule::kTimerFreedPending, set);
        NdisFreeMemory(block, 256, 0);
        EXPECT_EQ(v.count(), set ? 1u : 0u);
    }
    scheduler().runFor(kSecond);
    EXPECT_TRUE(g_runs.empty());
}

// ---- work items --------------------------------------------------------------------------------

std::vector<TimerRun> g_work;

VOID NTAPI workRoutine(PNDIS_WORK_ITEM, PVOID context) {
    g_work.push_back({context, KeGetCurrentIrql(), World::current().now()});
}

TEST_F(NdisTest, AWorkItemRunsOnceAtPassiveLevelAndMayNotBeQueuedTwiceOrOutliveItsMemory) {
    g_work.clear();
    start();
    NDIS_WORK_ITEM item;
    NdisInitializeWorkItem(&item, workRoutine, &script.context);
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(NdisScheduleWorkItem(&item), NDIS_STATUS_SUCCESS);
        ExpectViolation v(rule::kWorkItemRequeued);
        EXPECT_EQ(NdisScheduleWorkItem(&item), NDIS_STATUS_FAILURE);
        KeLowerIrql(old);
    }
    EXPECT_TRUE(g_work.empty());
    scheduler().runUntilIdle();
    ASSERT_EQ(g_work.size(), 1u);
    EXPECT_EQ(g_work[0].context, &script.context);
    EXPECT_EQ(g_work[0].irql, PASSIVE_LEVEL);

    PVOID block = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 128, kTag), NDIS_STATUS_SUCCESS);
    auto* held = static_cast<PNDIS_WORK_ITEM>(block);
    NdisInitializeWorkItem(held, workRoutine, nullptr);
    ASSERT_EQ(NdisScheduleWorkItem(held), NDIS_STATUS_SUCCESS);
    {
        ExpectViolation v(rule::kWorkItemFreedQueued);
        NdisFreeMemory(block, 128, 0);
    }
    ASSERT_EQ(NdisScheduleWorkItem(&item), NDIS_STATUS_SUCCESS);
    {
        ExpectViolation v(rule::kWorkItemPendingAtHalt);
        remove();
    }
    scheduler().runFor(kSecond);
    EXPECT_EQ(g_work.size(), 1u);
}

} // namespace
} // namespace host::testing
