#include "host/sched.h"

#include <cstdlib>

#include "host/kernel.h"
#include "host/smp.h"
#include "host/verifier.h"
#include "host/world.h"

namespace host {

namespace {

// The scheduler's own lock, taken only while the host runs threaded: with one thread nobody
// else can reach the queue, and the mode changes only while no processor thread runs.
class Guard {
  public:
    explicit Guard(std::recursive_mutex& mutex) : mutex_(HostLock::threaded() ? &mutex : nullptr) {
        if (mutex_ != nullptr) {
            mutex_->lock();
        }
    }
    ~Guard() {
        if (mutex_ != nullptr) {
            mutex_->unlock();
        }
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    std::recursive_mutex* mutex_;
};

} // namespace

Scheduler::Slot* Scheduler::find(EventId id) {
    std::size_t index = id & ((1u << kSlotBits) - 1);
    if (index >= slots_.size() || slots_[index].sequence == 0 ||
        slots_[index].sequence != id >> kSlotBits) {
        return nullptr;
    }
    return &slots_[index];
}

const Scheduler::Slot* Scheduler::find(EventId id) const {
    return const_cast<Scheduler*>(this)->find(id);
}

// The heap's routines run at every event scheduled, run or cancelled: they are made in line.
inline bool Scheduler::before(std::uint32_t a, std::uint32_t b) const {
    const Slot& x = slots_[a];
    const Slot& y = slots_[b];
    return x.when != y.when ? x.when < y.when : x.sequence < y.sequence;
}

inline void Scheduler::place(std::size_t position, std::uint32_t slot) {
    heap_[position] = slot;
    slots_[slot].position = static_cast<std::uint32_t>(position);
}

inline void Scheduler::siftUp(std::size_t position) {
    std::uint32_t slot = heap_[position];
    while (position > 0) {
        std::size_t parent = (position - 1) / 2;
        if (!before(slot, heap_[parent])) {
            break;
        }
        place(position, heap_[parent]);
        position = parent;
    }
    place(position, slot);
}

inline void Scheduler::siftDown(std::size_t position) {
    std::uint32_t slot = heap_[position];
    std::size_t n = heap_.size();
    for (;;) {
        std::size_t child = 2 * position + 1;
        if (child >= n) {
            break;
        }
        if (child + 1 < n && before(heap_[child + 1], heap_[child])) {
            ++child;
        }
        if (!before(heap_[child], slot)) {
            break;
        }
        place(position, heap_[child]);
        position = child;
    }
    place(position, slot);
}

inline void Scheduler::removeAt(std::size_t position) {
    std::uint32_t slot = heap_[position];
    std::uint32_t last = heap_.back();
    heap_.pop_back();
    if (position < heap_.size()) {
        // The last event fills the hole and moves up or down, whichever its due time says (the
        // earliest event's hole only down).
        place(position, last);
        if (position > 0 && before(last, heap_[(position - 1) / 2])) {
            siftUp(position);
        } else {
            siftDown(position);
        }
    }
    Slot& s = slots_[slot];
    if (!s.background) {
        --foreground_;
    }
    s.sequence = 0;
    s.position = kNoPosition;
    s.fn.reset();
    free_.push_back(slot);
}

std::uint32_t Scheduler::newSlot() {
    if (slots_.size() >= (std::size_t{1} << kSlotBits)) {
        std::abort(); // more than 16 M events pending at once: a runaway
    }
    slots_.emplace_back();
    return static_cast<std::uint32_t>(slots_.size() - 1);
}

inline EventId Scheduler::schedule(Time when, Callback& fn, const char* what, Level level,
                                   bool background) {
    const Time now = now_.load(std::memory_order_relaxed);
    when = when < now ? now : when;
    std::uint32_t index;
    if (!free_.empty()) [[likely]] {
        index = free_.back();
        free_.pop_back();
    } else {
        index = newSlot();
    }
    const std::uint64_t sequence = nextSequence_++;
    Slot& s = slots_[index];
    s.when = when;
    s.sequence = sequence;
    s.what = what;
    s.level = level;
    s.background = background;
    foreground_ += background ? 0 : 1;
    // Up from the bottom: the new event has the highest sequence number, so it goes above an
    // event only when it is due earlier.
    std::size_t position = heap_.size();
    heap_.push_back(index);
    while (position > 0) {
        const std::size_t parent = (position - 1) / 2;
        if (when >= slots_[heap_[parent]].when) {
            break;
        }
        place(position, heap_[parent]);
        position = parent;
    }
    place(position, index);
    // Last, so that little is kept across the call that moves the closure.
    s.fn.fill(std::move(fn));
    return sequence << kSlotBits | index;
}

EventId Scheduler::at(Time when, Callback&& fn, const char* what, Level level, bool background) {
    if (HostLock::threaded()) [[unlikely]] {
        std::lock_guard lock(mutex_);
        return schedule(when, fn, what, level, background);
    }
    return schedule(when, fn, what, level, background);
}

EventId Scheduler::after(Time delay, Callback&& fn, const char* what, Level level,
                         bool background) {
    return at(now() + (delay < 0 ? 0 : delay), std::move(fn), what, level, background);
}

bool Scheduler::cancel(EventId id) {
    Guard lock(mutex_);
    Slot* s = find(id);
    if (s == nullptr) {
        return false;
    }
    removeAt(s->position);
    return true;
}

bool Scheduler::pending(EventId id) const {
    Guard lock(mutex_);
    return find(id) != nullptr;
}

Time Scheduler::nextDue() const {
    Guard lock(mutex_);
    return heap_.empty() ? kForever : slots_[heap_.front()].when;
}

bool Scheduler::hasForegroundWork() const {
    Guard lock(mutex_);
    return foreground_ != 0;
}

std::size_t Scheduler::pendingCount() const {
    Guard lock(mutex_);
    return heap_.size();
}

std::size_t Scheduler::poolSize() const {
    Guard lock(mutex_);
    return slots_.size();
}

inline void Scheduler::popFront() {
    const std::uint32_t slot = heap_.front();
    const std::uint32_t last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) {
        // The last event fills the root's hole and moves down.
        place(0, last);
        siftDown(0);
    }
    Slot& s = slots_[slot];
    foreground_ -= s.background ? 0 : 1;
    s.sequence = 0;
    s.position = kNoPosition;
    free_.push_back(slot);
}

bool Scheduler::take(Time limit, Taken& taken) {
    Guard lock(mutex_);
    if (heap_.empty() || slots_[heap_.front()].when > limit) {
        return false;
    }
    Slot& s = slots_[heap_.front()];
    now_.store(s.when, std::memory_order_relaxed);
    taken.fn = std::move(s.fn);
    taken.what = s.what;
    taken.level = s.level;
    popFront();
    ++eventsRun_;
    return true;
}

void Scheduler::run(Taken& taken) {
    if (taken.level == Level::Driver) {
        taken.fn();
        return;
    }
    KIRQL irql = taken.level == Level::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    callHostAt(irql, taken.what == nullptr ? "scheduled event" : taken.what, taken.fn);
}

void Scheduler::setClock(Time when) {
    Guard lock(mutex_);
    if (now_.load(std::memory_order_relaxed) < when) {
        now_.store(when, std::memory_order_relaxed);
    }
}

bool Scheduler::step(Time limit) {
    if (HostLock::threaded()) [[unlikely]] {
        Taken taken;
        if (!take(limit, taken)) {
            return false;
        }
        run(taken);
        return true;
    }
    // One thread: nobody else reaches the queue, so the event goes straight from its slot to
    // the call without the lock or a record in between.
    if (heap_.empty()) {
        return false;
    }
    Slot& s = slots_[heap_.front()];
    if (s.when > limit) {
        return false;
    }
    now_.store(s.when, std::memory_order_relaxed);
    ++eventsRun_;
    Callback fn(std::move(s.fn));
    const Level level = s.level;
    const char* what = s.what == nullptr ? "scheduled event" : s.what;
    popFront();
    if (level == Level::Driver) {
        fn();
    } else {
        callHostAt(level == Level::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL, what, fn);
    }
    return true;
}

void Scheduler::advanceTo(Time until) {
    if (clockwork_ != nullptr) {
        clockwork_->waitUntil([] { return false; }, until);
        return;
    }
    while (step(until)) {
    }
    Guard lock(mutex_);
    if (now_.load(std::memory_order_relaxed) < until) {
        now_.store(until, std::memory_order_relaxed);
    }
}

void Scheduler::runFor(Time duration) {
    advanceTo(now() + duration);
}

void Scheduler::runUntilIdle(Time maxDuration) {
    Time limit = now() + maxDuration;
    if (clockwork_ != nullptr) {
        clockwork_->waitUntil([this] { return !hasForegroundWork() && clockwork_->quiet(); },
                              limit);
        return;
    }
    while (hasForegroundWork() && step(limit)) {
    }
}

bool Scheduler::runUntil(const std::function<bool()>& done, Time maxDuration) {
    Time limit = now() + maxDuration;
    if (clockwork_ != nullptr) {
        return clockwork_->waitUntil(done, limit);
    }
    while (!done()) {
        if (!step(limit)) {
            Guard lock(mutex_);
            now_.store(limit, std::memory_order_relaxed);
            return done();
        }
    }
    return true;
}

} // namespace host
