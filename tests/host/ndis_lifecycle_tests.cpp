// What the driver suite cannot show about NDIS's adapter lifecycle: the hang-check cadence, and
// the halt-time leak checks firing. Registration, start, stop, remove, surprise removal and
// shutdown are exercised end to end by tests/driver.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

// ---- hang check -------------------------------------------------------------------------------

TEST_F(NdisTest, HangCheckRunsEveryTwoSecondsAtDispatchLevelUntilHalt) {
    start();
    scheduler().runFor(9 * kSecond);
    EXPECT_EQ(script.hangChecks,
              (std::vector<Time>{2 * kSecond, 4 * kSecond, 6 * kSecond, 8 * kSecond}));
    EXPECT_EQ(script.irql["CheckForHang"], DISPATCH_LEVEL);
    EXPECT_EQ(std::count(script.calls.begin(), script.calls.end(), "Reset"), 0);
    // It is background work: running until idle does not spin on it.
    scheduler().runUntilIdle();
    EXPECT_EQ(script.hangChecks.size(), 4u);
    EXPECT_EQ(pnp().stopDevice(bus.pdo()), STATUS_SUCCESS);
    scheduler().runFor(10 * kSecond);
    EXPECT_EQ(script.hangChecks.size(), 4u);
}

// A pended reset, as Windows 2000 runs it after a check found the adapter hung (at
// DISPATCH_LEVEL): the protocols hear RESET_START, sends and requests are refused with
// NDIS_STATUS_RESET_IN_PROGRESS without reaching the miniport, no hang check or second reset
// runs, until NdisMResetComplete; then RESET_END. A completion nobody waits for is misuse.
TEST_F(NdisTest, PendedResetHoldsSendsRequestsAndChecksUntilComplete) {
    script.hangResult = TRUE;
    script.resetResult = NDIS_STATUS_PENDING;
    ndis::Adapter& adapter = start();
    scheduler().runFor(2 * kSecond);
    ASSERT_TRUE(adapter.resetInProgress());
    EXPECT_EQ(script.irql["Reset"], DISPATCH_LEVEL);
    const std::vector<std::string> before = script.calls;
    const std::uint8_t frame[60] = {};
    EXPECT_EQ(adapter.send(frame).status, NDIS_STATUS_RESET_IN_PROGRESS);
    EXPECT_EQ(adapter.query(OID_GEN_LINK_SPEED, 4).status, NDIS_STATUS_RESET_IN_PROGRESS);
    EXPECT_EQ(adapter.set(OID_GEN_CURRENT_PACKET_FILTER, {0, 0, 0, 0}).status,
              NDIS_STATUS_RESET_IN_PROGRESS);
    EXPECT_EQ(adapter.reset(), NDIS_STATUS_RESET_IN_PROGRESS);
    scheduler().runFor(5 * kSecond);
    EXPECT_EQ(script.calls, before);
    EXPECT_EQ(script.hangChecks.size(), 1u);

    NdisMResetComplete(script.adapterHandle, NDIS_STATUS_SUCCESS, FALSE);
    EXPECT_FALSE(adapter.resetInProgress());
    EXPECT_EQ(adapter.resetResults(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    std::vector<NDIS_STATUS> statuses;
    for (const auto& s : adapter.log().statuses) {
        statuses.push_back(s.status);
    }
    EXPECT_EQ(statuses, (std::vector<NDIS_STATUS>{NDIS_STATUS_RESET_START, NDIS_STATUS_RESET_END}));
    {
        ExpectViolation misuse(rule::kResetCompleteUnpended);
        NdisMResetComplete(script.adapterHandle, NDIS_STATUS_SUCCESS, FALSE);
        EXPECT_EQ(misuse.count(), 1u);
    }
    script.resetResult = NDIS_STATUS_SUCCESS;
    scheduler().runFor(1 * kSecond);
    EXPECT_EQ(script.hangChecks.size(), 2u);
}

// ---- halt-time checks -------------------------------------------------------------------------

VOID NTAPI noShutdown(PVOID) {}

// A halt may wait a while, but one that never returns (it keeps sleeping) is reported as hung
// once the bound in virtual time has passed, and the process ends instead of turning the
// scheduler forever.
TEST_F(NdisTest, HaltThatNeverReturnsIsReportedAsHung) {
    start();
    script.onHalt = [] { NdisMSleep(200 * 1000 * 1000); }; // 200 s, within the bound
    remove();
    start();
    script.onHalt = [] {
        for (;;) {
            NdisMSleep(1000 * 1000);
        }
    };
    EXPECT_DEATH(remove(), "CALL_HUNG (IRP_MN_REMOVE_DEVICE|MiniportHalt): did not return");
}

TEST_F(NdisTest, WhatTheMiniportLeavesBehindIsReportedAtHalt) {
    void *kept = nullptr, *freed = nullptr;
    NDIS_HANDLE pool = nullptr;
    PIRP irp = nullptr;
    script.onHalt = [&] { NdisFreeMemory(freed, 16, 0); };
    startWith([&](NDIS_HANDLE adapter, NDIS_HANDLE context) {
        ASSERT_EQ(NdisAllocateMemoryWithTag(&kept, 100, 0x5A516161), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(NdisAllocateMemoryWithTag(&freed, 16, 0x5A516262), NDIS_STATUS_SUCCESS);
        NDIS_STATUS status;
        NDIS_HANDLE config;
        NdisOpenConfiguration(&status, &config, context);
        NdisAllocatePacketPool(&status, &pool, 8, 16);
        NdisMRegisterAdapterShutdownHandler(adapter, nullptr, noShutdown);
        irp = IoAllocateIrp(2, FALSE);
    });
    {
        ExpectViolation resources(rule::kNdisResourceLeak); // handle, pool, shutdown handler
        ExpectViolation irps(rule::kIrpLeak);
        ExpectViolation memory(rule::kNdisMemoryLeak);
        remove();
        EXPECT_EQ(resources.count(), 3u);
        ASSERT_EQ(memory.count(), 1u);
        const std::string& message = memory.seen()[0].message;
        EXPECT_NE(message.find("tag 'aaQZ': 1 allocation(s), 100 bytes"), std::string::npos)
            << message;
        EXPECT_EQ(message.find("bbQZ"), std::string::npos) << message;
    }
    NdisFreeMemory(kept, 100, 0);
    NdisFreePacketPool(pool);
    IoFreeIrp(irp);
    EXPECT_EQ(ndis().checkUnload(), 0u);
}

TEST_F(NdisTest, AFailedInitializeMustReleaseWhatItTook) {
    script.initializeResult = NDIS_STATUS_RESOURCES;
    PVOID pool = nullptr;
    script.onInitialize = [&](NDIS_HANDLE, NDIS_HANDLE) {
        pool = ExAllocatePoolWithTag(NonPagedPool, 24, 0x5A516363);
    };
    add();
    {
        ExpectViolation v(rule::kPoolLeak);
        EXPECT_EQ(pnp().startDevice(bus.pdo()), NDIS_STATUS_RESOURCES);
    }
    ExFreePool(pool);
}

} // namespace
} // namespace host::testing
