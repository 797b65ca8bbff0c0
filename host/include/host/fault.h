// Injected faults, named the same way wherever the host injects them (memory in host/kernel.h,
// NDIS resources in host/ndis.h, USB requests on the bus in host/usb_bus.h, the chip's own
// registers in the device model): what is matched, what happens, and which occurrences.
//
// Which occurrences: counting the attempts that match a fault from the moment it is armed, the
// fault acts from the `nth` of them on (1: the next one), on `times` of them (0: every one from
// there on). FaultCount is that count, kept beside each armed fault. Where several armed faults
// match one attempt, the first that may act does; the others count the attempt all the same.
// Dependency-free, so a device model uses it without the host library.
//
//   memory         Memory::failNth(kind, nth, times), failTag(tag, nth, times): the attempt fails
//   NDIS           Library::failNth(resource, nth, times): the attempt fails
//   the bus        Fault{Match{..., nth}, action, ..., times}
//   the model      RegisterFault{index, access, covering, outcome, nth, times}
#pragma once

#include <cstdint>

namespace host {

class FaultCount {
  public:
    // True once the fault has acted `times` times: it matches nothing more.
    bool spent(std::uint32_t times) const { return times != 0 && hits_ >= times; }

    // Counts an attempt that matches the fault; true when the fault acts on it. With `mayAct`
    // false the attempt is counted but the fault does not act (another fault acts on it).
    bool take(std::uint64_t nth, std::uint32_t times, bool mayAct = true) {
        if (spent(times)) {
            return false;
        }
        ++seen_;
        if (!mayAct || seen_ < nth) {
            return false;
        }
        ++hits_;
        return true;
    }

    // How many attempts the fault acted on.
    std::uint32_t hits() const { return hits_; }

  private:
    std::uint64_t seen_ = 0;
    std::uint32_t hits_ = 0;
};

} // namespace host
