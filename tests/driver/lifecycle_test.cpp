// Initialize, halt, shutdown and reset through the host PnP manager and NDIS, on the device
// model: the medium array, a failed bring-up, the stop sequence on the bus and in time, halts
// with transfers in flight or a device that is gone, and the reset.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;
using host::kSecond;
using host::usb::Fault;

class LifecycleTest : public DriverFixture {
  protected:
    // Every memory free while alive: when, what, and whether the shutdown handler was still
    // registered at that moment. Chained in front of the hook NDIS keeps there.
    struct Free {
        host::Time when;
        void* p;
        bool shutdownHandler;
    };
    // On a running adapter only the memory its ledger records is followed.
    void recordFrees() {
        tracked_.clear();
        if (adapter() != nullptr) {
            for (LedgerEntry* e = adapter()->LedgerActiveHead; e != nullptr; e = e->Next) {
                if (e->Kind == LEDGER_KIND_MEMORY) {
                    tracked_.insert(e->Payload.Memory.Address);
                }
            }
        }
        previousOnFree_ = world().memory().onFree;
        world().memory().onFree = [this](void* p, std::size_t size) {
            if (tracked_.empty() || tracked_.count(p) != 0) {
                frees_.push_back({world().now(), p,
                                  rig_.adapter() != nullptr && ndis().shutdownHandlerRegistered()});
            }
            if (previousOnFree_) {
                previousOnFree_(p, size);
            }
        };
    }
    // Every test ends halted (here or by the fixture) with the verifier silent.
    void TearDown() override {
        DriverFixture::TearDown();
        EXPECT_EQ(world().ndis().checkUnload("halt"), 0u);
        if (previousOnFree_) {
            world().memory().onFree = previousOnFree_;
        }
    }
    // Index of the Adapter's own free: the last before the ledger's one block.
    std::size_t adapterFreeIndex(void* record) const {
        return std::find_if(frees_.begin(), frees_.end(),
                            [&](const Free& f) { return f.p == record; }) -
               frees_.begin();
    }

    // The stop sequence's requests on the bus, without the bulk transfers.
    std::vector<const host::usb::Request*> pipeRequests() const {
        std::vector<const host::usb::Request*> requests;
        for (const host::usb::Request& r : bus().log()) {
            if (r.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                requests.push_back(&r);
            }
        }
        return requests;
    }

    static std::vector<std::string> texts(const std::vector<const host::usb::Request*>& requests) {
        std::vector<std::string> lines;
        for (const host::usb::Request* r : requests) {
            lines.push_back(r->text());
        }
        return lines;
    }

    std::vector<Free> frees_;
    std::function<void(void*, std::size_t)> previousOnFree_;
    std::set<void*> tracked_;
};

