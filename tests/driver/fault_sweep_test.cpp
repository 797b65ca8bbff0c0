// Fault sweeps over initialization: a clean start of each shape counts every USB request and
// every allocation it makes, then each of those points is failed in turn, with each effect, on
// a fresh machine. Every run must end with the start failing cleanly, or succeeding with an
// adapter that moves frames both ways within a few hang checks; then a fresh device must start
// with the driver still loaded; halted or removed, nothing may be left behind and the verifier
// must stay silent. New requests and allocations are swept
// without anyone adding a case; the counts are printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::Memory;
using host::usb::Fault;
using Resource = host::ndis::Library::Resource;

// One way of starting the adapter: registry values and the wires and PHYs of the device.
struct Shape {
    const char* name;
    std::function<void(host::ndis::Parameters&, kt735::model::Kt735Device&)> prepare;
    bool phoneLine; // the medium the started adapter runs on
};

void phoneLineOnly(kt735::model::Kt735Device& device, std::uint16_t identifier) {
    device.ethernet().pull();
    device.phoneLinePhy().setIdentifier(identifier);
}

const std::vector<Shape>& shapes() {
    static const std::vector<Shape> all = {
        {"automatic on Ethernet", [](auto&, auto&) {}, false},
        {"fixed Ethernet", [](auto& p, auto&) { p.set("MediaSel", 1u); }, false},
        {"phone line 6B93",
         [](auto& p, auto& d) { p.set("MediaSel", 2u), phoneLineOnly(d, 0x6B93); }, true},
        {"phone line 5C20",
         [](auto& p, auto& d) { p.set("MediaSel", 2u), phoneLineOnly(d, 0x5C20); }, true},
        {"phone line 5C21",
         [](auto& p, auto& d) { p.set("MediaSel", 2u), phoneLineOnly(d, 0x5C21); }, true},
        {"phone line 5C22",
         [](auto& p, auto& d) { p.set("MediaSel", 2u), phoneLineOnly(d, 0x5C22); }, true},
        {"no phone-line PHY", [](auto&, auto& d) { d.phoneLinePhy().setAbsent(); }, false},
    };
    return all;
}

// What can be failed: USB requests (each with every effect) and each kind of allocation, with
// how many attempts a machine has seen so far and how the nth is failed.
struct Target {
    const char* name;
    std::function<std::uint64_t(Rig&)> attempts;
    std::function<void(Rig&, std::uint64_t)> fail; // allocations only
};

Target memory(const char* name, Memory::Kind kind) {
    return {name, [kind](Rig& r) { return r.world().memory().attempts(kind); },
            [kind](Rig& r, std::uint64_t n) { r.world().memory().failNth(kind, n); }};
}
Target resource(const char* name, Resource resource) {
    return {name, [resource](Rig& r) { return r.world().ndis().attempts(resource); },
            [resource](Rig& r, std::uint64_t n) { r.world().ndis().failNth(resource, n); }};
}

const std::vector<Target>& targets() {
    static const std::vector<Target> all = {
        {"usb", [](Rig& r) { return std::uint64_t{r.bus().log().size()}; }, {}},
        memory("pool", Memory::Kind::Pool),
        memory("ndis", Memory::Kind::Ndis),
        memory("irp", Memory::Kind::Irp),
        resource("packet-pool", Resource::PacketPool),
        resource("packet", Resource::Packet),
        resource("buffer-pool", Resource::BufferPool),
        resource("buffer", Resource::Buffer),
        resource("configuration", Resource::Configuration),
    };
    return all;
}

// A fault point: the nth attempt of one target, counted from plug-in.
struct Point {
    std::size_t target; // in targets(); 0 is USB
    std::uint64_t nth;
    Fault::Action effect = Fault::Action::Fail; // USB only
    bool usb() const { return target == 0; }
    std::string text() const {
        static const char* const effects[] = {"error", "stall", "delay", "hang"};
        return std::string(targets()[target].name) + " #" + std::to_string(nth) + " " +
               (usb() ? effects[static_cast<int>(effect)] : "fail");
    }
};

// A bulk-in transfer that the stack holds and never completes looks to the driver exactly like
// an idle line (a real device NAKs the IN tokens until a frame comes): there is nothing to detect
// and nothing to recover. Every other tolerated fault must leave an adapter that moves frames.
bool IdleLineLookalike(const Point& point, const std::vector<host::usb::Request>& log) {
    return point.usb() && point.effect == Fault::Action::Hold && point.nth <= log.size() &&
           log[point.nth - 1].function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
           log[point.nth - 1].endpoint == 0x81;
}

// Arms one fault point on a fresh machine.
void inject(Rig& rig, const Point& point) {
    if (!point.usb()) {
        targets()[point.target].fail(rig, point.nth);
        return;
    }
    rig.bus().addFault({{.nth = static_cast<std::uint32_t>(point.nth)},
                        point.effect,
                        point.effect == Fault::Action::Stall ? USBD_STATUS_STALL_PID
                                                             : USBD_STATUS_DEV_NOT_RESPONDING,
                        0,
                        1});
}

// How many attempts of each target the machine has seen so far.
std::vector<std::uint64_t> counts(Rig& rig) {
    std::vector<std::uint64_t> seen;
    for (const Target& target : targets()) {
        seen.push_back(target.attempts(rig));
    }
    return seen;
}

