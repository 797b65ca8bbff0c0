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

namespace {

using Lines = std::vector<std::string>;

class MediaTest : public kt735n_test::DriverFixture {
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

    static Lines miiWrite(int phy, int reg, int value) {
        char line[32];
        std::snprintf(line, sizeof(line), "w 25 %02x%02x%02x%02x", phy, value & 0xFF, value >> 8,
                      0x20 | reg);
        return {line, "r 28 2"};
    }
    static Lines miiRead(int phy, int reg) {
        char line[32];
        std::snprintf(line, sizeof(line), "w 25 %02x0000%02x", phy, 0x40 | reg);
        return {line, "r 25 4"};
    }
    static Lines raw(int phy, int value) {
        char line[32];
        std::snprintf(line, sizeof(line), "w 25 %02x%02x%02x20", phy, value & 0xFF, value >> 8);
        return {line};
    }
    static Lines join(std::initializer_list<Lines> parts) {
        Lines all;
        for (const Lines& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
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
        EXPECT_TRUE(bus().remoteWakeupEnabled());
    }
};

TEST_F(MediaTest, AutomaticWithAFullPartnerRunsAt100Full) {
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(media, join({{"w 01 0800"}, raw(2, 0x2000), automatic(), ethernetTail("30", "f9")}));
    Adapter* a = adapter();
    EXPECT_EQ(a->LinkSpeed, 2u);
    EXPECT_EQ(a->Duplex, 2u);
    EXPECT_EQ(a->Control1Shadow, 0x30);
    EXPECT_EQ(a->Control0Shadow, 0xF9);
    EXPECT_EQ(a->PartnerAbility, 0x01E1);
    EXPECT_EQ(a->MediaState, ULONG{KT735N_MEDIA_CONNECTED});
    EXPECT_EQ(a->WakeControlShadow, 0xC4);
    EXPECT_EQ(a->DeviceState, ULONG{KT735N_DEVICE_RUNNING});
    EXPECT_EQ(device().reg(WakeControl), 0xC4);
    expectFeatureThenBulkIn();
}

TEST_F(MediaTest, AutomaticWithoutAPartnerFallsBackTo10Half) {
    parameters().set("MediaSel", 1u);
    device().ethernet().setPartnerAbility(0x0000);
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(media, join({{"w 01 0800"}, raw(2, 0x2000), automatic(), ethernetTail("00", "f9")}));
    EXPECT_EQ(adapter()->LinkSpeed, 1u);
    EXPECT_EQ(adapter()->Duplex, 1u);
    EXPECT_EQ(adapter()->Control1Shadow, 0x00);
    EXPECT_EQ(adapter()->PartnerAbility, 0x0000);
}

// A forced 100 Mbit/s half duplex: when the advertisement already says exactly that, no PHY
// register is written and negotiation is not restarted; otherwise the technology bits are
// replaced and negotiation restarted. Speed and duplex are the forced ones either way.
TEST_F(MediaTest, Forced100HalfWritesTheAdvertisementOnlyWhenItDiffers) {
    parameters().set("MediaType", 3u);
    // The bring-up cycles the port, which powers the PHY up again: the advertisement is set
    // when the media start begins.
    device().onControl = [this](const kt735::model::SetupPacket& setup,
                                std::span<std::uint8_t> data) {
        if (setup.bRequest == 0xF1 && setup.wIndex == Control1 && !data.empty() &&
            data[0] == 0x08) {
            device().ethernetPhy().write(4, 0x0081);
        }
    };
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(media,
              join({{"w 01 0800"}, raw(2, 0x2000), miiRead(1, 4), ethernetTail("10", "f9")}));
    EXPECT_EQ(adapter()->LinkSpeed, 2u);
    EXPECT_EQ(adapter()->Duplex, 1u);
    EXPECT_EQ(adapter()->Control1Shadow, 0x10);
    EXPECT_EQ(adapter()->PartnerAbility, 0u);
}

TEST_F(MediaTest, Forced100HalfOverAFullAdvertisementRestartsNegotiation) {
    parameters().set("MediaType", 3u);
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(media, join({{"w 01 0800"},
                           raw(2, 0x2000),
                           miiRead(1, 4),
                           miiWrite(1, 4, 0x0081),
                           miiWrite(1, 0, 0x1200),
                           miiRead(1, 1),
                           ethernetTail("10", "f9")}));
    EXPECT_EQ(adapter()->LinkSpeed, 2u);
    EXPECT_EQ(adapter()->Duplex, 1u);
    EXPECT_EQ(device().ethernetPhy().peek(4), 0x0081);
}

TEST_F(MediaTest, Forced10FullSetsOnlyTheDuplexBit) {
    parameters().set("MediaType", 2u);
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(media, join({{"w 01 0800"},
                           raw(2, 0x2000),
                           miiRead(1, 4),
                           miiWrite(1, 4, 0x0041),
                           miiWrite(1, 0, 0x1200),
                           miiRead(1, 1),
                           ethernetTail("20", "f9")}));
    EXPECT_EQ(adapter()->Control1Shadow, 0x20);
    EXPECT_EQ(adapter()->LinkSpeed, 1u);
    EXPECT_EQ(adapter()->Duplex, 2u);
}

// A MediaType beyond the table has no ability to advertise: it runs as automatic (before, the
// forced branch compared and merged an advertisement that did not exist and left speed and
// duplex at 0).
TEST_F(MediaTest, MediaTypeBeyondTheTableRunsAsAutomatic) {
    parameters().set("MediaType", 5u);
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(media, join({{"w 01 0800"}, raw(2, 0x2000), automatic(), ethernetTail("30", "f9")}));
    EXPECT_EQ(adapter()->LinkSpeed, 2u);
    EXPECT_EQ(adapter()->Duplex, 2u);
}

// On the phone line no speed is selected: the Ethernet PHY is isolated and Control1 gets back
// the value it held.
TEST_F(MediaTest, PhoneLineIsolatesTheEthernetPhy) {
    parameters().set("MediaSel", 2u);
    Lines media = startAndTakeMediaStart();
    EXPECT_EQ(adapter()->ActiveMedium, KT735N_MEDIUM_PHONE_LINE);
    const std::string control1 = kt735n_test::DriverFixture::hex({adapter()->Control1Shadow});
    EXPECT_EQ(media, join({{"w 01 0800"},
                           raw(2, 0x2000),
                           raw(1, 0x0400),
                           miiRead(2, 1),
                           {"w 78 c400"},
                           {"w 1a 0000"},
                           {"w 00 f9" + control1}}));
    EXPECT_EQ(adapter()->DeviceState, ULONG{KT735N_DEVICE_RUNNING});
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
