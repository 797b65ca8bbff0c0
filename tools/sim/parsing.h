// Number, address and byte parsing shared by the options and the script.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kt735sim {

// Decimal, or hex with 0x; at most `max`.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max);
// Hex, with or without 0x.
std::optional<std::uint16_t> parseHex16(std::string_view text);
// Pairs of hex digits.
std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text);
// "00:12:34:56:78:9A".
std::optional<std::array<std::uint8_t, 6>> parseMac(std::string_view text);

} // namespace kt735sim
