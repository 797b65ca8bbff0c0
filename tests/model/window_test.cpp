#include "bench.h"

namespace kt735::model::test {
namespace {

TEST(Registers, VendorProtocolReadsWritesAndLogs) {
    Bench b;
    b.dev.clearLogs();
    b.write(0x10, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    b.write(0x1C, {0x81});
    EXPECT_EQ(b.read(0x10, 6), (std::vector<std::uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    const auto& log = b.dev.registerLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[0].write && !log[2].write);
    EXPECT_EQ(log[0].index, 0x10);
    EXPECT_EQ(log[1].value, 0x81); // a one-byte write carries its value in wValue too
    EXPECT_EQ(log[2].bytes.size(), 6u);
    // The address counter wraps at 0xFF; 0x7A holds the revision and ignores writes.
    b.write(0xFF, {0xAB, 0xCD});
    EXPECT_EQ(b.dev.reg(0xFF), 0xAB);
    EXPECT_EQ(b.dev.reg(0x00), 0xCD);
    std::uint8_t rev = b.dev.reg(0x7A);
    b.write(0x7A, {0x55});
    EXPECT_EQ(b.dev.reg(0x7A), rev);

    // Bit 0x10 of 0x7F selects the phone line; a two-byte write leaves 0x81.
    EXPECT_EQ(b.dev.activeMedium(), Medium::Ethernet);
    b.write(0x7F, {0x34, 0x00, 0x06});
    EXPECT_EQ(b.dev.activeMedium(), Medium::PhoneLine);
    b.write(0x7F, {0x24, 0x00});
    EXPECT_EQ(b.dev.activeMedium(), Medium::Ethernet);
    EXPECT_EQ(b.dev.reg(0x81), 0x06);
}

TEST(Registers, EepromWindowReadsAWordAfterItsDelay) {
    FakePort port;
    Kt735Device dev;
    dev.setPermanentAddress({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
    dev.attach(port); // the station address comes from the EEPROM at power-up
    EXPECT_EQ(dev.stationAddress(),
              (std::array<std::uint8_t, 6>{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}));
    dev.detach();

    Bench b;
    b.dev.setEepromWord(0, 0x3412);
    b.dev.setEepromWord(3, 0xBEEF);
    b.dev.setEepromDelay(300 * kMicrosecond);
    b.write(0x20, {0x03, 0x00, 0x00, 0x02});
    b.port.advance(299 * kMicrosecond);
    EXPECT_EQ(b.read(0x23, 2)[0] & 0x04, 0); // not yet
    b.port.advance(1 * kMicrosecond);
    EXPECT_EQ(b.read(0x23, 2)[0] & 0x04, 0x04);
    EXPECT_EQ(b.read(0x21, 3), (std::vector<std::uint8_t>{0xEF, 0xBE, 0x06}));

    // The next command clears the done bit again; word 0 holds the address low byte first.
    b.write(0x20, {0x00, 0x00, 0x00, 0x02});
    EXPECT_EQ(b.read(0x23, 1)[0] & 0x04, 0);
    b.port.advance(1 * kMillisecond);
    EXPECT_EQ(b.read(0x21, 2), (std::vector<std::uint8_t>{0x12, 0x34}));
}

TEST(Registers, MiiWindowReadAndWriteWithDoneBit) {
    Bench b;
    b.dev.setMiiDelay(150 * kMicrosecond);
    b.write(0x25, {0x01, 0x00, 0x00, 0x43}); // read PHY 1 register 3
    EXPECT_EQ(b.read(0x28, 2)[0], 0x43);     // command held, done clear
    b.port.advance(150 * kMicrosecond);
    auto w = b.read(0x25, 4);
    EXPECT_EQ(w[0], 0x01);
    EXPECT_EQ(w[3], 0xC3);
    EXPECT_EQ(w[1] | (w[2] << 8), EthernetPhy::kDefaultId2);

    b.write(0x25, {0x01, 0x21, 0x00, 0x24}); // write PHY 1 register 4 := 0x0021
    EXPECT_EQ(b.read(0x28, 1)[0] & 0x80, 0);
    b.port.advance(150 * kMicrosecond);
    EXPECT_EQ(b.read(0x28, 1)[0], 0xA4);
    EXPECT_EQ(b.dev.ethernetPhy().peek(4), 0x0021);

    EXPECT_EQ(b.miiRead(2, 0x03), PhoneLinePhy::kDefaultId2);
    EXPECT_EQ(b.miiRead(5, 0x02), 0xFFFF); // nobody at address 5
}

} // namespace
} // namespace kt735::model::test
