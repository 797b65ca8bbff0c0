// The frame path and the wake-up logic. The driver's suite sends and receives through both
// bulk pipes, drives the filter modes through its packet filter and a wake slot through its
// pattern OIDs (every frame size reaches the wire intact there); here the trailer, the CRCs,
// and what a driver never makes: malformed or unterminated transfers, overflow, drops, magic
// packets and link-change wakes.
#include "bench.h"

#include "crc.h"

#include <string_view>

namespace kt735::model::test {
namespace {

const std::array<std::uint8_t, 6> kPeer{0x00, 0x50, 0x00, 0x00, 0x00, 0x01};
const std::array<std::uint8_t, 6> kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<std::uint8_t> makeFrame(std::array<std::uint8_t, 6> dest, std::size_t length,
                                    std::uint8_t fill = 0x11) {
    std::vector<std::uint8_t> f(length, fill);
    std::copy(dest.begin(), dest.end(), f.begin());
    for (std::size_t i = 14; i < length; ++i) {
        f[i] = static_cast<std::uint8_t>(i * 7);
    }
    return f;
}

// The MAC up on Ethernet as the driver leaves it (link negotiated, receiver and transmitter
// on, 100 Mbit/s full duplex), a recorder on the wire, and the transfers a driver makes.
struct MacBench : Bench {
    MacBench() {
        port.advance(500 * kMillisecond);
        write(0x7F, {0x26, 0x00, 0x02});
        write(0x00, {0xD9, 0x30, 0x00});
        rec = &dev.ethernet().attach<Recorder>();
    }
    // Sends a frame as the driver does: length header, frame, stale padding to 60, and a
    // zero-length transfer when due.
    void send(const std::vector<std::uint8_t>& frame, bool zlp = true) {
        std::vector<std::uint8_t> t{static_cast<std::uint8_t>(frame.size() & 0xFF),
                                    static_cast<std::uint8_t>(frame.size() >> 8)};
        t.insert(t.end(), frame.begin(), frame.end());
        t.resize(std::max<std::size_t>(t.size(), 60), 0xEE);
        ASSERT_EQ(dev.bulkOut(0x02, t), Outcome::Ok);
        if (zlp && t.size() % 64 == 0) {
            ASSERT_EQ(dev.bulkOut(0x02, {}), Outcome::Ok);
        }
    }
    // Posts one bulk IN transfer; what completes it within 10 ms, or nothing (then drained).
    std::vector<std::uint8_t> receiveOne() {
        port.completions.clear();
        port.post(dev, 0x81);
        port.advance(10 * kMillisecond);
        if (port.completions.empty()) {
            dev.injectBulkIn({0});
            port.advance(kMillisecond);
            return {};
        }
        return port.completions.front().data;
    }
    Recorder* rec = nullptr;
};

TEST(Transmit, MalformedUnterminatedAndUndeliverableTransfers) {
    MacBench b;
    // Without its zero-length transfer a 62-byte frame stays open and swallows the next one.
    b.send(makeFrame(kPeer, 62), false);
    EXPECT_TRUE(b.rec->sentByAdapter().empty());
    b.send(makeFrame(kPeer, 42, 0x22));
    ASSERT_EQ(b.rec->sentByAdapter().size(), 1u);
    EXPECT_EQ(b.rec->sentByAdapter()[0].bytes.size(), 62u);

    std::vector<std::uint8_t> tooShort{0x00, 0x02}; // claims 512 bytes
    tooShort.resize(60, 0);
    std::vector<std::uint8_t> oversize{0x00, 0x06}; // 1536 bytes: longer than a frame
    oversize.resize(1538, 0);
    for (const auto& t :
         {std::vector<std::uint8_t>{0x05}, std::vector<std::uint8_t>{0, 0}, tooShort, oversize}) {
        EXPECT_EQ(b.dev.bulkOut(0x02, t), Outcome::Ok);
    }
    EXPECT_EQ(b.dev.counters().txMalformed, 3u);
    EXPECT_EQ(b.dev.counters().txOversize, 1u);
    b.write(0x01, {0x00, 0x00}); // MAC at 10 half on a 100 full link
    b.send(makeFrame(kPeer, 100));
    EXPECT_EQ(b.dev.counters().txSpeedMismatch, 1u);
    b.write(0x00, {0x99, 0x30}); // transmitter off
    b.send(makeFrame(kPeer, 100));
    EXPECT_EQ(b.dev.counters().txDroppedDisabled, 1u);
    b.write(0x00, {0xD9});
    b.miiWrite(1, 0, 0x3400); // an isolated PHY carries nothing
    b.send(makeFrame(kPeer, 100));
    b.dev.ethernet().pull();
    b.send(makeFrame(kPeer, 100));
    EXPECT_EQ(b.dev.counters().txDroppedNoLink, 2u);
    EXPECT_EQ(b.rec->sentByAdapter().size(), 2u); // the 62-byte frame and the mismatched one
}

TEST(Receive, TrailerOversizeAndABoundedFifo) {
    MacBench b;
    b.dev.phoneLine().sendToAdapter(makeFrame(b.dev.stationAddress(), 64));
    EXPECT_EQ(b.dev.rxFifoDepth(), 0u); // only the medium the MAC is switched to delivers
    auto frame = makeFrame(b.dev.stationAddress(), 1528);
    b.dev.ethernet().sendToAdapter(frame, 0x1208);
    auto t = b.receiveOne();
    ASSERT_EQ(t.size(), 1536u); // the frame, six bytes, the status word
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), t.begin()));
    EXPECT_EQ(t[1534] | (t[1535] << 8), 0x1208);
    b.dev.ethernet().sendToAdapter(makeFrame(kBroadcast, 1529));
    EXPECT_EQ(b.dev.counters().rxOversize, 1u);

    b.dev.setRxFifoFrames(3);
    for (int i = 0; i < 5; ++i) {
        b.dev.ethernet().sendToAdapter(makeFrame(kBroadcast, 64, static_cast<std::uint8_t>(i)));
    }
    EXPECT_EQ(b.dev.counters().rxOverflow, 2u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b.receiveOne()[12], static_cast<std::uint8_t>(i));
    }
    EXPECT_TRUE(b.receiveOne().empty());

    // More entries than the FIFO first made room for, its oldest no longer at the start: frames
    // and raw transfers come out in order, and only frames count against its depth.
    b.dev.setRxFifoFrames(20);
    for (int i = 0; i < 26; ++i) {
        if (i % 5 == 4) {
            b.dev.injectBulkIn({static_cast<std::uint8_t>(i)});
        } else {
            b.dev.ethernet().sendToAdapter(makeFrame(kBroadcast, 64, static_cast<std::uint8_t>(i)));
        }
    }
    EXPECT_EQ(b.dev.counters().rxOverflow, 3u); // the 21st frame
    for (int i = 0; i < 25; ++i) {
        auto t = b.receiveOne();
        ASSERT_FALSE(t.empty()) << i;
        EXPECT_EQ(t[i % 5 == 4 ? 0 : 12], static_cast<std::uint8_t>(i)) << i;
    }
    EXPECT_TRUE(b.receiveOne().empty());
}

