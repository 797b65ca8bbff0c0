// USB device configuration against model devices offering other descriptors: the interface's
// pipe count and types, a device that delivered no descriptor, a configuration longer than the
// 255 bytes read, and what is kept of the interface.
#include <cstdint>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::Memory;
using kt735::model::DescriptorAnswer;
using kt735::model::EndpointDescriptor;
using kt735::model::UsbIdentity;

class ConfigureTest : public DriverFixture {
  protected:
    // A device offering `endpoints` is refused, after SET_CONFIGURATION went out or before.
    void expectRefused(std::vector<EndpointDescriptor> endpoints, bool selected) {
        UsbIdentity identity;
        identity.endpoints = std::move(endpoints);
        plug(identity);
        EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_FAILED});
        std::vector<std::string> expected{"GET_DESCRIPTOR_FROM_DEVICE",
                                          "GET_DESCRIPTOR_FROM_DEVICE"};
        if (selected) {
            expected.push_back("SELECT_CONFIGURATION");
        } else {
            EXPECT_FALSE(device().configured());
        }
        EXPECT_EQ(functions(), expected);
        EXPECT_EQ(adapter_->InterfaceInfo, nullptr);
        EXPECT_EQ(memory().leakReport(Memory::Kind::Pool), "");
    }

    std::vector<std::string> functions() const {
        std::vector<std::string> names;
        for (const host::usb::Request& r : bus().log()) {
            names.push_back(host::usb::urbFunctionName(r.function));
        }
        return names;
    }
};

// Two or four endpoints fail before SET_CONFIGURATION; a bulk pipe 2, or an interrupt pipe 0,
// fails after SET_CONFIGURATION went out. The URB from USBD is freed either way.
struct PipeCase {
    std::vector<EndpointDescriptor> endpoints;
    bool selected;
};
class RefusedPipesTest : public ConfigureTest, public testing::WithParamInterface<PipeCase> {};
TEST_P(RefusedPipesTest, AreRefused) {
    expectRefused(GetParam().endpoints, GetParam().selected);
}
INSTANTIATE_TEST_SUITE_P(
    Configure, RefusedPipesTest,
    testing::Values(
        PipeCase{{{0x81, 2, 64, 0}, {0x02, 2, 64, 0}}, false},
        PipeCase{{{0x81, 2, 64, 0}, {0x02, 2, 64, 0}, {0x83, 3, 64, 1}, {0x84, 3, 64, 1}}, false},
        PipeCase{{{0x81, 2, 64, 0}, {0x02, 2, 64, 0}, {0x83, 2, 64, 0}}, true},
        PipeCase{{{0x81, 3, 64, 1}, {0x02, 2, 64, 0}, {0x83, 3, 64, 1}}, true}));

// A device that delivered no device descriptor (as opposed to one whose identifiers are 0):
// one port cycle, then failure, nothing more.
TEST_F(ConfigureTest, AllZeroDeviceDescriptorCyclesThePort) {
    UsbIdentity identity;
    identity.deviceDescriptor = DescriptorAnswer::NoAnswer;
    plug(identity);
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_FAILED});
    EXPECT_EQ(functions(), (std::vector<std::string>{"GET_DESCRIPTOR_FROM_DEVICE", "CYCLE_PORT"}));
    EXPECT_EQ(bus().portCycles(), 1u);
}

// Vendor and product 0, and a configuration longer than the 255 bytes read: only the bytes read are
// parsed; the copy's total length is cut to them, so USBD and SET_CONFIGURATION never walk past the
// block.
TEST_F(ConfigureTest, ConfigurationLongerThanTheReadIsCutToIt) {
    UsbIdentity identity; // identifiers 0 with a descriptor that arrived: no port cycle
    identity.vendorId = 0;
    identity.productId = 0;
    identity.extraConfigBytes = 300;
    plug(identity);
    ASSERT_GT(device().configurationDescriptor().size(), 255u);
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_OK});
    ASSERT_GE(bus().log().size(), 2u);
    EXPECT_EQ(bus().log()[1].requested, 255u);
    EXPECT_EQ(bus().log()[1].data.size(), 255u);
    EXPECT_EQ(adapter_->ConfigurationDescriptor->wTotalLength, 255);
    EXPECT_EQ(memory().find(adapter_->ConfigurationDescriptor)->size, 255u);
    EXPECT_EQ(bus().portCycles(), 0u);
    EXPECT_TRUE(device().configured());
    EXPECT_EQ(adapter_->IrpStackSize, bus().pdo()->StackSize + 1);
    // The interface kept whole, the bulk pipes' transfer size raised to a frame's.
    PUSBD_INTERFACE_INFORMATION info = adapter_->InterfaceInfo;
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(memory().find(info)->size, info->Length);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 1536u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 1536u);
    EXPECT_EQ(info->Pipes[2].MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
    EXPECT_EQ(memory().leakReport(Memory::Kind::Pool), ""); // the select-configuration URB
}

} // namespace

} // namespace kt735n_test
