// NDIS registration, AddDevice, start/stop/remove through NDIS's PnP dispatch, the hang check,
// and the halt-time checks.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

using ndis::Adapter;
using ndis::Library;

// ---- registration -----------------------------------------------------------------------------

TEST_F(NdisTest, RegistrationFillsAddDeviceAndPnpAndKeepsACopyOfTheTable) {
    load();
    EXPECT_EQ(driver->DriverExtension->AddDevice, Library::addDeviceRoutine());
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], Library::pnpDispatchRoutine());
    // The other entries NDIS owns no longer answer "invalid request".
    PDRIVER_OBJECT blank = createDriverObject(L"\\Driver\\Blank");
    EXPECT_NE(driver->MajorFunction[IRP_MJ_POWER], blank->MajorFunction[IRP_MJ_POWER]);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_CREATE], blank->MajorFunction[IRP_MJ_CREATE]);
    deleteDriverObject(blank);
    // The table lived on DriverEntry's stack; NDIS's copy outlives it, NDIS 4.0 part included.
    const NDIS_MINIPORT_CHARACTERISTICS* chars = ndis().characteristics(driver);
    ASSERT_NE(chars, nullptr);
    EXPECT_EQ(chars->Ndis40Chars.Ndis30Chars.InitializeHandler, fake::initialize);
    EXPECT_EQ(chars->Ndis40Chars.ReturnPacketHandler, fake::returnPacket);
}

