// The MII and EEPROM windows and PHY identification, against the KT735 model's two PHYs: the
// polling bounds when the done bits never come, the medium auto-detection table of the
// bring-up, and IdentifyPhy's choice, phone-line programming and medium-select write.
#include <cstdint>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;
using host::kSecond;

class PhyTest : public DriverFixture {
  protected:
    void SetUp() override { plug(); }

    // The phone-line PHY's MII writes as "register:=value".
    std::vector<std::string> phoneLineWrites() {
        std::vector<std::string> lines;
        char line[24];
        for (const kt735::model::MiiWrite& w : device().phoneLinePhy().writes()) {
            std::snprintf(line, sizeof(line), "%02x:=%04x", w.reg, w.value);
            lines.push_back(line);
        }
        return lines;
    }

    // IdentifyPhy alone on a connected device with the given MediaSelect.
    void identify(ULONG mediaSelect) {
        connect();
        world().scheduler().runFor(kSecond); // the Ethernet PHY negotiates
        device().clearLogs();
        device().phoneLinePhy().clearWrites();
        adapter_->MediaSelect = mediaSelect;
        EXPECT_EQ(IdentifyPhy(adapter_), ULONG{KT735N_OK});
        EXPECT_EQ(adapter_->MediaState, ULONG{KT735N_MEDIA_CONNECTED});
    }

    std::vector<ULONG> state() const {
        return {adapter_->PhyAddress, adapter_->ActiveMedium, adapter_->LinkSpeed,
                adapter_->Duplex};
    }
};

// A chip that never sets the done bits: an MII write polls 0x28 exactly four times, an MII read
// the window exactly four times, an EEPROM word 100 times (with 500 µs before each poll) and is
// then still read from 0x21.
TEST_F(PhyTest, PollingBoundsWhenDoneNeverComes) {
    connect();
    device().setMiiDelay(100 * kSecond);
    device().setEepromDelay(100 * kSecond);

    MiiWrite(adapter_, 2, 0x19, 0x7F05);
    USHORT value = 0xABCD;
    MiiRead(adapter_, 1, 4, &value);
    EXPECT_EQ(value, 0x0000); // the command write cleared the data bytes
    std::vector<std::string> expected{"w 25 02057f39"};
    expected.insert(expected.end(), 4, "r 28 2");
    expected.push_back("w 25 01000044");
    expected.insert(expected.end(), 4, "r 25 4");
    EXPECT_EQ(registerLines(), expected);

    device().clearLogs();
    device().setEepromWord(5, 0x1234);
    const host::Time start = world().now();
    // The command write cleared the data registers, and the word never arrived.
    USHORT word = 0xABCD;
    EXPECT_EQ(EepromReadWord(adapter_, 5, &word), ULONG{KT735N_OK});
    EXPECT_EQ(word, 0x0000);
    expected = {"w 20 05000002"};
    expected.insert(expected.end(), 100, "r 23 2");
    expected.push_back("r 21 3");
    EXPECT_EQ(registerLines(), expected);
    EXPECT_GE(world().now() - start, 50 * kMillisecond);
}

// The bring-up's auto-detection with MediaSel 0: an Ethernet PHY that keeps the 802.3 selector
// alone gives 1, a phone-line PHY of the 0x5C2x family alone gives 2 (its low two bits masked),
// both or neither leave 0.
TEST_F(PhyTest, AutoDetectionTable) {
    struct Case {
        bool ethernetPresent;
        std::uint16_t phoneLineId;
        ULONG mediaSelect;
    };
    const Case cases[] = {
        {false, 0x5C20, 2}, {true, 0x6B93, 1},  {true, 0x5C20, 0},  {false, 0x6B93, 0},
        {false, 0x5C21, 2}, {false, 0x5C22, 2}, {false, 0x5C23, 2}, {false, 0x5C24, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ethernetPresent) + " " + std::to_string(c.phoneLineId));
        if (c.ethernetPresent) {
            device().ethernetPhy().setPresent();
        } else {
            device().ethernetPhy().setAbsent(0xFFFF);
        }
        device().phoneLinePhy().setIdentifier(c.phoneLineId);
        recreate();
        ASSERT_EQ(BringUpChip(adapter_), ULONG{KT735N_OK});
        EXPECT_EQ(adapter_->MediaSelect, c.mediaSelect);
    }
}

