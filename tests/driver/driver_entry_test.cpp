// Driver entry through the host's PnP manager and NDIS: the plug-and-play hooks and the saved
// NDIS routines, and a refused registration. These tests load the driver themselves, so they
// stand on a bare World rather than the harness.
#include <host/io.h>
#include <host/ndis.h>
#include <host/pnp.h>
#include <host/testing.h>

#include "driver/handlers.h"

namespace kt735n_test {
namespace {

class DriverEntryTest : public host::testing::WorldTest {
  protected:
    // The saved routines are driver-wide and outlive a test; start each test from NULL, as a
    // freshly loaded image does.
    DriverEntryTest() { clearSaved(); }
    ~DriverEntryTest() override { clearSaved(); }
    static void clearSaved() {
        SavedAddDevice = nullptr;
        SavedPnpDispatch = nullptr;
    }

    // Loads the driver, expecting DriverEntry to return `expected`.
    PDRIVER_OBJECT load(NTSTATUS expected = STATUS_SUCCESS) {
        NTSTATUS status = STATUS_PENDING;
        PDRIVER_OBJECT driver = world().pnp().loadDriver(DriverEntry, L"KT735N", &status);
        EXPECT_EQ(status, expected);
        return driver;
    }

    // Expects every major function of `driver` but `except` to be the one of `reference`.
    static void expectMajorsAsIn(PDRIVER_OBJECT driver, PDRIVER_OBJECT reference, int except) {
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
            if (i != except) {
                EXPECT_EQ(driver->MajorFunction[i], reference->MajorFunction[i]) << "major " << i;
            }
        }
    }
};

// After a registration NDIS accepts, the filter stands in AddDevice and IRP_MJ_PNP, NDIS's
// routines are saved, and every other entry is as NDIS set it (compared with a driver object
// registered without the driver's entry).
TEST_F(DriverEntryTest, HooksStandInFrontOfNdisAfterRegistration) {
    PDRIVER_OBJECT driver = load();
    EXPECT_EQ(driver->DriverExtension->AddDevice, FilterAddDevice);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], FilterPnpDispatch);
    EXPECT_EQ(SavedAddDevice, host::ndis::Library::addDeviceRoutine());
    EXPECT_EQ(SavedPnpDispatch, host::ndis::Library::pnpDispatchRoutine());
    // The registration took the wrapper; it stays open for the life of the image.
    EXPECT_EQ(world().ndis().wrappersOpen(), 1u);

    PDRIVER_OBJECT reference = host::createDriverObject(L"\\Driver\\Reference");
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, reference, nullptr, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS chars = *world().ndis().characteristics(driver);
    ASSERT_EQ(NdisMRegisterMiniport(wrapper, &chars, sizeof(chars)), NDIS_STATUS_SUCCESS);
    expectMajorsAsIn(driver, reference, IRP_MJ_PNP);
    EXPECT_EQ(driver->DriverUnload, reference->DriverUnload);
    host::deleteDriverObject(reference);
}

// NDIS refuses the table: the result is STATUS_UNSUCCESSFUL whatever NDIS said, the driver
// object and the saved routines are untouched, and the wrapper is released.
TEST_F(DriverEntryTest, RefusedRegistrationLeavesEverythingAsItWas) {
    for (NDIS_STATUS refusal : {NDIS_STATUS_FAILURE, NDIS_STATUS_BAD_VERSION, NDIS_STATUS_RESOURCES,
                                NDIS_STATUS_BAD_CHARACTERISTICS}) {
        SCOPED_TRACE(refusal);
        // Values a previous load left behind stay as they are.
        auto addDevice = reinterpret_cast<PDRIVER_ADD_DEVICE>(&SavedAddDevice);
        auto pnpDispatch = reinterpret_cast<PDRIVER_DISPATCH>(&SavedPnpDispatch);
        SavedAddDevice = addDevice;
        SavedPnpDispatch = pnpDispatch;

        world().ndis().failNextRegistration(refusal);
        PDRIVER_OBJECT driver = load(STATUS_UNSUCCESSFUL);
        EXPECT_EQ(SavedAddDevice, addDevice);
        EXPECT_EQ(SavedPnpDispatch, pnpDispatch);

        PDRIVER_OBJECT fresh = host::createDriverObject(L"\\Driver\\Fresh");
        EXPECT_EQ(driver->DriverExtension->AddDevice, fresh->DriverExtension->AddDevice);
        expectMajorsAsIn(driver, fresh, -1);
        host::deleteDriverObject(fresh);
        EXPECT_EQ(world().ndis().wrappersOpen(), 0u);
        EXPECT_FALSE(world().ndis().registered(driver));
    }
}

} // namespace

} // namespace kt735n_test
