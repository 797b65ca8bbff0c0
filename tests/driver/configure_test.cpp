// USB device configuration against model devices offering other descriptors: the interface's
// pipe count and types, a device that delivered no descriptor, a configuration longer than the
// 255 bytes read, and what is kept of the interface.
#include "bringup_fixture.h"

#include <cstdint>

namespace bringup_test {
namespace {

using host::Memory;
using kt735::model::DescriptorAnswer;
using kt735::model::EndpointDescriptor;
using kt735::model::UsbIdentity;

class ConfigureTest : public BringUpFixture {
  protected:
    static UsbIdentity withEndpoints(std::vector<EndpointDescriptor> endpoints) {
        UsbIdentity identity;
        identity.endpoints = std::move(endpoints);
        return identity;
    }

    std::vector<std::string> functions() const {
        std::vector<std::string> names;
        for (const host::usb::Request& r : bus_.log()) {
            names.push_back(host::usb::urbFunctionName(r.function));
        }
        return names;
    }

    // The select-configuration URB is never left behind.
    void expectNoPoolLeft() { EXPECT_EQ(memory().leakReport(Memory::Kind::Pool), ""); }
};

// The standard KT735: what is kept of the device and the interface.
TEST_F(ConfigureTest, KeepsDescriptorsHandlesAndPipes) {
    plug();
    ASSERT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(adapter_->NextDeviceObject, bus_.pdo());
    EXPECT_EQ(adapter_->IrpStackSize, bus_.pdo()->StackSize + 1);
    EXPECT_EQ(adapter_->VendorId, kt735::model::kVendorId);
    EXPECT_EQ(adapter_->ProductId, kt735::model::kProductId);
    EXPECT_NE(adapter_->ConfigurationHandle, nullptr);
    PUSBD_INTERFACE_INFORMATION info = adapter_->InterfaceInfo;
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(memory().find(info)->size, info->Length);
    EXPECT_EQ(info->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(info->Pipes[1].EndpointAddress, 0x02);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 1536u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 1536u);
    EXPECT_EQ(info->Pipes[2].MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_NE(info->Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_TRUE(device().configured());
    EXPECT_FALSE(device().remoteWakeupEnabled());
    expectNoPoolLeft();
}

// Two or four endpoints fail before SET_CONFIGURATION; the URB from USBD is freed.
TEST_F(ConfigureTest, TwoEndpointsFailBeforeSetConfiguration) {
    plug(withEndpoints({{0x81, 2, 64, 0}, {0x02, 2, 64, 0}}));
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_FAILED});
    EXPECT_EQ(functions(), (std::vector<std::string>{"GET_DESCRIPTOR_FROM_DEVICE",
                                                     "GET_DESCRIPTOR_FROM_DEVICE"}));
    EXPECT_FALSE(device().configured());
    expectNoPoolLeft();
}

TEST_F(ConfigureTest, FourEndpointsFailBeforeSetConfiguration) {
    plug(withEndpoints({{0x81, 2, 64, 0}, {0x02, 2, 64, 0}, {0x83, 3, 64, 1}, {0x84, 3, 64, 1}}));
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_FAILED});
    EXPECT_EQ(functions(), (std::vector<std::string>{"GET_DESCRIPTOR_FROM_DEVICE",
                                                     "GET_DESCRIPTOR_FROM_DEVICE"}));
    expectNoPoolLeft();
}

// A bulk pipe 2, or an interrupt pipe 0, fails after SET_CONFIGURATION went out.
TEST_F(ConfigureTest, WrongPipeTypeFailsAfterSetConfiguration) {
    plug(withEndpoints({{0x81, 2, 64, 0}, {0x02, 2, 64, 0}, {0x83, 2, 64, 0}}));
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_FAILED});
    EXPECT_EQ(functions(),
              (std::vector<std::string>{"GET_DESCRIPTOR_FROM_DEVICE", "GET_DESCRIPTOR_FROM_DEVICE",
                                        "SELECT_CONFIGURATION"}));
    EXPECT_EQ(adapter_->InterfaceInfo, nullptr);
    expectNoPoolLeft();
}

TEST_F(ConfigureTest, InterruptPipeZeroFailsAfterSetConfiguration) {
    plug(withEndpoints({{0x81, 3, 64, 1}, {0x02, 2, 64, 0}, {0x83, 3, 64, 1}}));
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_FAILED});
    EXPECT_EQ(functions().back(), "SELECT_CONFIGURATION");
    expectNoPoolLeft();
}

// A device that delivered no device descriptor: one port cycle, then failure, nothing more.
TEST_F(ConfigureTest, AllZeroDeviceDescriptorCyclesThePort) {
    UsbIdentity identity;
    identity.deviceDescriptor = DescriptorAnswer::NoAnswer;
    plug(identity);
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_FAILED});
    ASSERT_EQ(bus_.log().size(), 2u);
    EXPECT_EQ(bus_.log()[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(bus_.log()[1].function, host::usb::kFunctionCyclePort);
    EXPECT_EQ(bus_.portCycles(), 1u);
}

// Vendor and product 0 with a descriptor that did arrive: no port cycle, configuration goes on.
TEST_F(ConfigureTest, ZeroIdentifiersWithADescriptorAreConfigured) {
    UsbIdentity identity;
    identity.vendorId = 0;
    identity.productId = 0;
    plug(identity);
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(bus_.portCycles(), 0u);
}

// A configuration longer than the 255 bytes read: only the bytes read are parsed; the copy's
// total length is cut to them, so USBD and SET_CONFIGURATION never walk past the block.
TEST_F(ConfigureTest, ConfigurationLongerThanTheReadIsCutToIt) {
    UsbIdentity identity;
    identity.extraConfigBytes = 300;
    plug(identity);
    ASSERT_GT(device().configurationDescriptor().size(), 255u);
    EXPECT_EQ(ConfigureUsbDevice(adapter_), ULONG{KT735N_OK});
    ASSERT_GE(bus_.log().size(), 2u);
    EXPECT_EQ(bus_.log()[1].requested, 255u);
    EXPECT_EQ(bus_.log()[1].data.size(), 255u);
    EXPECT_EQ(adapter_->ConfigurationDescriptor->wTotalLength, 255);
    EXPECT_EQ(memory().find(adapter_->ConfigurationDescriptor)->size, 255u);
    EXPECT_EQ(adapter_->InterfaceInfo->NumberOfPipes, 3u);
}

} // namespace
} // namespace bringup_test
