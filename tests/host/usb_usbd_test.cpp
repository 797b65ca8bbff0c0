// USBD's walk of a configuration descriptor, under ASan: matching and never reading outside the
// descriptor. Building the select-configuration request is exercised by tests/driver.
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
    std::vector<void*> blocks_;
};

// Matching as the driver asks (anything) and past the first interface, and never reading outside
// the descriptor: a wTotalLength past the end of the block, one cutting an interface short, a
// descriptor of length 0 or running past the end. ASan reports any read beyond the block.
TEST_F(UsbdTest, ParseMatchesWithinTheDescriptorOnly) {
    const std::size_t all = kConfig.size();
    struct Case {
        std::size_t size, total; // of the pool block, and the claimed wTotalLength
        std::uint8_t length;     // of the first endpoint descriptor
        LONG number, alt;
        std::ptrdiff_t found; // offset of the interface found, -1 for none
    } cases[] = {
        {all, all, 7, -1, -1, 9},  {all, all, 7, 0, 1, 25},
        {40, 1000, 7, 0, 1, 25},   // wTotalLength claims more than the block holds
        {40, 1000, 7, 1, -1, -1},  // and interface 1 lies beyond the block
        {all, 30, 7, 0, 1, -1},    // wTotalLength cuts an interface short
        {all, all, 0, 0, 1, -1},   // a length of 0 ends the walk
        {all, all, 200, 0, 1, -1}, // as does one running past the end
        {9, 9, 7, -1, -1, -1},     // only the header
    };
    for (const Case& c : cases) {
        Bytes bytes = kConfig;
        bytes[18] = c.length;
        auto* config = pooled(bytes, c.size, c.total);
        auto* base = reinterpret_cast<std::uint8_t*>(config);
        auto* found = reinterpret_cast<std::uint8_t*>(
            USBD_ParseConfigurationDescriptorEx(config, config, c.number, c.alt, -1, -1, -1));
        EXPECT_EQ(found == nullptr ? -1 : found - base, c.found) << "case " << &c - cases;
    }
    EXPECT_EQ(configurationBytes(pooled(kConfig, 40, 1000)), 40u);
    EXPECT_EQ(configurationBytes(pooled(kConfig, all, 30)), 30u);
}

} // namespace
} // namespace host::usb
