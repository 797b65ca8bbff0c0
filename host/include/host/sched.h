// Virtual time: one discrete-event scheduler owns the clock (100 ns units).
//
// Nothing in the host sleeps for real. A wait or a pause in driver code advances the clock to
// the next due event, runs it, and so on until the wait is satisfied or its deadline passes.
// Events are timers, deferred USB completions, device activity and NDIS's periodic hang check.
// Runs are deterministic: events due at the same time run in the order they were scheduled.
// An event is a record (Scheduler::Event) that holds its due time, sequence number and heap
// position, and a plain function with its context. A recurring event (a timer, the bus's end of
// frame) is a record its owner keeps, as a KTIMER is, and is armed again and again without
// building a closure. A one-off event scheduled with a Callback gets a record from a pool of
// slots reused through a free list. A binary heap of record pointers orders them all, so
// scheduling, cancelling and running an event allocate nothing once the pool has grown to the
// largest number of events pending at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
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

    // An event its owner keeps and arms any number of times. Owner code arms and disarms it
    // under the host lock (the threaded mode's scheduler reads it under its own). Destroying an
    // armed record disarms it.
    class Event {
      public:
        using Function = void (*)(void* context);
        Event() = default;
        // `what` names the event in verifier reports and must outlive it (a string literal).
        Event(Function function, void* context, const char* what, Level level = Level::Dispatch,
              bool background = false)
            : function_(function), context_(context), what_(what != nullptr ? what : kUnnamed),
              level_(level), background_(background) {}
        ~Event();
        Event(const Event&) = delete;
        Event& operator=(const Event&) = delete;

        // What it runs; only while it is not armed.
        void bind(Function function, void* context, const char* what, Level level = Level::Dispatch,
                  bool background = false);
        bool armed() const { return sequence_ != 0; }
        // When it is due, while it is armed.
        Time due() const { return when_; }

      private:
        friend class Scheduler;
        static constexpr std::uint32_t kNoIndex = UINT32_MAX;
        static constexpr const char* kUnnamed = "scheduled event";
        Time when_ = 0;
        std::uint64_t sequence_ = 0;     // 0 while not armed
        std::uint32_t position_ = 0;     // in the heap, while armed
        std::uint32_t index_ = kNoIndex; // in the scheduler's table, once armed (ids)
        Function function_ = nullptr;
        void* context_ = nullptr;
        const char* what_ = kUnnamed;
        Level level_ = Level::Dispatch;
        bool background_ = false;
        Scheduler* scheduler_ = nullptr; // the one it is in the table of
    };

    Scheduler() = default;
    // Records still armed are left disarmed, and records in the table are let go of.
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // The clock is written under the scheduler's lock and read without it.
    Time now() const { return now_.load(std::memory_order_relaxed); }

    // Schedules `fn` at absolute time `when` (not earlier than now). `background` events (the
    // periodic hang check) do not keep runUntilIdle going. `what` names the event in verifier
    // reports and must outlive it (a string literal).
    EventId at(Time when, Callback&& fn, const char* what = nullptr, Level level = Level::Dispatch,
               bool background = false);
    EventId after(Time delay, Callback&& fn, const char* what = nullptr,
                  Level level = Level::Dispatch, bool background = false);
    // Arms `event` at absolute time `when` (not earlier than now), first taking it off the
    // queue if it is armed: either way it takes a new sequence number, as a cancelled event
    // scheduled again would. The id returned cancels it like any other until it runs or is
    // armed again.
    EventId arm(Event& event, Time when);
    // Takes `event` off the queue. Returns false when it was not armed.
    bool disarm(Event& event);
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
    // An event taken off the queue, to be run.
    struct Taken {
        Event::Function function = nullptr;
        void* context = nullptr;
        const char* what = nullptr;
        Level level = Level::Dispatch;
    };
    // Takes the earliest event due at or before `limit` off the queue, moving the clock to it.
    bool take(Time limit, Taken& taken);
    static void run(const Taken& taken);
    // Moves the clock forward without running anything (the threaded mode's barrier).
    void setClock(Time when);

    // An id is the record's index in the table in the low kIndexBits and its sequence number
    // above it: a stale id (the event ran, was cancelled or re-armed, the index was reused)
    // never matches.
    static constexpr unsigned kIndexBits = 24;
    // A pool record with the Callback it runs. The Callback stays in the slot while it runs,
    // and the slot goes back to the free list after.
    struct Slot {
        Event event;
        Callback fn;
        Slot* nextFree = nullptr;
    };
    static void runSlot(void* slot);
    void freeSlot(Slot& slot);
    Slot& newSlot();
    std::uint32_t newIndex(Event& event);
    void forget(Event& event);
    EventId insert(Event& event, Time when);
    // arm() when the record is armed, has no index yet, the heap is full or the host threaded.
    [[gnu::noinline]] EventId armOtherwise(Event& event, Time when);
    void makeRoom();
    Event* find(EventId id);
    const Event* find(EventId id) const;
    static bool before(const Event* a, const Event* b);
    void place(std::size_t position, Event* event);
    void siftUp(std::size_t position);
    void siftDown(std::size_t position);
    [[gnu::noinline]] void sinkRoot();
    void removeAt(std::size_t position);
    void popFront();

    mutable std::recursive_mutex mutex_;
    std::atomic<Time> now_{0};
    std::uint64_t nextSequence_ = 1;
    std::uint64_t eventsRun_ = 0;
    std::vector<Event*> table_;              // by index: every record that ever needed an id
    std::vector<std::uint32_t> freeIndices_; // of records destroyed
    std::vector<std::unique_ptr<Slot>> slots_;
    Slot* freeSlots_ = nullptr;
    // The heap: the first heapSize_ entries, earliest (due time, sequence) first; the rest is
    // room that only grows.
    std::vector<Event*> heap_;
    std::size_t heapSize_ = 0;
    std::size_t background_ = 0; // pending background events
    Clockwork* clockwork_ = nullptr;
};

} // namespace host
