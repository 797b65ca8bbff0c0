// The common fixture of the driver tests: the driver loaded through the host PnP manager, a
// KT735 model plugged into the simulated USB bus, and the adapter added and started through
// the driver's filter and NDIS, so that MiniportInitialize runs as it does on Windows. The test
// stands on NDIS's upper edge (ndis()) and at the device model (device(), bus()).
//
//     class MyTest : public kt735n_test::DriverFixture {};
//     TEST_F(MyTest, Something) {
//         parameters().set("MediaType", 3u);     // registry, before start
//         device().ethernet().setPartnerAbility(0x0021); // wire state, before start
//         startRunning();                         // initialized, link settled, logs cleared
//         device().ethernet().sendToAdapter(frame);
//         scheduler().runFor(10 * host::kMillisecond);
//         EXPECT_EQ(ndis().log().received.size(), 1u);
//     }
//
// TearDown halts a running adapter through PnP (MiniportHalt) and checks that NDIS memory,
// pool and IRPs were all given back.
#pragma once

#include <host/ndis.h>
#include <host/pnp.h>
#include <host/testing.h>
#include <host/usb_bus.h>
#include <kt735_device.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "datapath/descriptors.h"
#include "driver/handlers.h"

namespace kt735n_test {

// The KT735 model with a hook on every control transfer that reaches it, called before the
// chip acts on it: tests look at the driver's state at that moment, or change the device's.
struct HookedDevice : kt735::model::Kt735Device {
    std::function<void(const kt735::model::SetupPacket&, std::span<std::uint8_t>)> onControl;

