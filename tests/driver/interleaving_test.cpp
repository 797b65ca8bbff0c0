// Seeded random runs of a started adapter: traffic both ways, OID requests, cable and phone-line
// changes, resets and USB faults, ending in halt, shutdown then halt, or surprise removal at a
// random moment (often with a bulk transfer, a link-watch request or a set still in flight).
// Every pended send must be completed exactly once, nothing may be left behind, and the
// verifier must stay silent. KT735_SEEDS sets how many seeds run (1000 by default);
// KT735_SEED=n replays one; a failing seed is printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../support/rig.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;
using host::usb::Fault;
using host::usb::Match;

// The OIDs a run asks about or sets, with a buffer that fits.
const std::vector<std::pair<NDIS_OID, std::vector<std::uint8_t>>>& requests() {
    static const std::vector<std::pair<NDIS_OID, std::vector<std::uint8_t>>> all = {
        {OID_GEN_LINK_SPEED, {}},
        {OID_GEN_MEDIA_CONNECT_STATUS, {}},
        {OID_GEN_XMIT_OK, {}},
        {OID_802_3_CURRENT_ADDRESS, {}},
        {OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0, 0}},
        {OID_GEN_CURRENT_PACKET_FILTER, {0x20, 0, 0, 0}},
        {OID_802_3_MULTICAST_LIST, {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}},
    };
    return all;
}

// One seeded run; returns "" or what went wrong.
std::string runSeed(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    auto pick = [&](std::uint64_t n) { return static_cast<std::uint64_t>(random() % n); };
    const bool phoneLine = pick(4) == 0;
    Rig rig({}, [&](host::ndis::Parameters& p, kt735::model::Kt735Device& d) {
        p.set("MediaSel", phoneLine ? 2u : static_cast<ULONG>(pick(2)));
        if (phoneLine) {
            d.ethernet().pull();
            d.phoneLine().setStationsPresent(true);
        }
    });
    if (rig.start() != NDIS_STATUS_SUCCESS) {
        return "start failed " + rig.finish();
    }
    host::ndis::Adapter& adapter = *rig.adapter();
    kt735::model::Kt735Device& device = rig.device();
    rig.bus().setLogging(false);
    std::vector<std::uint8_t> frame(60 + pick(1455), 0x33);
    std::fill(frame.begin(), frame.begin() + 6, 0xFF);

    const std::uint64_t steps = 5 + pick(30);
    for (std::uint64_t step = 0; step < steps && adapter.running(); step++) {
        switch (pick(10)) {
        case 0:
        case 1:
            for (std::uint64_t i = pick(8); i-- > 0;) {
                adapter.send(frame);
            }
            break;
        case 2:
            for (std::uint64_t i = pick(8); i-- > 0;) {
                (phoneLine ? static_cast<kt735::model::Segment&>(device.phoneLine())
                           : device.ethernet())
                    .sendToAdapterAfter(static_cast<host::Time>(pick(20)) * kMillisecond, frame);
            }
            break;
        case 3: {
            const auto& [oid, data] = requests()[pick(requests().size())];
            if (data.empty()) {
                adapter.query(oid, 64);
            } else {
                adapter.set(oid, data);
            }
            break;
        }
        case 4:
            device.ethernet().plugged() ? device.ethernet().pull() : device.ethernet().plug();
            break;
        case 5:
            device.phoneLine().setStationsPresent(!device.phoneLine().stationsPresent());
            break;
        case 6:
            adapter.reset();
            break;
        case 7: {
            static const Match targets[] = {
                {.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, .endpoint = 0x81},
                {.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, .endpoint = 0x02},
                {.endpoint = 0},
            };
            static const Fault::Action effects[] = {Fault::Action::Fail, Fault::Action::Stall,
                                                    Fault::Action::Hold, Fault::Action::Delay};
            Fault fault{targets[pick(3)], effects[pick(4)], USBD_STATUS_DEV_NOT_RESPONDING,
                        static_cast<host::Time>(pick(3000)) * kMillisecond, 1};
            if (fault.action == Fault::Action::Stall) {
                fault.status = USBD_STATUS_STALL_PID;
            }
            rig.bus().addFault(fault);
            break;
        }
        default:
            break;
        }
        rig.world().scheduler().runFor(static_cast<host::Time>(pick(3000)) * kMillisecond / 10);
    }

    switch (pick(3)) {
    case 0: // halt (finish removes the device)
        break;
    case 1:
        if (adapter.running()) {
            adapter.shutdown();
        }
        break;
    default:
        rig.bus().unplug();
        rig.world().pnp().surpriseRemoval(rig.bus().pdo());
        break;
    }
    std::string problems = rig.finish();
    if (adapter.sendsOutstanding() != 0) {
        problems += std::to_string(adapter.sendsOutstanding()) + " sends never completed\n";
    }
    return problems;
}

TEST(Interleaving, SeededRunsEndCleanInHaltShutdownOrRemoval) {
    const std::uint64_t only = envNumber("KT735_SEED", ~0ull);
    const std::uint64_t count = only != ~0ull ? 1 : envNumber("KT735_SEEDS", 1000);
    for (std::uint64_t i = 0; i < count; i++) {
        const std::uint64_t seed = only != ~0ull ? only : i + 1;
        const std::string problems = runSeed(seed);
        ASSERT_EQ(problems, "") << "seed " << seed << " (replay with KT735_SEED=" << seed << ")";
    }
    std::printf("interleavings: %llu seeded runs clean\n", static_cast<unsigned long long>(count));
}

} // namespace

} // namespace kt735n_test
