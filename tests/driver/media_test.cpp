// The media start at the end of MiniportInitialize, through PnP and NDIS on the device model:
// the register sequence it writes (compared whole with the MII window's accesses spelled out),
// the speed and duplex it settles on, the wake-up and flow-control bytes, and the USB requests
// that close it.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fixture.h"
#include "usb/registers.h"

namespace kt735n_test {
namespace {

using Lines = std::vector<std::string>;

class MediaTest : public DriverFixture {
  protected:
    // Starts the adapter and returns the register accesses of the media start: from its first
    // write (Control1 0x08) to the end of initialization. Repeated readings of the PHY status
    // while negotiation runs appear once.
    Lines startAndTakeMediaStart() {
        EXPECT_EQ(start(), NDIS_STATUS_SUCCESS);
        Lines lines = registerLines();
        auto first = std::find(lines.rbegin(), lines.rend(), "w 01 0800");
        EXPECT_NE(first, lines.rend());
        Lines media(first.base() - 1, lines.end());
        Lines result;
        for (std::size_t i = 0; i < media.size();) {
            std::size_t n = result.size();
            if (i + 1 < media.size() && n >= 2 && media[i + 1] == "r 25 4" &&
                media[i] == result[n - 2] && media[i + 1] == result[n - 1]) {
                i += 2;
                continue;
            }
            result.push_back(media[i]);
            ++i;
        }
        return result;
    }

    // An MII write to register 0 without the completion poll.
    static Lines raw(int phy, int value) {
        using B = std::uint8_t;
        return {"w 25 " + hex({B(phy), B(value & 0xFF), B(value >> 8), 0x20})};
    }
    // The automatic selection on the Ethernet PHY: all four abilities advertised,
    // negotiation restarted and waited for, the partner's abilities read.
    static Lines automatic() {
        return join({miiWrite(1, 4, 0x01E1), miiWrite(1, 0, 0x1200), miiRead(1, 1), miiRead(1, 5)});
    }

    // What follows the speed selection on Ethernet with the given Control1, up to Control0.
    static Lines ethernetTail(const std::string& control1, const std::string& control0) {
        return join({{"w 01 " + control1 + "00"},
                     raw(2, 0x0400),
                     miiRead(1, 1),
                     {"w 78 c400"},
                     {"w 1a 0000"},
                     {"w 00 " + control0 + control1}});
    }

