// NDIS names of OIDs and status codes, for script parsing and readable output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kt735sim {

struct OidName {
    std::uint32_t value;
    const char* name;
};

// Every OID the tool knows by name: the general, 802.3, power-management and offload objects.
const std::vector<OidName>& oidNames();
std::optional<std::uint32_t> oidByName(std::string_view name);
// The NDIS name, or the value in hex when it has none here.
std::string oidName(std::uint32_t oid);
// The statistics objects reported as the driver's counters at exit, in this order.
const std::vector<std::uint32_t>& counterOids();

// "NDIS_STATUS_SUCCESS", ... or "" when the code has no name here.
std::string statusName(std::uint32_t status);
// "0x4001000B".
std::string hex32(std::uint32_t value);

} // namespace kt735sim