// NdisMedium802_3 is looked for in the whole array; without it nothing is allocated and the
// device is not touched. Found, the adapter is initialized as a deserialized miniport on the
// internal bus with NDIS's hang-check interval.
TEST_F(LifecycleTest, MediumArrayAndAttributes) {
    for (std::vector<NDIS_MEDIUM> media :
         {std::vector<NDIS_MEDIUM>{NdisMedium802_5}, std::vector<NDIS_MEDIUM>{}}) {
        SCOPED_TRACE(media.size());
        const std::uint64_t ndisAttempts = world().memory().attempts(host::Memory::Kind::Ndis);
        bus().clearLog();
        EXPECT_EQ(start(media), NDIS_STATUS_UNSUPPORTED_MEDIA);
        EXPECT_EQ(world().memory().attempts(host::Memory::Kind::Ndis), ndisAttempts);
        EXPECT_TRUE(bus().log().empty());
        EXPECT_FALSE(ndis().running());
        world().pnp().removeDevice(bus().pdo());
    }
    ASSERT_EQ(start({NdisMedium802_5, NdisMedium802_3}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ndis().selectedMedium(), 1u);
    EXPECT_EQ(ndis().attributes().flags, 0x33u);
    EXPECT_EQ(ndis().attributes().checkForHangSeconds, 0u);
    EXPECT_EQ(ndis().attributes().interfaceType, NdisInterfaceInternal);
}

// The stop sequence in order: the indicate timer cancelled before the device hears of remote
// wake-up, the bulk-out pipe aborted and reset 10 ms apart, then the bulk-in pipe, one second
// of pauses, and only then the shutdown handler deregistered and memory given back, the
// Adapter last before the ledger blocks.
TEST_F(LifecycleTest, HaltRunsTheStopSequenceInOrder) {
    startRunning();
    Adapter* a = adapter();
    NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(&a->ReceiveIndicateTimer), 60000);
    bool timerPendingAtFeature = true; // SET_FEATURE comes once, in the stop sequence
    device().onControl = [&](const kt735::model::SetupPacket& setup, std::span<std::uint8_t>) {
        if (setup.bRequest == 0x03) {
            timerPendingAtFeature = world().ndis().timer(&a->ReceiveIndicateTimer)->pending;
        }
    };
    recordFrees();
    halt();

    EXPECT_FALSE(timerPendingAtFeature);
    const std::vector<const host::usb::Request*> pipe = pipeRequests();
    // Abort and reset of bulk out (0x02), then of bulk in (0x81); a reset names its pipe in
    // wIndex.
    ASSERT_EQ(texts(pipe),
              (std::vector<std::string>{
                  "SET_FEATURE_TO_DEVICE 00 03 0001 0000 0000 SUCCESS", "ABORT_PIPE 02 SUCCESS",
                  "RESET_PIPE 02 01 0000 0002 0000 SUCCESS", "ABORT_PIPE 81 SUCCESS",
                  "RESET_PIPE 02 01 0000 0081 0000 SUCCESS"}));
    EXPECT_EQ(pipe[2]->submitted - pipe[1]->completed, 10 * kMillisecond);
    EXPECT_EQ(pipe[3]->submitted, pipe[2]->completed);
    EXPECT_EQ(pipe[4]->submitted - pipe[3]->completed, 10 * kMillisecond);
    // The pending bulk-in transfer was cancelled by its pipe's abort.
    for (const host::usb::Request& r : bus().log()) {
        if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            EXPECT_TRUE(r.done());
        }
    }

    ASSERT_FALSE(frees_.empty());
    EXPECT_EQ(frees_.front().when - pipe[4]->completed, kSecond);
    for (const Free& f : frees_) {
        EXPECT_FALSE(f.shutdownHandler);
    }
    EXPECT_EQ(adapterFreeIndex(a), frees_.size() - 2); // then the ledger's one block
}

// Transfers whose completions come after the stop sequence (a send and a received frame, both
// completing 1.5 s late): halt waits for them before it releases anything.
TEST_F(LifecycleTest, HaltWaitsForTransfersStillInFlight) {
    startRunning();
    bus().addFault(Fault::delaying(kBulkOut, 1500 * kMillisecond));
    // The bulk-in transfer now on the pipe takes a frame; the one replacing it is slow.
    bus().addFault(Fault::delaying(kBulkIn, 1500 * kMillisecond));
    device().ethernet().sendToAdapter(frame(100, 1));
    scheduler().runFor(5 * kMillisecond);
    ndis().send(frame(100, 2));
    device().ethernet().sendToAdapter(frame(100, 3));
    scheduler().runFor(5 * kMillisecond);
    ASSERT_EQ(ndis().log().received.size(), 1u);

    recordFrees();
    halt();
    host::Time lastCompletion = 0;
    for (const host::usb::Request& r : bus().log()) {
        ASSERT_TRUE(r.done()) << r.text();
        lastCompletion = std::max(lastCompletion, r.completed);
    }
    ASSERT_FALSE(frees_.empty());
    EXPECT_GE(frees_.front().when, lastCompletion);
    EXPECT_EQ(ndis().log().received.size(), 1u);
}