// Automatic (MediaSelect 0), the whole register sequence and the choice: with an Ethernet link
// the Ethernet PHY (the phone-line variant still read, not programmed); with only a phone-line
// link the phone-line PHY programmed for its variant, 1 Mbit/s half duplex; with no link
// anywhere back on the Ethernet PHY with no medium-select write; with an Ethernet identifier
// of 0xFFFF no status read of address 1, on to the phone line.
struct AutoCase {
    const char* name;
    bool ethernetLink, phoneLineLink, ethernetPresent, phoneLineProgrammed;
    const char* mediumSelect; // the 0x7F write, or none
    std::vector<ULONG> state; // PhyAddress, ActiveMedium, LinkSpeed, Duplex
};
class AutomaticTest : public PhyTest, public testing::WithParamInterface<AutoCase> {};

TEST_P(AutomaticTest, ChoosesAndProgramsThePhy) {
    const AutoCase& c = GetParam();
    if (!c.ethernetLink) {
        device().ethernet().pull();
    }
    if (!c.phoneLineLink) {
        device().phoneLine().pull();
    }
    if (!c.ethernetPresent) {
        device().ethernetPhy().setAbsent(0xFFFF);
    }
    const host::Time start = world().now();
    identify(0);
    EXPECT_GE(world().now() - start, 3 * kSecond); // negotiation, then the 2-second settle
    std::vector<std::string> lines = join({miiRead(2, 3), miiRead(1, 2)});
    if (c.ethernetPresent) {
        lines = join({lines, miiRead(1, 1), miiRead(1, 1)});
    }
    std::vector<std::string> writes;
    if (c.phoneLineProgrammed) {
        lines = join({lines, miiRead(2, 3), miiWrite(2, 0x00, 0x2000), miiWrite(2, 0x19, 0x7F07),
                      miiRead(2, 1), miiRead(2, 1)});
        writes = {"00:=2000", "19:=7f07"};
    }
    if (c.mediumSelect != nullptr) {
        lines.push_back(c.mediumSelect);
    }
    EXPECT_EQ(registerLines(), lines);
    EXPECT_EQ(state(), c.state);
    EXPECT_EQ(adapter_->PhyType, PHY_TYPE_5C20);
    EXPECT_EQ(phoneLineWrites(), writes);
}

INSTANTIATE_TEST_SUITE_P(
    Phy, AutomaticTest,
    testing::Values(
        AutoCase{"EthernetLink", true, true, true, false, "w 7f 260002", {1, 1, 0, 0}},
        AutoCase{"OnlyPhoneLineLink", false, true, true, true, "w 7f 340006", {2, 2, 1, 1}},
        AutoCase{"NoLink", false, false, true, true, nullptr, {1, 1, 0, 0}},
        AutoCase{"AbsentEthernetPhy", true, true, false, true, "w 7f 340006", {2, 2, 1, 1}}),
    ByName());

// A fixed choice. Phone line (2): each variant's MII writes in order (none for 0x6B93 and for an
// unknown identifier, exact matching so 0x5C23 is unknown), then the phone-line medium select.
// Ethernet (1) and an out-of-range 7: only the Ethernet medium select, the phone-line identifier
// not read; 7 also sets 100 Mbit/s half duplex.
TEST_F(PhyTest, FixedSelections) {
    using Lines = std::vector<std::string>;
    struct Case {
        ULONG select;
        std::uint16_t id;
        UCHAR type;
        Lines writes;
        std::vector<ULONG> state; // PhyAddress, ActiveMedium (1 Ethernet), LinkSpeed, Duplex
    };
    const Case cases[] = {
        {2,
         0x5C22,
         PHY_TYPE_5C22,
         {"00:=2000", "19:=7f02", "1f:=0001", "07:=0008", "06:=0038", "1f:=0000"},
         {2, 2, 1, 1}},
        {2, 0x5C21, PHY_TYPE_5C21, {"00:=2000", "19:=7f05"}, {2, 2, 1, 1}},
        {2, 0x6B93, PHY_TYPE_6B93, {}, {2, 2, 1, 1}},
        {2, 0x5C23, PHY_TYPE_UNKNOWN, {}, {2, 2, 1, 1}},
        {1, 0x5C20, 0, {}, {1, 1, 0, 0}},
        {7, 0x5C20, 0, {}, {1, 1, 2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.select << " " << c.id);
        recreate();
        device().phoneLinePhy().setIdentifier(c.id);
        identify(c.select);
        EXPECT_EQ(adapter_->PhyType, c.type);
        EXPECT_EQ(state(), c.state);
        EXPECT_EQ(phoneLineWrites(), c.writes);
        if (c.select == 2) {
            EXPECT_EQ(registerLines().back(), "w 7f 340006");
        } else {
            EXPECT_EQ(registerLines(), Lines{"w 7f 260002"});
        }
    }
}

} // namespace

} // namespace kt735n_test
