// The fixture of the driver suites, on the one harness (../support/rig.h): the driver loaded
// through the host PnP manager and a KT735 model plugged into the simulated USB bus, in a World
// whose verifier fails the test on any broken rule. A test then either
//  - adds and starts the adapter through the driver's filter and NDIS (start(), startRunning()),
//    so that MiniportInitialize runs as it does on Windows, and stands on NDIS's upper edge
//    (ndis()) and at the device model (device(), bus()); or
//  - adds it and creates the Adapter record as MiniportInitialize does (plug()), then calls the
//    driver's routines directly at PASSIVE_LEVEL (adapter_).
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
// TearDown gives back a record made by plug() as halt does, halts a running adapter through PnP
// (MiniportHalt) and checks that NDIS memory, pool and IRPs were all given back.
#pragma once

#include <host/ndis.h>
#include <host/pnp.h>
#include <host/testing.h>
#include <host/usb_bus.h>
#include <kt735_device.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../support/rig.h"
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "datapath/datapath.h"
#include "datapath/descriptors.h"
#include "driver/handlers.h"
#include "usb/registers.h"
#include "usb/usb.h"

namespace kt735n_test {

using Frames = std::vector<std::vector<std::uint8_t>>;
const host::usb::Match kBulkOut{.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                .endpoint = 0x02};
const host::usb::Match kBulkIn{.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                               .endpoint = 0x81};

// Names a parameterised case by its row's `name`.
struct ByName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};

class DriverFixture : public host::testing::WorldTest {
  protected:
    void SetUp() override { ASSERT_EQ(rig_.loadStatus(), STATUS_SUCCESS); }

    void TearDown() override {
        release();
        host::ndis::Adapter* ndis = rig_.adapter();
        if (ndis != nullptr && ndis->running()) {
            halt();
        }
        if (ndis != nullptr) {
            EXPECT_EQ(rig_.leftBehind(), "");
        }
    }

    // Registry parameters: those of the record plug() made, or else NDIS's defaults, which the
    // next adapter added takes.
    host::ndis::Parameters& parameters() {
        return created_ ? rig_.adapter()->parameters() : world().ndis().defaultParameters();
    }

    // Adds the device (through the driver's filter to NDIS's AddDevice) with the given medium
    // array and starts it: MiniportInitialize runs. Returns the status it returned.
    NDIS_STATUS start(std::vector<NDIS_MEDIUM> media = {NdisMedium802_3}) {
        world().ndis().setDefaultMediumArray(std::move(media));
        NDIS_STATUS status = rig_.start();
        EXPECT_NE(rig_.adapter(), nullptr);
        return status;
    }

    // start(), expecting success; then lets the link settle and clears the bus log, the
    // device's logs and the upper edge's record, so that a test sees only its own traffic.
    void startRunning(host::Time settle = 100 * host::kMillisecond) {
        ASSERT_EQ(start(), NDIS_STATUS_SUCCESS);
        ASSERT_TRUE(ndis().running());
        adapter_ = adapter();
        ASSERT_NE(adapter_, nullptr);
        scheduler().runFor(settle);
        clearLogs();
    }

    void clearLogs() {
        bus().clearLog();
        device().clearLogs();
        if (rig_.adapter() != nullptr) {
            ndis().log().clear();
        }
        if (recorder_ != nullptr) {
            recorder_->clear();
        }
    }

    // Halts the adapter through PnP (IRP_MN_REMOVE_DEVICE): MiniportHalt runs.
    void halt() { EXPECT_EQ(world().pnp().removeDevice(bus().pdo()), STATUS_SUCCESS); }

    // ---- the record alone, for calling the driver's routines directly

    // Plugs a fresh device offering `identity`, adds it through the filter and creates the
    // record. Registry parameters may be set afterwards, before the
    // bring-up reads them.
    void plug(kt735::model::UsbIdentity identity = {}) {
        rig_.plug(std::move(identity));
        ASSERT_EQ(rig_.add(), STATUS_SUCCESS);
        ASSERT_NE(rig_.adapter(), nullptr);
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
        if (created_ && adapter_ != nullptr) {
            ReleaseReceivePackets(adapter_);
            LedgerReleaseAll(adapter_);
            adapter_ = nullptr;
        }
    }

    // The driver's Adapter, as it declared it to NDIS; null before initialization.
    Adapter* adapter() const {
        return rig_.adapter() != nullptr ? static_cast<Adapter*>(rig_.adapter()->context())
                                         : nullptr;
    }
    host::ndis::Adapter& ndis() { return *rig_.adapter(); }
    HookedDevice& device() const { return rig_.device(); }
    host::usb::Bus& bus() const { return rig_.bus(); }
    PDRIVER_OBJECT driver() const { return rig_.driver(); }

