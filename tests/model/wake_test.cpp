#include "bench.h"

#include "crc.h"

#include <string_view>

namespace kt735::model::test {
namespace {

TEST(Crc, CheckValues) {
    auto bytes = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    EXPECT_EQ(crc16Genibus(bytes("123456789")), 0xD64E);
    EXPECT_EQ(crc16Genibus(bytes("abc")), 0xAEB5); // a wake slot with mask 0x07 over "abc"
    EXPECT_EQ(crc16Genibus({}), 0x0000);
    EXPECT_EQ(crc32Ethernet(bytes("123456789")), 0xCBF43926u);
}

struct WakeBench : Bench {
    WakeBench() {
        startEthernet();
        request(0x00, 3, 1);                             // SET_FEATURE(DEVICE_REMOTE_WAKEUP)
        write(0x08, std::vector<std::uint8_t>(8, 0xFF)); // every hash bucket open
    }
    // A slot := mask 0x07 over "abc", as the driver writes it: mask bytes, then the CRC.
    void writeAbcSlot(std::uint8_t base) {
        std::vector<std::uint8_t> slot(19, 0);
        slot[0] = 0x07;
        slot[17] = 0xB5;
        slot[18] = 0xAE;
        write(base, slot);
    }
    // A frame whose first three bytes are "abc": a multicast-group destination (0x61 has the
    // group bit set) that passes with every hash bucket open.
    void sendAbc(char third = 'c') {
        std::vector<std::uint8_t> f(64, 0);
        f[0] = 'a';
        f[1] = 'b';
        f[2] = static_cast<std::uint8_t>(third);
        dev.ethernet().sendToAdapter(f);
    }
};

TEST(Wake, SlotMatchRaisesRemoteWakeupOnlyWhenEnabledAndArmed) {
    WakeBench b;
    b.writeAbcSlot(0x30);
    b.write(0x78, {0x24, 0x00}); // slot 0 enabled
    b.sendAbc('d');
    EXPECT_TRUE(b.dev.wakeEvents().empty());
    b.sendAbc();
    ASSERT_EQ(b.dev.wakeEvents().size(), 1u);
    EXPECT_EQ(b.dev.wakeEvents()[0].reason, WakeReason::Slot0);
    EXPECT_EQ(b.port.wakeups, 1);

    WakeBench c;
    c.writeAbcSlot(0x48);        // slot 1
    c.write(0x78, {0x24, 0x00}); // only slot 0 enabled
    c.sendAbc();
    EXPECT_TRUE(c.dev.wakeEvents().empty());
    c.write(0x78, {0x14, 0x00});
    c.request(0x00, 1, 1); // disarmed
    c.sendAbc();
    EXPECT_TRUE(c.dev.wakeEvents().empty());
    c.request(0x00, 3, 1);
    c.sendAbc();
    ASSERT_EQ(c.dev.wakeEvents().size(), 1u);
    EXPECT_EQ(c.dev.wakeEvents()[0].reason, WakeReason::Slot1);
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
