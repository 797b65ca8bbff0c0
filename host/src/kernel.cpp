// Kernel and HAL services: IRQL, spin locks, events and waits in virtual time, interlocked
// lists and nonpaged pool.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "host/ddk_ndis.h"
#include "host/kernel.h"
#include "host/smp.h"
#include "host/world.h"
#include "report.h"

namespace host {

// The books of one processor, plain arrays in thread-local storage: every spin-lock acquire and
// release and every driver entry updates them, so they allocate nothing and need no
// thread-local constructor check. Nesting deeper than the arrays hold is a runaway (no driver
// holds 64 spin locks at once or is entered 1024 times on one stack) and ends the process.
namespace detail {
constinit thread_local KIRQL t_irql = PASSIVE_LEVEL;
// Locks are nearly always released innermost first, so a release is a pop.
constinit thread_local HeldLocks t_held{};
} // namespace detail

using detail::HeldLocks;
using detail::t_held;
using detail::t_irql;

namespace {

[[noreturn, gnu::noinline]] void tooDeep(const char* what) {
    std::fprintf(stderr, "host: more than %s on one processor\n", what);
    std::abort();
}

// The IRQL each driver entry on this thread's stack was entered at, innermost last: driver code
// may raise and lower again, but never below the level it was called at.
struct EntryLevels {
    static constexpr std::size_t kCapacity = 1024;
    KIRQL level[kCapacity];
    std::size_t count;
};
thread_local EntryLevels t_entry;

// A lock word holds the owning thread's token (never 0) while the lock is held. Tokens are
// registered so that a word holding anything else is recognised as an uninitialised lock.
std::mutex g_tokenMutex;
std::set<KSPIN_LOCK> g_tokens;

thread_local char t_token;
// The token once registered (0 before): one load gives both the token and whether it is.
thread_local KSPIN_LOCK t_registeredToken = 0;

[[gnu::noinline]] KSPIN_LOCK registerToken() {
    std::lock_guard lock(g_tokenMutex);
    g_tokens.insert(reinterpret_cast<KSPIN_LOCK>(&t_token));
    t_registeredToken = reinterpret_cast<KSPIN_LOCK>(&t_token);
    return t_registeredToken;
}

// Taken at every spin-lock acquire and release: the registration is the rare path.
inline KSPIN_LOCK threadToken() {
    const KSPIN_LOCK me = t_registeredToken;
    if (me == 0) [[unlikely]] {
        return registerToken();
    }
    return me;
}

bool isThreadToken(KSPIN_LOCK value) {
    std::lock_guard lock(g_tokenMutex);
    return g_tokens.count(value) != 0;
}

std::string irqlText(KIRQL irql) {
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    case HIGH_LEVEL:
        return "HIGH_LEVEL";
    default:
        return "IRQL " + std::to_string(irql);
    }
}

[[gnu::noinline]] void reportLoweredBelowEntry(KIRQL newIrql, const char* call) {
    report(rule::kIrqlBelowEntry, call,
           "lowered to " + irqlText(newIrql) + " below the entry level " +
               irqlText(t_entry.level[t_entry.count - 1]));
}

// Lowering to `newIrql` keeps at or above the level the innermost driver entry was called at.
inline bool lowerAllowed(KIRQL newIrql) {
    return t_entry.count == 0 || newIrql >= t_entry.level[t_entry.count - 1];
}

// Reports a lowering of the IRQL below the level the innermost driver entry was called at.
// Taken at every spin-lock release: the report is out of line.
inline void checkLowerAllowed(KIRQL newIrql, const char* call) {
    if (!lowerAllowed(newIrql)) [[unlikely]] {
        reportLoweredBelowEntry(newIrql, call);
    }
}

// The threaded mode's deadlock detection: for every pair of driver spin locks some processor
// took nested, the order it took them in. A new order that closes a cycle (A before B here, B
// before A somewhere) is an inversion: two processors taking them so would deadlock.
std::mutex g_orderMutex;
std::map<const void*, std::set<const void*>> g_after; // lock -> locks taken while holding it
std::atomic<std::int64_t> g_holdBound{
    std::chrono::nanoseconds(std::chrono::milliseconds(500)).count()};

std::int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool reaches(const void* from, const void* to, std::set<const void*>& seen) {
    if (from == to) {
        return true;
    }
    auto it = g_after.find(from);
    if (it == g_after.end() || !seen.insert(from).second) {
        return false;
    }
    for (const void* next : it->second) {
        if (reaches(next, to, seen)) {
            return true;
        }
    }
    return false;
}

// Records that this processor takes `lock` while holding the locks in t_held.
void noteOrder(PKSPIN_LOCK lock, const char* call) {
    std::string inversion;
    {
        std::lock_guard guard(g_orderMutex);
        for (std::size_t i = 0; i < t_held.count; ++i) {
            const void* held = t_held.lock[i];
            if (!g_after[held].insert(lock).second) {
                continue;
            }
            std::set<const void*> seen;
            if (inversion.empty() && reaches(lock, held, seen)) {
                inversion = "spin lock " + pointer(lock) + " taken while holding " + pointer(held) +
                            ", but elsewhere " + pointer(held) + " was taken while holding " +
                            pointer(lock) + " (deadlock between two processors)";
            }
        }
    }
    if (!inversion.empty()) {
        report(rule::kLockOrderInversion, call, inversion);
    }
}

[[gnu::noinline]] void reportRecursive(PKSPIN_LOCK lock, const char* call) {
    report(rule::kSpinLockRecursive, call,
           "spin lock " + pointer(lock) + " is already held by this processor (deadlock)");
}

// Takes a lock word that is not free: spins while another processor holds it (threaded mode),
// or reports a word that no processor's token is in (an uninitialised lock) and takes it.
[[gnu::noinline]] void acquireContended(PKSPIN_LOCK lock, const char* call, KSPIN_LOCK me) {
    auto* word = reinterpret_cast<volatile KSPIN_LOCK*>(lock);
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(word, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return;
        }
        if (isThreadToken(expected)) {
            // Held by another processor: spin, without the host lock, which it may need.
            HostLock::Drop drop;
            std::this_thread::yield();
            continue;
        }
        // Neither free nor held by a processor: an uninitialised lock word.
        report(rule::kSpinLockNotOwner, call,
               "spin lock " + pointer(lock) + " was never initialised (word " +
                   std::to_string(expected) + ")");
        __atomic_store_n(word, me, __ATOMIC_RELEASE);
        return;
    }
}

