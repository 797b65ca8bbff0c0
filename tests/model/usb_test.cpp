// The chip's USB face and register windows. The driver's suite reads the identity, the
// endpoints, the long, short and silent configurations, arms remote wake-up, cycles the port
// and uses every register end to end, with every transfer fault injected on the bus; here the
// two windows on their own and the requests the chip refuses.
#include "bench.h"

namespace kt735::model::test {
namespace {

TEST(Registers, EepromAndMiiWindowsRaiseTheirDoneBitsAfterTheirDelays) {
    Bench b;
    b.dev.setEepromWord(3, 0xBEEF);
    b.dev.setEepromDelay(300 * kMicrosecond);
    b.write(0x20, {0x03, 0x00, 0x00, 0x02});
    b.port.advance(299 * kMicrosecond);
    EXPECT_EQ(b.read(0x23, 1)[0] & 0x04, 0); // not yet
    b.port.advance(1 * kMicrosecond);
    EXPECT_EQ(b.read(0x21, 3), (std::vector<std::uint8_t>{0xEF, 0xBE, 0x06}));
    b.write(0x20, {0x00, 0x00, 0x00, 0x02}); // the next command clears the done bit again
    EXPECT_EQ(b.read(0x23, 1)[0] & 0x04, 0);

    b.dev.setMiiDelay(150 * kMicrosecond);
    b.write(0x25, {0x01, 0x00, 0x00, 0x43}); // read PHY 1 register 3
    EXPECT_EQ(b.read(0x28, 1)[0], 0x43);     // command held, done clear
    b.port.advance(150 * kMicrosecond);
    EXPECT_EQ(b.read(0x25, 4), (std::vector<std::uint8_t>{0x01, EthernetPhy::kDefaultId2 & 0xFF,
                                                          EthernetPhy::kDefaultId2 >> 8, 0xC3}));
    b.write(0x25, {0x01, 0x21, 0x00, 0x24}); // write PHY 1 register 4 := 0x0021
    EXPECT_EQ(b.read(0x28, 1)[0] & 0x80, 0);
    b.port.advance(150 * kMicrosecond);
    EXPECT_EQ(b.read(0x28, 1)[0], 0xA4);
    EXPECT_EQ(b.dev.ethernetPhy().peek(4), 0x0021);
    EXPECT_EQ(b.miiRead(5, 0x02), 0xFFFF); // nobody at address 5

    // The address counter wraps at 0xFF; 0x7A holds the revision and ignores writes.
    const std::uint8_t rev = b.dev.reg(0x7A);
    b.write(0xFF, {0xAB, 0xCD});
    b.write(0x7A, {0x55});
    EXPECT_EQ((std::vector<int>{b.dev.reg(0xFF), b.dev.reg(0x00), b.dev.reg(0x7A)}),
              (std::vector<int>{0xAB, 0xCD, rev}));
    // Requests the chip does not know are refused.
    std::vector<std::uint8_t> r(2);
    EXPECT_EQ(b.request(0xC0, 0xF1, 0, 0x00, r), Outcome::Stall);
    EXPECT_EQ(b.request(0x21, 0x00, 0, 0x00, r), Outcome::Stall);
}

} // namespace
} // namespace kt735::model::test