// The points of one start of `shape`, from a clean run: every USB request with each effect and
// every allocation attempt.
std::vector<Point> pointsOf(const Shape& shape) {
    Rig rig({}, shape.prepare);
    EXPECT_EQ(rig.start(), NDIS_STATUS_SUCCESS) << shape.name;
    const std::vector<std::uint64_t> seen = counts(rig);
    EXPECT_EQ(rig.finish(), "") << shape.name;
    std::vector<Point> points;
    for (std::size_t target = 0; target < seen.size(); target++) {
        for (std::uint64_t n = 1; n <= seen[target]; n++) {
            if (target != 0) {
                points.push_back({target, n});
                continue;
            }
            for (auto effect : {Fault::Action::Fail, Fault::Action::Stall, Fault::Action::Hold}) {
                points.push_back({0, n, effect});
            }
        }
    }
    return points;
}

TEST(FaultSweep, EveryPointOfEveryStartFailsCleanlyOrLeavesAWorkingAdapter) {
    std::size_t swept = 0, failed = 0, tolerated = 0;
    for (const Shape& shape : shapes()) {
        const std::vector<Point> points = pointsOf(shape);
        for (const Point& point : points) {
            SCOPED_TRACE(std::string(shape.name) + ": " + point.text());
            Rig rig({}, shape.prepare);
            inject(rig, point);
            const NDIS_STATUS status = rig.start();
            bool ok = true;
            if (status == NDIS_STATUS_SUCCESS) {
                tolerated++;
                if (!IdleLineLookalike(point, rig.bus().log()) &&
                    !rig.movesFrames(shape.phoneLine)) {
                    ok = false;
                    ADD_FAILURE() << "started, but moves no frame";
                }
            } else {
                failed++;
                EXPECT_TRUE(status == NDIS_STATUS_RESOURCES || status == NDIS_STATUS_FAILURE)
                    << std::hex << status;
            }
            EXPECT_EQ(rig.startFreshDevice(), NDIS_STATUS_SUCCESS) << "a fresh device afterwards";
            EXPECT_EQ(rig.finish(), "");
            swept++;
            if (!ok || ::testing::Test::HasFailure()) {
                return; // the first failing point is the reproducer
            }
        }
    }
    std::printf("fault sweep: %zu points over %zu shapes: %zu starts failed cleanly, %zu "
                "tolerated, each moving frames both ways\n",
                swept, shapes().size(), failed, tolerated);
}

// What runs on a started adapter while one fault point of it is armed; the adapter must then
// still move frames (except after halt, which ends the run).
struct Operation {
    const char* name;
    std::function<void(Rig&)> run;
};

const std::vector<Operation>& operations() {
    static const std::vector<Operation> all = {
        {"packet filter",
         [](auto& r) {
             r.adapter()->set(OID_GEN_CURRENT_PACKET_FILTER, {0x0F, 0, 0, 0});
         }},
        {"multicast list",
         [](auto& r) {
             r.adapter()->set(OID_802_3_MULTICAST_LIST, {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01});
         }},
        {"wake-up pattern",
         [](auto& r) {
             const auto pattern = wakePattern({0x3F}, {1, 2, 3, 4, 5, 6});
             r.adapter()->set(OID_PNP_ADD_WAKE_UP_PATTERN, pattern);
             r.adapter()->set(OID_PNP_REMOVE_WAKE_UP_PATTERN, pattern);
         }},
        {"reset", [](auto& r) { r.adapter()->reset(); }},
        {"halt", [](auto&) {}}, // finish() halts
    };
    return all;
}

TEST(FaultSweep, EveryPointOfSetsResetAndHaltLeavesAWorkingAdapterOrACleanHalt) {
    const Shape& shape = shapes()[1]; // fixed Ethernet
    std::size_t swept = 0;
    for (const Operation& op : operations()) {
        const bool halt = std::string(op.name) == "halt";
        std::vector<std::uint64_t> seen;
        {
            Rig rig({}, shape.prepare);
            ASSERT_EQ(rig.start(), NDIS_STATUS_SUCCESS);
            const std::vector<std::uint64_t> before = counts(rig);
            op.run(rig);
            if (halt) {
                rig.world().pnp().removeDevice(rig.bus().pdo());
            } else {
                rig.world().scheduler().runFor(100 * host::kMillisecond);
            }
            seen = counts(rig);
            for (std::size_t i = 0; i < seen.size(); i++) {
                seen[i] -= before[i];
            }
            ASSERT_EQ(rig.finish(), "") << op.name;
        }
        for (std::size_t target = 0; target < seen.size(); target++) {
            for (std::uint64_t n = 1; n <= seen[target]; n++) {
                for (auto effect :
                     {Fault::Action::Fail, Fault::Action::Stall, Fault::Action::Hold}) {
                    if (target != 0 && effect != Fault::Action::Fail) {
                        continue;
                    }
                    const Point point{target, n, effect};
                    SCOPED_TRACE(std::string(op.name) + ": " + point.text());
                    Rig rig({}, shape.prepare);
                    ASSERT_EQ(rig.start(), NDIS_STATUS_SUCCESS);
                    inject(rig, point);
                    op.run(rig);
                    if (!halt) {
                        rig.world().scheduler().runFor(100 * host::kMillisecond);
                        EXPECT_TRUE(rig.movesFrames(shape.phoneLine));
                    }
                    EXPECT_EQ(rig.finish(), "");
                    swept++;
                    if (::testing::Test::HasFailure()) {
                        return;
                    }
                }
            }
        }
    }
    std::printf("fault sweep: %zu points over packet filter, multicast, wake-up patterns, reset "
                "and halt\n",
                swept);
}

} // namespace

} // namespace kt735n_test