// Taken at every spin-lock acquire: the uncontended path is a test and a store (one processor)
// or a compare-exchange (threaded), and a push.
inline void acquire(PKSPIN_LOCK lock, const char* call) {
    KSPIN_LOCK me = threadToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) [[unlikely]] {
        reportRecursive(lock, call);
        return;
    }
    const bool threaded = HostLock::threaded();
    if (!threaded) [[likely]] {
        // One processor: nobody else can touch the word between the test and the store.
        if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0) [[likely]] {
            __atomic_store_n(lock, me, __ATOMIC_RELAXED);
        } else {
            acquireContended(lock, call, me);
        }
    } else {
        KSPIN_LOCK expected = 0;
        if (!__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                         __ATOMIC_RELAXED)) {
            acquireContended(lock, call, me);
        }
    }
    std::int64_t since = 0;
    if (threaded) [[unlikely]] {
        if (t_held.count != 0) {
            noteOrder(lock, call);
        }
        since = steadyNow();
    }
    if (t_held.count == HeldLocks::kCapacity) [[unlikely]] {
        tooDeep("64 spin locks held");
    }
    t_held.lock[t_held.count] = lock;
    t_held.since[t_held.count] = since;
    ++t_held.count;
}

[[gnu::noinline]] void reportNotOwner(PKSPIN_LOCK lock, const char* call) {
    report(rule::kSpinLockNotOwner, call,
           "spin lock " + pointer(lock) + " released by a processor that does not hold it");
}

