// A fixture for the bring-up tests: the driver loaded, a KT735 model plugged into the simulated
// bus, the NDIS adapter added through the driver's filter, and an Adapter record created as
// MiniportInitialize creates it, with NDIS's miniport handle and configuration context. The
// bring-up routines are then called directly at PASSIVE_LEVEL.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "fixture.h"
#include "usb/registers.h"
#include "usb/usb.h"

namespace bringup_test {

// The wire-comparison helpers of the driver fixture, for a model this fixture owns.
struct LogLines : kt735n_test::DriverFixture {
    using DriverFixture::hex;
    using DriverFixture::registerLines;
};

// Expected register lines of the window routines when the done bit shows at once.
inline std::vector<std::string> miiWrite(int phy, int reg, int value) {
    using B = std::uint8_t;
    return {"w 25 " + LogLines::hex({B(phy), B(value & 0xFF), B(value >> 8), B(0x20 | reg)}),
            "r 28 2"};
}
inline std::vector<std::string> miiRead(int phy, int reg) {
    return {"w 25 " + LogLines::hex({std::uint8_t(phy), 0, 0, std::uint8_t(0x40 | reg)}), "r 25 4"};
}
inline std::vector<std::string> eepromRead(int word) {
    return {"w 20 " + LogLines::hex({std::uint8_t(word), 0, 0, 2}), "r 23 2", "r 21 3"};
}
inline std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const std::vector<std::string>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class BringUpFixture : public host::testing::WorldTest {
  protected:
    // Plugs a device offering `identity`, adds it through the filter and creates the record.
    // Registry parameters may be set on ndis() afterwards, before the bring-up reads them.
    void plug(kt735::model::UsbIdentity identity = {}) {
        NTSTATUS status = STATUS_PENDING;
        driver_ = world().pnp().loadDriver(DriverEntry, L"KT735N", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        device_ = std::make_unique<kt735::model::Kt735Device>(identity);
        bus_.plug(*device_);
        ASSERT_EQ(world().pnp().addDevice(driver_, bus_.pdo()), STATUS_SUCCESS);
        ndisAdapter_ = world().ndis().lastAdapter();
        ASSERT_NE(ndisAdapter_, nullptr);
        create();
    }

    // A fresh record on the same NDIS adapter, for one more bring-up in the same test; the
    // previous one is released first.
    void recreate() {
        release();
        create();
    }

    // Fetches the device objects without configuring the device, for tests of the register
    // windows alone.
    void connect() {
        GetDeviceObjects(adapter_, &adapter_->PhysicalDeviceObject,
                         &adapter_->FunctionalDeviceObject, &adapter_->NextDeviceObject);
    }

    // Gives back what the bring-up took, as halt does: receive packets, then the ledger.
    void release() {
        if (adapter_ != nullptr) {
            ReleaseReceivePackets(adapter_);
            LedgerReleaseAll(adapter_);
            adapter_ = nullptr;
        }
    }

    void TearDown() override {
        release();
        SavedAddDevice = nullptr;
        SavedPnpDispatch = nullptr;
    }

    host::ndis::Parameters& parameters() { return ndisAdapter_->parameters(); }
    kt735::model::Kt735Device& device() { return *device_; }

    static std::string hex(const std::vector<std::uint8_t>& bytes) { return LogLines::hex(bytes); }
    // The device's register log as lines: "w 10 0200c0ffee01" for a write of those bytes at
    // 0x10, "r 25 4" for a 4-byte read at 0x25.
    std::vector<std::string> registerLines() const { return LogLines::registerLines(*device_); }

    std::unique_ptr<kt735::model::Kt735Device> device_;
    host::usb::Bus bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    host::ndis::Adapter* ndisAdapter_ = nullptr;
    Adapter* adapter_ = nullptr;

  private:
    void create() {
        ASSERT_EQ(CreateAdapter(ndisAdapter_->handle(),
                                world().ndis().configContextFor(ndisAdapter_), &adapter_),
                  NDIS_STATUS_SUCCESS);
        bus_.clearLog();
        device_->clearLogs();
    }
};

} // namespace bringup_test
