#include "crc.h"

#include <array>

namespace kt735::model {

namespace {

constexpr std::array<std::uint16_t, 256> makeCrc16Table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> makeCrc32Table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr auto kCrc16Table = makeCrc16Table();
constexpr auto kCrc32Table = makeCrc32Table();

} // namespace

void Crc16Genibus::add(std::uint8_t byte) {
    crc_ = static_cast<std::uint16_t>((crc_ << 8) ^ kCrc16Table[((crc_ >> 8) ^ byte) & 0xFF]);
}

std::uint16_t crc16Genibus(std::span<const std::uint8_t> bytes) {
    Crc16Genibus crc;
    for (auto b : bytes) {
        crc.add(b);
    }
    return crc.value();
}

std::uint32_t crc32Ethernet(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (auto b : bytes) {
        crc = (crc >> 8) ^ kCrc32Table[(crc ^ b) & 0xFF];
    }
    return crc ^ 0xFFFFFFFFu;
}

} // namespace kt735::model