[[gnu::noinline]] void checkHeldTime(PKSPIN_LOCK lock, const char* call, std::int64_t since) {
    const std::int64_t held = steadyNow() - since;
    if (held > g_holdBound.load(std::memory_order_relaxed)) {
        report(rule::kSpinLockHeldTooLong, call,
               "spin lock " + pointer(lock) + " held for " + std::to_string(held / 1000) +
                   " us, longer than " + std::to_string(g_holdBound.load() / 1000) + " us");
    }
}

// Takes `lock` out of the held list (it is there: the word held this processor's token).
[[gnu::noinline]] std::int64_t forgetHeldOutOfOrder(PKSPIN_LOCK lock) {
    for (std::size_t i = t_held.count; i-- > 0;) {
        if (t_held.lock[i] == lock) {
            const std::int64_t since = t_held.since[i];
            for (std::size_t j = i + 1; j < t_held.count; ++j) {
                t_held.lock[j - 1] = t_held.lock[j];
                t_held.since[j - 1] = t_held.since[j];
            }
            --t_held.count;
            return since;
        }
    }
    return 0;
}

// Taken at every spin-lock release: the innermost lock is a pop, anything else out of line.
inline void release(PKSPIN_LOCK lock, const char* call) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != threadToken()) [[unlikely]] {
        reportNotOwner(lock, call);
        return;
    }
    std::int64_t since;
    if (t_held.count != 0 && t_held.lock[t_held.count - 1] == lock) [[likely]] {
        --t_held.count;
        since = t_held.since[t_held.count];
    } else {
        since = forgetHeldOutOfOrder(lock);
    }
    if (since != 0) [[unlikely]] {
        checkHeldTime(lock, call, since);
    }
    __atomic_store_n(reinterpret_cast<volatile KSPIN_LOCK*>(lock), 0, __ATOMIC_RELEASE);
}

// The common case on one processor: the lock is free, this thread's token is registered and
// the books have room. Takes the lock and pushes it (true), or changes nothing (false) and the
// caller takes the full path, which makes every check again and reports what it finds.
inline bool takeOnOneProcessor(PKSPIN_LOCK lock) {
    const std::size_t n = t_held.count;
    const KSPIN_LOCK me = t_registeredToken;
    if (HostLock::threaded() || me == 0 || n == HeldLocks::kCapacity ||
        __atomic_load_n(lock, __ATOMIC_RELAXED) != 0) [[unlikely]] {
        return false;
    }
    __atomic_store_n(lock, me, __ATOMIC_RELAXED);
    t_held.lock[n] = lock;
    t_held.since[n] = 0;
    t_held.count = n + 1;
    return true;
}

// The common release on one processor: `lock` is the innermost one held and its word holds
// this thread's token. Pops and frees it (true), or changes nothing (false).
inline bool dropOnOneProcessor(PKSPIN_LOCK lock) {
    const std::size_t n = t_held.count;
    // An unregistered token (0) never matches: a held word is not 0.
    if (HostLock::threaded() || n == 0 || t_held.lock[n - 1] != lock ||
        __atomic_load_n(lock, __ATOMIC_RELAXED) != t_registeredToken) [[unlikely]] {
        return false;
    }
    t_held.count = n - 1;
    __atomic_store_n(lock, 0, __ATOMIC_RELAXED);
    return true;
}

} // namespace

void setIrql(KIRQL irql) {
    t_irql = irql;
}

IrqlScope::IrqlScope(KIRQL irql) : saved_(t_irql) {
    t_irql = irql;
}
IrqlScope::~IrqlScope() {
    t_irql = saved_;
}

[[gnu::noinline, gnu::cold]] void detail::reportLocksHeld(const char* call) {
    report(rule::kLockHeldAcrossCall, call,
           std::to_string(t_held.count) + " spin lock(s) held, innermost " +
               pointer(t_held.lock[t_held.count - 1]));
}

void setSpinLockHoldBound(std::int64_t nanoseconds) {
    g_holdBound.store(nanoseconds);
}

void forgetLockOrder() {
    std::lock_guard guard(g_orderMutex);
    g_after.clear();
}