    kt735::model::Outcome control(const kt735::model::SetupPacket& setup,
                                  std::span<std::uint8_t> data, std::size_t& actual) override {
        if (onControl) {
            onControl(setup, data);
        }
        return Kt735Device::control(setup, data, actual);
    }
};

class DriverFixture : public host::testing::WorldTest {
  protected:
    void SetUp() override {
        NTSTATUS status = STATUS_PENDING;
        driver_ = world().pnp().loadDriver(DriverEntry, L"KT735N", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        bus_.plug(device_);
    }

    void TearDown() override {
        if (ndis_ != nullptr && ndis_->running()) {
            halt();
        }
        if (ndis_ != nullptr && checkLeaksAtTearDown_) {
            EXPECT_EQ(world().memory().leakReport(host::Memory::Kind::Ndis), "");
            EXPECT_EQ(world().memory().leakReport(host::Memory::Kind::Pool), "");
            EXPECT_EQ(world().irps().liveCount(), 0u);
        }
        SavedAddDevice = nullptr;
        SavedPnpDispatch = nullptr;
    }

    // Registry parameters of the adapter; set them before start().
    host::ndis::Parameters& parameters() { return world().ndis().defaultParameters(); }

    // Adds the device (through the driver's filter to NDIS's AddDevice) with the given medium
    // array and starts it: MiniportInitialize runs. Returns the status it returned.
    NDIS_STATUS start(std::vector<NDIS_MEDIUM> media = {NdisMedium802_3}) {
        world().ndis().setDefaultMediumArray(std::move(media));
        EXPECT_EQ(world().pnp().addDevice(driver_, bus_.pdo()), STATUS_SUCCESS);
        ndis_ = world().ndis().lastAdapter();
        EXPECT_NE(ndis_, nullptr);
        if (ndis_ == nullptr) {
            return NDIS_STATUS_FAILURE;
        }
        world().pnp().startDevice(bus_.pdo());
        return ndis_->initializeStatus();
    }

    // start(), expecting success; then lets the link settle and clears the bus log, the
    // device's logs and the upper edge's record, so that a test sees only its own traffic.
    void startRunning(host::Time settle = 100 * host::kMillisecond) {
        ASSERT_EQ(start(), NDIS_STATUS_SUCCESS);
        ASSERT_TRUE(ndis_->running());
        ASSERT_NE(adapter(), nullptr);
        scheduler().runFor(settle);
        clearLogs();
    }

    void clearLogs() {
        bus_.clearLog();
        device_.clearLogs();
        if (ndis_ != nullptr) {
            ndis_->log().clear();
        }
    }

    // Halts the adapter through PnP (IRP_MN_REMOVE_DEVICE): MiniportHalt runs.
    void halt() { EXPECT_EQ(world().pnp().removeDevice(bus_.pdo()), STATUS_SUCCESS); }

    // The driver's Adapter, as it declared it to NDIS; null before initialization.
    Adapter* adapter() const {
        return ndis_ != nullptr ? static_cast<Adapter*>(ndis_->context()) : nullptr;
    }
    host::ndis::Adapter& ndis() { return *ndis_; }
    HookedDevice& device() { return device_; }
    host::usb::Bus& bus() { return bus_; }
    PDRIVER_OBJECT driver() const { return driver_; }

    // ---- helpers for comparing what went on the wire

    static std::string hex(const std::vector<std::uint8_t>& bytes) {
        std::string text;
        char two[3];
        for (std::uint8_t b : bytes) {
            std::snprintf(two, sizeof(two), "%02x", b);
            text += two;
        }
        return text;
    }

    // The device's register log as lines: "w 01 0800" for a write of those bytes at 0x01,
    // "r 25 4" for a 4-byte read at 0x25.
    std::vector<std::string> registerLines() const { return registerLines(device_); }
    static std::vector<std::string> registerLines(const kt735::model::Kt735Device& device) {
        std::vector<std::string> lines;
        char head[16];
        for (const kt735::model::RegisterAccess& access : device.registerLog()) {
            std::snprintf(head, sizeof(head), "%c %02x ", access.write ? 'w' : 'r',
                          access.index & 0xFF);
            lines.push_back(access.write ? head + hex(access.bytes)
                                         : head + std::to_string(access.bytes.size()));
        }
        return lines;
    }

    // The bus log lines of the requests of one URB function (all of them when 0).
    std::vector<std::string> busLines(USHORT function = 0) const {
        std::vector<std::string> lines;
        for (const host::usb::Request& request : bus_.log()) {
            if (function == 0 || request.function == function) {
                lines.push_back(request.text());
            }
        }
        return lines;
    }

    // The bulk-out transfers of the bus log, in order, and their data.
    std::vector<const host::usb::Request*> bulkOutRequests() const {
        std::vector<const host::usb::Request*> requests;
        for (const host::usb::Request& request : bus_.log()) {
            if (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                request.endpoint == 0x02) {
                requests.push_back(&request);
            }
        }
        return requests;
    }
    std::vector<std::vector<std::uint8_t>> bulkOut() const {
        std::vector<std::vector<std::uint8_t>> transfers;
        for (const host::usb::Request* request : bulkOutRequests()) {
            transfers.push_back(request->data);
        }
        return transfers;
    }

    // The keep-alive transfer: length header 60, both addresses zero, length 46, LLC TEST with
    // poll (0x00 0x00 0xF3), zeros to 60 bytes.
    static std::vector<std::uint8_t> keepAliveTransfer() {
        std::vector<std::uint8_t> bytes(62, 0x00);
        bytes[0] = 0x3C;
        bytes[15] = 0x2E;
        bytes[18] = 0xF3;
        return bytes;
    }

    // The length of the adapter's FreeTxList, walked.
    std::size_t freeTxListLength() const {
        std::size_t n = 0;
        for (TransferDescriptor* d = adapter()->FreeTxList.Head; d != nullptr; d = d->Next) {
            n++;
        }
        return n;
    }

    // Runs past NDIS's next periodic hang check and the work it starts.
    void nextHangCheck() {
        std::uint64_t before = ndis_->hangChecks();
        scheduler().runUntil([&] { return ndis_->hangChecks() > before; });
        scheduler().runFor(100 * host::kMillisecond);
    }

    // A frame of `length` bytes to the broadcast address, then bytes counting from `seed`.
    static std::vector<std::uint8_t> frame(std::size_t length, std::uint8_t seed = 0) {
        std::vector<std::uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; i++) {
            bytes[i] = static_cast<std::uint8_t>(i < 6 ? 0xFF : seed + i);
        }
        return bytes;
    }

    // Set false by tests that leave something behind on purpose.
    bool checkLeaksAtTearDown_ = true;

    HookedDevice device_;
    host::usb::Bus bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    host::ndis::Adapter* ndis_ = nullptr;
};

// A wake-up pattern request as NDIS passes it: NDIS_PM_PACKET_PATTERN, the mask right behind it,
// the pattern bytes behind the mask. MaskSize and PatternOffset follow the layout unless given.
inline std::vector<std::uint8_t> wakePattern(const std::vector<std::uint8_t>& mask,
                                             const std::vector<std::uint8_t>& bytes,
                                             ULONG maskSize = ~0u, ULONG patternOffset = ~0u) {
    NDIS_PM_PACKET_PATTERN header = {};
    header.MaskSize = maskSize != ~0u ? maskSize : static_cast<ULONG>(mask.size());
    header.PatternOffset =
        patternOffset != ~0u ? patternOffset : static_cast<ULONG>(sizeof(header) + mask.size());
    header.PatternSize = static_cast<ULONG>(bytes.size());
    std::vector<std::uint8_t> request(sizeof(header));
    std::memcpy(request.data(), &header, sizeof(header));
    request.insert(request.end(), mask.begin(), mask.end());
    request.insert(request.end(), bytes.begin(), bytes.end());
    return request;
}

} // namespace kt735n_test
