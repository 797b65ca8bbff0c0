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

// Slicing by eight: table[0] is the byte-wise table; table[k][i] is the CRC of byte i followed
// by k zero bytes, so that eight bytes are folded in with eight look-ups and no dependency chain.
constexpr std::array<std::array<std::uint32_t, 256>, 8> makeCrc32Tables() {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            const std::uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr auto kCrc16Table = makeCrc16Table();
constexpr auto kCrc32Tables = makeCrc32Tables();

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
    const auto& t = kCrc32Tables;
    std::uint32_t crc = 0xFFFFFFFFu;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t low = crc ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                         std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p) {
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    }
    return crc ^ 0xFFFFFFFFu;
}

} // namespace kt735::model