namespace {
// Memory going away takes the locks in it out of the order records, so that a lock at a
// reused address starts afresh (as Driver Verifier forgets locks in freed pool).
void forgetLocksIn(const void* p, std::size_t size) {
    auto* begin = static_cast<const char*>(p);
    auto inside = [&](const void* lock) {
        auto* at = static_cast<const char*>(lock);
        return at >= begin && at < begin + size;
    };
    std::lock_guard guard(g_orderMutex);
    for (auto it = g_after.begin(); it != g_after.end();) {
        if (inside(it->first)) {
            it = g_after.erase(it);
            continue;
        }
        std::erase_if(it->second, inside);
        ++it;
    }
}
} // namespace

namespace {
// What a routine left behind on return, reported out of line: every driver entry checks it.
[[gnu::noinline, gnu::cold]] void reportEntryExit(const char* what, KIRQL irql, std::size_t held) {
    if (t_irql != irql) {
        report(rule::kIrqlNotRestored, what,
               "returned at " + irqlText(t_irql) + ", entered at " + irqlText(irql));
    }
    if (t_held.count > held) {
        report(rule::kSpinLockHeldOnReturn, what,
               "returned holding spin lock " + pointer(t_held.lock[t_held.count - 1]));
        t_held.count = held;
    }
}

// Driver code entered in the threaded mode: a thread outside the processors holds the instant
// while it is in the driver (an event on a processor holds it already), and the body runs
// without the host lock. Out of line: on one processor the entry saves no registers for it.
[[gnu::noinline]] void runDriverThreaded(FunctionRef body) {
    Processors* processors = world().processors();
    if (processors != nullptr) {
        processors->driverCallEntered();
    }
    {
        HostLock::Drop drop; // driver code runs without the host lock
        body();
    }
    if (processors != nullptr) {
        processors->driverCallReturned();
    }
}

void enterAt(KIRQL irql, const char* what, FunctionRef body, bool driver) {
    KIRQL saved = t_irql;
    std::size_t held = t_held.count;
    t_irql = irql;
    if (t_entry.count == EntryLevels::kCapacity) [[unlikely]] {
        tooDeep("1024 nested driver entries");
    }
    t_entry.level[t_entry.count++] = irql;
    if (driver && HostLock::threaded()) [[unlikely]] {
        runDriverThreaded(body);
    } else {
        body(); // on one processor the host lock is off: driver code needs no drop of it
    }
    --t_entry.count;
    if (t_irql != irql || t_held.count > held) [[unlikely]] {
        reportEntryExit(what, irql, held);
    }
    t_irql = saved;
}
} // namespace

void callDriverAt(KIRQL irql, const char* what, FunctionRef body) {
    enterAt(irql, what, body, true);
}

void callHostAt(KIRQL irql, const char* what, FunctionRef body) {
    enterAt(irql, what, body, false);
}

HangWatch::HangWatch(const char* call, Time bound) {
    event_ = world().scheduler().after(
        bound,
        [call, bound] {
            const std::string message =
                "did not return within " + std::to_string(bound / kSecond) + " s of virtual time";
            world().verifier().report(rule::kCallHung, call, message);
            std::fprintf(stderr, "host: %s %s: %s\n", rule::kCallHung, call, message.c_str());
            std::abort();
        },
        "hang watch", Scheduler::Level::Dispatch, true);
}

HangWatch::~HangWatch() {
    world().scheduler().cancel(event_);
}

Time deadlineFromInterval(const LARGE_INTEGER* interval) {
    if (interval == nullptr) {
        return kForever;
    }
    Time now = world().now();
    if (interval->QuadPart <= 0) {
        return now - interval->QuadPart;
    }
    return interval->QuadPart < now ? now : interval->QuadPart;
}

bool waitUntil(const std::function<bool()>& satisfied, Time deadline, const char* call) {
    Scheduler& s = world().scheduler();
    // An unbounded wait that nothing satisfies for a virtual hour is a hang.
    Time limit = deadline == kForever ? s.now() + 3600 * kSecond : deadline;
    if (Clockwork* clockwork = s.clockwork()) {
        const bool satisfiedInTime = clockwork->waitUntil(satisfied, limit);
        if (!satisfiedInTime && deadline == kForever) {
            report(rule::kWaitNeverSatisfied, call,
                   "unbounded wait not satisfied after an hour of virtual time");
        }
        return satisfiedInTime;
    }
    while (!satisfied()) {
        if (!s.step(limit)) {
            s.advanceTo(limit);
            if (satisfied()) {
                return true;
            }
            if (deadline == kForever) {
                report(rule::kWaitNeverSatisfied, call,
                       "unbounded wait not satisfied after an hour of virtual time");
            }
            return false;
        }
    }
    return true;
}

