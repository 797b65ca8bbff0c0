#include "bench.h"

namespace kt735::model::test {
namespace {

std::vector<std::uint8_t> getDescriptor(Bench& b, std::uint8_t type, std::uint16_t length,
                                        Outcome expect = Outcome::Ok) {
    std::vector<std::uint8_t> d(length);
    EXPECT_EQ(b.request(0x80, 6, static_cast<std::uint16_t>(type << 8), 0, d), expect);
    return d;
}

// GET_STATUS of the device (index 0) or an endpoint: the low byte.
std::uint8_t status(Bench& b, std::uint8_t type = 0x80, std::uint16_t index = 0) {
    std::vector<std::uint8_t> s(2);
    EXPECT_EQ(b.request(type, 0, 0, index, s), Outcome::Ok);
    return s.at(0);
}

TEST(Usb, DescriptorsDeclareTheChip) {
    Bench b;
    auto dev = getDescriptor(b, 1, 18);
    ASSERT_EQ(dev.size(), 18u);
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
        EXPECT_EQ((std::vector<int>{ep[1], ep[2], ep[3], ep[4] | (ep[5] << 8)}),
                  (std::vector<int>{5, expected[i][0], expected[i][1], 64}));
    }
    EXPECT_EQ(getDescriptor(b, 2, 9).size(), 9u); // wLength cuts the answer
    getDescriptor(b, 6, 10, Outcome::Stall);      // no device qualifier on a full-speed device

    // The variants: a long configuration, two endpoints, a silent and an empty descriptor.
    UsbIdentity longConfig, twoEndpoints, silent, empty;
    longConfig.extraConfigBytes = 400;
    twoEndpoints.endpoints.pop_back();
    silent.deviceDescriptor = DescriptorAnswer::NoAnswer;
    empty.deviceDescriptor = DescriptorAnswer::Empty;
    Bench l(longConfig), t(twoEndpoints), s(silent), e(empty);
    cfg = getDescriptor(l, 2, 255);
    EXPECT_EQ(cfg.size(), 255u);
    EXPECT_EQ(cfg[2] | (cfg[3] << 8), 39 + 400);
    EXPECT_EQ(getDescriptor(t, 2, 255)[13], 2);
    getDescriptor(s, 1, 18, Outcome::NoAnswer);
    EXPECT_TRUE(getDescriptor(e, 1, 18).empty());
}

// SET_FEATURE/CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP) show in GET_STATUS; a port reset returns the
// device to power-up: unconfigured, wake-up disarmed, registers cleared.
TEST(Usb, RemoteWakeupFeatureAndPortReset) {
    Bench b;
    EXPECT_EQ(status(b) & 0x02, 0);
    ASSERT_EQ(b.request(0x00, 3, 1), Outcome::Ok);
    EXPECT_EQ(status(b) & 0x02, 0x02);
    EXPECT_TRUE(b.dev.remoteWakeupEnabled());
    ASSERT_EQ(b.request(0x00, 1, 1), Outcome::Ok);
    EXPECT_EQ(status(b) & 0x02, 0);

    b.write(0x00, {0xC0});
    b.request(0x00, 3, 1);
    b.dev.portReset();
    EXPECT_FALSE(b.dev.configured());
    EXPECT_FALSE(b.dev.remoteWakeupEnabled());
    EXPECT_EQ(b.dev.reg(0x00), 0);
}

TEST(Usb, StalledBulkEndpointStaysHaltedUntilCleared) {
    Bench b;
    b.dev.failBulk(0x02, Outcome::Stall);
    auto t = Bench::txTransfer(std::vector<std::uint8_t>(42, 1));
    EXPECT_EQ(b.dev.bulkOut(0x02, t), Outcome::Stall);
    EXPECT_EQ(b.dev.bulkOut(0x02, t), Outcome::Stall);
    EXPECT_EQ(status(b, 0x82, 0x02), 1);
    ASSERT_EQ(b.request(0x02, 1, 0, 0x02), Outcome::Ok); // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(b.dev.bulkOut(0x02, t), Outcome::Ok);

    // No answer is a one-off failure, not a halt.
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

    // A faulted register inside a longer read fails the whole read.
    b.dev.failRegister(0x27, Outcome::Stall, AccessKind::Any, true);
    r.assign(4, 0);
    EXPECT_EQ(b.request(0xC0, 0xF0, 0, 0x25, r), Outcome::Stall);

    // Requests the chip does not know are refused.
    r.assign(2, 0);
    EXPECT_EQ(b.request(0xC0, 0xF1, 0, 0x00, r), Outcome::Stall);
    EXPECT_EQ(b.request(0x21, 0x00, 0, 0x00, r), Outcome::Stall);
}

} // namespace
} // namespace kt735::model::test