  public:
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

  protected:
    // The device's register log as lines: "w 01 0800" for a write of those bytes at 0x01,
    // "r 25 4" for a 4-byte read at 0x25.
    std::vector<std::string> registerLines() const { return registerLines(rig_.device()); }
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
        for (const host::usb::Request& request : rig_.bus().log()) {
            if (function == 0 || request.function == function) {
                lines.push_back(request.text());
            }
        }
        return lines;
    }

    // The data of the bulk-out transfers of the bus log, in order.
    Frames bulkOut() const {
        Frames transfers;
        for (const host::usb::Request& request : rig_.bus().log()) {
            if (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                request.endpoint == 0x02) {
                transfers.push_back(request.data);
            }
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
        std::uint64_t before = ndis().hangChecks();
        scheduler().runUntil([&] { return ndis().hangChecks() > before; });
        scheduler().runFor(100 * host::kMillisecond);
    }

    // Frames of 100 bytes (seeds 1 to 3) arrive while the indicate timer is late (its run put
    // off after every frame queued, as a busy processor would), until all three wait on
    // ReceivedList.
    void queueThreeWithTimerLate() {
        for (std::uint8_t seed : {1, 2, 3}) {
            device().ethernet().sendToAdapter(frame(100, seed));
        }
        for (ULONG queued = 1; queued <= 3; ++queued) {
            ASSERT_TRUE(scheduler().runUntil(
                [&] { return adapter()->ReceivedList.Count >= queued; }, host::kSecond));
            world().ndis().setTimer(&adapter()->ReceiveIndicateTimer, 50, "late timer");
        }
    }

    // A frame of `length` bytes to the broadcast address, then bytes counting from `seed`.
    static std::vector<std::uint8_t> frame(std::size_t length, std::uint8_t seed = 0) {
        std::vector<std::uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; i++) {
            bytes[i] = static_cast<std::uint8_t>(i < 6 ? 0xFF : seed + i);
        }
        return bytes;
    }

    // ---- the Ethernet wire, for frames the adapter sent

    // Fixed on Ethernet (MediaSel 1), with a recorder on the wire; before start.
    void onEthernet() {
        parameters().set("MediaSel", 1u);
        recorder_ = &device().ethernet().attach<kt735::model::Recorder>();
    }

    // The transfer the driver makes of a frame of 58 bytes or more: length header, frame.
    static std::vector<std::uint8_t> image(const std::vector<std::uint8_t>& f) {
        std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(f.size() & 0xFF),
                                        static_cast<std::uint8_t>(f.size() >> 8)};
        bytes.insert(bytes.end(), f.begin(), f.end());
        return bytes;
    }

    // Frames the adapter put on the Ethernet wire.
    Frames wire() const {
        Frames frames;
        for (const kt735::model::WireFrame& f : recorder_->sentByAdapter()) {
            frames.push_back(f.bytes);
        }
        return frames;
    }

    Rig rig_;
    // The record: the one NDIS was given once started, or the one plug() created.
    Adapter* adapter_ = nullptr;
    kt735::model::Recorder* recorder_ = nullptr;

  private:
    void create() {
        ASSERT_EQ(CreateAdapter(rig_.adapter()->handle(),
                                world().ndis().configContextFor(rig_.adapter()), &adapter_),
                  NDIS_STATUS_SUCCESS);
        created_ = true;
        bus().clearLog();
        device().clearLogs();
    }
    bool created_ = false;
};

// Expected register lines of the window routines when the done bit shows at once.
inline std::vector<std::string> miiWrite(int phy, int reg, int value) {
    using B = std::uint8_t;
    return {"w 25 " + DriverFixture::hex({B(phy), B(value & 0xFF), B(value >> 8), B(0x20 | reg)}),
            "r 28 2"};
}
inline std::vector<std::string> miiRead(int phy, int reg) {
    return {"w 25 " + DriverFixture::hex({std::uint8_t(phy), 0, 0, std::uint8_t(0x40 | reg)}),
            "r 25 4"};
}
inline std::vector<std::string> eepromRead(int word) {
    return {"w 20 " + DriverFixture::hex({std::uint8_t(word), 0, 0, 2}), "r 23 2", "r 21 3"};
}
inline std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const std::vector<std::string>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

} // namespace kt735n_test