// ---- memory
// --------------------------------------------------------------------------------------

Memory::~Memory() {
    for (auto& [p, a] : live_) {
        std::free(const_cast<void*>(p));
    }
    for (auto& [size, spares] : spares_) {
        for (std::size_t i = 0; i < spares.count; ++i) {
            std::free(spares.ring[(spares.head + i) & (spares.ring.size() - 1)]);
        }
    }
}

// The oldest spare of `size` once more than kQuarantine wait, else null.
void* Memory::takeSpare(std::size_t size) {
    auto it = spares_.find(size);
    if (it == spares_.end() || it->second.count <= kQuarantine) {
        return nullptr;
    }
    Spares& spares = it->second;
    void* p = spares.ring[spares.head];
    spares.head = (spares.head + 1) & (spares.ring.size() - 1);
    --spares.count;
    spareBytes_ -= size;
    return p;
}

// Keeps a freed block (already filled with the freed pattern) for reuse; false when it is too
// large or the spares already hold their bound of memory. Under AddressSanitizer every block
// goes back to the C library, whose quarantine keeps it poisoned far longer than the spares.
bool Memory::keepSpare(void* p, std::size_t size) {
    if (kAddressSanitizer || size == 0 || size > kLargestSpare ||
        spareBytes_ + size > kMostSpareBytes) {
        return false;
    }
    Spares& spares = spares_[size];
    if (spares.count == spares.ring.size()) {
        std::vector<void*> grown(std::max<std::size_t>(2 * kQuarantine, 2 * spares.ring.size()));
        for (std::size_t i = 0; i < spares.count; ++i) {
            grown[i] = spares.ring[(spares.head + i) & (spares.ring.size() - 1)];
        }
        spares.ring = std::move(grown);
        spares.head = 0;
    }
    spares.ring[(spares.head + spares.count) & (spares.ring.size() - 1)] = p;
    ++spares.count;
    spareBytes_ += size;
    return true;
}

bool Memory::attemptFailsWatched(Kind kind, std::size_t size, ULONG tag) {
    const Allocation a{kind, size, tag};
    ++attempts_[static_cast<std::size_t>(kind)];
    if (onAttempt) {
        onAttempt(a);
    }
    // One fault acts on an attempt; the others that match count it all the same.
    bool fails = false;
    for (Fault& f : faults_) {
        if ((f.kind && *f.kind != kind) || (f.tag && *f.tag != tag)) {
            continue;
        }
        if (f.count.take(f.nth, f.times, !fails)) {
            fails = true;
            if (onFault) {
                onFault(a);
            }
        }
    }
    return fails;
}

void* Memory::allocate(Kind kind, std::size_t size, ULONG tag) {
    if (attemptFails(kind, size, tag) || size > kLargestAllocation) {
        return nullptr;
    }
    void* p = takeSpare(size);
    if (p == nullptr) {
        p = std::malloc(size == 0 ? 1 : size);
        if (p == nullptr) {
            return nullptr;
        }
    }
    std::memset(p, kFillPattern, size);
    if (spareNodes_.empty()) {
        live_.emplace(p, Allocation{kind, size, tag});
    } else {
        auto node = std::move(spareNodes_.back());
        spareNodes_.pop_back();
        node.key() = p;
        node.mapped() = Allocation{kind, size, tag};
        live_.insert(std::move(node));
    }
    return p;
}

