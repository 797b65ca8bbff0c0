// The chip bring-up through the simulated bus and the KT735 model: the whole sequence of USB
// requests and register accesses, the descriptor counts taken and the ones refused. (Every failure
// of a start is swept in fault_sweep_test.cpp.)
#include <cstdint>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;
using host::kSecond;
using host::Memory;
using host::usb::Fault;

class BringUpTest : public DriverFixture {
  protected:
    // The register accesses of a bring-up with the given registry choices, as the device sees
    // them, for a model whose windows answer at once with both PHYs linked.
    std::vector<std::string> expectedRegisters(bool detect, const char* aliveWrite) {
        std::vector<std::string> lines =
            join({{"r 10 6"},
                  eepromRead(0),
                  eepromRead(1),
                  eepromRead(2),
                  eepromRead(3),
                  {"w 10 024b56073501", "w 08 ffffffffffffffff", "w 7e 2400", "w 7e 2600"},
                  miiWrite(2, 0x19, 0x7F05)});
        if (detect) {
            // Auto-detection, then IdentifyPhy automatic with an Ethernet link.
            lines = join({lines, miiWrite(1, 4, 0x01E1), miiRead(1, 4), miiRead(2, 3),
                          miiRead(2, 3), miiRead(1, 2), miiRead(1, 1), miiRead(1, 1)});
        }
        lines = join({lines, {"w 7f 260002", "w 25 01000041", "r 26 3", "w 00 1900", "r 7a 2"}});
        if (aliveWrite != nullptr) {
            lines.push_back(aliveWrite);
        }
        return lines;
    }

    ULONG bringUp() { return BringUpChip(adapter_); }
};

// With default parameters: the USB configuration requests in their order, then every register
// access in the order of the bring-up, the two 0x7E writes 60 ms apart, and the state left.
TEST_F(BringUpTest, DefaultSequenceOnTheWire) {
    plug();
    const host::Time start = world().now();
    ASSERT_EQ(bringUp(), ULONG{KT735N_OK});
    EXPECT_GE(world().now() - start, 2 * kSecond); // the settle before the automatic choice

    std::vector<std::string> log = bus().logText();
    ASSERT_GT(log.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 5),
              (std::vector<std::string>{
                  "GET_DESCRIPTOR_FROM_DEVICE 80 06 0100 0000 0012 in "
                  "12011001ffffff08564b3507010101020301 SUCCESS",
                  "GET_DESCRIPTOR_FROM_DEVICE 80 06 0200 0000 00ff in "
                  "09022700010100a0320904000003ffffff00070581024000000705020240000007058303400001 "
                  "SUCCESS",
                  "SELECT_CONFIGURATION 00 09 0001 0000 0000 SUCCESS",
                  "CLEAR_FEATURE_TO_DEVICE 00 01 0001 0000 0000 SUCCESS",
                  "GET_STATUS_FROM_DEVICE 80 00 0000 0000 0002 in 0000 SUCCESS",
              }));
    EXPECT_EQ(registerLines(), expectedRegisters(true, nullptr));

    std::vector<const host::usb::Request*> writes7E;
    for (const host::usb::Request& r : bus().log()) {
        if (r.setup.has_value() && r.setup->wIndex == Register7E) {
            writes7E.push_back(&r);
        }
    }
    ASSERT_EQ(writes7E.size(), 2u);
    EXPECT_EQ(writes7E[1]->submitted - writes7E[0]->completed, 60 * kMillisecond);
    EXPECT_EQ(adapter_->Control0Shadow, 0x19);
}

// AlivePara 1-4 pick 0x81, 0x84, 0x90, 0x9F; any other value 0x81; 0 writes nothing. MediaSel
// 1 skips the auto-detection (no write to PHY 1 register 4) and the settle.
TEST_F(BringUpTest, AliveControlAndAutoDetectionSkipped) {
    plug();
    parameters().set("MediaSel", 1u);
    const std::pair<ULONG, const char*> cases[] = {
        {0, nullptr},     {1, "w 1c 8100"}, {2, "w 1c 8400"},
        {3, "w 1c 9000"}, {4, "w 1c 9f00"}, {5, "w 1c 8100"},
    };
    for (const auto& [alive, line] : cases) {
        SCOPED_TRACE(alive);
        parameters().set("AlivePara", alive);
        recreate();
        const host::Time start = world().now();
        ASSERT_EQ(bringUp(), ULONG{KT735N_OK});
        EXPECT_LT(world().now() - start, kSecond);
        EXPECT_EQ(registerLines(), expectedRegisters(false, line));
    }
}

// A 0x7A read and an AliveControl write that time out do not count: the bring-up succeeds. A
// station-address read that does not complete fails it before the EEPROM is touched.
TEST_F(BringUpTest, CheckedAndUncheckedRegisterAccesses) {
    plug();
    parameters().set("AlivePara", 2u);
    bus().addFault(Fault::holding({.function = URB_FUNCTION_VENDOR_DEVICE, .wIndex = Register7A}));
    bus().addFault(
        Fault::holding({.function = URB_FUNCTION_VENDOR_DEVICE, .wIndex = AliveControl}));
    EXPECT_EQ(bringUp(), ULONG{KT735N_OK});
    EXPECT_EQ(bus().logText().back(), "VENDOR_DEVICE 40 f1 0000 001c 0002 out 8400 CANCELED");

    recreate();
    bus().clearFaults();
    bus().addFault(Fault::holding(
        {.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0, .wIndex = StationAddress}));
    EXPECT_EQ(bringUp(), ULONG{KT735N_FAILED});
    EXPECT_EQ(bus().logText().back(), "VENDOR_DEVICE c0 f0 0000 0010 0006 CANCELED");
    EXPECT_TRUE(registerLines().empty());
}

// Descriptor counts whose block does not fit in 32 bits fail the bring-up instead of wrapping
// to a small block that the carving would overrun; nothing is left once the ledger is released.
TEST_F(BringUpTest, DescriptorCountsTooLargeForTheBlockFail) {
    ULONG length = 1;
    const ULONG footprint = static_cast<ULONG>(KT735N_DESCRIPTOR_FOOTPRINT);
    const ULONG most = 0xFFFFFFFFu / footprint;
    EXPECT_EQ(DescriptorBlockLength(most - 3, 3, &length), ULONG{KT735N_OK});
    EXPECT_EQ(length, most * footprint);
    EXPECT_EQ(DescriptorBlockLength(most - 2, 3, &length), ULONG{KT735N_FAILED});
    EXPECT_EQ(length, 0u);

    plug();
    parameters().set("MediaSel", 1u);
    // 0xFFFFFFEC + 20 wraps to 0; 2,600,000 × 1664 wraps to a few hundred megabytes less.
    for (ULONG tx : {0xFFFFFFECu, 2600000u}) {
        SCOPED_TRACE(tx);
        parameters().set("TxPacketDesc", tx);
        recreate();
        const std::uint64_t attempts = memory().attempts(Memory::Kind::Ndis);
        EXPECT_EQ(bringUp(), ULONG{KT735N_FAILED});
        EXPECT_EQ(memory().attempts(Memory::Kind::Ndis), attempts + 2); // no block asked for
        release();
        EXPECT_EQ(world().ndis().checkUnload("release"), 0u); // memory, pools, handles
        EXPECT_EQ(world().irps().liveCount(), 0u);
    }
}

} // namespace

} // namespace kt735n_test
