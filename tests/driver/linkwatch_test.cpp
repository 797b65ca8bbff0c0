// The link watch on a running adapter: NDIS's periodic hang check starts each pass, the model's
// PHYs answer through the MII window, and the register log and NDIS's status indications are
// compared with what every decision row and chain must produce.
#include <string>
#include <vector>

#include "fixture.h"
#include "linkwatch/linkwatch.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;
using host::kSecond;
using host::usb::Fault;
using Lines = std::vector<std::string>;
using Statuses = std::vector<NDIS_STATUS>;

constexpr NDIS_STATUS kConnect = NDIS_STATUS_MEDIA_CONNECT;
constexpr NDIS_STATUS kDisconnect = NDIS_STATUS_MEDIA_DISCONNECT;

class LinkWatchTest : public DriverFixture {
  protected:
    // Register lines and indications of the next `checks` hang checks.
    Lines linesOfChecks(int checks = 1) {
        clearLogs();
        for (int i = 0; i < checks; i++) {
            nextHangCheck();
        }
        return registerLines();
    }
    Statuses indicated() {
        Statuses statuses;
        for (const auto& s : ndis().log().statuses) {
            statuses.push_back(s.status);
        }
        return statuses;
    }
    void expectPassOver() {
        EXPECT_EQ(adapter()->LinkWatchBusy, 0);
        EXPECT_TRUE(LinkWatchIdle(adapter()));
    }
};

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The pass of each PHY as the start leaves Control1, and the chains that follow a change.
const Lines kEthernetPass{"w 25 01000045", "r 26 2"};
const Lines kPhonePass{"w 25 02000041", "r 26 2"};
const Lines kEthernetUp{"w 7f 2400", "w 25 01003020", "w 25 02000420"};
const Lines kEthernetDown{"w 7f 260002", "w 25 01003420", "w 25 02000420"};
const Lines kPhoneUp{"w 7f 340006", "w 25 01003420", "w 25 0200a020"};
const Lines kPhoneDown{"w 7f 340006", "w 25 01003420", "w 25 02000420"};

// ---- every decision row -------------------------------------------------------------------------

struct Row {
    const char* name;
    ULONG mediaSelect;
    UCHAR active; // ActiveMedium and MediaState when the pass starts
    ULONG mediaState;
    bool ethernetLink; // partner 0x01E1, or cable pulled
    bool phoneLink;
    USHORT partnerAbility; // PartnerAbility when the pass starts
    ULONG mediaType;
    Lines lines; // the whole register traffic of the check
    Statuses statuses;
    UCHAR activeAfter;
    ULONG stateAfter;
};

class LinkWatchRowTest : public LinkWatchTest, public ::testing::WithParamInterface<Row> {};

TEST_P(LinkWatchRowTest, DecidesAsTabled) {
    const Row& row = GetParam();
    parameters().set("MediaSel", row.mediaSelect);
    startRunning();
    if (!row.ethernetLink) {
        device().ethernet().pull();
    }
    device().phoneLine().setStationsPresent(row.phoneLink);
    scheduler().runFor(500 * kMillisecond);
    adapter()->ActiveMedium = row.active;
    adapter()->MediaState = row.mediaState;
    adapter()->PartnerAbility = row.partnerAbility;
    adapter()->MediaType = row.mediaType;

    EXPECT_EQ(linesOfChecks(), row.lines);
    EXPECT_EQ(indicated(), row.statuses);
    EXPECT_EQ(ndis().log().statusCompletes.size(), row.statuses.size());
    EXPECT_EQ(adapter()->ActiveMedium, row.activeAfter);
    EXPECT_EQ(adapter()->MediaState, row.stateAfter);
    expectPassOver();
}

