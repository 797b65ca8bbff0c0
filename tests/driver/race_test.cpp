// Interleavings that several processors produce, stepped on the single-threaded host. Each test
// stops one path of the driver at a point it reaches (an allocation it makes, a request held on
// the bus, an indication in progress) and runs there what another processor would run at that
// moment: a completion, the shutdown handler, NDIS's timer, a look at what halt's wait sees.
#include <functional>
#include <string>
#include <vector>

#include "datapath/datapath.h"
#include "fixture.h"
#include "linkwatch/linkwatch.h"

namespace {

using host::kMillisecond;
using host::Memory;
using host::usb::Fault;

class RaceTest : public kt735n_test::DriverFixture {
  protected:
    // Runs `step` once, at the next allocation attempt of `kind` the driver makes.
    void atNextAllocation(Memory::Kind kind, std::function<void()> step) {
        world().memory().onAttempt = [this, kind, step](const Memory::Allocation& a) {
            if (a.kind == kind && !stepped_) {
                stepped_ = true;
                step();
            }
        };
    }
    bool stepped_ = false;
};

// Work that tested DeviceState and goes on to use the Adapter, stopped where it allocates its
// request: a halt on another processor that has set the shut-down state and waits for the
// path's idle test must see the work there, or it releases the Adapter under it.
class InFlightTest;
struct InFlightCase {
    const char* name;
    ULONG mediaSelect;
    ULONG rxDescriptors;
    std::function<void(InFlightTest&)> prepare;
    Memory::Kind allocation;
    std::function<void(InFlightTest&)> run; // brings the work to its allocation
    BOOLEAN (*idle)(Adapter*);
};

class InFlightTest : public RaceTest, public ::testing::WithParamInterface<InFlightCase> {
  public:
    using RaceTest::adapter;
    using RaceTest::ndis;
    using RaceTest::queueThreeWithTimerLate;
    using RaceTest::scheduler;
};

void PrintTo(const InFlightCase& c, std::ostream* os) {
    *os << c.name;
}

TEST_P(InFlightTest, HaltsIdleTestSeesIt) {
    const InFlightCase& c = GetParam();
    parameters().set("MediaSel", c.mediaSelect);
    parameters().set("RxPacketDesc", c.rxDescriptors);
    startRunning();
    ndis().suspendHangCheck(true);
    c.prepare(*this);
    bool idle = true;
    atNextAllocation(c.allocation, [&] { idle = c.idle(adapter()) != FALSE; });
    c.run(*this);
    ASSERT_TRUE(stepped_);
    world().memory().onAttempt = nullptr;
    EXPECT_FALSE(idle);
}

void checkForHang(InFlightTest& t) {
    t.ndis().checkForHang();
}

const InFlightCase kInFlightCases[] = {
    // The hang check's kick of the link watch, past its state test.
    {"LinkWatchKick", 1, 20, [](InFlightTest&) {}, Memory::Kind::Pool, checkForHang, LinkWatchIdle},
    // The hang check's keep-alive on an idle phone line.
    {"KeepAlive", 2, 20,
     [](InFlightTest& t) {
         t.adapter()->IdleCheckCount = 9;
         t.adapter()->TxCompletedSinceCheck = 0;
     },
     Memory::Kind::Irp, checkForHang, BulkOutIdle},
    // The receive-indicate timer restarting reception after a burst used all three descriptors
    // (each frame's timer run put off, as on a busy processor, until all three wait).
    {"ReceptionRestart", 1, 3, [](InFlightTest& t) { t.queueThreeWithTimerLate(); },
     Memory::Kind::Irp, [](InFlightTest& t) { t.scheduler().runFor(100 * kMillisecond); },
     BulkInIdle},
};

INSTANTIATE_TEST_SUITE_P(Cases, InFlightTest, ::testing::ValuesIn(kInFlightCases),
                         kt735n_test::ByName());

// A bulk-out transfer completes on another processor while a hang check runs, after the check
// looked at TxCompletedSinceCheck (stepped at the link watch's request): the completion must
// count for the next check, not be cleared unseen at the end of this one.
TEST_F(RaceTest, BulkOutCompletionDuringHangCheckCountsForTheNext) {
    startRunning();
    ndis().suspendHangCheck(true);
    bus().addFault(
        Fault::holding({.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, .endpoint = 0x02}));
    ndis().send(frame(100));
    scheduler().runFor(5 * kMillisecond);
    ndis().checkForHang(); // takes the flag bring-up left; its link-watch pass runs out
    scheduler().runFor(50 * kMillisecond);
    ASSERT_EQ(adapter()->TxCompletedSinceCheck, 0);
    atNextAllocation(Memory::Kind::Pool, [&] {
        ASSERT_TRUE(bus().releaseHeld());
        scheduler().runFor(5 * kMillisecond);
    });
    ndis().checkForHang();
    ASSERT_TRUE(stepped_);
    world().memory().onAttempt = nullptr;
    EXPECT_EQ(adapter()->TxCompletedSinceCheck, 1);
}

// The shutdown handler (the first step of halt) runs on another processor while a bulk-in
// completion that found the adapter running is between its state test and the arming of the
// receive-indicate timer (stepped at the allocation of the next bulk-in IRP). Nothing may be
// indicated after the stop, and no timer may be left set on an adapter about to be released.
TEST_F(RaceTest, ShutdownDuringBulkInCompletionLeavesNoTimer) {
    startRunning();
    ndis().suspendHangCheck(true);
    atNextAllocation(Memory::Kind::Irp, [&] { ndis().shutdown(); });
    device().ethernet().sendToAdapter(frame(100, 1));
    scheduler().runFor(100 * kMillisecond);
    ASSERT_TRUE(stepped_);
    world().memory().onAttempt = nullptr;
    EXPECT_TRUE(ndis().log().received.empty());
    EXPECT_FALSE(world().ndis().timer(&adapter()->ReceiveIndicateTimer)->pending);
    EXPECT_EQ(adapter()->DeviceState, ULONG{KT735N_DEVICE_SHUT_DOWN});
}

// A protocol whose receive handler takes long: while it runs, more frames arrive and NDIS's
// timers fire (on other processors). No second indication may start beside the first, which
// could hand NDIS a later frame before an earlier one.
struct SlowProtocol : host::ndis::Protocol {
    std::function<void()> during;
    int depth = 0;
    int deepest = 0;
    std::vector<std::vector<std::uint8_t>> frames;
    void receive(host::ndis::Adapter&, const std::vector<std::uint8_t>& frame,
                 NDIS_STATUS) override {
        deepest = std::max(deepest, ++depth);
        frames.push_back(frame);
        if (during) {
            std::function<void()> step = std::move(during);
            during = nullptr;
            step();
        }
        --depth;
    }
};

TEST_F(RaceTest, IndicationsNeverOverlapAndKeepArrivalOrder) {
    startRunning();
    SlowProtocol protocol;
    ndis().attach(&protocol);
    protocol.during = [&] {
        device().ethernet().sendToAdapter(frame(100, 2));
        device().ethernet().sendToAdapter(frame(100, 3));
        scheduler().runFor(10 * kMillisecond);
    };
    device().ethernet().sendToAdapter(frame(100, 1));
    scheduler().runFor(50 * kMillisecond);
    ndis().attach(nullptr);
    EXPECT_EQ(protocol.deepest, 1);
    EXPECT_EQ(protocol.frames, (std::vector<std::vector<std::uint8_t>>{frame(100, 1), frame(100, 2),
                                                                       frame(100, 3)}));
}

// The packet-filter set reads Control1Shadow and writes Control0-Control2; meanwhile the link
// watch takes a new partner ability (100 full to 10 full) and writes Control1. The set's write
// is held on the bus until the link watch's has landed, so it lands last: the chip must still
// end with the new speed and duplex, since the link watch never writes them again.
TEST_F(RaceTest, PacketFilterWriteLandingLastKeepsTheNewSpeed) {
    startRunning();
    ASSERT_EQ(adapter()->Control1Shadow, 0x30);
    bus().addFault(
        Fault::holding({.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF1, .wIndex = 0x00}));
    bus().onFault = [&](const Fault&, const host::usb::Request&) {
        device().ethernet().setPartnerAbility(0x0041);
    };
    device().onControl = [&](const kt735::model::SetupPacket& setup, std::span<std::uint8_t>) {
        if (setup.bRequest == 0xF1 && setup.wIndex == 0x01) {
            scheduler().after(kMillisecond, [&] { bus().releaseHeld(); });
        }
    };
    auto request = ndis().setUlong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_PROMISCUOUS);
    device().onControl = nullptr;
    EXPECT_EQ(request.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter()->Control1Shadow, 0x20);
    EXPECT_EQ(device().reg(0x01), 0x20);
    EXPECT_EQ(device().reg(0x02), 0x04); // promiscuous, as the set asked
}

} // namespace
