// Virtual time: one discrete-event scheduler owns the clock (100 ns units).
//
// Nothing in the host sleeps for real. A wait or a pause in driver code advances the clock to
// the next due event, runs it, and so on until the wait is satisfied or its deadline passes.
// Events are timers, deferred USB completions, device activity and NDIS's periodic hang check.
// Runs are deterministic: events due at the same time run in the order they were scheduled.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "host/usb_device.h"

namespace host {

using Time = usb::Time;
using usb::kMicrosecond;
using usb::kMillisecond;
using usb::kSecond;
constexpr Time kForever = INT64_MAX;

using EventId = std::uint64_t;

class Scheduler {
  public:
    // The IRQL an event runs at. Timers, DPCs and USB completions run at DISPATCH_LEVEL; work
    // items of the PnP manager run at PASSIVE_LEVEL.
    enum class Level { Passive, Dispatch };

    Time now() const;

    // Schedules `fn` at absolute time `when` (not earlier than now). `background` events (the
    // periodic hang check) do not keep runUntilIdle going.
    EventId at(Time when, std::function<void()> fn, std::string what = {},
               Level level = Level::Dispatch, bool background = false);
    EventId after(Time delay, std::function<void()> fn, std::string what = {},
                  Level level = Level::Dispatch, bool background = false);
    // Removes a scheduled event. Returns false when it already ran or was cancelled.
    bool cancel(EventId id);
    bool pending(EventId id) const;
    // Due time of the earliest event, or kForever.
    Time nextDue() const;
    bool hasForegroundWork() const;

    // Runs the earliest event if it is due at or before `limit`, advancing the clock to its time.
    // Returns false (and leaves the clock alone) when there is none.
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

    // Number of events run so far (for tests of the scheduler itself).
    std::uint64_t eventsRun() const { return eventsRun_; }

  private:
    struct Event {
        EventId id;
        std::function<void()> fn;
        std::string what;
        Level level;
        bool background;
    };
    void runEvent(Event& event);

    mutable std::recursive_mutex mutex_;
    Time now_ = 0;
    EventId nextId_ = 1;
    std::uint64_t eventsRun_ = 0;
    // Ordered by (due time, id): equal times run in scheduling order.
    std::map<std::pair<Time, EventId>, Event> queue_;
    std::map<EventId, Time> index_;
    std::size_t foreground_ = 0;
};

} // namespace host
