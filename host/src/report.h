// How the host writes values and pointers in the verifier's messages, and the report call
// itself: shared by the host's source files and installed nowhere.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "host/world.h"

namespace host {

// "0x1f": a status, an OID or a return value in a verifier message.
inline std::string hexValue(std::uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

// A handle or an address in a verifier message.
inline std::string pointer(const void* p) {
    std::ostringstream s;
    s << p;
    return s.str();
}

inline void report(const char* rule, const char* call, const std::string& message) {
    world().verifier().report(rule, call, message);
}

} // namespace host