void Memory::free(Kind kind, void* p, const char* call, std::size_t size, bool checkSize) {
    auto it = live_.find(p);
    if (it == live_.end()) {
        report(rule::kPoolFreeUnknown, call,
               "free of " + pointer(p) + ", which is not a live allocation (double free?)");
        return;
    }
    if (it->second.kind != kind) {
        report(rule::kPoolFreeMismatch, call,
               "memory " + pointer(p) + " was allocated by another allocator");
    }
    if (checkSize && it->second.size != size) {
        report(rule::kPoolFreeMismatch, call,
               "length " + std::to_string(size) + " differs from the allocated " +
                   std::to_string(it->second.size));
    }
    std::size_t allocated = it->second.size;
    if (spareNodes_.size() < 64) {
        spareNodes_.push_back(live_.extract(it));
    } else {
        live_.erase(it);
    }
    if (HostLock::threaded()) {
        forgetLocksIn(p, allocated);
    }
    if (onFree) {
        onFree(p, allocated);
    }
    std::memset(p, kFreedPattern, allocated);
    if (!keepSpare(p, allocated)) {
        std::free(p);
    }
}

bool Memory::owns(const void* p) const {
    return live_.count(p) != 0;
}

const Memory::Allocation* Memory::find(const void* p) const {
    auto it = live_.find(p);
    return it == live_.end() ? nullptr : &it->second;
}

void Memory::failNth(Kind kind, std::uint64_t nth, std::uint32_t times) {
    faults_.push_back({kind, std::nullopt, nth, times, {}});
}

void Memory::failTag(ULONG tag, std::uint64_t nth, std::uint32_t times) {
    faults_.push_back({std::nullopt, tag, nth, times, {}});
}

std::uint64_t Memory::attempts(Kind kind) const {
    return attempts_[static_cast<std::size_t>(kind)];
}

std::map<ULONG, std::pair<std::size_t, std::size_t>> Memory::outstanding(Kind kind) const {
    std::map<ULONG, std::pair<std::size_t, std::size_t>> out;
    for (const auto& [p, a] : live_) {
        if (a.kind == kind) {
            out[a.tag].first += 1;
            out[a.tag].second += a.size;
        }
    }
    return out;
}

std::string Memory::tagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

std::string Memory::leakReport(Kind kind) const {
    std::string out;
    for (const auto& [tag, counts] : outstanding(kind)) {
        out += "tag '" + tagText(tag) + "': " + std::to_string(counts.first) + " allocation(s), " +
               std::to_string(counts.second) + " bytes\n";
    }
    return out;
}

} // namespace host

using namespace host;

// ---- HAL
// ---------------------------------------------------------------------------------------------

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return t_irql;
}

extern "C" VOID NTAPI HostPagedCode(const char* routine) {
    if (t_irql > APC_LEVEL) {
        report(rule::kPagedCodeAtRaisedIrql, routine,
               "pageable code entered at " + irqlText(t_irql) + "; must be at or below APC_LEVEL");
    }
}

namespace {
// The IRQL routines' reports, out of line: the routines run at every lock and raise.
[[gnu::noinline]] void reportRaiseLower(const char* call, const char* verb, KIRQL newIrql,
                                        const char* relation) {
    report(rule::kIrqlRaiseLower, call,
           std::string(verb) + " to " + irqlText(newIrql) + " from the " + relation + " " +
               irqlText(t_irql));
}
[[gnu::noinline]] void reportSpinLockIrql(const char* call, const char* requirement) {
    report(rule::kSpinLockIrql, call, "called at " + irqlText(t_irql) + "; " + requirement);
}
} // namespace

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = t_irql;
    if (NewIrql < old) [[unlikely]] {
        reportRaiseLower("KfRaiseIrql", "raise", NewIrql, "higher");
    }
    t_irql = NewIrql;
    return old;
}

namespace {
[[gnu::noinline]] void lowerFully(KIRQL NewIrql) {
    if (NewIrql > t_irql) {
        reportRaiseLower("KfLowerIrql", "lower", NewIrql, "lower");
    }
    checkLowerAllowed(NewIrql, "KfLowerIrql");
    t_irql = NewIrql;
}
} // namespace

// A lowering that keeps every rule is a store; any other goes the full way and is reported.
extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    if (NewIrql <= t_irql && lowerAllowed(NewIrql)) [[likely]] {
        t_irql = NewIrql;
        return;
    }
    lowerFully(NewIrql);
}

// ---- spin locks
// ----------------------------------------------------------------------------------------

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

