// Host kernel internals behind the DDK routines: the IRQL of each processor (thread), the spin
// locks a thread holds, tracked memory with fault injection, and the IRP registry.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/ddk.h"
#include "host/fault.h"
#include "host/sched.h"

namespace host {

// ---- IRQL and locks, per thread (a thread is a processor) ------------------------------------

namespace detail {
// The books of one processor, kept by the kernel's IRQL and spin-lock routines in plain
// thread-local storage: the IRQL, and the spin locks held, innermost last, with when each was
// taken (steady clock, ns) in the threaded mode, 0 otherwise. They are here so that the
// per-frame checks of the I/O manager and NDIS read them in line.
extern constinit thread_local KIRQL t_irql;
struct HeldLocks {
    static constexpr std::size_t kCapacity = 64;
    const void* lock[kCapacity];
    std::int64_t since[kCapacity];
    std::size_t count;
};
extern constinit thread_local HeldLocks t_held;
void reportLocksHeld(const char* call);
} // namespace detail

inline KIRQL currentIrql() {
    return detail::t_irql;
}
void setIrql(KIRQL irql);

// Raises (or lowers) the IRQL for a scope and restores it after.
class IrqlScope {
  public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

  private:
    KIRQL saved_;
};

// The number of spin locks the calling thread holds.
inline std::size_t heldSpinLockCount() {
    return detail::t_held.count;
}
// Reports LOCK_HELD_ACROSS_CALL when the thread holds any driver spin lock.
inline void checkNoLocksHeld(const char* call) {
    if (detail::t_held.count != 0) [[unlikely]] {
        detail::reportLocksHeld(call);
    }
}

// The threaded mode's spin lock checks: a lock held longer than this (real time) is reported
// (SPIN_LOCK_HELD_TOO_LONG); the record of the order processors took nested locks in
// (LOCK_ORDER_INVERSION) is forgotten.
void setSpinLockHoldBound(std::int64_t nanoseconds);
void forgetLockOrder();

// Runs driver code entered from the host at `irql` (a DPC, a timer, a completion, a handler
// call) and verifies it comes back at the same IRQL and without spin locks held.
void callDriverAt(KIRQL irql, const char* what, FunctionRef body);
// The same for host code that calls into the driver on its own (a scheduled event: a DPC, a
// timer, a completion): the host lock stays held, so nothing can change what the event took
// between taking it and running it.
void callHostAt(KIRQL irql, const char* what, FunctionRef body);

// Waits in virtual time until `satisfied()` holds or `deadline` passes; runs events meanwhile.
// Returns whether it holds. Reports WAIT_NEVER_SATISFIED when nothing can ever satisfy an
// unbounded wait.
bool waitUntil(const std::function<bool()>& satisfied, Time deadline, const char* call);

// Watches a call that must return within `bound` of virtual time (a halt, a removal). When the
// clock passes the bound while the call runs, reports CALL_HUNG and ends the process: a driver
// that keeps sleeping or waiting would otherwise keep the scheduler turning forever. The watch
// ends when the object goes.
class HangWatch {
  public:
    // Long enough for a halt that waits out several 5-second request timeouts.
    static constexpr Time kBound = 300 * kSecond;

    explicit HangWatch(const char* call, Time bound = kBound);
    ~HangWatch();
    HangWatch(const HangWatch&) = delete;
    HangWatch& operator=(const HangWatch&) = delete;

  private:
    EventId event_;
};

// Converts a kernel interval (100 ns units; negative relative, positive absolute system time) to
// an absolute virtual deadline.
Time deadlineFromInterval(const LARGE_INTEGER* interval);

// ---- memory ------------------------------------------------------------------------------------

// Every allocation the driver makes from the platform, by kind, with its tag.
class Memory {
  public:
    enum class Kind { Pool, Ndis, Irp };

    struct Allocation {
        Kind kind;
        std::size_t size;
        ULONG tag;
    };

    ~Memory();

