#include "bench.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace kt735::model::test {
namespace {

const std::array<std::uint8_t, 6> kPeer{0x00, 0x50, 0x00, 0x00, 0x00, 0x01};
const std::array<std::uint8_t, 6> kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The MAC up on Ethernet, a recorder on the wire, and the transfers a driver makes.
struct MacBench : Bench {
    MacBench() {
        startEthernet();
        rec = &dev.ethernet().attach<Recorder>();
    }
    // Sends a frame as the driver does, zero-length transfer included when due.
    void send(const std::vector<std::uint8_t>& frame, bool zlp = true) {
        auto t = txTransfer(frame);
        ASSERT_EQ(dev.bulkOut(0x02, t), Outcome::Ok);
        if (zlp && t.size() % 64 == 0) {
            ASSERT_EQ(dev.bulkOut(0x02, {}), Outcome::Ok);
        }
    }
    // Posts one bulk IN transfer; what completes it within 10 ms, or nothing.
    std::vector<std::uint8_t> receiveOne() {
        port.completions.clear();
        port.post(dev, 0x81);
        port.advance(10 * kMillisecond);
        return port.completions.empty() ? std::vector<std::uint8_t>{}
                                        : port.completions.front().data;
    }
    bool accepted(const std::vector<std::uint8_t>& frame) {
        dev.ethernet().sendToAdapter(frame);
        bool got = !receiveOne().empty();
        if (!got) { // drain the posted transfer so the next case starts clean
            dev.injectBulkIn({0});
            port.advance(kMillisecond);
        }
        return got;
    }
    Recorder* rec = nullptr;
};

TEST(Transmit, FrameSizesReachTheWireIntact) {
    for (std::size_t len : {42u, 60u, 62u, 1470u, 1514u}) {
        SCOPED_TRACE(len);
        MacBench b;
        auto frame = makeFrame(kPeer, len);
        b.send(frame);
        auto sent = b.rec->sentByAdapter();
        ASSERT_EQ(sent.size(), 1u);
        // The MAC pads with zeros, not with the transfer's stale padding.
        frame.resize(std::max<std::size_t>(len, 60), 0);
        EXPECT_EQ(sent[0].bytes, frame);
    }
}

TEST(Transmit, MissingZeroLengthTransferRunsIntoTheNextFrame) {
    MacBench b;
    b.send(makeFrame(kPeer, 62), false);
    EXPECT_TRUE(b.rec->sentByAdapter().empty()); // the transfer is still open
    b.send(makeFrame(kPeer, 42, 0x22));
    auto sent = b.rec->sentByAdapter();
    ASSERT_EQ(sent.size(), 1u); // the second frame is lost inside the first transfer
    EXPECT_EQ(sent[0].bytes.size(), 62u);
}

TEST(Transmit, MalformedTransfersAreCountedAndDropped) {
    MacBench b;
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
    EXPECT_TRUE(b.rec->sentByAdapter().empty());
    b.send(makeFrame(kPeer, 100));
    EXPECT_EQ(b.rec->sentByAdapter().size(), 1u);
    b.write(0x01, {0x00, 0x00}); // MAC at 10 half on a 100 full link
    b.send(makeFrame(kPeer, 100));
    EXPECT_EQ(b.dev.counters().txSpeedMismatch, 1u);
}

TEST(Transmit, NeedsTransmitterLinkAndAnUnisolatedPhy) {
    MacBench b;
    b.write(0x00, {0x99}); // transmitter off
    b.send(makeFrame(kPeer, 100));
    EXPECT_EQ(b.dev.counters().txDroppedDisabled, 1u);
    b.write(0x00, {0xD9});
    b.dev.ethernet().pull();
    b.send(makeFrame(kPeer, 100));
    b.dev.ethernet().plug();
    b.port.advance(200 * kMillisecond);
    b.miiWrite(1, 0, 0x3400);
    b.send(makeFrame(kPeer, 100));
    EXPECT_EQ(b.dev.counters().txDroppedNoLink, 2u);
    EXPECT_TRUE(b.rec->sentByAdapter().empty());

    // Switched to the phone line, frames go there instead.
    auto& phone = b.dev.phoneLine().attach<Recorder>();
    b.write(0x7F, {0x34, 0x00, 0x06});
    b.send(makeFrame(kPeer, 60));
    EXPECT_EQ(phone.sentByAdapter().size(), 1u);
    EXPECT_TRUE(b.rec->sentByAdapter().empty());
}

TEST(Transmit, PcapHasEthernetLinkTypeAndVirtualTime) {
    std::string path = ::testing::TempDir() + "kt735_model_test.pcap";
    {
        MacBench b;
        b.dev.ethernet().attach<PcapWriter>(path);
        b.port.advance(2 * kSecond + 5 * kMicrosecond);
        b.send(makeFrame(kPeer, 42));
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> f((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(f.size(), 24u + 16u + 60u);
    auto u32 = [&](std::size_t o) {
        return static_cast<std::uint32_t>(f[o] | (f[o + 1] << 8) | (f[o + 2] << 16) |
                                          (f[o + 3] << 24));
    };
    // Magic, link type 1, then the record: 0.5 s of start-up plus 2 s and 5 us, 60 bytes.
    EXPECT_EQ((std::vector<std::uint32_t>{u32(0), u32(20), u32(24), u32(28), u32(32)}),
              (std::vector<std::uint32_t>{0xA1B2C3D4u, 1, 2, 500005, 60}));
    std::remove(path.c_str());
}

// --- Receive --------------------------------------------------------------------------------

TEST(Receive, TransferCarriesFrameSixBytesAndStatus) {
    MacBench b;
    auto frame = makeFrame(b.dev.stationAddress(), 100);
    b.dev.ethernet().sendToAdapter(frame, 0x0008);
    auto t = b.receiveOne();
    ASSERT_EQ(t.size(), 108u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), t.begin()));
    EXPECT_EQ(t[106], 0x08);
    EXPECT_EQ(t[107], 0x00);

    b.dev.ethernet().sendToAdapter(makeFrame(kBroadcast, 1528), 0x1234);
    t = b.receiveOne();
    ASSERT_EQ(t.size(), 1536u);
    EXPECT_EQ(t[1534] | (t[1535] << 8), 0x1234);
    b.dev.ethernet().sendToAdapter(makeFrame(kBroadcast, 1529));
    EXPECT_EQ(b.dev.counters().rxOversize, 1u);

    b.dev.injectBulkIn({1, 2, 3});
    EXPECT_EQ(b.receiveOne(), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(Receive, FramesWaitInABoundedFifo) {
    MacBench b;
    b.dev.setRxFifoFrames(3);
    for (int i = 0; i < 5; ++i) {
        b.dev.ethernet().sendToAdapter(makeFrame(kBroadcast, 64, static_cast<std::uint8_t>(i)));
    }
    EXPECT_EQ(b.dev.rxFifoDepth(), 3u);
    EXPECT_EQ(b.dev.counters().rxOverflow, 2u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b.receiveOne()[12], static_cast<std::uint8_t>(i));
    }
    EXPECT_TRUE(b.receiveOne().empty()); // nothing left: the transfer stays posted
}

TEST(Receive, FilterModes) {
    MacBench b;
    const auto station = b.dev.stationAddress();
    const std::array<std::uint8_t, 6> other{0x00, 0x50, 0x00, 0x00, 0x00, 0x99};
    const std::array<std::uint8_t, 6> group{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};

    EXPECT_TRUE(b.accepted(makeFrame(station, 64)));
    EXPECT_TRUE(b.accepted(makeFrame(kBroadcast, 64)));
    EXPECT_FALSE(b.accepted(makeFrame(other, 64)));

    b.write(0x08, std::vector<std::uint8_t>(8, 0xFF)); // every hash bucket open
    EXPECT_TRUE(b.accepted(makeFrame(group, 64)));
    b.write(0x08, std::vector<std::uint8_t>(8, 0x00));
    EXPECT_FALSE(b.accepted(makeFrame(group, 64)));
    b.write(0x00, {0xDB}); // all-multicast
    EXPECT_TRUE(b.accepted(makeFrame(group, 64)));
    EXPECT_FALSE(b.accepted(makeFrame(other, 64)));
    b.write(0x00, {0xD9, 0x30, 0x04}); // promiscuous
    EXPECT_TRUE(b.accepted(makeFrame(other, 64)));
    b.write(0x00, {0x59, 0x30, 0x04}); // receiver off
    EXPECT_FALSE(b.accepted(makeFrame(station, 64)));
    EXPECT_GE(b.dev.counters().rxDroppedDisabled, 1u);

    // Only the medium the MAC is switched to delivers.
    b.write(0x00, {0xD9, 0x30, 0x00});
    b.dev.phoneLine().sendToAdapter(makeFrame(station, 64));
    EXPECT_EQ(b.dev.rxFifoDepth(), 0u);
}

TEST(Receive, ScriptedPeerAnswersTheAdaptersFrames) {
    MacBench b;
    auto& peer = b.dev.ethernet().attach<ScriptedPeer>();
    const auto station = b.dev.stationAddress();
    peer.on([](std::span<const std::uint8_t> f) { return f[12] == 0x08 && f[13] == 0x06; },
            [station](std::span<const std::uint8_t>) { return makeFrame(station, 60, 0x42); },
            3 * kMillisecond);
    auto arp = makeFrame(kBroadcast, 42);
    arp[12] = 0x08;
    arp[13] = 0x06;
    auto t = b.txTransfer(arp);
    ASSERT_EQ(b.dev.bulkOut(0x02, t), Outcome::Ok);
    EXPECT_EQ(b.dev.rxFifoDepth(), 0u);
    b.port.advance(3 * kMillisecond);
    EXPECT_EQ(b.dev.rxFifoDepth(), 1u);
    EXPECT_EQ(b.receiveOne().size(), 68u);
}

} // namespace
} // namespace kt735::model::test
