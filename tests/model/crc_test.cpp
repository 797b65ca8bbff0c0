#include "crc.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace kt735::model {
namespace {

std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

TEST(Crc, CheckValues) {
    EXPECT_EQ(crc16Genibus(bytes("123456789")), 0xD64E);
    EXPECT_EQ(crc16Genibus(bytes("abc")), 0xAEB5);
    EXPECT_EQ(crc16Genibus({}), 0x0000);
    EXPECT_EQ(crc32Ethernet(bytes("123456789")), 0xCBF43926u);
}

} // namespace
} // namespace kt735::model