// Each spin-lock routine tries the one-processor path first: a few tests and stores with every
// check of the full path, which it leaves (a tail call) as soon as any of them does not hold.
namespace {
[[gnu::noinline]] void acquireAtDpcLevelFully(PKSPIN_LOCK SpinLock) {
    if (t_irql != DISPATCH_LEVEL) {
        reportSpinLockIrql("KefAcquireSpinLockAtDpcLevel", "must be DISPATCH_LEVEL");
    }
    acquire(SpinLock, "KefAcquireSpinLockAtDpcLevel");
}

[[gnu::noinline]] void releaseFromDpcLevelFully(PKSPIN_LOCK SpinLock) {
    if (t_irql != DISPATCH_LEVEL) {
        reportSpinLockIrql("KefReleaseSpinLockFromDpcLevel", "must be DISPATCH_LEVEL");
    }
    release(SpinLock, "KefReleaseSpinLockFromDpcLevel");
}

[[gnu::noinline]] KIRQL acquireRaisingFully(PKSPIN_LOCK SpinLock) {
    KIRQL old = t_irql;
    if (old > DISPATCH_LEVEL) {
        reportSpinLockIrql("KfAcquireSpinLock", "must be at or below DISPATCH_LEVEL");
    }
    t_irql = DISPATCH_LEVEL;
    acquire(SpinLock, "KfAcquireSpinLock");
    return old;
}

[[gnu::noinline]] void releaseLoweringFully(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (t_irql != DISPATCH_LEVEL) {
        reportSpinLockIrql("KfReleaseSpinLock", "the lock raised to DISPATCH_LEVEL");
    }
    release(SpinLock, "KfReleaseSpinLock");
    checkLowerAllowed(NewIrql, "KfReleaseSpinLock");
    t_irql = NewIrql;
}
} // namespace

namespace {
// The four routines' bodies, in line in the kernel's routines and in NDIS's, which keep the old
// IRQL in the lock (NdisAcquireSpinLock is KfAcquireSpinLock, not a call to it).
inline void acquireAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_irql == DISPATCH_LEVEL && takeOnOneProcessor(SpinLock)) [[likely]] {
        return;
    }
    acquireAtDpcLevelFully(SpinLock);
}

inline void releaseFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_irql == DISPATCH_LEVEL && dropOnOneProcessor(SpinLock)) [[likely]] {
        return;
    }
    releaseFromDpcLevelFully(SpinLock);
}

inline KIRQL acquireRaising(PKSPIN_LOCK SpinLock) {
    const KIRQL old = t_irql;
    if (old <= DISPATCH_LEVEL && takeOnOneProcessor(SpinLock)) [[likely]] {
        t_irql = DISPATCH_LEVEL;
        return old;
    }
    return acquireRaisingFully(SpinLock);
}

inline void releaseLowering(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (t_irql == DISPATCH_LEVEL && lowerAllowed(NewIrql) && dropOnOneProcessor(SpinLock))
        [[likely]] {
        t_irql = NewIrql;
        return;
    }
    releaseLoweringFully(SpinLock, NewIrql);
}
} // namespace

extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    acquireAtDpcLevel(SpinLock);
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    releaseFromDpcLevel(SpinLock);
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    return acquireRaising(SpinLock);
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    releaseLowering(SpinLock, NewIrql);
}

// NDIS's spin locks are the kernel's with the IRQL to restore kept beside the word. They live
// here so that the driver's most frequent calls take the same in-line path as the kernel's.
namespace {
[[gnu::noinline]] void ndisAcquireFully(PNDIS_SPIN_LOCK SpinLock) {
    SpinLock->OldIrql = acquireRaisingFully(&SpinLock->SpinLock);
}
} // namespace

// The full path keeps the old IRQL in the lock itself: the common path is then a leaf.
extern "C" VOID NTAPI NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    const KIRQL old = t_irql;
    if (old <= DISPATCH_LEVEL && takeOnOneProcessor(&SpinLock->SpinLock)) [[likely]] {
        t_irql = DISPATCH_LEVEL;
        SpinLock->OldIrql = old;
        return;
    }
    ndisAcquireFully(SpinLock);
}

