// The PHYs behind the MII window. The driver's suite drives identifiers, absence, the phone
// line's programming and link, and negotiation against each partner end to end; here the
// latched link bit, isolation, forced mode and paging.
#include "bench.h"

namespace kt735::model::test {
namespace {

TEST(EthernetPhy, LatchedLinkIsolationForcedModeAndReset) {
    Bench b;
    b.port.advance(200 * kMillisecond);
    b.dev.ethernet().pull();
    b.dev.ethernet().plug();
    b.port.advance(200 * kMillisecond);
    EXPECT_EQ(b.miiRead(1, 1) & 0x0004, 0); // the failure is remembered once
    EXPECT_TRUE(b.miiRead(1, 1) & 0x0004);

    b.miiWrite(1, 0, 0x3400);
    b.port.advance(200 * kMillisecond);
    EXPECT_TRUE(b.dev.ethernetPhy().link()); // isolated: the link stays, frames do not pass
    EXPECT_FALSE(b.dev.ethernetPhy().carriesFrames());
    // Negotiation off, forced 10 half: the partner links by parallel detection, no pages.
    b.miiWrite(1, 0, 0x0000);
    b.port.advance(100 * kMillisecond);
    EXPECT_TRUE(b.dev.ethernetPhy().carriesFrames());
    EXPECT_TRUE(b.dev.ethernetPhy().link());
    EXPECT_EQ(b.dev.ethernetPhy().resolved(), 0x0020);
    EXPECT_EQ(b.miiRead(1, 5), 0);
    // Reset: back to negotiation with the power-up advertisement; the bit clears itself.
    b.miiWrite(1, 4, 0x0021);
    b.miiWrite(1, 0, 0x8000);
    EXPECT_EQ(b.miiRead(1, 0) & 0x8000, 0);
    EXPECT_EQ(b.miiRead(1, 4), 0x01E1);
}

TEST(PhoneLinePhy, PagedVendorRegistersAndReset) {
    Bench b;
    for (auto [r, v] : {std::pair<std::uint8_t, std::uint16_t>{0x19, 0x7F02},
                        {0x1F, 0x0001},
                        {0x06, 0x0038},
                        {0x1F, 0x0000}}) {
        b.miiWrite(2, r, v);
    }
    EXPECT_EQ(b.dev.phoneLinePhy().peekPaged(1, 0x06), 0x0038);
    EXPECT_EQ(b.miiRead(2, 0x19), 0x7F02);
    // Reset clears the vendor registers and the isolation.
    b.miiWrite(2, 0, 0x0400);
    EXPECT_FALSE(b.dev.phoneLinePhy().carriesFrames());
    b.miiWrite(2, 0, 0xA000);
    EXPECT_TRUE(b.dev.phoneLinePhy().carriesFrames());
    EXPECT_EQ(b.miiRead(2, 0x19), 0);
}

} // namespace
} // namespace kt735::model::test
