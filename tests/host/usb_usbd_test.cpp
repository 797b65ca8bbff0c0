// USBD's configuration routines: walking a configuration descriptor and building the
// select-configuration request.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/kernel.h"
#include "host/testing.h"
#include "host/usb_bus.h"

namespace host::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Configuration 1: interface 0 (two alternate settings: 0 with one endpoint, 1 with three) and
// interface 1 (class 0x0A), with a class-specific descriptor in between.
const Bytes kConfig = {
    9, 2,    0,    0,    2,    1,    0,    0x80, 50, // configuration; wTotalLength set below
    9, 4,    0,    0,    1,    0xFF, 0x01, 0x02, 0,  // interface 0 alt 0
    7, 5,    0x81, 2,    64,   0,    0,              //
    9, 4,    0,    1,    3,    0xFF, 0x01, 0x03, 0,  // interface 0 alt 1
    7, 5,    0x81, 2,    64,   0,    0,              //
    7, 5,    0x02, 2,    64,   0,    0,              //
    7, 5,    0x83, 3,    8,    0,    1,              //
    5, 0x24, 0,    0x10, 0x01,                       // class-specific
    9, 4,    1,    0,    0,    0x0A, 0x00, 0x00, 0,  // interface 1 alt 0, no endpoints
};

class UsbdTest : public host::testing::WorldTest {
  protected:
    // The descriptor in a pool block of exactly `size` bytes, wTotalLength `total`.
    PUSB_CONFIGURATION_DESCRIPTOR pooled(const Bytes& bytes, std::size_t size, std::size_t total) {
        auto* p = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size, 0x44534355));
        std::memcpy(p, bytes.data(), std::min(size, bytes.size()));
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(p);
        config->wTotalLength = static_cast<USHORT>(total);
        blocks_.push_back(p);
        return config;
    }
    ~UsbdTest() override {
        for (void* p : blocks_) {
            ExFreePool(p);
        }
    }
    static std::ptrdiff_t offset(PUSB_CONFIGURATION_DESCRIPTOR c, PUSB_INTERFACE_DESCRIPTOR i) {
        return i == nullptr
                   ? -1
                   : reinterpret_cast<std::uint8_t*>(i) - reinterpret_cast<std::uint8_t*>(c);
    }
    std::vector<void*> blocks_;
};

TEST_F(UsbdTest, ParseMatchesWithWildcardsFromTheStartPosition) {
    auto* c = pooled(kConfig, kConfig.size(), kConfig.size());
    auto parse = [c](PVOID start, LONG n, LONG alt, LONG cls, LONG sub, LONG proto) {
        return offset(c, USBD_ParseConfigurationDescriptorEx(c, start, n, alt, cls, sub, proto));
    };
    EXPECT_EQ(parse(c, -1, -1, -1, -1, -1), 9);
    EXPECT_EQ(parse(c, 0, 1, -1, -1, -1), 25);
    EXPECT_EQ(parse(c, -1, -1, -1, -1, 3), 25);
    EXPECT_EQ(parse(c, -1, -1, 0x0A, -1, -1), 60);
    EXPECT_EQ(parse(c, 1, -1, 0xFF, -1, -1), -1);
    EXPECT_EQ(parse(c, 2, -1, -1, -1, -1), -1);
    // From just past the first interface, the next one is found.
    EXPECT_EQ(parse(reinterpret_cast<std::uint8_t*>(c) + 9 + 9, -1, -1, -1, -1, -1), 25);
    EXPECT_EQ(parse(reinterpret_cast<std::uint8_t*>(c) + kConfig.size(), -1, -1, -1, -1, -1), -1);
}

TEST_F(UsbdTest, ParseStaysInsideTheDescriptor) {
    // wTotalLength claims more than the block holds: nothing beyond the block is read (ASan
    // would report it), whether or not a match lies inside.
    auto* big = pooled(kConfig, 40, 1000);
    EXPECT_EQ(offset(big, USBD_ParseConfigurationDescriptorEx(big, big, 0, 1, -1, -1, -1)), 25);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(big, big, 1, -1, -1, -1, -1), nullptr);

    // wTotalLength cuts an interface descriptor short: it does not count.
    auto* cut = pooled(kConfig, kConfig.size(), 30);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cut, cut, 0, 1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cut, cut, 1, -1, -1, -1, -1), nullptr);

    // A descriptor of length 0 ends the walk; one running past the end too.
    Bytes zero = kConfig;
    zero[18] = 0;
    auto* z = pooled(zero, zero.size(), zero.size());
    EXPECT_EQ(offset(z, USBD_ParseConfigurationDescriptorEx(z, z, 0, 0, -1, -1, -1)), 9);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(z, z, 0, 1, -1, -1, -1), nullptr);
    Bytes longOne = kConfig;
    longOne[18] = 200;
    auto* l = pooled(longOne, longOne.size(), longOne.size());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(l, l, 0, 1, -1, -1, -1), nullptr);

    // Only the header: no interface.
    auto* header = pooled(kConfig, 9, 9);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(header, header, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(configurationBytes(big), 40u);
    EXPECT_EQ(configurationBytes(cut), 30u);
}

TEST_F(UsbdTest, CreateConfigurationRequestFillsEachInterface) {
    auto* c = pooled(kConfig, kConfig.size(), kConfig.size());
    PUSB_INTERFACE_DESCRIPTOR alt1 = USBD_ParseConfigurationDescriptorEx(c, c, 0, 1, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY one[2] = {{alt1, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(c, one);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    EXPECT_EQ(world().memory().find(urb)->size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
    PUSBD_INTERFACE_INFORMATION info = one[0].Interface;
    ASSERT_EQ(info, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(info->InterfaceNumber, 0);
    EXPECT_EQ(info->AlternateSetting, 1);
    EXPECT_EQ(info->NumberOfPipes, 3u);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(info->Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        EXPECT_EQ(info->Pipes[i].PipeFlags, 0u);
    }
    ExFreePool(urb);

    // Two interfaces: each block follows the previous one by its Length.
    PUSB_INTERFACE_DESCRIPTOR alt0 = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR second = USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY two[3] = {{alt0, nullptr}, {second, nullptr}, {nullptr, nullptr}};
    urb = USBD_CreateConfigurationRequestEx(c, two);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(two[1].Interface),
              reinterpret_cast<std::uint8_t*>(two[0].Interface) + two[0].Interface->Length);
    EXPECT_EQ(two[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(two[1].Interface->NumberOfPipes, 0u);
    EXPECT_LE(reinterpret_cast<std::uint8_t*>(two[1].Interface) + two[1].Interface->Length,
              reinterpret_cast<std::uint8_t*>(urb) + urb->UrbHeader.Length);
    ExFreePool(urb);

    // Out of pool: NULL.
    world().memory().failNth(Memory::Kind::Pool, 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, one), nullptr);
}

} // namespace
} // namespace host::usb
