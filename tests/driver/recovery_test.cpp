// Recovery from faults of the USB stack through NDIS's hang check and MiniportReset: failed and
// held transfers, a device that is gone, and sends waiting when the adapter halts or resets. (A
// link-watch request the device never answers at halt: the seeded interleavings.)
#include <map>
#include <string>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;
using host::kSecond;
using host::usb::Fault;
using host::usb::Match;

class RecoveryTest : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        onEthernet();
    }
    // Runs hang checks until NDIS has started a reset, at most `checks` of them; the number run.
    int checksUntilReset(int checks) {
        std::uint64_t before = ndis().resets();
        int run = 0;
        while (run < checks && ndis().resets() == before) {
            nextHangCheck();
            run++;
        }
        return run;
    }

    // A frame sent goes on the wire and a frame from the wire is indicated.
    void expectFramesMoveBothWays(std::uint8_t seed) {
        recorder_->clear();
        ndis().log().received.clear();
        const auto out = frame(300, seed), in = frame(200, static_cast<std::uint8_t>(seed + 1));
        EXPECT_EQ(ndis().send(out).status, NDIS_STATUS_PENDING);
        device().ethernet().sendToAdapter(in);
        scheduler().runFor(100 * kMillisecond);
        EXPECT_EQ(wire(), Frames{out});
        ASSERT_EQ(ndis().log().received.size(), 1u);
        EXPECT_EQ(ndis().log().received[0].frame, in);
    }

    // The completion statuses of the sends, by send id; a second completion would be a
    // verifier violation, which fails the test by itself.
    std::map<std::uint64_t, NDIS_STATUS> completions() {
        std::map<std::uint64_t, NDIS_STATUS> byId;
        for (const auto& c : ndis().log().sendCompletions) {
            byId[c.sendId] = c.status;
        }
        return byId;
    }

    std::vector<host::Time> resetStarts() {
        std::vector<host::Time> times;
        for (const auto& s : ndis().log().statuses) {
            if (s.status == NDIS_STATUS_RESET_START) {
                times.push_back(s.when);
            }
        }
        return times;
    }
};

enum class Inject { BabblingBulkIn, FailedBulkOut, StalledBulkOut, FailedFirstBulkIn, HeldBulkOut };

struct FaultCase {
    const char* name;
    Inject inject;
    int checks; // hang checks within which NDIS resets the adapter
};

class FaultRecoveryTest : public RecoveryTest, public ::testing::WithParamInterface<FaultCase> {};