    // Returns NULL when an armed fault fails the attempt. The memory is filled with a pattern,
    // not zeroed, so code that forgets to zero it shows.
    void* allocate(Kind kind, std::size_t size, ULONG tag);
    // Counts an attempt that allocates elsewhere (IRPs) and says whether it must fail. Nothing
    // armed and nobody watching (every frame of a run) is a count.
    bool attemptFails(Kind kind, std::size_t size, ULONG tag = 0) {
        if (faults_.empty() && !onAttempt) [[likely]] {
            ++attempts_[static_cast<std::size_t>(kind)];
            return false;
        }
        return attemptFailsWatched(kind, size, tag);
    }
    // Frees an allocation of `kind`. `size`, when given, must match (NdisFreeMemory's length).
    void free(Kind kind, void* p, const char* call, std::size_t size = 0, bool checkSize = false);
    bool owns(const void* p) const;
    const Allocation* find(const void* p) const;

    // ---- fault injection (host/fault.h): the attempts of `kind`, or of any kind with `tag`,
    // fail from the nth one counted from now on (1: the next), `times` of them (0: every one).
    void failNth(Kind kind, std::uint64_t nth, std::uint32_t times = 1);
    void failTag(ULONG tag, std::uint64_t nth = 1, std::uint32_t times = 1);
    // Disarms every fault not yet spent. The counts go on.
    void clearFaults() { faults_.clear(); }
    // Attempts of `kind` so far, failed ones included.
    std::uint64_t attempts(Kind kind) const;
    // Called with each attempt before it is decided: a test stops the driver there.
    std::function<void(const Allocation&)> onAttempt;
    // Called each time an armed fault fails an attempt.
    std::function<void(const Allocation&)> onFault;

    // Outstanding allocations of `kind`, grouped by tag: tag -> (count, bytes).
    std::map<ULONG, std::pair<std::size_t, std::size_t>> outstanding(Kind kind) const;
    std::size_t outstandingCount() const { return live_.size(); }
    // Human-readable leak report ("" when nothing is outstanding of that kind).
    std::string leakReport(Kind kind) const;
    // Called by free paths: lets other registries (timers) react to memory going away.
    std::function<void(void* p, std::size_t size)> onFree;

    static std::string tagText(ULONG tag);
    static constexpr unsigned char kFillPattern = 0xC5;
    static constexpr unsigned char kFreedPattern = 0xDF;
    // Windows 2000's nonpaged pool is at most 256 MB: no single allocation larger than that
    // can succeed there, so none does here (registry values can ask for any size).
    static constexpr std::size_t kLargestAllocation = std::size_t{256} << 20;

  private:
    bool attemptFailsWatched(Kind kind, std::size_t size, ULONG tag);

    // An armed fault: the attempts it matches (unset: any) and which of them it fails.
    struct Fault {
        std::optional<Kind> kind;
        std::optional<ULONG> tag;
        std::uint64_t nth;
        std::uint32_t times;
        FaultCount count;
    };

    // Freed blocks kept for reuse, by size, so the driver's periodic allocations (the link
    // watch's requests) cost the process no heap call once a run is going. A block waits
    // kQuarantine frees of its size before it is handed out again, filled with the freed
    // pattern meanwhile, so a use after free still shows. None is kept under AddressSanitizer.
    struct Spares {
        std::vector<void*> ring; // a power of two long, or empty
        std::size_t head = 0;
        std::size_t count = 0;
    };
#if defined(__SANITIZE_ADDRESS__)
    static constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    static constexpr bool kAddressSanitizer = true;
#else
    static constexpr bool kAddressSanitizer = false;
#endif
#else
    static constexpr bool kAddressSanitizer = false;
#endif
    static constexpr std::size_t kQuarantine = 8;
    static constexpr std::size_t kLargestSpare = 4096;
    static constexpr std::size_t kMostSpareBytes = std::size_t{4} << 20;
    void* takeSpare(std::size_t size);
    bool keepSpare(void* p, std::size_t size);