const Row kRows[] = {
    {"E1", 1, 1, 6, true, true, 0x01E1, 0, kEthernetPass, {kConnect}, 1, 5},
    {"E2", 0, 1, 6, true, true, 0x01E1, 0, kEthernetPass + kEthernetUp, {kConnect}, 1, 5},
    {"E3", 0, 1, 5, true, true, 0x01E1, 0, kEthernetPass, {}, 1, 5},
    {"E4", 0, 1, 5, true, true, 0x0021, 4, kEthernetPass, {}, 1, 5},
    {"E5", 0, 1, 5, true, true, 0x0021, 0, kEthernetPass + Lines{"w 01 3000"}, {}, 1, 5},
    {"E6", 1, 1, 5, false, true, 0x01E1, 0, kEthernetPass, {kDisconnect}, 1, 6},
    {"E7", 0, 1, 5, false, true, 0x01E1, 0, kEthernetPass + kEthernetDown, {kDisconnect}, 1, 6},
    {"E8", 1, 1, 6, false, true, 0x01E1, 0, kEthernetPass, {}, 1, 6},
    {"E9", 0, 1, 6, false, true, 0x01E1, 0, kEthernetPass, {}, 2, 6},
    {"P1", 2, 2, 6, true, true, 0x01E1, 0, kPhonePass, {kConnect}, 2, 5},
    {"P2", 0, 2, 6, true, true, 0x01E1, 0, kPhonePass + kPhoneUp, {kConnect}, 2, 5},
    {"P3", 0, 2, 5, true, true, 0x01E1, 0, kPhonePass, {}, 2, 5},
    // A fixed medium reads only its own PHY, whatever the other side does; the lost link is
    // indicated once (P4, E6) and later passes end in P6 or E8, never switching.
    {"P4", 2, 2, 5, false, false, 0x01E1, 0, kPhonePass, {kDisconnect}, 2, 6},
    {"P5", 0, 2, 5, true, false, 0x01E1, 0, kPhonePass + kPhoneDown, {kDisconnect}, 1, 6},
    {"P6", 2, 2, 6, true, false, 0x01E1, 0, kPhonePass, {}, 2, 6},
    // No link on the phone line: the Ethernet PHY is read at once, and has none either (E9).
    {"P7", 0, 2, 6, false, false, 0x01E1, 0, kPhonePass + kEthernetPass, {}, 2, 6},
};

INSTANTIATE_TEST_SUITE_P(Rows, LinkWatchRowTest, ::testing::ValuesIn(kRows), ByName());

// ---- the adapter following its wires ----------------------------------------------------------

// One step of a scenario: a change on the wire (or none), then one hang check with the whole
// register traffic and the indications it must produce.
struct Step {
    const char* what;
    void (*change)(kt735::model::Kt735Device&);
    Lines lines;
    Statuses statuses;
};

void nothing(kt735::model::Kt735Device&) {}

class LinkWatchScenarioTest : public LinkWatchTest {
  protected:
    void expectSteps(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            step.change(device());
            EXPECT_EQ(linesOfChecks(), step.lines);
            EXPECT_EQ(indicated(), step.statuses);
            expectPassOver();
        }
    }
};

TEST_F(LinkWatchScenarioTest, EthernetCablePulledAndReplugged_PartnerChanges) {
    parameters().set("MediaSel", 0u);
    device().phoneLine().setStationsPresent(false);
    startRunning();
    // Control1 as the switch to the phone line left it.
    const Lines ethernet{"w 25 01000445", "r 26 2"}, phone{"w 25 02000441", "r 26 2"};
    expectSteps({
        {"stable link: the pass and nothing else", nothing, kEthernetPass, {}},
        {"cable pulled",
         [](kt735::model::Kt735Device& d) { d.ethernet().pull(); },
         kEthernetPass + kEthernetDown,
         {kDisconnect}},
        {"still no link: E9 turns to the phone line", nothing, ethernet, {}},
        {"no link anywhere: both PHYs in one check", nothing, phone + ethernet, {}},
        {"cable back",
         [](kt735::model::Kt735Device& d) { d.ethernet().plug(); },
         phone + ethernet + kEthernetUp,
         {kConnect}},
        {"partner drops to 10 Mbit/s full duplex",
         [](kt735::model::Kt735Device& d) { d.ethernet().setPartnerAbility(0x0041); },
         ethernet + Lines{"w 01 2000"},
         {}},
        {"stable again", nothing, ethernet, {}},
    });
    EXPECT_EQ(adapter()->LinkSpeed, 1u);
}

// ---- settings -----------------------------------------------------------------------------------

// No pass once shut down or after a failed transfer; indications wait for InitDone.
TEST_F(LinkWatchTest, NoPassOutsideTheRunningStateNoIndicationBeforeInitDone) {
    parameters().set("MediaSel", 1u);
    startRunning();
    for (ULONG state : {KT735N_DEVICE_SHUT_DOWN, KT735N_DEVICE_TRANSFER_FAILED}) {
        SCOPED_TRACE(state);
        adapter()->DeviceState = state;
        EXPECT_EQ(linesOfChecks(), Lines{}); // after a failed transfer the check asks for a reset
    }
    adapter()->DeviceState = KT735N_DEVICE_RUNNING;
    adapter()->InitDone = 0;
    device().ethernet().pull();
    linesOfChecks();
    EXPECT_EQ(indicated(), Statuses{});
    EXPECT_EQ(ndis().log().statusCompletes.size(), 1u);
    EXPECT_EQ(adapter()->MediaState, 6u);
    adapter()->InitDone = 1;
}

