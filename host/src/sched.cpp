#include "host/sched.h"

#include <cstdio>
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

Scheduler::Event::~Event() {
    if (scheduler_ != nullptr) {
        scheduler_->forget(*this);
    }
}

void Scheduler::Event::bind(Function function, void* context, const char* what, Level level,
                            bool background) {
    if (armed()) {
        std::fprintf(stderr, "host: scheduler event \"%s\" rebound while armed\n", what_);
        std::abort();
    }
    function_ = function;
    context_ = context;
    what_ = what != nullptr ? what : kUnnamed;
    level_ = level;
    background_ = background;
}

Scheduler::~Scheduler() {
    for (std::size_t i = 0; i < heapSize_; i++) {
        heap_[i]->sequence_ = 0;
    }
    for (Event* event : table_) {
        if (event != nullptr) {
            event->scheduler_ = nullptr;
        }
    }
}

// A record going away: off the queue, and its index free for another.
void Scheduler::forget(Event& event) {
    Guard lock(mutex_);
    if (event.armed()) {
        removeAt(event.position_);
    }
    table_[event.index_] = nullptr;
    freeIndices_.push_back(event.index_);
    event.index_ = Event::kNoIndex;
    event.scheduler_ = nullptr;
}

void Scheduler::makeRoom() {
    if (heapSize_ == heap_.size()) {
        heap_.resize(heap_.empty() ? 16 : 2 * heap_.size());
    }
}

std::uint32_t Scheduler::newIndex(Event& event) {
    std::uint32_t index;
    if (!freeIndices_.empty()) {
        index = freeIndices_.back();
        freeIndices_.pop_back();
        table_[index] = &event;
    } else {
        if (table_.size() >= (std::size_t{1} << kIndexBits)) {
            std::abort(); // more than 16 M events at once: a runaway
        }
        index = static_cast<std::uint32_t>(table_.size());
        table_.push_back(&event);
    }
    event.index_ = index;
    event.scheduler_ = this;
    return index;
}

Scheduler::Event* Scheduler::find(EventId id) {
    const std::size_t index = id & ((std::uint64_t{1} << kIndexBits) - 1);
    if (index >= table_.size()) {
        return nullptr;
    }
    Event* event = table_[index];
    if (event == nullptr || event->sequence_ == 0 || event->sequence_ != id >> kIndexBits) {
        return nullptr;
    }
    return event;
}

const Scheduler::Event* Scheduler::find(EventId id) const {
    return const_cast<Scheduler*>(this)->find(id);
}

// The heap's routines run at every event scheduled, run or cancelled: they are made in line.
inline bool Scheduler::before(const Event* a, const Event* b) {
    return a->when_ != b->when_ ? a->when_ < b->when_ : a->sequence_ < b->sequence_;
}

inline void Scheduler::place(std::size_t position, Event* event) {
    heap_[position] = event;
    event->position_ = static_cast<std::uint32_t>(position);
}

inline void Scheduler::siftUp(std::size_t position) {
    Event* event = heap_[position];
    while (position > 0) {
        const std::size_t parent = (position - 1) / 2;
        if (!before(event, heap_[parent])) {
            break;
        }
        place(position, heap_[parent]);
        position = parent;
    }
    place(position, event);
}

inline void Scheduler::siftDown(std::size_t position) {
    Event* event = heap_[position];
    const std::size_t n = heapSize_;
    for (;;) {
        std::size_t child = 2 * position + 1;
        if (child >= n) {
            break;
        }
        if (child + 1 < n && before(heap_[child + 1], heap_[child])) {
            ++child;
        }
        if (!before(heap_[child], event)) {
            break;
        }
        place(position, heap_[child]);
        position = child;
    }
    place(position, event);
}

// Out of line: with one or two events pending (the usual case) running the earliest needs no
// sift, and step() keeps few registers.
void Scheduler::sinkRoot() {
    siftDown(0);
}

// Takes the event at `position` off the heap and disarms it.
inline void Scheduler::removeAt(std::size_t position) {
    Event* event = heap_[position];
    Event* last = heap_[--heapSize_];
    if (position < heapSize_) {
        // The last event fills the hole and moves up or down, whichever its due time says (the
        // earliest event's hole only down).
        place(position, last);
        if (position > 0 && before(last, heap_[(position - 1) / 2])) {
            siftUp(position);
        } else {
            siftDown(position);
        }
    }
    if (event->background_) [[unlikely]] {
        --background_;
    }
    event->sequence_ = 0;
}

// The same for the earliest event.
inline void Scheduler::popFront() {
    Event* event = heap_[0];
    Event* last = heap_[--heapSize_];
    if (heapSize_ != 0) {
        place(0, last);
        if (heapSize_ > 1) {
            sinkRoot();
        }
    }
    if (event->background_) [[unlikely]] {
        --background_;
    }
    event->sequence_ = 0;
}