TEST_F(NdisTest, RegistrationChecksVersionAndLength) {
    NDIS_HANDLE wrapper = nullptr;
    PDRIVER_OBJECT d = createDriverObject(L"\\Driver\\Versions");
    NdisMInitializeWrapper(&wrapper, d, nullptr, nullptr);
    auto attempt = [&](UCHAR major, UCHAR minor, UINT length) {
        NDIS_MINIPORT_CHARACTERISTICS chars{};
        chars.Ndis40Chars.Ndis30Chars.MajorNdisVersion = major;
        chars.Ndis40Chars.Ndis30Chars.MinorNdisVersion = minor;
        return NdisMRegisterMiniport(wrapper, &chars, length);
    };
    constexpr UINT k40 = sizeof(NDIS40_MINIPORT_CHARACTERISTICS);
    constexpr UINT k50 = sizeof(NDIS_MINIPORT_CHARACTERISTICS);
    EXPECT_EQ(attempt(3, 0, k50), NDIS_STATUS_BAD_VERSION);
    EXPECT_EQ(attempt(5, 1, k50), NDIS_STATUS_BAD_VERSION);
    EXPECT_EQ(attempt(5, 0, k40), NDIS_STATUS_BAD_CHARACTERISTICS);
    EXPECT_FALSE(ndis().registered(d));
    // The empty table of a skeleton is accepted when version and length agree.
    EXPECT_EQ(attempt(5, 0, k50), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(attempt(4, 0, k40), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(ndis().registered(d));
    NdisTerminateWrapper(wrapper, nullptr);
    EXPECT_EQ(ndis().wrappersOpen(), 0u);
    deleteDriverObject(d);
}

TEST_F(NdisTest, AFailedRegistrationLeavesTheDriverObjectAlone) {
    ndis().failNextRegistration(NDIS_STATUS_RESOURCES);
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT d = pnp().loadDriver(fake::driverEntry, L"Fake", &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(d->DriverExtension->AddDevice, nullptr);
    EXPECT_NE(d->MajorFunction[IRP_MJ_PNP], Library::pnpDispatchRoutine());
    EXPECT_FALSE(ndis().registered(d));
    // Only the next one fails.
    script.registerNdis40 = true;
    load();
    EXPECT_TRUE(ndis().registered(driver));
}

// ---- AddDevice and start ----------------------------------------------------------------------

TEST_F(NdisTest, AddDeviceBuildsAnFdoOnTopOfThePdo) {
    Adapter& adapter = add();
    EXPECT_EQ(adapter.lower(), bus.pdo);
    ASSERT_NE(adapter.fdo(), nullptr);
    EXPECT_EQ(topOfStack(bus.pdo), adapter.fdo());
    EXPECT_EQ(adapter.fdo()->DriverObject, driver);
    EXPECT_EQ(adapter.fdo()->StackSize, bus.pdo->StackSize + 1);
    EXPECT_EQ(adapter.fdo()->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(ndis().adapterForDevice(adapter.fdo()), &adapter);
    EXPECT_TRUE(script.calls.empty());
}

TEST_F(NdisTest, StartPassesTheRequestDownFirstThenInitializesAtPassiveLevel) {
    bus.pendFor[IRP_MN_START_DEVICE] = 30 * kMillisecond;
    Adapter& adapter = add();
    adapter.setMediumArray({NdisMedium802_5, NdisMediumFddi, NdisMedium802_3});
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr, next = nullptr;
    script.onInitialize = [&](NDIS_HANDLE handle, NDIS_HANDLE) {
        // The bus has finished the start before the miniport runs.
        EXPECT_EQ(bus.seen.size(), 1u);
        EXPECT_EQ(world().now(), 30 * kMillisecond);
        NdisMGetDeviceProperty(handle, &pdo, &fdo, &next, nullptr, nullptr);
    };
    EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_SUCCESS);

    EXPECT_EQ(script.calls, std::vector<std::string>{"Initialize"});
    EXPECT_EQ(script.irql["Initialize"], PASSIVE_LEVEL);
    EXPECT_EQ(script.media,
              (std::vector<NDIS_MEDIUM>{NdisMedium802_5, NdisMediumFddi, NdisMedium802_3}));
    EXPECT_EQ(script.adapterHandle, adapter.handle());
    EXPECT_EQ(adapter.selectedMedium(), 2u);
    EXPECT_EQ(adapter.context(), &script.context);
    EXPECT_TRUE(adapter.running());
    // The device property gives the PDO, the FDO and the next lower device.
    EXPECT_EQ(pdo, bus.pdo);
    EXPECT_EQ(fdo, adapter.fdo());
    EXPECT_EQ(next, bus.pdo);
}

TEST_F(NdisTest, StartFailures) {
    // The bus refuses: the miniport is never asked.
    bus.status[IRP_MN_START_DEVICE] = STATUS_DEVICE_NOT_CONNECTED;
    Adapter& adapter = add();
    EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(script.calls.empty());
    EXPECT_EQ(adapter.state(), Adapter::State::Added);

    // The miniport refuses: its status comes back.
    bus.status.clear();
    script.initializeResult = NDIS_STATUS_UNSUPPORTED_MEDIA;
    EXPECT_EQ(pnp().startDevice(bus.pdo), NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(adapter.state(), Adapter::State::InitializeFailed);
    // No hang check for an adapter that never ran.
    scheduler().runFor(10 * kSecond);
    EXPECT_TRUE(script.hangChecks.empty());

    // A later start tries again.
    script.initializeResult = NDIS_STATUS_SUCCESS;
    EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(adapter.running());
}

NTSTATUS NTAPI skeletonEntry(PDRIVER_OBJECT d, PUNICODE_STRING path) {
    NDIS_HANDLE wrapper = nullptr;
    NdisMInitializeWrapper(&wrapper, d, path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS chars{};
    chars.Ndis40Chars.Ndis30Chars.MajorNdisVersion = 5;
    NdisMRegisterMiniport(wrapper, &chars, sizeof(chars));
    return STATUS_SUCCESS;
}

TEST_F(NdisTest, AnEmptyHandlerTableLoadsButCannotStart) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT d = pnp().loadDriver(skeletonEntry, L"Skeleton", &status);
    ASSERT_EQ(pnp().addDevice(d, bus.pdo), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(pnp().startDevice(bus.pdo)));
    EXPECT_EQ(ndis().lastAdapter()->state(), Adapter::State::InitializeFailed);
    EXPECT_EQ(pnp().removeDevice(bus.pdo), STATUS_SUCCESS);
}

TEST_F(NdisTest, InitializeWithoutAttributesIsReported) {
    script.setAttributes = false;
    ExpectViolation v(rule::kNdisMisuse);
    start();
}

// ---- stop, remove, surprise removal -----------------------------------------------------------

TEST_F(NdisTest, StopAndRemoveHaltAtPassiveLevelThenPassTheRequestDown) {
    Adapter& adapter = start();
    script.onHalt = [&] { EXPECT_EQ(bus.seen.back().minor, IRP_MN_START_DEVICE); };
    EXPECT_EQ(pnp().stopDevice(bus.pdo), STATUS_SUCCESS);
    EXPECT_EQ(script.calls, (std::vector<std::string>{"Initialize", "Halt"}));
    EXPECT_EQ(script.irql["Halt"], PASSIVE_LEVEL);
    EXPECT_EQ(bus.seen.back().minor, IRP_MN_STOP_DEVICE);
    EXPECT_EQ(adapter.state(), Adapter::State::Halted);
    // Started again after a stop: initialized again.
    EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_SUCCESS);
    EXPECT_EQ(script.calls.back(), "Initialize");
    script.onHalt = [&] { EXPECT_EQ(bus.seen.back().minor, IRP_MN_START_DEVICE); };
    // Remove halts, then detaches and deletes the FDO.
    remove();
    EXPECT_EQ(script.calls.back(), "Halt");
    EXPECT_EQ(bus.seen.back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(adapter.fdo(), nullptr);
    EXPECT_EQ(bus.pdo->AttachedDevice, nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    // Remove without a start: nothing to halt.
    add();
    remove();
    EXPECT_EQ(std::count(script.calls.begin(), script.calls.end(), "Halt"), 2);
}

TEST_F(NdisTest, SurpriseRemovalAndOtherRequestsReachTheBusWithTheirStatus) {
    Adapter& adapter = start();
    EXPECT_EQ(pnp().surpriseRemoval(bus.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(adapter.surpriseRemoved());
    EXPECT_TRUE(adapter.running());
    EXPECT_EQ(bus.seen.back().minor, IRP_MN_SURPRISE_REMOVAL);
    // Not handled by anyone: the PnP manager's STATUS_NOT_SUPPORTED comes back untouched.
    EXPECT_EQ(pnp().send(bus.pdo, IRP_MN_QUERY_DEVICE_RELATIONS).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bus.seen.back().minor, IRP_MN_QUERY_DEVICE_RELATIONS);
    bus.status[IRP_MN_QUERY_STOP_DEVICE] = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(pnp().send(bus.pdo, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);
    remove();
}

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
    EXPECT_EQ(pnp().stopDevice(bus.pdo), STATUS_SUCCESS);
    scheduler().runFor(10 * kSecond);
    EXPECT_EQ(script.hangChecks.size(), 4u);
}

TEST_F(NdisTest, HangCheckUsesTheDeclaredIntervalAndResetsAHungAdapter) {
    script.hangSeconds = 3;
    script.hangResult = TRUE;
    Adapter& adapter = start();
    scheduler().runFor(7 * kSecond);
    EXPECT_EQ(script.hangChecks, (std::vector<Time>{3 * kSecond, 6 * kSecond}));
    EXPECT_EQ(adapter.resets(), 2u);
    EXPECT_EQ(script.irql["Reset"], DISPATCH_LEVEL);
}

// ---- shutdown and halt-time checks ------------------------------------------------------------

std::vector<std::pair<PVOID, KIRQL>> g_shutdowns;

VOID NTAPI recordShutdown(PVOID context) {
    g_shutdowns.emplace_back(context, KeGetCurrentIrql());
}

TEST_F(NdisTest, ShutdownRunsTheRegisteredHandler) {
    g_shutdowns.clear();
    script.onHalt = [&] { NdisMDeregisterAdapterShutdownHandler(script.adapterHandle); };
    Adapter& adapter = startWith([&](NDIS_HANDLE handle, NDIS_HANDLE) {
        NdisMRegisterAdapterShutdownHandler(handle, &script.context, recordShutdown);
    });
    adapter.shutdown();
    EXPECT_EQ(g_shutdowns,
              (std::vector<std::pair<PVOID, KIRQL>>{{&script.context, PASSIVE_LEVEL}}));
    remove();
    EXPECT_FALSE(adapter.shutdownHandlerRegistered());
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
        NdisMRegisterAdapterShutdownHandler(adapter, nullptr, recordShutdown);
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
        EXPECT_EQ(pnp().startDevice(bus.pdo), NDIS_STATUS_RESOURCES);
    }
    ExFreePool(pool);
}

TEST_F(NdisTest, ReleasingResourcesNeverClaimedIsReported) {
    start();
    ExpectViolation v(rule::kNdisMisuse);
    NdisMFreeMapRegisters(script.adapterHandle);
    NdisMDeregisterIoPortRange(script.adapterHandle, 0x300, 16, nullptr);
    EXPECT_EQ(v.count(), 2u);
}

} // namespace
} // namespace host::testing
