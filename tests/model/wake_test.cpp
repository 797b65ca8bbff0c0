#include "bench.h"

namespace kt735::model::test {
namespace {

struct WakeBench : Bench {
    WakeBench() {
        startEthernet();
        std::vector<std::uint8_t> none;
        request(0x00, 3, 1, 0, none); // SET_FEATURE(DEVICE_REMOTE_WAKEUP)
    }
    // Slot 0 := mask 0x07 over "abc", as the driver writes it.
    void writeAbcSlot(std::uint8_t base = 0x30) {
        std::vector<std::uint8_t> slot(19, 0);
        slot[0] = 0x07;
        std::uint16_t crc = crc16Genibus(std::vector<std::uint8_t>{'a', 'b', 'c'});
        slot[17] = static_cast<std::uint8_t>(crc & 0xFF);
        slot[18] = static_cast<std::uint8_t>(crc >> 8);
        write(base, slot);
    }
    std::vector<std::uint8_t> abcFrame() {
        // A frame whose first three bytes are "abc": a multicast-group destination (0x61 has the
        // group bit set) that passes with every hash bucket open.
        std::vector<std::uint8_t> f(64, 0);
        f[0] = 'a';
        f[1] = 'b';
        f[2] = 'c';
        return f;
    }
};

TEST(Wake, SlotMatchRaisesRemoteWakeup) {
    WakeBench b;
    b.writeAbcSlot();
    EXPECT_EQ(b.dev.reg(0x30 + 17), 0xB5);
    EXPECT_EQ(b.dev.reg(0x30 + 18), 0xAE);
    b.write(0x08, std::vector<std::uint8_t>(8, 0xFF));
    b.write(0x78, {0x24, 0x00}); // slot 0 enabled
    b.dev.ethernet().sendToAdapter(b.abcFrame());
    ASSERT_EQ(b.dev.wakeEvents().size(), 1u);
    EXPECT_EQ(b.dev.wakeEvents()[0].reason, WakeReason::Slot0);
    EXPECT_EQ(b.port.wakeups, 1);

    auto other = b.abcFrame();
    other[2] = 'd';
    b.dev.ethernet().sendToAdapter(other);
    EXPECT_EQ(b.dev.wakeEvents().size(), 1u);
}

TEST(Wake, NothingWithoutArmingOrEnable) {
    WakeBench b;
    b.writeAbcSlot(0x48);
    b.write(0x08, std::vector<std::uint8_t>(8, 0xFF));
    b.write(0x78, {0x24, 0x00}); // slot 0 enabled, pattern in slot 1
    b.dev.ethernet().sendToAdapter(b.abcFrame());
    EXPECT_TRUE(b.dev.wakeEvents().empty());
    b.write(0x78, {0x14, 0x00});
    std::vector<std::uint8_t> none;
    b.request(0x00, 1, 1, 0, none); // disarmed
    b.dev.ethernet().sendToAdapter(b.abcFrame());
    EXPECT_TRUE(b.dev.wakeEvents().empty());
    b.request(0x00, 3, 1, 0, none);
    b.dev.ethernet().sendToAdapter(b.abcFrame());
    ASSERT_EQ(b.dev.wakeEvents().size(), 1u);
    EXPECT_EQ(b.dev.wakeEvents()[0].reason, WakeReason::Slot1);
}

TEST(Wake, MagicPacketAndLinkChange) {
    WakeBench b;
    b.write(0x78, {0x84, 0x00}); // magic only
    std::vector<std::uint8_t> magic = makeFrame(b.dev.stationAddress(), 14);
    magic.insert(magic.end(), 6, 0xFF);
    auto sa = b.dev.stationAddress();
    for (int i = 0; i < 16; ++i) {
        magic.insert(magic.end(), sa.begin(), sa.end());
    }
    b.dev.ethernet().pull();
    b.dev.ethernet().plug();
    EXPECT_TRUE(b.dev.wakeEvents().empty());
    b.port.advance(200 * kMillisecond);
    b.dev.ethernet().sendToAdapter(magic);
    ASSERT_EQ(b.dev.wakeEvents().size(), 1u);
    EXPECT_EQ(b.dev.wakeEvents()[0].reason, WakeReason::Magic);

    b.write(0x78, {0x44, 0x00}); // link change only
    b.dev.ethernet().pull();
    ASSERT_EQ(b.dev.wakeEvents().size(), 2u);
    EXPECT_EQ(b.dev.wakeEvents()[1].reason, WakeReason::LinkChange);
    b.dev.phoneLine().pull(); // not the active medium
    EXPECT_EQ(b.dev.wakeEvents().size(), 2u);
}

} // namespace
} // namespace kt735::model::test
