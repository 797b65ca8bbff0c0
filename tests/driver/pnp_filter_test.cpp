// The plug-and-play filter in front of NDIS, through the host PnP manager: which requests reach
// NDIS and which go straight to the USB bus driver's device object, with and without the
// Platform keyword, the first start and later ones, requests the bus driver leaves pending, and
// two adapters side by side.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;

// NDIS's PnP dispatch with a record of the minor functions that reached it.
std::vector<UCHAR> g_ndisMinors;
PDRIVER_DISPATCH g_ndisDispatch = nullptr;

NTSTATUS NTAPI RecordingNdisDispatch(PDEVICE_OBJECT device, PIRP irp) {
    g_ndisMinors.push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    return g_ndisDispatch(device, irp);
}

class PnpFilterTest : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        PlatformKeyPresent = 0;
        g_ndisMinors.clear();
        g_ndisDispatch = SavedPnpDispatch;
        SavedPnpDispatch = RecordingNdisDispatch;
    }
    void TearDown() override {
        DriverFixture::TearDown();
        PlatformKeyPresent = 0;
    }
    // Sends one request and says where it went: "NDIS", "bus" (straight to the bus driver's
    // device object) or "nowhere".
    std::string route(const std::function<void()>& send, UCHAR minor, host::usb::Bus& bus) {
        g_ndisMinors.clear();
        std::size_t busBefore = bus.pnpLog().size();
        send();
        bool ndis = std::count(g_ndisMinors.begin(), g_ndisMinors.end(), minor) != 0;
        bool reachedBus = std::count(bus.pnpLog().begin() + static_cast<long>(busBefore),
                                     bus.pnpLog().end(), minor) != 0;
        return ndis ? "NDIS" : reachedBus ? "bus" : "nowhere";
    }
    host::PnpManager::Result send(UCHAR minor, host::usb::Bus* other = nullptr) {
        return world().pnp().send((other != nullptr ? *other : bus()).pdo(), minor);
    }
};

// ---- the decision table -------------------------------------------------------------------------

struct Decision {
    UCHAR minor;
    bool platform;
    const char* route;
};

class PnpDecisionTest : public PnpFilterTest, public ::testing::WithParamInterface<Decision> {};

TEST_P(PnpDecisionTest, RoutesAsTabled) {
    const Decision& d = GetParam();
    if (d.platform) {
        parameters().set("Platform", 1u);
    }
    ASSERT_EQ(start(), NDIS_STATUS_SUCCESS); // the first start, through NDIS
    ASSERT_EQ(PlatformKeyPresent, d.platform ? 1u : 0u);
    PDEVICE_OBJECT pdo = bus().pdo();
    std::function<void()> request;
    switch (d.minor) {
    case IRP_MN_QUERY_CAPABILITIES:
        request = [&] {
            DEVICE_CAPABILITIES capabilities{};
            EXPECT_EQ(world().pnp().queryCapabilities(pdo, capabilities), STATUS_SUCCESS);
        };
        break;
    case IRP_MN_QUERY_ID:
        // The answer needs the copied parameters (the identifier type) to reach the bus driver.
        request = [&] {
            EXPECT_FALSE(world().pnp().queryId(pdo, BusQueryHardwareIDs).ids.empty());
        };
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        request = [&] { EXPECT_EQ(world().pnp().queryPnpDeviceState(pdo).status, STATUS_SUCCESS); };
        break;
    default:
        request = [&] { EXPECT_TRUE(world().pnp().send(pdo, d.minor).finished); };
        break;
    }
    EXPECT_EQ(route(request, d.minor, bus()), d.route);
}

// Without Platform: later starts and the three queries straight to the bus driver, everything
// else to NDIS. With Platform: everything to NDIS.
const Decision kDecisions[] = {
    {IRP_MN_START_DEVICE, false, "bus"},
    {IRP_MN_QUERY_CAPABILITIES, false, "bus"},
    {IRP_MN_QUERY_ID, false, "bus"},
    {IRP_MN_QUERY_PNP_DEVICE_STATE, false, "bus"},
    {IRP_MN_QUERY_DEVICE_RELATIONS, false, "NDIS"},
    {IRP_MN_QUERY_BUS_INFORMATION, false, "NDIS"},
    {IRP_MN_STOP_DEVICE, false, "NDIS"},
    {IRP_MN_SURPRISE_REMOVAL, false, "NDIS"},
    {IRP_MN_REMOVE_DEVICE, false, "NDIS"},
    {IRP_MN_START_DEVICE, true, "NDIS"},
    {IRP_MN_QUERY_CAPABILITIES, true, "NDIS"},
    {IRP_MN_QUERY_ID, true, "NDIS"},
    {IRP_MN_QUERY_PNP_DEVICE_STATE, true, "NDIS"},
    {IRP_MN_STOP_DEVICE, true, "NDIS"},
    {IRP_MN_REMOVE_DEVICE, true, "NDIS"},
};
INSTANTIATE_TEST_SUITE_P(Table, PnpDecisionTest, ::testing::ValuesIn(kDecisions),
                         [](const ::testing::TestParamInfo<Decision>& info) {
                             return (info.param.platform ? "Platform" : "Minor") +
                                    std::to_string(info.param.minor);
                         });

