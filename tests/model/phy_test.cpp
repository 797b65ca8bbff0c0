#include "bench.h"

namespace kt735::model::test {
namespace {

// The driver's automatic start against a partner: advertise `local`, restart, wait for the
// completion.
void negotiate(Bench& b, std::uint16_t local) {
    b.miiWrite(1, 4, local);
    b.miiWrite(1, 0, 0x1200);
    b.port.advance(b.dev.ethernetPhy().negotiationTime() + kMillisecond);
}

TEST(EthernetPhy, NegotiationResolvesAgainstThePartner) {
    struct Case {
        std::uint16_t local, partner;
        bool link;
        std::uint16_t resolved;
    };
    for (Case c : {Case{0x01E1, 0x01E1, true, 0x0100}, Case{0x01E1, 0x0041, true, 0x0040},
                   Case{0x01E1, 0x0081, true, 0x0080}, Case{0x01E1, 0x0000, false, 0x0000},
                   Case{0x0081, 0x01E1, true, 0x0080}}) { // a fixed advertisement limits it
        SCOPED_TRACE(c.partner);
        Bench b;
        b.dev.ethernet().setPartnerAbility(c.partner);
        negotiate(b, c.local);
        b.miiRead(1, 1);
        std::uint16_t status = b.miiRead(1, 1);
        EXPECT_EQ((status & 0x0004) != 0, c.link);
        EXPECT_EQ((status & 0x0020) != 0, c.link);
        EXPECT_EQ(b.miiRead(1, 5), c.partner);
        EXPECT_EQ(b.dev.ethernetPhy().resolved(), c.resolved);
    }
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

TEST(EthernetPhy, IsolationForcedModeAndReset) {
    Bench b;
    b.port.advance(200 * kMillisecond);
    b.miiWrite(1, 0, 0x3400);
    b.port.advance(200 * kMillisecond);
    EXPECT_TRUE(b.dev.ethernetPhy().link()); // isolated: the link stays, frames do not pass
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
    auto link = [&b] { return (b.miiRead(2, 1) & 0x0004) != 0; };
    EXPECT_TRUE(link());
    b.dev.phoneLine().pull();
    EXPECT_FALSE(link());
    b.dev.phoneLine().plug();
    b.dev.phoneLine().setStationsPresent(false);
    EXPECT_FALSE(link());
    b.dev.phoneLine().setStationsPresent(true);
    EXPECT_TRUE(link());

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