// Mended: one failed or held transfer used to stop the adapter for good while it kept telling
// NDIS it was connected. Now the hang check asks for a reset, MiniportReset pends, its work item
// aborts and resets both pipes and restarts reception, and frames move both ways again.
TEST_P(FaultRecoveryTest, ResetBringsTheDataPathBack) {
    const FaultCase& c = GetParam();
    if (c.inject == Inject::FailedFirstBulkIn) {
        bus().addFault(Fault::failing(kBulkIn));
    }
    startRunning();
    switch (c.inject) {
    case Inject::BabblingBulkIn:
        device().injectBulkIn(std::vector<std::uint8_t>(3000, 0x55));
        break;
    case Inject::FailedBulkOut:
        bus().addFault(Fault::failing(kBulkOut));
        break;
    case Inject::StalledBulkOut:
        bus().addFault(Fault::stalling(kBulkOut));
        break;
    case Inject::HeldBulkOut:
        bus().addFault(Fault::holding(kBulkOut));
        break;
    case Inject::FailedFirstBulkIn:
        break;
    }
    ndis().send(frame(100, 9));
    scheduler().runFor(10 * kMillisecond);
    EXPECT_LE(checksUntilReset(c.checks), c.checks);
    ASSERT_EQ(ndis().resets(), 1u);
    scheduler().runUntil([&] { return !ndis().resetInProgress(); }, 10 * kSecond);
    EXPECT_EQ(ndis().resetResults(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(adapter_->DeviceState, ULONG{KT735N_DEVICE_RUNNING});
    EXPECT_FALSE(bus().halted(0x81));
    EXPECT_FALSE(bus().halted(0x02));
    expectFramesMoveBothWays(1);
    expectFramesMoveBothWays(5);
    EXPECT_EQ(ndis().sendsOutstanding(), 0u);
    EXPECT_EQ(ndis().resets(), 1u);
}

// Held by the stack, a transfer is cancelled once four checks in a row found it, then reset.
const FaultCase kFaultCases[] = {
    {"BabblingBulkIn", Inject::BabblingBulkIn, 2},
    {"FailedBulkOut", Inject::FailedBulkOut, 2},
    {"StalledBulkOut", Inject::StalledBulkOut, 2},
    {"FailedFirstBulkInAtInitialization", Inject::FailedFirstBulkIn, 2},
    {"BulkOutHeldForever", Inject::HeldBulkOut, 6},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultRecoveryTest, ::testing::ValuesIn(kFaultCases), ByName());

// The device is pulled with traffic in flight, and from then on the bus fails every request at
// once: the adapter stops submitting transfers, each reset fails, NDIS hears of the disconnect
// once, the hang check asks again no more than once every 6 seconds, sends are refused, and
// NDIS halts it at once and clean.
TEST_F(RecoveryTest, DeviceGoneResetsFailNoFasterThanEverySixSeconds) {
    startRunning();
    for (std::uint8_t seed = 1; seed <= 3; ++seed) {
        device().ethernet().sendToAdapter(frame(200, seed));
        ndis().send(frame(200, seed));
    }
    scheduler().runFor(1 * kMillisecond);
    bus().setTiming(host::usb::Timing::fixedLatency(/*inlineCompletion=*/true));
    bus().unplug();
    scheduler().runFor(10 * kMillisecond);
    EXPECT_EQ(adapter_->DeviceState, ULONG{KT735N_DEVICE_TRANSFER_FAILED});
    const std::size_t transfers = busLines(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size();
    ndis().send(frame(100, 1));
    scheduler().runFor(30 * kSecond);
    EXPECT_EQ(busLines(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size(), transfers);

    const std::vector<host::Time> starts = resetStarts();
    ASSERT_GE(starts.size(), 3u);
    for (std::size_t i = 1; i < starts.size(); i++) {
        EXPECT_GE(starts[i] - starts[i - 1], 6 * kSecond);
    }
    scheduler().runUntil([&] { return !ndis().resetInProgress(); }, 10 * kSecond);
    EXPECT_EQ(ndis().resetResults(),
              std::vector<NDIS_STATUS>(starts.size(), NDIS_STATUS_HARD_ERRORS));
    std::size_t disconnects = 0;
    for (const auto& s : ndis().log().statuses) {
        disconnects += s.status == NDIS_STATUS_MEDIA_DISCONNECT ? 1 : 0;
    }
    EXPECT_EQ(disconnects, 1u);
    EXPECT_EQ(adapter_->MediaState, ULONG{KT735N_MEDIA_DISCONNECTED});
    EXPECT_EQ(adapter_->DeviceState, ULONG{KT735N_DEVICE_TRANSFER_FAILED});
    EXPECT_EQ(ndis().send(frame(100, 2)).status, NDIS_STATUS_FAILURE);

    const host::Time before = world().now();
    EXPECT_EQ(world().pnp().surpriseRemoval(bus().pdo()), STATUS_SUCCESS);
    halt();
    EXPECT_LT(world().now() - before, 2 * kSecond);
    EXPECT_EQ(ndis().sendsOutstanding(), 0u);
}

enum class Stop { Halt, Reset, FailedTransfer };

struct WaitingCase {
    const char* name;
    Stop stop;
    NDIS_STATUS waitingStatus;
};

class WaitingSendsTest : public RecoveryTest, public ::testing::WithParamInterface<WaitingCase> {};

// Sends waiting for descriptors when the adapter halts, NDIS resets it or a transfer fails are
// completed exactly once: with NDIS_STATUS_FAILURE at halt and after the failure, with
// NDIS_STATUS_REQUEST_ABORTED at a reset (what NDIS expects of a deserialized miniport); those
// that went out completed with success.
TEST_P(WaitingSendsTest, EachIsCompletedOnce) {
    const WaitingCase& c = GetParam();
    parameters().set("TxPacketDesc", 4u);
    startRunning();
    bus().addFault(c.stop == Stop::FailedTransfer ? Fault::failing(kBulkOut)
                                                  : Fault::holding(kBulkOut));
    std::vector<std::uint64_t> ids;
    for (std::uint8_t i = 0; i < 7; i++) {
        host::ndis::Adapter::SendResult r = ndis().send(frame(i == 4 ? 62 : 100, i));
        EXPECT_EQ(r.status, NDIS_STATUS_PENDING);
        ids.push_back(r.id);
    }
    EXPECT_EQ(adapter_->WaitingSendCount, 4u);
    EXPECT_EQ(completions().size(), 3u);

    switch (c.stop) {
    case Stop::Halt: // the abort cancels the held transfer; those behind it go down
        halt();
        EXPECT_EQ(bus().outstanding(), 0u);
        break;
    case Stop::Reset: {
        BOOLEAN addressing = TRUE;
        EXPECT_EQ(ndis().reset(&addressing), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(adapter_->WaitingSendCount, 0u);
        break;
    }
    case Stop::FailedTransfer:
        scheduler().runFor(10 * kMillisecond);
        EXPECT_EQ(adapter_->DeviceState, ULONG{KT735N_DEVICE_TRANSFER_FAILED});
        EXPECT_EQ(adapter_->WaitingSendCount, 0u);
        break;
    }
    std::map<std::uint64_t, NDIS_STATUS> byId = completions();
    ASSERT_EQ(byId.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); i++) {
        EXPECT_EQ(byId[ids[i]], i < 3 ? NDIS_STATUS_SUCCESS : c.waitingStatus) << i;
    }
    EXPECT_EQ(ndis().sendsOutstanding(), 0u);
}

const WaitingCase kWaitingCases[] = {
    {"Halt", Stop::Halt, NDIS_STATUS_FAILURE},
    {"Reset", Stop::Reset, NDIS_STATUS_REQUEST_ABORTED},
    {"FailedTransfer", Stop::FailedTransfer, NDIS_STATUS_FAILURE},
};

INSTANTIATE_TEST_SUITE_P(Stops, WaitingSendsTest, ::testing::ValuesIn(kWaitingCases), ByName());

} // namespace

} // namespace kt735n_test