TEST_F(LinkWatchTest, FailedWriteStillAdvancesTheChain) {
    parameters().set("MediaSel", 0u);
    startRunning();
    bus().addFault(
        Fault::failing({.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF1, .wIndex = 0x7F}));
    device().ethernet().pull();
    // The medium-select write fails; the chain goes on to the two Control writes.
    EXPECT_EQ(linesOfChecks(),
              kEthernetPass + Lines(kEthernetDown.begin() + 1, kEthernetDown.end()));
    EXPECT_EQ(indicated(), Statuses{kDisconnect});
    expectPassOver();
}

// ---- one pass at a time, and its own read buffer ------------------------------------------------

TEST_F(LinkWatchTest, PassInFlightKeepsLaterKicksOut) {
    startRunning();
    // The data read of the first pass takes five seconds: neither the checks meanwhile nor a
    // kick as a completion makes it start another pass.
    bus().addFault(Fault::delaying(
        {.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0, .wIndex = 0x26}, 5 * kSecond));
    EXPECT_EQ(linesOfChecks(2), Lines{"w 25 01000045"});
    KickLinkWatch(adapter());
    scheduler().runFor(3 * kSecond);
    EXPECT_EQ(registerLines(), kEthernetPass);
    expectPassOver();
    EXPECT_EQ(linesOfChecks(), kEthernetPass);
}

TEST_F(LinkWatchTest, ReadLandsInItsOwnBuffer) {
    startRunning();
    // A synchronous register read of an OID set path left its bytes in RegisterReadBuffer (a
    // partner ability of 0, which would read as a lost link); the pass neither reads them nor
    // overwrites them.
    adapter()->RegisterReadBuffer[0] = 0x00;
    adapter()->RegisterReadBuffer[1] = 0x00;
    EXPECT_EQ(linesOfChecks(), kEthernetPass);
    EXPECT_EQ(indicated(), Statuses{});
    EXPECT_EQ(adapter()->RegisterReadBuffer[0], 0x00);
    EXPECT_EQ(adapter()->LinkWatchReadBuffer[0], 0xE1);
    EXPECT_EQ(adapter()->LinkWatchReadBuffer[1], 0x01);
}

TEST_F(LinkWatchTest, RequestThatCannotBeBuiltEndsThePassAndTheNextCheckRetries) {
    startRunning();
    // No request block, then no IRP.
    for (host::Memory::Kind kind : {host::Memory::Kind::Pool, host::Memory::Kind::Irp}) {
        SCOPED_TRACE(static_cast<int>(kind));
        world().memory().failNth(kind, 1);
        EXPECT_EQ(linesOfChecks(), Lines{});
        expectPassOver();
        EXPECT_EQ(adapter()->LinkWatchWriteUrb, nullptr);
        EXPECT_EQ(linesOfChecks(), kEthernetPass);
    }
}

// Mended: the link speed follows the medium. The switch to the phone line reports 10 Mbit/s;
// the return to Ethernet reports what the partner offers, resolved as the media start does.
TEST_F(LinkWatchTest, LinkSpeedFollowsTheMedium) {
    parameters().set("MediaSel", 0u);
    startRunning();
    auto connectedOn = [this](UCHAR medium) {
        for (int i = 0; i < 8 && (adapter()->ActiveMedium != medium ||
                                  adapter()->MediaState != KT735N_MEDIA_CONNECTED);
             i++) {
            nextHangCheck();
        }
        EXPECT_EQ(adapter()->ActiveMedium, medium);
        EXPECT_EQ(adapter()->MediaState, ULONG{KT735N_MEDIA_CONNECTED});
    };
    ULONG speed = 0;
    ASSERT_EQ(ndis().queryUlong(OID_GEN_LINK_SPEED, speed).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(speed, 1000000u);
    for (USHORT partner : {USHORT{0x0021}, USHORT{0x01E1}}) {
        SCOPED_TRACE(partner);
        device().ethernet().pull();
        connectedOn(KT735N_MEDIUM_PHONE_LINE);
        ndis().queryUlong(OID_GEN_LINK_SPEED, speed);
        EXPECT_EQ(speed, 100000u);

        device().ethernet().setPartnerAbility(partner);
        device().ethernet().plug();
        device().phoneLine().setStationsPresent(false);
        connectedOn(KT735N_MEDIUM_ETHERNET);
        ndis().queryUlong(OID_GEN_LINK_SPEED, speed);
        EXPECT_EQ(speed, partner == 0x01E1 ? 1000000u : 100000u);
        device().phoneLine().setStationsPresent(true);
    }
}

} // namespace

} // namespace kt735n_test
