// Set information end to end: a running adapter on the device model, the requests made on
// NDIS's upper edge at DISPATCH_LEVEL, and the effect judged by the model alone: which frames
// from the wire its receive filter lets through to NDIS, and when its own wake-up matcher,
// which computes the slot CRC itself, raises a remote-wake event.
#include "fixture.h"

namespace kt735n_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SetEndToEndTest : public DriverFixture {
  protected:
    // A 60-byte IPv4-typed frame to `destination` from another station, payload counting from
    // `seed`.
    static Bytes frameTo(const Bytes& destination, std::uint8_t seed = 0) {
        Bytes bytes = frame(60, seed);
        std::copy(destination.begin(), destination.end(), bytes.begin());
        const std::uint8_t source[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
        std::copy(source, source + 6, bytes.begin() + 6);
        bytes[12] = 0x08;
        bytes[13] = 0x00;
        return bytes;
    }

    Bytes station() const {
        std::array<std::uint8_t, 6> address = device().stationAddress();
        return Bytes(address.begin(), address.end());
    }

    // Sends the frames from the wire and returns which of them NDIS was given.
    std::vector<bool> delivered(const std::vector<Bytes>& frames) {
        ndis().log().clear();
        for (const Bytes& f : frames) {
            device().ethernet().sendToAdapter(f);
        }
        scheduler().runFor(20 * host::kMillisecond);
        std::vector<bool> seen(frames.size(), false);
        for (const auto& received : ndis().log().received) {
            for (std::size_t i = 0; i < frames.size(); i++) {
                seen[i] = seen[i] || received.frame == frames[i];
            }
        }
        return seen;
    }
};

// The packet filter reaches Control0 and Control2, and the model's filter follows them: with an
// empty multicast table, the default filter passes neither a frame for another station nor a
// multicast frame, all-multicast passes the multicast one, promiscuous both. A refused filter
// leaves the receive mode as it was and still reads back.
TEST_F(SetEndToEndTest, PacketFilterDecidesWhatTheChipPasses) {
    startRunning();
    for (std::uint8_t i = 0; i < 8; i++) {
        device().pokeReg(static_cast<std::uint8_t>(0x08 + i), 0x00);
    }
    const Bytes other = frameTo({0x02, 0x00, 0x00, 0x00, 0x00, 0x99}, 1);
    const Bytes multicast = frameTo({0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, 2);
    const Bytes own = frameTo(station(), 3);

    struct Case {
        ULONG filter;
        NDIS_STATUS status;
        std::vector<bool> delivered; // other station, multicast, own address
    } cases[] = {
        {0x0B, NDIS_STATUS_SUCCESS, {false, false, true}},
        {0x04, NDIS_STATUS_SUCCESS, {false, true, true}},
        {0x20, NDIS_STATUS_SUCCESS, {true, true, true}},
        {0x10, NDIS_STATUS_NOT_SUPPORTED, {true, true, true}},
        {0x00, NDIS_STATUS_SUCCESS, {false, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        EXPECT_EQ(ndis().setUlong(OID_GEN_CURRENT_PACKET_FILTER, c.filter).status, c.status);
        ULONG readBack = 0;
        EXPECT_EQ(ndis().queryUlong(OID_GEN_CURRENT_PACKET_FILTER, readBack).status,
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(readBack, c.filter);
        EXPECT_EQ(delivered({other, multicast, own}), c.delivered);
    }
}

// A pattern added through the upper edge makes the model wake on a frame whose selected bytes
// match, whatever its other bytes, and not on one differing in a selected byte; once removed,
// it wakes on nothing.
TEST_F(SetEndToEndTest, WakePatternWakesUntilRemoved) {
    startRunning();
    ASSERT_TRUE(device().remoteWakeupEnabled());
    const Bytes match = frameTo(station(), 0x30);
    // The type field and the first ten payload bytes: frame bytes 12 to 23.
    const Bytes mask = {0x00, 0xF0, 0xFF};
    const Bytes request = wakePattern(mask, Bytes(match.begin(), match.begin() + 24));

    Bytes otherSource = match;
    otherSource[11] ^= 0xFF;
    Bytes otherPayload = match;
    otherPayload[20] ^= 0x01;

    auto wakesOn = [&](const Bytes& f) {
        std::size_t before = device().wakeEvents().size();
        device().ethernet().sendToAdapter(f);
        scheduler().runFor(10 * host::kMillisecond);
        return device().wakeEvents().size() > before;
    };

    EXPECT_EQ(ndis().set(OID_PNP_ADD_WAKE_UP_PATTERN, request).status, NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(wakesOn(match));
    EXPECT_EQ(device().wakeEvents().back().reason, kt735::model::WakeReason::Slot0);
    EXPECT_TRUE(wakesOn(otherSource));
    EXPECT_FALSE(wakesOn(otherPayload));

    EXPECT_EQ(ndis().set(OID_PNP_REMOVE_WAKE_UP_PATTERN, wakePattern(mask, {})).status,
              NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(wakesOn(match));
}

// A set still pending when the adapter halts is finished first: its receive-mode write goes out
// before the stop sequence, NDIS gets its completion, and nothing leaks.
TEST_F(SetEndToEndTest, HaltWaitsForAPendedSet) {
    startRunning();
    clearLogs();
    const Bytes promiscuous = {0x20, 0x00, 0x00, 0x00};
    EXPECT_EQ(ndis().beginSet(OID_GEN_CURRENT_PACKET_FILTER, promiscuous).status,
              NDIS_STATUS_PENDING);
    ASSERT_TRUE(ndis().requestPending());
    halt();
    EXPECT_FALSE(ndis().requestPending());
    EXPECT_EQ(ndis().lastCompletion().status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ndis().lastCompletion().bytesDone, 4u);
    // The receive-mode write (Control0-2) is on the bus before the stop sequence begins.
    std::vector<std::string> lines = busLines();
    auto write = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("VENDOR_DEVICE 40 f1 0000 0000 0003", 0) == 0;
    });
    auto stop = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("SET_FEATURE_TO_DEVICE", 0) == 0;
    });
    EXPECT_LT(write - lines.begin(), stop - lines.begin());
}

} // namespace

} // namespace kt735n_test