    // The USB requests of initialization after the register writes: the remote wake-up
    // feature, then the first bulk-in transfer, still on the pipe.
    void expectFeatureThenBulkIn() {
        const std::vector<host::usb::Request>& log = bus().log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2].text(), "SET_FEATURE_TO_DEVICE 00 03 0001 0000 0000 SUCCESS");
        const host::usb::Request& bulkIn = log.back();
        EXPECT_EQ(bulkIn.function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        EXPECT_EQ(bulkIn.endpoint, 0x81);
        EXPECT_EQ(bulkIn.requested, 1536u);
        EXPECT_FALSE(bulkIn.done());
    }
};

// The speed selection on Ethernet, each closed by the remote wake-up feature and the first
// bulk-in transfer. Automatic (the default) with a full partner runs at 100 Mbit/s full
// duplex; without a partner it falls back to 10 Mbit/s half duplex. A forced 100 Mbit/s half duplex
// over an advertisement that already says exactly that writes no PHY register and does not restart
// negotiation; otherwise the technology bits are replaced and negotiation restarted. A MediaType
// beyond the table has no ability to advertise and runs as automatic (before, the forced branch
// compared and merged an advertisement that did not exist and left speed and duplex at 0).
TEST_F(MediaTest, SpeedSelectionOnEthernet) {
    const Lines restart = join({miiWrite(1, 0, 0x1200), miiRead(1, 1)});
    struct Case {
        ULONG mediaType;
        std::uint16_t partner, advertisement; // advertisement 0: as the PHY powers up
        Lines selection;                      // between the PHY 2 isolation and the tail
        const char* control1;
        ULONG speed, duplex;
    } const cases[] = {
        {0, 0x01E1, 0, automatic(), "30", 2, 2},
        {0, 0x0000, 0, automatic(), "00", 1, 1},
        {3, 0x01E1, 0x0081, miiRead(1, 4), "10", 2, 1},
        {3, 0x01E1, 0, join({miiRead(1, 4), miiWrite(1, 4, 0x0081), restart}), "10", 2, 1},
        {2, 0x01E1, 0, join({miiRead(1, 4), miiWrite(1, 4, 0x0041), restart}), "20", 1, 2},
        {5, 0x01E1, 0, automatic(), "30", 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "MediaType " << c.mediaType << " advertisement " << c.advertisement);
        if (rig_.adapter() != nullptr) {
            halt();
        }
        parameters().set("MediaType", c.mediaType);
        // Without a partner the automatic medium choice would go to the phone line.
        parameters().set("MediaSel", c.partner == 0 ? 1u : 0u);
        device().ethernet().setPartnerAbility(c.partner);
        // The bring-up cycles the port, which powers the PHY up again: the advertisement is
        // set when the media start begins.
        device().onControl = [this, &c](const kt735::model::SetupPacket& setup,
                                        std::span<std::uint8_t> data) {
            if (c.advertisement != 0 && setup.bRequest == 0xF1 && setup.wIndex == Control1 &&
                !data.empty() && data[0] == 0x08) {
                device().ethernetPhy().write(4, 0x0081);
            }
        };
        device().clearLogs();
        Lines media = startAndTakeMediaStart();
        EXPECT_EQ(
            media,
            join({{"w 01 0800"}, raw(2, 0x2000), c.selection, ethernetTail(c.control1, "f9")}));
        EXPECT_EQ(adapter()->LinkSpeed, c.speed);
        EXPECT_EQ(adapter()->Duplex, c.duplex);
        EXPECT_EQ(adapter()->PartnerAbility, c.mediaType == 3 || c.mediaType == 2 ? 0 : c.partner);
        expectFeatureThenBulkIn();
        device().onControl = nullptr;
    }
}

// On the phone line no speed is selected: the Ethernet PHY is isolated and Control1 gets back
// the value it held.
TEST_F(MediaTest, PhoneLineIsolatesTheEthernetPhy) {
    parameters().set("MediaSel", 2u);
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(adapter()->ActiveMedium, KT735N_MEDIUM_PHONE_LINE);
    const std::string control1 = DriverFixture::hex({adapter()->Control1Shadow});
    EXPECT_EQ(media, join({{"w 01 0800"},
                           raw(2, 0x2000),
                           raw(1, 0x0400),
                           miiRead(2, 1),
                           {"w 78 c400"},
                           {"w 1a 0000"},
                           {"w 00 f9" + control1}}));
    expectFeatureThenBulkIn();
}

// Flow-control bytes from FlowControl_Tx and FlowControl_Rx; FlowControl set leaves both
// registers and bit 0x20 of Control0 alone; the wake control byte follows MagicPkt and
// LinkWakeup.
struct FlowCase {
    ULONG flowControl, tx, rx, magic, linkWake;
    Lines tail; // from WakeControl to Control0
    UCHAR rxByte, txByte;
};

class FlowControlTest : public MediaTest, public testing::WithParamInterface<FlowCase> {};

TEST_P(FlowControlTest, BytesAndWakeControl) {
    const FlowCase& c = GetParam();
    parameters().set("FlowControl", c.flowControl);
    parameters().set("FlowControl_Tx", c.tx);
    parameters().set("FlowControl_Rx", c.rx);
    parameters().set("MagicPkt", c.magic);
    parameters().set("LinkWakeup", c.linkWake);
    Lines media = startAndTakeMediaStart();
    auto wake = std::find(media.begin(), media.end(), c.tail.front());
    ASSERT_NE(wake, media.end());
    EXPECT_EQ(Lines(wake, media.end()), c.tail);
    EXPECT_EQ(adapter()->FlowControlBytes[0], c.rxByte);
    EXPECT_EQ(adapter()->FlowControlBytes[1], c.txByte);
}

INSTANTIATE_TEST_SUITE_P(
    Media, FlowControlTest,
    testing::Values(FlowCase{0, 3, 8, 0, 0, {"w 78 c400", "w 1a 0901", "w 00 f930"}, 0x01, 0x09},
                    FlowCase{0, 7, 33, 1, 0, {"w 78 4400", "w 1a 8103", "w 00 f930"}, 0x03, 0x81},
                    FlowCase{1, 3, 8, 0, 1, {"w 78 8400", "w 00 d930"}, 0x00, 0x00},
                    FlowCase{0, 0, 0, 1, 1, {"w 78 0400", "w 1a 0000", "w 00 f930"}, 0x00, 0x00}));

} // namespace

} // namespace kt735n_test
