// What kt735sim reads from the driver's own tables: its registry keywords with their ranges, its
// supported OID list and its version, so that the tool's lists cannot drift from the driver.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "adapter/adapter.h"
#include "chip/chip.h"
#include "oid/oid.h"

// The keyword table is file-local in registry.cpp: the file is compiled once more here, inside a
// namespace of its own, to read it; the copies it defines there are used by nothing else.
namespace driver_registry {
#include "adapter/registry.cpp"
} // namespace driver_registry

#include "cli.h"
#include "names.h"

namespace kt735sim {

const unsigned kDriverVersion = KT735N_VENDOR_DRIVER_VERSION;

const std::vector<ParamInfo>& driverParams() {
    static const std::vector<ParamInfo> params = [] {
        std::vector<ParamInfo> rows;
        for (const auto& row : driver_registry::RegistryKeywords) {
            rows.push_back({std::string(row.Keyword.Buffer,
                                        row.Keyword.Buffer + row.Keyword.Length / sizeof(WCHAR)),
                            row.Default, row.Minimum, row.Maximum});
        }
        return rows;
    }();
    return params;
}

bool oidSupported(std::uint32_t oid) {
    for (ULONG i = 0; i < SupportedOidCount; i++) {
        if (SupportedOidList[i] == oid) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> paramWarnings(const Options& options) {
    std::vector<std::string> warnings;
    for (const auto& [name, value] : options.params) {
        const ParamInfo* info = nullptr;
        for (const ParamInfo& p : driverParams()) {
            if (p.keyword.size() == name.size() &&
                std::equal(name.begin(), name.end(), p.keyword.begin(),
                           [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
                info = &p;
            }
        }
        if (info == nullptr) {
            bool platform = name.size() == 8 && strncasecmp(name.c_str(), "Platform", 8) == 0;
            if (!platform) {
                warnings.push_back("--param " + name +
                                   ": the driver does not read this keyword; ignored");
            }
        } else if (value < info->minimum || value > info->maximum) {
            warnings.push_back(
                "--param " + name + "=" + std::to_string(value) +
                ": outside the installation's range " + std::to_string(info->minimum) + " to " +
                std::to_string(info->maximum) + " (default " + std::to_string(info->defaultValue) +
                "); the driver takes it as given");
        }
    }
    if (options.networkAddress && options.networkAddress->size() != 12) {
        warnings.push_back("--param NetworkAddress=" + *options.networkAddress +
                           ": not 12 hex digits; the driver ignores it and keeps the EEPROM's "
                           "address");
    }
    return warnings;
}

} // namespace kt735sim