    std::map<const void*, Allocation> live_;
    std::vector<std::map<const void*, Allocation>::node_type> spareNodes_; // live_'s nodes
    std::map<std::size_t, Spares> spares_;
    std::size_t spareBytes_ = 0;
    std::uint64_t attempts_[3] = {}; // by Kind
    std::vector<Fault> faults_;
};

// ---- IRPs
// ----------------------------------------------------------------------------------------

// Every IRP the I/O manager handed out. IRPs are carved from chunks the registry owns, one run of
// equal slots of a power of two bytes per stack size, and each slot's record sits in its chunk
// beside it: finding an IRP's record is a range check against the chunk of the last IRP looked up,
// a shift and a mask (a search among the few chunks when that misses), not a hash of every IRP ever
// made. Freed IRPs go to a free list per stack size and are reused oldest first, and only once
// kQuarantine newer ones of that size were freed after them, so a freed IRP stays recognisable as
// freed (use after free, double free) while its memory is still the I/O manager's, and nothing is
// allocated per IRP in steady state. Between slots lies a guard gap, poisoned under
// AddressSanitizer, so a write past an IRP's last stack location is caught as it would be in a
// block of its own.
class IrpRegistry {
  public:
    enum class Origin { Driver, Threaded, Platform };
    struct Info {
        Origin origin = Origin::Driver;
        bool inFlight = false;    // sent down with IofCallDriver and not yet handed back
        std::uint64_t serial = 0; // 0 for a slot never handed out
        bool live = false;
        CCHAR stackSize = 0;
    };
    static constexpr std::size_t kQuarantine = 16;

    IrpRegistry() = default;
    ~IrpRegistry();
    IrpRegistry(const IrpRegistry&) = delete;
    IrpRegistry& operator=(const IrpRegistry&) = delete;

    PIRP allocate(CCHAR stackSize, Origin origin);
    // Frees; reports double free / free in flight.
    void free(PIRP irp, const char* call);
    // Verifies the IRP is live; reports use-after-free or unknown IRP. Returns the info or null.
    Info* check(PIRP irp, const char* call);
    // Looks an IRP up without reporting.
    Info* find(PIRP irp);
    std::size_t liveCount() const { return live_; }
    std::size_t liveCount(Origin origin) const;
    std::uint64_t allocated() const { return serial_; }
    // IRP slots held: live ones and those on the free lists.
    std::size_t blocks() const { return carved_; }

  private:
    struct Chunk {
        unsigned char* base = nullptr;
        unsigned slotShift = 0; // slots of 1 << slotShift bytes: the IRP, then the guard gap
        std::size_t slots = 0;
        std::size_t carved = 0; // slots handed out at least once, from the front
        std::vector<Info> info; // one per slot
    };
    // A slot: the IRP and its record.
    struct Slot {
        PIRP irp = nullptr;
        Info* info = nullptr;
    };
    struct Size {
        std::vector<Chunk*> chunks; // the last one is being carved
        std::vector<Slot> free;     // a ring of a power of two entries: oldest at freeHead
        std::size_t freeHead = 0;
        std::size_t freeCount = 0;
    };
    // The record of the slot `irp` starts, or null when it starts none.
    Info* slotOf(PIRP irp);
    Info* slotInAnyChunk(PIRP irp);
    Chunk* chunkOf(const unsigned char* at) const;
    Slot carve(CCHAR stackSize);
    void pushFree(Size& size, Slot slot);
    void growFree(Size& size);
    Slot popFree(Size& size);

    std::vector<Chunk*> byAddress_; // every chunk, ordered by base address
    Chunk* lastChunk_ = nullptr;    // the chunk of the last IRP looked up
    std::vector<Size> sizes_;       // by stack size
    std::size_t live_ = 0;
    std::size_t carved_ = 0;
    std::uint64_t serial_ = 0;
};

} // namespace host
