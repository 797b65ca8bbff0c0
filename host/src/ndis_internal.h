// The host NDIS's own helpers, shared by its source files and installed nowhere: the NDIS 3.0
// part of a miniport's characteristics and the count of upper-edge calls inside the miniport
// (with report.h: how the verifier's messages are written).
#pragma once

#include "host/ndis.h"
#include "host/smp.h"
#include "report.h"

namespace host::ndis::internal {

// The handlers every NDIS version has, whatever version the miniport registered.
inline const NDIS30_MINIPORT_CHARACTERISTICS& base(const NDIS_MINIPORT_CHARACTERISTICS& chars) {
    return chars.Ndis40Chars.Ndis30Chars;
}

// A report on the per-frame paths (sends, completions, indications), its message built out of
// line: the paths then keep no strings on their stacks and save fewer registers.
template <class Message>
[[gnu::noinline, gnu::cold]] void reportRare(const char* broken, const char* call,
                                             Message message) {
    report(broken, call, message());
}

// Runs an upper-edge routine's body under the host lock in the threaded mode; on one processor,
// where the lock is off, directly, so that the per-frame routines keep no lock state.
template <class Body>
inline void underHostLock(Body&& body) {
    if (HostLock::threaded()) [[unlikely]] {
        HostLock::Hold hold;
        body();
    } else {
        body();
    }
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