// ---- results ------------------------------------------------------------------------------------

// The first start returns what NDIS returned, a failure included; a later one goes straight to the
// bus driver and returns 0 even when the bus driver fails it, and also when the bus driver first
// leaves it pending: the filter waits for the bus driver and then completes it.
TEST_F(PnpFilterTest, StartResults) {
    world().ndis().setDefaultMediumArray({NdisMedium802_5});
    ASSERT_EQ(world().pnp().addDevice(driver(), bus().pdo()), STATUS_SUCCESS);
    host::PnpManager::Result first = send(IRP_MN_START_DEVICE);
    EXPECT_EQ(g_ndisMinors, std::vector<UCHAR>{IRP_MN_START_DEVICE});
    EXPECT_FALSE(NT_SUCCESS(first.status)); // as NDIS completed it
    EXPECT_EQ(first.dispatchStatus, first.status);

    bus().setPnpStatus(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(route(
                  [&] {
                      host::PnpManager::Result later = send(IRP_MN_START_DEVICE);
                      EXPECT_EQ(later.dispatchStatus, STATUS_SUCCESS);
                      EXPECT_EQ(later.status, STATUS_SUCCESS);
                  },
                  IRP_MN_START_DEVICE, bus()),
              "bus");

    bus().holdPnp(IRP_MN_START_DEVICE);
    host::Time sent = world().now();
    scheduler().after(50 * kMillisecond, [&] { bus().completeHeldPnp(STATUS_UNSUCCESSFUL); });
    host::PnpManager::Result held = send(IRP_MN_START_DEVICE);
    EXPECT_TRUE(held.finished);
    EXPECT_EQ(held.dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(held.status, STATUS_SUCCESS);
    EXPECT_GE(world().pnp().requests().back().finished, sent + 50 * kMillisecond);
    EXPECT_EQ(g_ndisMinors, std::vector<UCHAR>{});
}

// A direct query returns what the bus driver's dispatch returned, STATUS_PENDING included.
TEST_F(PnpFilterTest, PendingQueryReturnedAsItCame) {
    ASSERT_EQ(start(), NDIS_STATUS_SUCCESS);
    g_ndisMinors.clear();
    bus().holdPnp(IRP_MN_QUERY_CAPABILITIES);
    scheduler().after(10 * kMillisecond, [&] { bus().completeHeldPnp(); });
    DEVICE_CAPABILITIES capabilities{};
    host::PnpManager::Result result =
        world().pnp().send(bus().pdo(), IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& s) {
            s.Parameters.DeviceCapabilities.Capabilities = &capabilities;
        });
    EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(g_ndisMinors, std::vector<UCHAR>{});
}

// Two adapters: each one's first start reaches NDIS (both run), and each one's direct requests
// reach its own bus driver.
TEST_F(PnpFilterTest, TwoAdaptersKeepTheirOwnDevices) {
    kt735::model::Kt735Device device2;
    host::usb::Bus bus2;
    bus2.plug(device2);
    ASSERT_EQ(start(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(world().pnp().addDevice(driver(), bus2.pdo()), STATUS_SUCCESS);
    host::ndis::Adapter* second = world().ndis().lastAdapter();
    EXPECT_EQ(route([&] { send(IRP_MN_START_DEVICE, &bus2); }, IRP_MN_START_DEVICE, bus2), "NDIS");
    EXPECT_TRUE(second->running());

    struct Case {
        host::usb::Bus* target;
        host::usb::Bus* other;
    };
    for (Case c : {Case{&bus(), &bus2}, Case{&bus2, &bus()}}) {
        std::size_t otherBefore = c.other->pnpLog().size();
        EXPECT_EQ(route([&] { world().pnp().queryId(c.target->pdo(), BusQueryDeviceID); },
                        IRP_MN_QUERY_ID, *c.target),
                  "bus");
        EXPECT_EQ(
            route([&] { send(IRP_MN_START_DEVICE, c.target); }, IRP_MN_START_DEVICE, *c.target),
            "bus");
        EXPECT_EQ(c.other->pnpLog().size(), otherBefore);
    }
    EXPECT_EQ(world().pnp().removeDevice(bus2.pdo()), STATUS_SUCCESS);
}

} // namespace

} // namespace kt735n_test
