// Virtual time: one discrete-event scheduler owns the clock (100 ns units).
//
// Nothing in the host sleeps for real. A wait or a pause in driver code advances the clock to
// the next due event, runs it, and so on until the wait is satisfied or its deadline passes.
// Events are timers, deferred USB completions, device activity and NDIS's periodic hang check.
// Runs are deterministic: events due at the same time run in the order they were scheduled.
// Events live in a pool of slots reused through a free list and are ordered by a binary heap that
// knows each slot's position, so scheduling, cancelling and running an event allocate nothing
// once the pool has grown to the largest number of events pending at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "host/callback.h"
#include "host/usb_device.h"

namespace host {

using Time = usb::Time;
using usb::kMicrosecond;
using usb::kMillisecond;
using usb::kSecond;
constexpr Time kForever = INT64_MAX;

using EventId = std::uint64_t;

// What drives the clock in the threaded mode (host/smp.h): processor threads run the events, and
// a wait blocks until its condition holds or the clock reaches its deadline.
class Clockwork {
  public:
    virtual ~Clockwork() = default;
    virtual bool waitUntil(const std::function<bool()>& satisfied, Time deadline) = 0;
    // No event is running.
    virtual bool quiet() const = 0;
    virtual void wake() = 0;
};

class Scheduler {
  public:
    // The IRQL an event runs at. Timers, DPCs and USB completions run at DISPATCH_LEVEL; work
    // items of the PnP manager run at PASSIVE_LEVEL. A `Driver` event is host code that only
    // keeps its books and calls one driver routine through callDriverAt, which sets the IRQL
    // and checks the routine's return: it is called as it is, without a host entry around it.
    enum class Level { Passive, Dispatch, Driver };

    // The clock is written under the scheduler's lock and read without it.
    Time now() const { return now_.load(std::memory_order_relaxed); }

    // Schedules `fn` at absolute time `when` (not earlier than now). `background` events (the
    // periodic hang check) do not keep runUntilIdle going. `what` names the event in verifier
    // reports and must outlive it (a string literal).
    EventId at(Time when, Callback&& fn, const char* what = nullptr, Level level = Level::Dispatch,
               bool background = false);
    EventId after(Time delay, Callback&& fn, const char* what = nullptr,
                  Level level = Level::Dispatch, bool background = false);
    // Removes a scheduled event. Returns false when it already ran or was cancelled.
    bool cancel(EventId id);
    bool pending(EventId id) const;
    // Due time of the earliest event, or kForever.
    Time nextDue() const;
    bool hasForegroundWork() const;

    // Runs the earliest event if it is due at or before `limit`, advancing the clock to its time.
    // Returns false (and leaves the clock alone) when there is none. Single-threaded mode only.
    bool step(Time limit);
    // Runs everything due within `duration` and leaves the clock at now + duration.
    void runFor(Time duration);
    // Runs until no foreground event is left, or until `maxDuration` has passed.
    void runUntilIdle(Time maxDuration = 3600 * kSecond);
    // Runs events until `done()` holds (checked before each event), or `maxDuration` has passed.
    // Returns whether it holds.
    bool runUntil(const std::function<bool()>& done, Time maxDuration = 3600 * kSecond);
    // Advances the clock to `until`, running every event due on the way (a pause of the caller).
    void advanceTo(Time until);
    // In the threaded mode these waits block on the clockwork instead of running events here.
    void setClockwork(Clockwork* clockwork) { clockwork_ = clockwork; }
    Clockwork* clockwork() const { return clockwork_; }

    // Number of events run so far (for tests of the scheduler itself).
    std::uint64_t eventsRun() const { return eventsRun_; }
    // Number of events pending, and the size of the slot pool (the most ever pending at once).
    std::size_t pendingCount() const;
    std::size_t poolSize() const;

  private:
    friend class Processors;
    struct Taken {
        Callback fn;
        const char* what = nullptr;
        Level level = Level::Dispatch;
    };
    // Takes the earliest event due at or before `limit` off the queue, moving the clock to it.
    bool take(Time limit, Taken& taken);
    static void run(Taken& taken);
    // Moves the clock forward without running anything (the threaded mode's barrier).
    void setClock(Time when);

    // An id is the slot's index in the low kSlotBits and the event's sequence number above it:
    // a stale id (the event ran or was cancelled, the slot was reused) never matches.
    static constexpr unsigned kSlotBits = 24;
    static constexpr std::uint32_t kNoPosition = UINT32_MAX;
    // Two cache lines: a slot's address is its index shifted, and no slot straddles a third.
    struct alignas(64) Slot {
        Time when = 0;
        std::uint64_t sequence = 0; // 0 while the slot is free
        Callback fn;
        const char* what = nullptr;
        Level level = Level::Dispatch;
        bool background = false;
        std::uint32_t position = kNoPosition; // index in heap_
    };
    EventId schedule(Time when, Callback& fn, const char* what, Level level, bool background);
    std::uint32_t newSlot();
    Slot* find(EventId id);
    const Slot* find(EventId id) const;
    bool before(std::uint32_t a, std::uint32_t b) const;
    void place(std::size_t position, std::uint32_t slot);
    void siftUp(std::size_t position);
    void siftDown(std::size_t position);
    void removeAt(std::size_t position); // takes the slot's event off the heap and frees the slot
    void popFront(); // the same for the earliest event, whose callback has been moved out

    mutable std::recursive_mutex mutex_;
    std::atomic<Time> now_{0};
    std::uint64_t nextSequence_ = 1;
    std::uint64_t eventsRun_ = 0;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_;
    std::vector<std::uint32_t> heap_; // slot indices, earliest (due time, sequence) first
    std::size_t foreground_ = 0;
    Clockwork* clockwork_ = nullptr;
};

} // namespace host
