// The host NDIS's own helpers, shared by its source files and installed nowhere: how values and
// pointers are written in the verifier's messages, the report call itself, the NDIS 3.0 part
// of a miniport's characteristics, and the count of upper-edge calls inside the miniport.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "host/ndis.h"
#include "host/world.h"

namespace host::ndis::internal {

// "0x1f": a status or an OID in a verifier message.
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
    host::world().verifier().report(rule, call, message);
}

// The handlers every NDIS version has, whatever version the miniport registered.
inline const NDIS30_MINIPORT_CHARACTERISTICS& base(const NDIS_MINIPORT_CHARACTERISTICS& chars) {
    return chars.Ndis40Chars.Ndis30Chars;
}

} // namespace host::ndis::internal

namespace host::ndis {

// Counts an upper-edge call into the miniport for the length of a scope (host lock held).
struct Adapter::UpperCall {
    explicit UpperCall(Adapter& adapter) : adapter_(adapter) { ++adapter_.inMiniport_; }
    ~UpperCall() { --adapter_.inMiniport_; }
    UpperCall(const UpperCall&) = delete;
    UpperCall& operator=(const UpperCall&) = delete;
    Adapter& adapter_;
};

} // namespace host::ndis