inline EventId Scheduler::insert(Event& event, Time when) {
    const Time now = now_.load(std::memory_order_relaxed);
    when = when < now ? now : when;
    const std::uint64_t sequence = nextSequence_++;
    event.when_ = when;
    event.sequence_ = sequence;
    if (event.background_) [[unlikely]] {
        ++background_;
    }
    // Up from the bottom: the new event has the highest sequence number, so it goes above an
    // event only when it is due earlier.
    // (The caller has made room.)
    std::size_t position = heapSize_++;
    while (position > 0) {
        const std::size_t parent = (position - 1) / 2;
        if (when >= heap_[parent]->when_) {
            break;
        }
        place(position, heap_[parent]);
        position = parent;
    }
    place(position, &event);
    return sequence << kIndexBits | event.index_;
}

// The common case, a record not armed on one thread with room in the heap, makes no call.
EventId Scheduler::arm(Event& event, Time when) {
    if (HostLock::threaded() || event.armed() || event.index_ == Event::kNoIndex ||
        heapSize_ == heap_.size()) [[unlikely]] {
        return armOtherwise(event, when);
    }
    return insert(event, when);
}

EventId Scheduler::armOtherwise(Event& event, Time when) {
    Guard lock(mutex_);
    if (event.armed()) {
        removeAt(event.position_);
    } else if (event.index_ == Event::kNoIndex) {
        newIndex(event);
    }
    makeRoom();
    return insert(event, when);
}

bool Scheduler::disarm(Event& event) {
    Guard lock(mutex_);
    if (!event.armed()) {
        return false;
    }
    removeAt(event.position_);
    return true;
}

// A one-off event: runs the slot's Callback where it is, then frees the slot.
void Scheduler::runSlot(void* p) {
    Slot& slot = *static_cast<Slot*>(p);
    slot.fn();
    slot.event.scheduler_->freeSlot(slot);
}

inline void Scheduler::freeSlot(Slot& slot) {
    Guard lock(mutex_);
    slot.fn.reset();
    slot.nextFree = freeSlots_;
    freeSlots_ = &slot;
}

Scheduler::Slot& Scheduler::newSlot() {
    slots_.push_back(std::make_unique<Slot>());
    Slot& slot = *slots_.back();
    slot.event.function_ = runSlot;
    slot.event.context_ = &slot;
    newIndex(slot.event);
    return slot;
}

EventId Scheduler::at(Time when, Callback&& fn, const char* what, Level level, bool background) {
    Guard lock(mutex_);
    Slot* slot = freeSlots_;
    if (slot != nullptr) [[likely]] {
        freeSlots_ = slot->nextFree;
    } else {
        slot = &newSlot();
    }
    makeRoom();
    slot->event.what_ = what != nullptr ? what : Event::kUnnamed;
    slot->event.level_ = level;
    slot->event.background_ = background;
    slot->fn.fill(std::move(fn));
    return insert(slot->event, when);
}

EventId Scheduler::after(Time delay, Callback&& fn, const char* what, Level level,
                         bool background) {
    return at(now() + (delay < 0 ? 0 : delay), std::move(fn), what, level, background);
}

bool Scheduler::cancel(EventId id) {
    Guard lock(mutex_);
    Event* event = find(id);
    if (event == nullptr) {
        return false;
    }
    removeAt(event->position_);
    if (event->function_ == runSlot) {
        freeSlot(*static_cast<Slot*>(event->context_));
    }
    return true;
}

bool Scheduler::pending(EventId id) const {
    Guard lock(mutex_);
    return find(id) != nullptr;
}

Time Scheduler::nextDue() const {
    Guard lock(mutex_);
    return heapSize_ == 0 ? kForever : heap_[0]->when_;
}

bool Scheduler::hasForegroundWork() const {
    Guard lock(mutex_);
    return heapSize_ != background_;
}

std::size_t Scheduler::pendingCount() const {
    Guard lock(mutex_);
    return heapSize_;
}

std::size_t Scheduler::poolSize() const {
    Guard lock(mutex_);
    return slots_.size();
}

bool Scheduler::take(Time limit, Taken& taken) {
    Guard lock(mutex_);
    if (heapSize_ == 0 || heap_[0]->when_ > limit) {
        return false;
    }
    Event& event = *heap_[0];
    now_.store(event.when_, std::memory_order_relaxed);
    taken.function = event.function_;
    taken.context = event.context_;
    taken.what = event.what_;
    taken.level = event.level_;
    popFront();
    ++eventsRun_;
    return true;
}

void Scheduler::run(const Taken& taken) {
    if (taken.level == Level::Driver) {
        taken.function(taken.context);
        return;
    }
    callHostAt(taken.level == Level::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL, taken.what,
               FunctionRef(taken.function, taken.context));
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
    // One thread: nobody else reaches the queue, so the event goes straight from its record to
    // the call without the lock.
    if (heapSize_ == 0) {
        return false;
    }
    Event& event = *heap_[0];
    if (event.when_ > limit) {
        return false;
    }
    now_.store(event.when_, std::memory_order_relaxed);
    ++eventsRun_;
    popFront();
    // Read before the call: the function may arm the record again.
    const Event::Function function = event.function_;
    void* const context = event.context_;
    if (event.level_ == Level::Driver) {
        function(context);
    } else {
        callHostAt(event.level_ == Level::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL, event.what_,
                   FunctionRef(function, context));
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