// NDIS's bugcheck callback runs the shutdown handler at HIGH_LEVEL: it touches neither the
// device nor the adapter. An orderly system shutdown then stops the adapter for good; a later
// halt is still clean.
TEST_F(LifecycleTest, ShutdownHandlerStopsTheAdapter) {
    startRunning();
    const std::size_t requests = bus().log().size();
    ndis().shutdown(true);
    EXPECT_EQ(bus().log().size(), requests);
    EXPECT_EQ(adapter()->DeviceState, ULONG{KT735N_DEVICE_RUNNING});
    ndis().shutdown();
    EXPECT_EQ(adapter()->DeviceState, ULONG{KT735N_DEVICE_SHUT_DOWN});
    ASSERT_EQ(pipeRequests().size(), 5u); // the stop sequence
    clearLogs();
    device().ethernet().sendToAdapter(frame(100, 1));
    scheduler().runFor(100 * kMillisecond);
    EXPECT_TRUE(ndis().log().received.empty());
    EXPECT_TRUE(busLines(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
}

// MiniportReset clears the statistics (every counter of the structure) and nothing else, and
// completes at once.
TEST_F(LifecycleTest, ResetClearsOnlyTheStatistics) {
    startRunning();
    device().ethernet().sendToAdapter(frame(100, 1));
    scheduler().runFor(20 * kMillisecond);
    Adapter* a = adapter();
    ASSERT_EQ(a->Statistics.RxOkCount, 1u);
    std::memset(&a->Statistics, 0x5A, sizeof(a->Statistics));
    const ULONG freeRx = a->FreeRxList.Count;
    const LONG freeTx = a->FreeTxCount;
    clearLogs();
    BOOLEAN addressingReset = TRUE;
    EXPECT_EQ(ndis().reset(&addressingReset), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(addressingReset, FALSE);
    const AdapterStatistics cleared{};
    EXPECT_EQ(std::memcmp(&a->Statistics, &cleared, sizeof(cleared)), 0);
    EXPECT_EQ(a->DeviceState, ULONG{KT735N_DEVICE_RUNNING});
    EXPECT_EQ(a->FreeRxList.Count, freeRx);
    EXPECT_EQ(a->FreeTxCount, freeTx);
    EXPECT_TRUE(bus().log().empty());
}

} // namespace

namespace {

using host::usb::Match;

// A start that cannot leave a working adapter fails: the medium never selected on the chip,
// receive and transmit never switched on, a PHY reading that did not arrive (the stale window
// or the EEPROM would decide the medium or the address), or the device pulled part-way. Each
// releases everything.
struct InitFailure {
    const char* name;
    ULONG mediaSelect;
    std::optional<Fault> fault;
    host::Time unplugAt = -1;
};

class InitFailureTest : public LifecycleTest, public testing::WithParamInterface<InitFailure> {};

TEST_P(InitFailureTest, FailsAndReleasesEverything) {
    const InitFailure& row = GetParam();
    parameters().set("MediaSel", row.mediaSelect);
    if (row.fault) {
        bus().addFault(*row.fault);
    }
    if (row.unplugAt >= 0) {
        scheduler().after(
            row.unplugAt, [this] { bus().unplug(); }, "unplug");
    }
    EXPECT_EQ(start(), NDIS_STATUS_RESOURCES);
    EXPECT_FALSE(ndis().running());
    EXPECT_FALSE(ndis().shutdownHandlerRegistered());
    EXPECT_EQ(bus().outstanding(), 0u);
}

constexpr USHORT kVendor = URB_FUNCTION_VENDOR_DEVICE;
const Match kMediumSelect{.function = kVendor, .bRequest = 0xF1, .wIndex = 0x7F};
const Match kSecondControl0{.function = kVendor, .bRequest = 0xF1, .wIndex = 0x00, .nth = 2};
const Match kEepromData{.function = kVendor, .bRequest = 0xF0, .wIndex = 0x21};
Match miiWindowRead(std::uint32_t nth) {
    return {.function = kVendor, .bRequest = 0xF0, .wIndex = 0x25, .nth = nth};
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, InitFailureTest,
    testing::Values(InitFailure{"MediumSelectFails", 1, Fault::failing(kMediumSelect)},
                    InitFailure{"MediumSelectStalls", 0, Fault::stalling(kMediumSelect)},
                    InitFailure{"Control0Fails", 1, Fault::failing(kSecondControl0)},
                    InitFailure{"Control0Hangs", 2, Fault::holding(kSecondControl0)},
                    InitFailure{"EepromReadFails", 1, Fault::failing(kEepromData)},
                    InitFailure{"DetectionReadFails", 0, Fault::failing(miiWindowRead(1))},
                    InitFailure{"PhoneLineIdReadFails", 2, Fault::failing(miiWindowRead(1))},
                    InitFailure{"EthernetIdReadFails", 0, Fault::failing(miiWindowRead(4))},
                    InitFailure{"EthernetStatusReadFails", 0, Fault::stalling(miiWindowRead(5))},
                    InitFailure{"PulledAtOnce", 0, std::nullopt, 0},
                    InitFailure{"PulledInConfiguration", 1, std::nullopt, 3 * kMillisecond},
                    InitFailure{"PulledInEeprom", 1, std::nullopt, 20 * kMillisecond},
                    InitFailure{"PulledInDetection", 0, std::nullopt, kSecond},
                    InitFailure{"PulledInMediaStart", 0, std::nullopt, 2100 * kMillisecond}),
    ByName());

} // namespace

} // namespace kt735n_test
