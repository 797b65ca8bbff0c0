// Text forms shared by the timeline, the summary and the JSON record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <host/sched.h>

namespace kt735sim {

// "0a1bff": the bytes as lowercase hex digits, no separators.
std::string hexBytes(const std::uint8_t* data, std::size_t size);
// "02:4b:56:07:35:01".
std::string macText(const std::uint8_t* mac);
// Virtual seconds, exact to 100 ns, without trailing zeros: "2", "0.0151".
std::string seconds(host::Time t);
// "     12.345 s" for the text output, to the millisecond, right-aligned in a column wide
// enough for the longest --duration.
std::string stamp(host::Time t);
// The NDIS name of a status code, or its value in hex when it has none.
std::string statusText(std::uint32_t status);
// The first four bytes, little-endian.
std::uint32_t le32(const std::vector<std::uint8_t>& data);

} // namespace kt735sim
