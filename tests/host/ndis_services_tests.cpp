// NDIS memory, spin locks, miniport timers and NdisMSleep.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

constexpr ULONG kTag = 0x5A516161; // "aaQZ"

// ---- memory and spin locks --------------------------------------------------------------------

TEST_F(NdisTest, NdisMemoryIsNotZeroedCanFailAndItsLengthIsCheckedOnFree) {
    PVOID p = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 32, kTag), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<std::uint8_t*>(p)[31], Memory::kFillPattern);
    {
        ExpectViolation v(rule::kPoolFreeMismatch);
        NdisFreeMemory(p, 16, 0);
        // Pool memory is not NDIS memory.
        NdisFreeMemory(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), 8, 0);
        EXPECT_EQ(v.count(), 2u);
    }
    EXPECT_TRUE(memory().outstanding(Memory::Kind::Ndis).empty());
    // A failed allocation gives failure and null.
    memory().failNth(Memory::Kind::Ndis, 1);
    p = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&p, 8, kTag), NDIS_STATUS_FAILURE);
    EXPECT_EQ(p, nullptr);
}

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
    void set(UINT milliseconds) {
        NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&timer), milliseconds);
    }
    bool cancel() {
        BOOLEAN cancelled = FALSE;
        NdisMCancelTimer(&timer, &cancelled);
        return cancelled != FALSE;
    }
    NDIS_MINIPORT_TIMER timer;
};

TEST_F(NdisTimerTest, RunsOnceAtDispatchLevelAfterTheDelay) {
    set(250);
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
    set(100);
    scheduler().runFor(50 * kMillisecond);
    set(100);
    scheduler().runUntilIdle();
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].when, 150 * kMillisecond);
}

TEST_F(NdisTimerTest, CancelSaysWhetherTheTimerWasSet) {
    set(100);
    EXPECT_TRUE(cancel());
    scheduler().runFor(kSecond);
    EXPECT_TRUE(g_runs.empty());
    EXPECT_FALSE(cancel());
    set(10);
    scheduler().runFor(kSecond);
    EXPECT_FALSE(cancel());
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
    set(5000);
    {
        ExpectViolation v(rule::kTimerPendingAtHalt);
        remove();
    }
    scheduler().runFor(10 * kSecond);
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(NdisTimerTest, FreeingMemoryThatHoldsASetTimerIsReported) {
    for (bool set : {true, false}) {
        for (bool ndisMemory : {true, false}) {
            PVOID block = nullptr;
            if (ndisMemory) {
                ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 256, kTag), NDIS_STATUS_SUCCESS);
            } else {
                block = ExAllocatePoolWithTag(NonPagedPool, 256, kTag);
            }
            auto* t = reinterpret_cast<PNDIS_MINIPORT_TIMER>(static_cast<char*>(block) + 64);
            NdisMInitializeTimer(t, script.adapterHandle, timerFunction, nullptr);
            if (set) {
                NdisMSetTimer(t, 100);
            }
            // Memory holding a timer that is not set may go.
            ExpectViolation v(rule::kTimerFreedPending, set);
            if (ndisMemory) {
                NdisFreeMemory(block, 256, 0);
            } else {
                ExFreePool(block);
            }
            EXPECT_EQ(v.count(), set ? 1u : 0u);
        }
    }
    scheduler().runFor(kSecond);
    EXPECT_TRUE(g_runs.empty());
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
