#include "bench.h"

#include <random>

namespace kt735::model::test {
namespace {

// Random request sequences of every kind the bus can hand the chip, with random wire events
// and time steps in between. The model must neither crash nor stop answering.
TEST(Fuzz, RandomRequestSequences) {
    std::mt19937 rng(0x735);
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    auto bytes = [&](std::size_t n) {
        std::vector<std::uint8_t> d(n);
        for (auto& x : d) {
            x = static_cast<std::uint8_t>(rng());
        }
        return d;
    };
    auto u16 = [&] { return static_cast<std::uint16_t>(rng()); };

    for (int round = 0; round < 12; ++round) {
        Bench b;
        b.dev.setMiiDelay(pick(200) * kMicrosecond);
        b.dev.setEepromDelay(pick(1000) * kMicrosecond);
        for (int step = 0; step < 400; ++step) {
            Segment& wire = pick(2) ? static_cast<Segment&>(b.dev.ethernet())
                                    : static_cast<Segment&>(b.dev.phoneLine());
            switch (pick(10)) {
            case 0:
            case 1: { // vendor register request, sometimes malformed
                auto type = static_cast<std::uint8_t>(pick(4) == 0 ? rng() : pick(2) ? 0xC0 : 0x40);
                auto req = static_cast<std::uint8_t>(pick(4) == 0 ? rng() : 0xF0 + pick(2));
                auto d = bytes(pick(4) == 0 ? pick(600) : pick(24));
                b.request(type, req, u16(), pick(4) == 0 ? u16() : 0x20 + pick(0x70), d);
                break;
            }
            case 2: { // any standard request, then configured again
                std::vector<std::uint8_t> d(pick(300));
                b.request(static_cast<std::uint8_t>(pick(2) ? 0x80 | pick(3) : pick(3)),
                          static_cast<std::uint8_t>(pick(13)), u16(), pick(2) ? pick(0x84) : u16(),
                          d);
                b.request(0x00, 9, 1);
                break;
            }
            case 3:
            case 4: { // bulk out: random sizes, sometimes a near-right length header
                auto d = bytes(pick(3) == 0 ? 64 * pick(30) : pick(1600));
                if (d.size() >= 2 && pick(2)) {
                    std::size_t l = d.size() - 4 + pick(5);
                    d[0] = static_cast<std::uint8_t>(l);
                    d[1] = static_cast<std::uint8_t>(l >> 8);
                }
                b.dev.bulkOut(static_cast<std::uint8_t>(pick(5)), d);
                break;
            }
            case 5: // IN transfers on any endpoint, raw injections
                b.port.post(b.dev, static_cast<std::uint8_t>(0x80 | pick(5)), pick(1600));
                b.dev.injectBulkIn(std::vector<std::uint8_t>(pick(1600), 0x5A));
                break;
            case 6: // frames from either wire, cables and partners
            {       // some to the station address
                auto f = bytes(pick(1600));
                if (f.size() >= 6 && pick(2)) {
                    auto sa = b.dev.stationAddress();
                    std::copy(sa.begin(), sa.end(), f.begin());
                }
                wire.sendToAdapter(f, u16());
            }
                pick(2) ? wire.plug() : wire.pull();
                b.dev.ethernet().setPartnerAbility(pick(2) ? 0x01E1 : u16());
                break;
            case 7: { // faults, and now and then a port reset
                Outcome o = pick(2) ? Outcome::Stall : Outcome::NoAnswer;
                b.dev.addFault({.index = static_cast<std::uint8_t>(rng()),
                                .covering = pick(2) != 0,
                                .outcome = o,
                                .nth = 1 + pick(5)});
                if (pick(10) == 0) {
                    b.dev.portReset();
                    b.request(0x00, 9, 1);
                }
                break;
            }
            default:
                b.port.advance(pick(3000) * kMicrosecond);
                break;
            }
        }
        // Time still runs out: nothing reschedules itself forever.
        b.port.advance(10 * kSecond);
        EXPECT_EQ(b.port.scheduledCount(), 0u);
        // And the chip still answers once the arranged faults are gone.
        b.dev.clearFaults();
        EXPECT_EQ(b.read(0x7A, 1).size(), 1u);
    }
}

} // namespace
} // namespace kt735::model::test