TEST(Wake, CrcCheckValues) {
    auto bytes = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    EXPECT_EQ(crc16Genibus(bytes("123456789")), 0xD64E);
    EXPECT_EQ(crc16Genibus(bytes("abc")), 0xAEB5); // a wake slot with mask 0x07 over "abc"
    EXPECT_EQ(crc32Ethernet(bytes("123456789")), 0xCBF43926u);
    // Every length up to two frames' worth of blocks and three alignments against the
    // bit-at-a-time definition: long messages take another path than short ones.
    auto bitwise = [](std::span<const std::uint8_t> s) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::uint8_t b : s) {
            crc ^= b;
            for (int k = 0; k < 8; ++k) {
                crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            }
        }
        return ~crc;
    };
    std::vector<std::uint8_t> data(300 + 3);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    for (std::size_t offset = 0; offset < 3; ++offset) {
        for (std::size_t n = 0; n <= 300; ++n) {
            auto s = std::span<const std::uint8_t>(data).subspan(offset, n);
            ASSERT_EQ(crc32Ethernet(s), bitwise(s)) << "offset " << offset << ", " << n << " bytes";
        }
    }
}

// Slot 1 := mask 0x07 over "abc" with its CRC; a frame starting "abc" (a group address that
// passes with every hash bucket open) wakes only with the slot enabled and wake-up armed.
TEST(Wake, SlotMagicPacketAndLinkChange) {
    MacBench b;
    b.write(0x08, std::vector<std::uint8_t>(8, 0xFF));
    std::vector<std::uint8_t> slot(19, 0);
    slot[0] = 0x07;
    slot[17] = 0xB5;
    slot[18] = 0xAE;
    b.write(0x48, slot);
    auto abc = [&b](char third) {
        std::vector<std::uint8_t> f{'a', 'b', static_cast<std::uint8_t>(third)};
        f.resize(64, 0);
        b.dev.ethernet().sendToAdapter(f);
        return b.dev.wakeEvents().size();
    };
    b.write(0x78, {0x24, 0x00}); // only slot 0 enabled
    b.request(0x00, 3, 1);       // armed
    EXPECT_EQ(abc('c'), 0u);
    b.write(0x78, {0x14, 0x00});
    b.request(0x00, 1, 1); // disarmed
    EXPECT_EQ(abc('c'), 0u);
    b.request(0x00, 3, 1);
    EXPECT_EQ(abc('d'), 0u);
    ASSERT_EQ(abc('c'), 1u);
    EXPECT_EQ(b.dev.wakeEvents()[0].reason, WakeReason::Slot1);
    EXPECT_EQ(b.port.wakeups, 1);

    b.write(0x78, {0x84, 0x00}); // magic only: a link change does not wake
    std::vector<std::uint8_t> magic = makeFrame(b.dev.stationAddress(), 14);
    magic.insert(magic.end(), 6, 0xFF);
    const auto sa = b.dev.stationAddress();
    for (int i = 0; i < 16; ++i) {
        magic.insert(magic.end(), sa.begin(), sa.end());
    }
    b.dev.ethernet().pull();
    b.dev.ethernet().plug();
    b.port.advance(200 * kMillisecond);
    b.dev.ethernet().sendToAdapter(magic);
    ASSERT_EQ(b.dev.wakeEvents().size(), 2u);
    EXPECT_EQ(b.dev.wakeEvents()[1].reason, WakeReason::Magic);
    b.write(0x78, {0x44, 0x00}); // link change only, on the active medium
    b.dev.phoneLine().pull();
    b.dev.ethernet().pull();
    ASSERT_EQ(b.dev.wakeEvents().size(), 3u);
    EXPECT_EQ(b.dev.wakeEvents()[2].reason, WakeReason::LinkChange);
}

} // namespace
} // namespace kt735::model::test
