#include "bench.h"

namespace kt735::model::test {
namespace {

std::vector<std::uint8_t> getDescriptor(Bench& b, std::uint8_t type, std::uint16_t length,
                                        Outcome expect = Outcome::Ok) {
    std::vector<std::uint8_t> d(length);
    EXPECT_EQ(b.request(0x80, 6, static_cast<std::uint16_t>(type << 8), 0, d), expect);
    return d;
}

TEST(Usb, DescriptorsDeclareTheChip) {
    Bench b;
    auto dev = getDescriptor(b, 1, 18);
    ASSERT_EQ(dev.size(), 18u);
    EXPECT_EQ(dev[0], 18);
    EXPECT_EQ(dev[2] | (dev[3] << 8), 0x0110);
    EXPECT_EQ(dev[4], 0xFF);
    EXPECT_EQ(dev[8] | (dev[9] << 8), kVendorId);
    EXPECT_EQ(dev[10] | (dev[11] << 8), kProductId);

    auto cfg = getDescriptor(b, 2, 255);
    ASSERT_EQ(cfg.size(), 39u);
    EXPECT_EQ(cfg[2] | (cfg[3] << 8), 39);
    EXPECT_EQ(cfg[7] & 0x20, 0x20); // remote wake-up capable
    EXPECT_EQ(cfg[9 + 4], 3);       // bNumEndpoints
    const std::uint8_t expected[3][2] = {{0x81, 2}, {0x02, 2}, {0x83, 3}};
    for (int i = 0; i < 3; ++i) {
        const std::uint8_t* ep = &cfg[18 + 7 * i];
        EXPECT_EQ(ep[1], 5);
        EXPECT_EQ(ep[2], expected[i][0]);
        EXPECT_EQ(ep[3], expected[i][1]);
        EXPECT_EQ(ep[4] | (ep[5] << 8), 64);
    }
    // wLength cuts the answer.
    EXPECT_EQ(getDescriptor(b, 2, 9).size(), 9u);
    getDescriptor(b, 6, 10, Outcome::Stall); // no device qualifier on a full-speed device
}

TEST(Usb, Variants) {
    UsbIdentity longConfig;
    longConfig.extraConfigBytes = 400;
    Bench a(longConfig);
    auto cfg = getDescriptor(a, 2, 255);
    EXPECT_EQ(cfg.size(), 255u);
    EXPECT_EQ(cfg[2] | (cfg[3] << 8), 39 + 400);

    UsbIdentity twoEndpoints;
    twoEndpoints.endpoints.pop_back();
    Bench c(twoEndpoints);
    EXPECT_EQ(getDescriptor(c, 2, 255)[13], 2);

    UsbIdentity silent;
    silent.deviceDescriptor = DescriptorAnswer::NoAnswer;
    Bench s(silent);
    getDescriptor(s, 1, 18, Outcome::NoAnswer);

    UsbIdentity empty;
    empty.deviceDescriptor = DescriptorAnswer::Empty;
    Bench e(empty);
    EXPECT_TRUE(getDescriptor(e, 1, 18).empty());
}

TEST(Usb, RemoteWakeupFeatureShowsInStatus) {
    Bench b;
    std::vector<std::uint8_t> none;
    std::vector<std::uint8_t> status(2);
    ASSERT_EQ(b.request(0x80, 0, 0, 0, status), Outcome::Ok);
    EXPECT_EQ(status[0] & 0x02, 0);
    ASSERT_EQ(b.request(0x00, 3, 1, 0, none), Outcome::Ok);
    status.assign(2, 0);
    b.request(0x80, 0, 0, 0, status);
    EXPECT_EQ(status[0] & 0x02, 0x02);
    EXPECT_TRUE(b.dev.remoteWakeupEnabled());
    ASSERT_EQ(b.request(0x00, 1, 1, 0, none), Outcome::Ok);
    status.assign(2, 0);
    b.request(0x80, 0, 0, 0, status);
    EXPECT_EQ(status[0] & 0x02, 0);
}

TEST(Usb, StalledBulkEndpointStaysHaltedUntilCleared) {
    Bench b;
    b.dev.failBulk(0x02, Outcome::Stall);
    auto t = Bench::txTransfer(std::vector<std::uint8_t>(42, 1));
    EXPECT_EQ(b.dev.bulkOut(0x02, t), Outcome::Stall);
    EXPECT_EQ(b.dev.bulkOut(0x02, t), Outcome::Stall);
    std::vector<std::uint8_t> status(2);
    b.request(0x82, 0, 0, 0x02, status);
    EXPECT_EQ(status[0], 1);
    std::vector<std::uint8_t> none;
    ASSERT_EQ(b.request(0x02, 1, 0, 0x02, none), Outcome::Ok);
    EXPECT_EQ(b.dev.bulkOut(0x02, t), Outcome::Ok);

    b.dev.failBulk(0x81, Outcome::NoAnswer);
    b.port.post(b.dev, 0x81);
    ASSERT_EQ(b.port.completions.size(), 1u);
    EXPECT_EQ(b.port.completions[0].outcome, Outcome::NoAnswer);
    EXPECT_FALSE(b.dev.halted(0x81));
}

TEST(Usb, ControlFaultsHitTheChosenRequestOnly) {
    Bench b;
    b.dev.failControl(2, Outcome::Stall);
    b.write(0x10, {1, 2, 3, 4, 5, 6}); // first: fine
    std::vector<std::uint8_t> d{9, 9};
    EXPECT_EQ(b.request(0x40, 0xF1, 0, 0x10, d), Outcome::Stall); // second: refused, no effect
    EXPECT_EQ(b.read(0x10, 2), (std::vector<std::uint8_t>{1, 2}));

    b.dev.failRegister(0x28, Outcome::NoAnswer, AccessKind::Read);
    b.write(0x28, {0x00}); // a write is not the faulted read
    std::vector<std::uint8_t> r(2);
    EXPECT_EQ(b.request(0xC0, 0xF0, 0, 0x28, r), Outcome::NoAnswer);
    b.read(0x28, 2); // only the next one

    b.dev.failRegister(0x27, Outcome::Stall, AccessKind::Any, true);
    std::vector<std::uint8_t> r4(4);
    EXPECT_EQ(b.request(0xC0, 0xF0, 0, 0x25, r4), Outcome::Stall);

    // Requests the chip does not know are refused.
    std::vector<std::uint8_t> x(2);
    EXPECT_EQ(b.request(0xC0, 0xF1, 0, 0x00, x), Outcome::Stall);
    EXPECT_EQ(b.request(0x21, 0x00, 0, 0x00, x), Outcome::Stall);
}

TEST(Usb, PortResetReturnsToPowerUp) {
    Bench b;
    b.write(0x00, {0xC0});
    std::vector<std::uint8_t> none;
    b.request(0x00, 3, 1, 0, none);
    b.dev.portReset();
    EXPECT_FALSE(b.dev.configured());
    EXPECT_FALSE(b.dev.remoteWakeupEnabled());
    EXPECT_EQ(b.dev.reg(0x00), 0);
}

} // namespace
} // namespace kt735::model::test
