// MiniportSetInformation on a running adapter over the device model: the handler is called
// through NDIS at DISPATCH_LEVEL, pended sets waited for, and what it did is read from the
// model's register log, the two byte counts and the record's shadows, and judged by the model
// alone: which frames from the wire its receive filter lets through to NDIS. (The model's own
// wake-up matcher, which computes the slot CRC itself, is tested in tests/model.) Covers the
// slot CRC and image, slot choice and removal, the packet filter's register write, every OID's
// lengths and counts, the refusal of wake-up pattern requests that do not fit or reach outside
// themselves, and a set still pending at halt.
#include <cstring>

#include "fixture.h"
#include "oid/oid.h"

namespace kt735n_test {
namespace {

// What the handler left in a count it did not write.
constexpr ULONG kUnwritten = 0xDEADBEEF;
// WakeControl as the media start leaves it with both wake-up keywords clear.
constexpr UCHAR kWakeControlAtStart = 0x44;

struct SetOutcome {
    NDIS_STATUS status;
    ULONG read;
    ULONG needed;
};

std::vector<std::uint8_t> text(const char* s) {
    return std::vector<std::uint8_t>(s, s + std::strlen(s));
}

std::vector<std::uint8_t> ulong(ULONG value) {
    std::vector<std::uint8_t> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

class SetInformationTest : public DriverFixture {
  protected:
    // The register line of a slot write: the 16 mask bytes, 0x00, the CRC low byte first.
    static std::string slotLine(std::uint8_t firstRegister, std::vector<std::uint8_t> mask,
                                USHORT crc) {
        mask.resize(16);
        mask.insert(mask.end(),
                    {0x00, static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)});
        return "w " + hex({firstRegister}) + " " + hex(mask);
    }
    static std::string wakeControlLine(std::uint8_t value) { return "w 78 " + hex({value, 0x00}); }

    // A running adapter with an empty multicast hash and the shadows the register images below
    // are written from.
    void SetUp() override {
        startRunning();
        for (std::uint8_t i = 0; i < 8; i++) {
            device().pokeReg(static_cast<std::uint8_t>(0x08 + i), 0x00);
        }
        adapter_->WakeControlShadow = kWakeControlAtStart;
        adapter_->Control0Shadow = 0xC0;
        adapter_->Control1Shadow = 0x30;
    }

    // A 60-byte IPv4-typed frame to `destination` from another station, payload counting from
    // `seed`.
    static std::vector<std::uint8_t> frameTo(const std::vector<std::uint8_t>& destination,
                                             std::uint8_t seed = 0) {
        std::vector<std::uint8_t> bytes = frame(60, seed);
        std::copy(destination.begin(), destination.end(), bytes.begin());
        const std::uint8_t source[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
        std::copy(source, source + 6, bytes.begin() + 6);
        bytes[12] = 0x08;
        bytes[13] = 0x00;
        return bytes;
    }
    std::vector<std::uint8_t> station() const {
        std::array<std::uint8_t, 6> address = device().stationAddress();
        return std::vector<std::uint8_t>(address.begin(), address.end());
    }

    // Sends the frames from the wire and returns which of them NDIS was given.
    std::vector<bool> delivered(const std::vector<std::vector<std::uint8_t>>& frames) {
        ndis().log().clear();
        for (const std::vector<std::uint8_t>& f : frames) {
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

    // Sets through NDIS at DISPATCH_LEVEL, waiting for a pended set to complete; the objects
    // that reach the chip must pend, every other answer must come at once.
    SetOutcome set(NDIS_OID oid, std::vector<std::uint8_t> data) {
        host::ndis::Adapter::Request r = ndis().setOn(adapter_, oid, std::move(data));
        bool chip = oid == OID_GEN_CURRENT_PACKET_FILTER || oid == OID_PNP_ADD_WAKE_UP_PATTERN ||
                    oid == OID_PNP_REMOVE_WAKE_UP_PATTERN;
        EXPECT_EQ(r.pended, chip && r.status == NDIS_STATUS_SUCCESS) << std::hex << oid;
        return {r.status, r.bytesDoneStored ? r.bytesDone : kUnwritten,
                r.bytesNeededStored ? r.bytesNeeded : kUnwritten};
    }

    // Adds or removes a pattern, expecting success with the whole request read.
    void expectTaken(NDIS_OID oid, const std::vector<std::uint8_t>& request) {
        SetOutcome out = set(oid, request);
        EXPECT_EQ(out.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(out.read, request.size());
        EXPECT_EQ(out.needed, 0u);
    }
    void add(const std::vector<std::uint8_t>& r) { expectTaken(OID_PNP_ADD_WAKE_UP_PATTERN, r); }
    void remove(const std::vector<std::uint8_t>& r) {
        expectTaken(OID_PNP_REMOVE_WAKE_UP_PATTERN, r);
    }
};

// The slot image: mask zero-padded, a zero byte, the CRC over the selected bytes only, low
// byte first; a mask of no bytes still takes a slot.
TEST_F(SetInformationTest, SlotImageCoversSelectedBytesOnly) {
    // The largest request, 168 bytes: the mask reaches the slot's last byte and selects the
    // request's last byte (bytes 8 and 127).
    std::vector<std::uint8_t> wide(128, 0x00), wideMask(16, 0x00);
    wide[8] = 'a';
    wide[127] = 'c';
    wideMask[1] = 0x01;
    wideMask[15] = 0x80;
    struct Case {
        std::vector<std::uint8_t> mask, bytes;
        USHORT crc;
    } cases[] = {
        {{0x07}, text("abc"), 0xAEB5},
        {{0x05}, text("abc"), 0x862E}, // "a", "c": the middle byte skipped, not fed as zero
        {{}, text("abc"), 0x0000},     // MaskSize 0
        {wideMask, wide, 0x862E},
    };
    for (const Case& c : cases) {
        adapter_->WakeControlShadow = kWakeControlAtStart;
        device().clearLogs();
        add(wakePattern(c.mask, c.bytes));
        EXPECT_EQ(registerLines(),
                  (std::vector<std::string>{slotLine(0x30, c.mask, c.crc), wakeControlLine(0x64)}));
    }
}

// Slots are taken lowest free first; with all three taken slot 2 is overwritten. A removal
// disables every slot whose mask matches over the request's MaskSize bytes, writes WakeControl
// even when nothing matched, and frees its slot for the next addition.
TEST_F(SetInformationTest, SlotChoiceAndRemoval) {
    add(wakePattern({0x03}, text("AB")));
    add(wakePattern({0x0C}, text("xxCD")));
    add(wakePattern({0x30}, text("xxxxEF")));
    add(wakePattern({0xC0}, text("xxxxxxGH")));
    EXPECT_EQ(registerLines(),
              (std::vector<std::string>{slotLine(0x30, {0x03}, 0xB48B), wakeControlLine(0x64),
                                        slotLine(0x48, {0x0C}, 0xB22F), wakeControlLine(0x74),
                                        slotLine(0x60, {0x30}, 0x38CB), wakeControlLine(0x7C),
                                        slotLine(0x60, {0xC0}, 0xBF67), wakeControlLine(0x7C)}));
    EXPECT_EQ(adapter_->WakeControlShadow, kWakeControlAtStart | 0x38);

    device().clearLogs();
    remove(wakePattern({0x0C}, {}));       // slot 1
    remove(wakePattern({0x0C, 0x01}, {})); // differs from every stored mask in its second byte
    remove(wakePattern({}, {}));           // MaskSize 0 disables nothing
    add(wakePattern({0x01}, text("x")));   // into the freed slot 1
    EXPECT_EQ(registerLines(),
              (std::vector<std::string>{wakeControlLine(0x6C), wakeControlLine(0x6C),
                                        wakeControlLine(0x6C), slotLine(0x48, {0x01}, 0xE190),
                                        wakeControlLine(0x7C)}));

    // Two slots with the same mask go together; the removal looks at the masks only.
    add(wakePattern({0x01}, text("y"))); // replaces slot 2
    device().clearLogs();
    remove(wakePattern({0x01}, text("z")));
    EXPECT_EQ(registerLines(), (std::vector<std::string>{wakeControlLine(0x64)}));
    EXPECT_EQ(adapter_->WakeControlShadow, kWakeControlAtStart | 0x20);
}

// Requests that do not fit WakePatternBuffer or reach outside themselves are refused before
// anything is copied: no slot, no register, no change to the buffer.
TEST_F(SetInformationTest, WakePatternRequestsReachingOutsideAreRefused) {
    const NDIS_STATUS kLength = NDIS_STATUS_INVALID_LENGTH, kData = NDIS_STATUS_INVALID_DATA;
    const ULONG kHeader = sizeof(NDIS_PM_PACKET_PATTERN);
    std::vector<std::uint8_t> mask17(17, 0x00); // selects byte 0 alone: only its size is wrong
    mask17[0] = 0x01;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> request;
        NDIS_STATUS status;
        ULONG needed;
        bool removeToo; // a removal reads the header and the mask, but no pattern bytes
    } cases[] = {
        {"longer than the buffer", wakePattern({0x01}, std::vector<std::uint8_t>(144, 0x55)),
         kLength, kUnwritten, true},
        {"shorter than the header", std::vector<std::uint8_t>(kHeader - 5), kLength, 5, true},
        {"empty", {}, kLength, kHeader, true},
        {"mask of 17 bytes", wakePattern(mask17, text("abc")), kData, kUnwritten, true},
        {"mask past the end", wakePattern({0x01, 0x00}, {}, 4), kData, kUnwritten, true},
        {"selected byte past the end", wakePattern({0x0F}, text("abc")), kData, kUnwritten, false},
        {"pattern offset past the end", wakePattern({0x01}, text("a"), ~0u, 0xFFFFFFF0u), kData,
         kUnwritten, false},
    };
    std::vector<std::uint8_t> bufferBefore(adapter_->WakePatternBuffer,
                                           adapter_->WakePatternBuffer + 168);
    for (const Case& c : cases) {
        for (NDIS_OID oid : {OID_PNP_ADD_WAKE_UP_PATTERN, OID_PNP_REMOVE_WAKE_UP_PATTERN}) {
            if (oid == OID_PNP_ADD_WAKE_UP_PATTERN || c.removeToo) {
                SCOPED_TRACE(testing::Message() << c.what << ", OID " << std::hex << oid);
                SetOutcome out = set(oid, c.request);
                EXPECT_EQ(out.status, c.status);
                EXPECT_EQ(out.read, kUnwritten);
                EXPECT_EQ(out.needed, c.needed);
            }
        }
    }
    EXPECT_EQ(registerLines(), std::vector<std::string>{});
    EXPECT_EQ(adapter_->WakeControlShadow, kWakeControlAtStart);
    EXPECT_EQ(
        std::vector<std::uint8_t>(adapter_->WakePatternBuffer, adapter_->WakePatternBuffer + 168),
        bufferBefore);

    // A removal reads no pattern bytes, so it needs none.
    remove(wakePattern({0x0F}, {}));
}

// The packet filter is stored before it is tested; a supported one becomes Control0 bit 0x02
// (all-multicast, also for promiscuous) and Control2 0x04 (promiscuous), with Control1 rewritten
// from its shadow and a 1 ms pause after the write; a refused one touches no register, leaves
// the receive mode as it was and still reads back. The model's filter follows: the default
// filter passes neither a frame for another station nor a multicast one, all-multicast passes
// the multicast one, promiscuous both.
TEST_F(SetInformationTest, PacketFilterBecomesReceiveMode) {
    const std::vector<std::vector<std::uint8_t>> frames = {
        frameTo({0x02, 0x00, 0x00, 0x00, 0x00, 0x99}, 1), frameTo({0x01, 0x00, 0x5E, 0, 0, 1}, 2),
        frameTo(station(), 3)};
    const std::vector<bool> kOwnOnly = {false, false, true};
    struct Case {
        ULONG filter;
        NDIS_STATUS status;
        std::vector<std::string> lines;
        std::vector<bool> delivered; // other station, multicast, own address
    } cases[] = {
        {0x20, NDIS_STATUS_SUCCESS, {"w 00 c23004"}, {true, true, true}},
        {0x10, NDIS_STATUS_NOT_SUPPORTED, {}, {true, true, true}},
        {0x0B, NDIS_STATUS_SUCCESS, {"w 00 c03000"}, kOwnOnly},
        {0x04, NDIS_STATUS_SUCCESS, {"w 00 c23000"}, {false, true, true}},
        {0x00, NDIS_STATUS_SUCCESS, {"w 00 c03000"}, kOwnOnly},
        {0x8004, NDIS_STATUS_NOT_SUPPORTED, {}, kOwnOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        device().clearLogs();
        host::Time before = scheduler().now();
        SetOutcome out = set(OID_GEN_CURRENT_PACKET_FILTER, ulong(c.filter));
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(out.read, c.status == NDIS_STATUS_SUCCESS ? 4u : kUnwritten);
        EXPECT_EQ(out.needed, kUnwritten);
        EXPECT_EQ(registerLines(), c.lines);
        ULONG readBack = 0;
        EXPECT_EQ(ndis().queryUlong(OID_GEN_CURRENT_PACKET_FILTER, readBack).status,
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(readBack, c.filter);
        if (c.status == NDIS_STATUS_SUCCESS) {
            EXPECT_GE(scheduler().now() - before, host::kMillisecond);
        }
        EXPECT_EQ(delivered(frames), c.delivered);
    }
    EXPECT_EQ(adapter_->Control0Shadow, 0xC0);
}

// A set still pending when the adapter halts is finished first: its receive-mode write
// (Control0-2) goes out before the stop sequence, NDIS gets its completion, and nothing leaks.
TEST_F(SetInformationTest, HaltWaitsForAPendedSet) {
    clearLogs();
    EXPECT_EQ(ndis().beginSet(OID_GEN_CURRENT_PACKET_FILTER, ulong(0x20)).status,
              NDIS_STATUS_PENDING);
    ASSERT_TRUE(ndis().requestPending());
    halt();
    EXPECT_FALSE(ndis().requestPending());
    EXPECT_EQ(ndis().lastCompletion().status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ndis().lastCompletion().bytesDone, 4u);
    std::vector<std::string> lines = busLines();
    auto at = [&lines](const char* start) {
        return std::find_if(lines.begin(), lines.end(),
                            [start](const std::string& l) { return l.rfind(start, 0) == 0; }) -
               lines.begin();
    };
    EXPECT_LT(at("VENDOR_DEVICE 40 f1 0000 0000 0003"), at("SET_FEATURE_TO_DEVICE"));
}

// Lengths, counts and statuses of the objects that do not reach the chip.
TEST_F(SetInformationTest, OtherObjectsLengthsAndCounts) {
    struct Case {
        NDIS_OID oid;
        std::size_t length;
        NDIS_STATUS status;
        ULONG read;
        ULONG needed;
    } cases[] = {
        {OID_802_3_MULTICAST_LIST, 12, NDIS_STATUS_SUCCESS, 12, kUnwritten},
        {OID_802_3_MULTICAST_LIST, 0, NDIS_STATUS_SUCCESS, 0, kUnwritten},
        {OID_802_3_MULTICAST_LIST, 7, NDIS_STATUS_INVALID_LENGTH, kUnwritten, 6},
        {OID_GEN_CURRENT_PACKET_FILTER, 3, NDIS_STATUS_INVALID_LENGTH, kUnwritten, 4},
        {OID_GEN_CURRENT_PACKET_FILTER, 8, NDIS_STATUS_INVALID_LENGTH, kUnwritten, 4},
        {OID_GEN_CURRENT_LOOKAHEAD, 4, NDIS_STATUS_SUCCESS, 4, kUnwritten},
        {OID_GEN_CURRENT_LOOKAHEAD, 2, NDIS_STATUS_INVALID_LENGTH, kUnwritten, 4},
        {OID_GEN_CURRENT_LOOKAHEAD, 0, NDIS_STATUS_INVALID_LENGTH, kUnwritten, 4},
        {OID_PNP_ENABLE_WAKE_UP, 4, NDIS_STATUS_SUCCESS, 4, 0},
        {OID_PNP_ENABLE_WAKE_UP, 0, NDIS_STATUS_SUCCESS, 0, 0},
        {OID_PNP_SET_POWER, 4, NDIS_STATUS_NOT_SUPPORTED, kUnwritten, kUnwritten},
        {OID_PNP_QUERY_POWER, 4, NDIS_STATUS_INVALID_OID, kUnwritten, kUnwritten},
        {0x12345678, 0, NDIS_STATUS_INVALID_OID, kUnwritten, kUnwritten},
    };
    adapter_->PacketFilter = 0x0B;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.oid << " length " << c.length);
        SetOutcome out = set(c.oid, std::vector<std::uint8_t>(c.length, 0xFF));
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(out.read, c.read);
        EXPECT_EQ(out.needed, c.needed);
    }
    EXPECT_EQ(registerLines(), std::vector<std::string>{});
    EXPECT_EQ(adapter_->PacketFilter, 0x0Bu);
}

} // namespace

} // namespace kt735n_test
