// NDIS memory, spin locks, miniport timers and NdisMSleep.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

constexpr ULONG kTag = 0x5A516161; // "aaQZ"

// ---- memory -----------------------------------------------------------------------------------

TEST_F(NdisTest, NdisMemoryIsNotZeroedAndItsLengthIsCheckedOnFree) {
    PVOID p = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 32, kTag), NDIS_STATUS_SUCCESS);
    auto* bytes = static_cast<std::uint8_t*>(p);
    EXPECT_EQ(bytes[0], Memory::kFillPattern);
    EXPECT_EQ(bytes[31], Memory::kFillPattern);
    EXPECT_EQ(memory().outstanding(Memory::Kind::Ndis).at(kTag).second, 32u);
    {
        ExpectViolation v(rule::kPoolFreeMismatch);
        NdisFreeMemory(p, 16, 0);
    }
    EXPECT_TRUE(memory().outstanding(Memory::Kind::Ndis).empty());
    // Pool memory is not NDIS memory.
    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    {
        ExpectViolation v(rule::kPoolFreeMismatch);
        NdisFreeMemory(pool, 8, 0);
    }
}

TEST_F(NdisTest, AFailedNdisAllocationGivesFailureAndNull) {
    memory().failNth(Memory::Kind::Ndis, 2);
    PVOID first = nullptr;
    PVOID second = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&first, 8, kTag), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&second, 8, kTag), NDIS_STATUS_FAILURE);
    EXPECT_EQ(second, nullptr);
    NdisFreeMemory(first, 8, 0);
}

// ---- spin locks -------------------------------------------------------------------------------

TEST_F(NdisTest, SpinLocksRaiseToDispatchAndRestoreTheCallersIrql) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    {
        IrqlScope apc(APC_LEVEL);
        NdisAcquireSpinLock(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(heldSpinLocks().size(), 1u);
        NdisReleaseSpinLock(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        EXPECT_TRUE(heldSpinLocks().empty());
    }
    {
        IrqlScope dpc(DISPATCH_LEVEL);
        NdisDprAcquireSpinLock(&lock);
        EXPECT_EQ(heldSpinLocks().size(), 1u);
        NdisDprReleaseSpinLock(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    }
    {
        ExpectViolation v(rule::kSpinLockIrql);
        NdisDprAcquireSpinLock(&lock); // at PASSIVE_LEVEL
    }
    {
        ExpectViolation v(rule::kNdisMisuse);
        NdisFreeSpinLock(&lock); // still held
    }
    IrqlScope dpc(DISPATCH_LEVEL);
    ExpectViolation v(rule::kSpinLockIrql, false);
    NdisDprReleaseSpinLock(&lock);
}

// ---- timers -----------------------------------------------------------------------------------

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
    NDIS_MINIPORT_TIMER timer;
};

TEST_F(NdisTimerTest, RunsOnceAtDispatchLevelAfterTheDelay) {
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), 250);
    scheduler().runFor(249 * kMillisecond);
    EXPECT_TRUE(g_runs.empty());
    scheduler().runUntilIdle();
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].context, &script.context);
    EXPECT_EQ(g_runs[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(g_runs[0].when, 250 * kMillisecond);
    scheduler().runFor(10 * kSecond);
    EXPECT_EQ(g_runs.size(), 1u);
    // A zero delay runs as soon as the scheduler does.
    NdisMSetTimer(&timer, 0);
    EXPECT_EQ(g_runs.size(), 1u);
    scheduler().runUntilIdle();
    EXPECT_EQ(g_runs.size(), 2u);
}

TEST_F(NdisTimerTest, SettingAPendingTimerLeavesOneRunAtTheNewTime) {
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), 100);
    scheduler().runFor(50 * kMillisecond);
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), 100);
    scheduler().runUntilIdle();
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].when, 150 * kMillisecond);
}

TEST_F(NdisTimerTest, CancelSaysWhetherTheTimerWasSet) {
    BOOLEAN cancelled = FALSE;
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), 100);
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_TRUE(cancelled);
    scheduler().runFor(kSecond);
    EXPECT_TRUE(g_runs.empty());
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled);
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), 10);
    scheduler().runFor(kSecond);
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(g_runs.size(), 1u);
}

TEST_F(NdisTimerTest, SettingAnUninitialisedTimerIsReported) {
    NDIS_MINIPORT_TIMER other;
    ExpectViolation v(rule::kTimerNotInitialized);
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&other), 10);
    scheduler().runFor(kSecond);
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(NdisTimerTest, ATimerStillSetAfterHaltIsReportedAndNeverRuns) {
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), 5000);
    {
        ExpectViolation v(rule::kTimerPendingAtHalt);
        remove();
    }
    scheduler().runFor(10 * kSecond);
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(NdisTest, FreeingMemoryThatHoldsASetTimerIsReported) {
    g_runs.clear();
    start();
    for (bool ndisMemory : {true, false}) {
        PVOID block = nullptr;
        if (ndisMemory) {
            ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 256, kTag), NDIS_STATUS_SUCCESS);
        } else {
            block = ExAllocatePoolWithTag(NonPagedPool, 256, kTag);
        }
        auto* t = reinterpret_cast<PNDIS_MINIPORT_TIMER>(static_cast<char*>(block) + 64);
        NdisMInitializeTimer(t, script.adapterHandle, timerFunction, nullptr);
        NdisMSetTimer(t, 100);
        {
            ExpectViolation v(rule::kTimerFreedPending);
            if (ndisMemory) {
                NdisFreeMemory(block, 256, 0);
            } else {
                ExFreePool(block);
            }
        }
        scheduler().runFor(kSecond);
        EXPECT_TRUE(g_runs.empty());
    }
    // Memory holding a timer that is not set may go.
    PVOID block = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 256, kTag), NDIS_STATUS_SUCCESS);
    auto* t = static_cast<PNDIS_MINIPORT_TIMER>(block);
    NdisMInitializeTimer(t, script.adapterHandle, timerFunction, nullptr);
    NdisFreeMemory(block, 256, 0);
    remove();
}

// ---- sleep ------------------------------------------------------------------------------------

TEST_F(NdisTest, SleepAdvancesVirtualTimeAndRunsWhatFallsDue) {
    std::vector<Time> ran;
    scheduler().after(3 * kMillisecond, [&] { ran.push_back(world().now()); });
    NdisMSleep(10000);
    EXPECT_EQ(world().now(), 10 * kMillisecond);
    EXPECT_EQ(ran, std::vector<Time>{3 * kMillisecond});
    IrqlScope dpc(DISPATCH_LEVEL);
    ExpectViolation v(rule::kWaitAtRaisedIrql);
    NdisMSleep(1);
}

} // namespace
} // namespace host::testing