extern "C" VOID NTAPI NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    releaseLowering(&SpinLock->SpinLock, SpinLock->OldIrql);
}

extern "C" VOID NTAPI NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    acquireAtDpcLevel(&SpinLock->SpinLock);
}

extern "C" VOID NTAPI NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    releaseFromDpcLevel(&SpinLock->SpinLock);
}

// ---- interlocked lists
// ------------------------------------------------------------------------------

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead,
                                                             PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock) {
    KIRQL old = KfAcquireSpinLock(Lock);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? NULL : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KfReleaseSpinLock(Lock, old);
    return previous;
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead,
                                                             PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock) {
    KIRQL old = KfAcquireSpinLock(Lock);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? NULL : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KfReleaseSpinLock(Lock, old);
    return previous;
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead,
                                                             PKSPIN_LOCK Lock) {
    KIRQL old = KfAcquireSpinLock(Lock);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? NULL : RemoveHeadList(ListHead);
    KfReleaseSpinLock(Lock, old);
    return entry;
}

// ---- interlocked operations
// ------------------------------------------------------------------------

extern "C" LONG FASTCALL InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                    LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---- events and waits
// ----------------------------------------------------------------------------------

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, LONG, BOOLEAN) {
    LONG previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
    if (HostLock::threaded()) {
        if (Clockwork* clockwork = world().scheduler().clockwork()) {
            clockwork->wake();
        }
    }
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
    __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_RELEASE);
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
    return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_ACQ_REL);
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE,
                                                BOOLEAN, PLARGE_INTEGER Timeout) {
    auto* event = static_cast<PRKEVENT>(Object);
    bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
    if (t_irql > APC_LEVEL && !(zeroTimeout && t_irql == DISPATCH_LEVEL)) {
        report(rule::kWaitAtRaisedIrql, "KeWaitForSingleObject",
               "wait at " + irqlText(t_irql) +
                   "; only a zero timeout is allowed at DISPATCH_LEVEL");
    }
    bool signalled = waitUntil(
        [event] { return __atomic_load_n(&event->Header.SignalState, __ATOMIC_ACQUIRE) != 0; },
        deadlineFromInterval(Timeout), "KeWaitForSingleObject");
    if (!signalled) {
        return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent) {
        __atomic_store_n(&event->Header.SignalState, 0, __ATOMIC_RELEASE);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN,
                                                 PLARGE_INTEGER Interval) {
    if (t_irql > APC_LEVEL) {
        report(rule::kWaitAtRaisedIrql, "KeDelayExecutionThread",
               "delay at " + irqlText(t_irql) + "; must be at or below APC_LEVEL");
    }
    world().scheduler().advanceTo(deadlineFromInterval(Interval));
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                                PCHAR Message) {
    std::ostringstream text;
    text << static_cast<const char*>(FailedAssertion) << " at "
         << static_cast<const char*>(FileName) << ":" << LineNumber;
    if (Message != nullptr) {
        text << ": " << Message;
    }
    report(rule::kDriverAssertion, "RtlAssert", text.str());
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = world().now();
}

// ---- pool
// ---------------------------------------------------------------------------------------------

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
    HostLock::Hold hold;
    if (t_irql > DISPATCH_LEVEL) {
        report(rule::kWaitAtRaisedIrql, "ExAllocatePoolWithTag", "called above DISPATCH_LEVEL");
    }
    return world().memory().allocate(Memory::Kind::Pool, NumberOfBytes, Tag);
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E); // "None"
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    HostLock::Hold hold;
    world().memory().free(Memory::Kind::Pool, P, "ExFreePool");
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    HostLock::Hold hold;
    const Memory::Allocation* a = world().memory().find(P);
    if (a != nullptr && a->tag != Tag) {
        report(rule::kPoolFreeMismatch, "ExFreePoolWithTag",
               "tag '" + Memory::tagText(Tag) + "' differs from the allocation's '" +
                   Memory::tagText(a->tag) + "'");
    }
    world().memory().free(Memory::Kind::Pool, P, "ExFreePoolWithTag");
}
