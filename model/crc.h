// Checksums the KT735 computes in hardware: the CRC-16 of its wake-up frame matcher and the
// IEEE 802.3 frame check sequence (also the source of the multicast hash).
#pragma once

#include <cstdint>
#include <span>

namespace kt735::model {

// CRC-16 with generator 0x1021, MSB first, initial value 0xFFFF, final complement
// (catalogued as CRC-16/GENIBUS). The wake-up matcher runs it over the masked frame bytes.
class Crc16Genibus {
  public:
    void add(std::uint8_t byte);
    std::uint16_t value() const { return static_cast<std::uint16_t>(crc_ ^ 0xFFFF); }

  private:
    std::uint16_t crc_ = 0xFFFF;
};

std::uint16_t crc16Genibus(std::span<const std::uint8_t> bytes);

// IEEE 802.3 CRC-32 (reflected 0x04C11DB7, initial and final 0xFFFFFFFF): the frame check
// sequence as it goes on the wire, least significant byte first.
std::uint32_t crc32Ethernet(std::span<const std::uint8_t> bytes);

} // namespace kt735::model
