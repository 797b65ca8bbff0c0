#include "bench.h"

namespace kt735::model::test {
namespace {

struct NegotiationCase {
    std::uint16_t partner;
    bool link;
    std::uint16_t resolved;
};

class Negotiation : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Negotiation, ResolvesAgainstThePartner) {
    const auto c = GetParam();
    Bench b;
    b.dev.ethernet().setPartnerAbility(c.partner);
    // The driver's automatic start: advertise everything, restart, wait for completion.
    b.miiWrite(1, 4, 0x01E1);
    b.miiWrite(1, 0, 0x1200);
    b.port.advance(b.dev.ethernetPhy().negotiationTime() + kMillisecond);
    b.miiRead(1, 1);
    std::uint16_t status = b.miiRead(1, 1);
    EXPECT_EQ((status & 0x0004) != 0, c.link);
    EXPECT_EQ((status & 0x0020) != 0, c.link);
    EXPECT_EQ(b.miiRead(1, 5), c.partner);
    EXPECT_EQ(b.dev.ethernetPhy().resolved(), c.resolved);
}

INSTANTIATE_TEST_SUITE_P(PartnerAbilities, Negotiation,
                         ::testing::Values(NegotiationCase{0x01E1, true, 0x0100},
                                           NegotiationCase{0x0041, true, 0x0040},
                                           NegotiationCase{0x0081, true, 0x0080},
                                           NegotiationCase{0x0000, false, 0x0000}));

TEST(EthernetPhy, FixedAdvertisementPicksTheCommonMode) {
    Bench b;
    b.miiWrite(1, 4, 0x0081);
    b.miiWrite(1, 0, 0x1200);
    b.port.advance(200 * kMillisecond);
    EXPECT_EQ(b.dev.ethernetPhy().resolved(), 0x0080);
    EXPECT_EQ(b.miiRead(1, 5), 0x01E1);
}

TEST(EthernetPhy, LinkStatusLatchesLowUntilRead) {
    Bench b;
    b.port.advance(200 * kMillisecond);
    b.miiRead(1, 1);
    EXPECT_TRUE(b.miiRead(1, 1) & 0x0004);
    b.dev.ethernet().pull();
    EXPECT_EQ(b.miiRead(1, 5), 0x0000);
    b.dev.ethernet().plug();
    b.port.advance(200 * kMillisecond);
    EXPECT_EQ(b.miiRead(1, 1) & 0x0004, 0); // the failure is remembered once
    EXPECT_TRUE(b.miiRead(1, 1) & 0x0004);
    EXPECT_EQ(b.miiRead(1, 5), 0x01E1);
}

TEST(EthernetPhy, NegotiationTakesItsSettableTime) {
    Bench b;
    b.dev.ethernetPhy().setNegotiationTime(1500 * kMillisecond);
    b.dev.portReset(); // the PHY comes out of reset negotiating
    b.port.advance(1400 * kMillisecond);
    EXPECT_FALSE(b.dev.ethernetPhy().link());
    b.port.advance(200 * kMillisecond);
    EXPECT_TRUE(b.dev.ethernetPhy().link());
    // A partner that changes what it offers renegotiates.
    b.dev.ethernet().setPartnerAbility(0x0021);
    EXPECT_FALSE(b.dev.ethernetPhy().link());
    b.port.advance(1600 * kMillisecond);
    EXPECT_EQ(b.dev.ethernetPhy().resolved(), 0x0020);
}

TEST(EthernetPhy, IsolatedPhyKeepsItsLinkButCarriesNothing) {
    Bench b;
    b.port.advance(200 * kMillisecond);
    b.miiWrite(1, 0, 0x3400);
    b.port.advance(200 * kMillisecond);
    EXPECT_TRUE(b.dev.ethernetPhy().link());
    EXPECT_FALSE(b.dev.ethernetPhy().carriesFrames());
    b.miiWrite(1, 0, 0x3000); // no restart: negotiation was already on
    EXPECT_TRUE(b.dev.ethernetPhy().carriesFrames());
    // Negotiation off, forced 10 half: the partner links by parallel detection, no pages.
    b.miiWrite(1, 0, 0x0000);
    b.port.advance(100 * kMillisecond);
    EXPECT_TRUE(b.dev.ethernetPhy().link());
    EXPECT_EQ(b.dev.ethernetPhy().resolved(), 0x0020);
    EXPECT_EQ(b.miiRead(1, 5), 0);
    // Reset: back to negotiation with the power-up advertisement; the bit clears itself.
    b.miiWrite(1, 4, 0x0021);
    b.miiWrite(1, 0, 0x8000);
    EXPECT_EQ(b.miiRead(1, 0) & 0x8000, 0);
    EXPECT_EQ(b.miiRead(1, 4), 0x01E1);
}

TEST(PhoneLinePhy, IdentifierVariantsAndAbsence) {
    for (std::uint16_t id : {0x6B93, 0x5C20, 0x5C21, 0x5C22, 0x1234}) {
        Bench b;
        b.dev.phoneLinePhy().setIdentifier(id);
        EXPECT_EQ(b.miiRead(2, 3), id);
    }
    for (std::uint16_t absent : {0x0000, 0xFFFF}) {
        Bench b;
        b.dev.phoneLinePhy().setAbsent(absent);
        EXPECT_EQ(b.miiRead(2, 3), absent);
        EXPECT_EQ(b.miiRead(2, 1), absent);
        b.miiWrite(2, 0x19, 0x7F05);
        EXPECT_TRUE(b.dev.phoneLinePhy().writes().empty());
    }
}

TEST(PhoneLinePhy, LinkFollowsTheLineAndVendorWritesAreRecorded) {
    Bench b;
    EXPECT_TRUE(b.miiRead(2, 1) & 0x0004);
    b.dev.phoneLine().pull();
    EXPECT_EQ(b.miiRead(2, 1) & 0x0004, 0);
    b.dev.phoneLine().plug();
    EXPECT_TRUE(b.miiRead(2, 1) & 0x0004);
    b.dev.phoneLine().setStationsPresent(false);
    EXPECT_EQ(b.miiRead(2, 1) & 0x0004, 0);
    b.dev.phoneLine().setStationsPresent(true);

    // The variant 3 programming sequence, with its page switch.
    b.dev.phoneLinePhy().clearWrites();
    const std::pair<std::uint8_t, std::uint16_t> seq[] = {{0x00, 0x2000}, {0x19, 0x7F02},
                                                          {0x1F, 0x0001}, {0x07, 0x0008},
                                                          {0x06, 0x0038}, {0x1F, 0x0000}};
    for (auto [r, v] : seq) {
        b.miiWrite(2, r, v);
    }
    const auto& w = b.dev.phoneLinePhy().writes();
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(w[3].reg, 0x07);
    EXPECT_EQ(w[3].page, 1);
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
