// The PnP manager: loading a driver, AddDevice, and requests sent to the top of the stack,
// including a driver that puts its own routines in front of NDIS's.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

// ---- a driver with a filter in front of NDIS ----------------------------------------------------

struct Filter {
    PDRIVER_ADD_DEVICE savedAddDevice = nullptr;
    PDRIVER_DISPATCH savedPnp = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<std::string> seen;
};
Filter g_filter;

NTSTATUS NTAPI filterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    g_filter.seen.emplace_back("AddDevice");
    g_filter.pdo = pdo;
    return g_filter.savedAddDevice(driver, pdo);
}

NTSTATUS NTAPI filterPnp(PDEVICE_OBJECT device, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    g_filter.seen.push_back("PnP " + std::to_string(minor));
    if (minor == IRP_MN_QUERY_CAPABILITIES) {
        // Straight to the bus, past NDIS.
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(g_filter.pdo, irp);
    }
    return g_filter.savedPnp(device, irp);
}

NTSTATUS NTAPI filteringEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    NTSTATUS status = fake::driverEntry(driver, path);
    if (NT_SUCCESS(status)) {
        g_filter.savedAddDevice = driver->DriverExtension->AddDevice;
        driver->DriverExtension->AddDevice = filterAddDevice;
        g_filter.savedPnp = driver->MajorFunction[IRP_MJ_PNP];
        driver->MajorFunction[IRP_MJ_PNP] = filterPnp;
    }
    return status;
}

TEST_F(NdisTest, ADriverThatReplacesNdisRoutinesGetsTheCalls) {
    g_filter = {};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver = pnp().loadDriver(filteringEntry, L"Filtered", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(g_filter.savedAddDevice, ndis::Library::addDeviceRoutine());
    EXPECT_EQ(g_filter.savedPnp, ndis::Library::pnpDispatchRoutine());

    ASSERT_EQ(pnp().addDevice(driver, bus.pdo), STATUS_SUCCESS);
    EXPECT_EQ(topOfStack(bus.pdo), ndis().lastAdapter()->fdo());

    // Capabilities go past NDIS, and the bus may take its time.
    bus.pendFor[IRP_MN_QUERY_CAPABILITIES] = 20 * kMillisecond;
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(pnp().queryCapabilities(bus.pdo, caps), STATUS_SUCCESS);
    EXPECT_EQ(world().now(), 20 * kMillisecond);
    EXPECT_EQ(pnp().requests().back().result.dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(caps.Address, 3u);

    EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_SUCCESS);
    EXPECT_EQ(script.calls, std::vector<std::string>{"Initialize"});
    remove();
    EXPECT_EQ(g_filter.seen, (std::vector<std::string>{"AddDevice", "PnP 9", "PnP 0", "PnP 2"}));
    EXPECT_EQ(script.calls.back(), "Halt");
    EXPECT_EQ(world().irps().liveCount(), 0u);
}

// ---- requests -----------------------------------------------------------------------------------

TEST_F(NdisTest, LoadRunsTheEntryAtPassiveLevelWithARegistryPath) {
    static std::wstring seenPath;
    static KIRQL seenIrql = HIGH_LEVEL;
    static VOID(NTAPI * unload)(PDRIVER_OBJECT) = [](PDRIVER_OBJECT) { seenPath = L"unloaded"; };
    auto entry = [](PDRIVER_OBJECT d, PUNICODE_STRING path) -> NTSTATUS {
        seenPath.assign(path->Buffer, path->Length / sizeof(WCHAR));
        seenIrql = KeGetCurrentIrql();
        d->DriverUnload = unload;
        return STATUS_SUCCESS;
    };
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT d = pnp().loadDriver(entry, L"Sample", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(seenIrql, PASSIVE_LEVEL);
    EXPECT_EQ(seenPath, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Sample");
    EXPECT_EQ(std::wstring(d->DriverName.Buffer), L"\\Driver\\Sample");
    pnp().unloadDriver(d);
    EXPECT_EQ(seenPath, L"unloaded");
    EXPECT_TRUE(pnp().drivers().empty());
}

TEST_F(NdisTest, QueriesThroughNdisReachTheBusAtPassiveLevelAndFreeTheirAnswers) {
    add();
    auto device = pnp().queryId(bus.pdo, BusQueryDeviceID);
    EXPECT_EQ(device.status, STATUS_SUCCESS);
    EXPECT_EQ(device.ids, std::vector<std::wstring>{bus.deviceId});
    auto hardware = pnp().queryId(bus.pdo, BusQueryHardwareIDs);
    EXPECT_EQ(hardware.ids, bus.hardwareIds);
    // The bus answers no instance ID: the PnP manager's preset status comes back.
    auto instance = pnp().queryId(bus.pdo, BusQueryInstanceID);
    EXPECT_EQ(instance.status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(instance.ids.empty());
    // The PnP manager presets what the bus leaves alone.
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(pnp().queryCapabilities(bus.pdo, caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(caps.D1Latency, 7u);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
    bus.deviceState = 0x20;
    EXPECT_EQ(pnp().queryPnpDeviceState(bus.pdo).state, 0x20u);
    for (const auto& s : bus.seen) {
        EXPECT_EQ(s.irql, PASSIVE_LEVEL);
    }
    EXPECT_EQ(world().irps().liveCount(), 0u);
    EXPECT_EQ(memory().outstandingCount(), 0u);
}

TEST_F(NdisTest, ARequestThatNeverFinishesGivesUpAtItsTimeout) {
    add();
    bus.neverFinish.insert(IRP_MN_QUERY_PNP_DEVICE_STATE);
    auto r = pnp().send(bus.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, 5 * kSecond);
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(r.status, STATUS_PENDING);
    EXPECT_EQ(world().now(), 5 * kSecond);
    EXPECT_EQ(world().irps().liveCount(IrpRegistry::Origin::Platform), 1u);
    // Unbounded, the verifier calls it a hang.
    ExpectViolation v(rule::kWaitNeverSatisfied);
    pnp().send(bus.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
}

} // namespace
} // namespace host::testing
