#include "host/sched.h"

#include "host/kernel.h"
#include "host/verifier.h"
#include "host/world.h"

namespace host {

Time Scheduler::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

EventId Scheduler::at(Time when, std::function<void()> fn, std::string what, Level level,
                      bool background) {
    std::lock_guard lock(mutex_);
    if (when < now_) {
        when = now_;
    }
    EventId id = nextId_++;
    queue_.emplace(std::make_pair(when, id),
                   Event{id, std::move(fn), std::move(what), level, background});
    index_.emplace(id, when);
    if (!background) {
        ++foreground_;
    }
    return id;
}

EventId Scheduler::after(Time delay, std::function<void()> fn, std::string what, Level level,
                         bool background) {
    return at(now() + (delay < 0 ? 0 : delay), std::move(fn), std::move(what), level, background);
}

bool Scheduler::cancel(EventId id) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(id);
    if (it == index_.end()) {
        return false;
    }
    auto q = queue_.find(std::make_pair(it->second, id));
    if (!q->second.background) {
        --foreground_;
    }
    queue_.erase(q);
    index_.erase(it);
    return true;
}

bool Scheduler::pending(EventId id) const {
    std::lock_guard lock(mutex_);
    return index_.count(id) != 0;
}

Time Scheduler::nextDue() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() ? kForever : queue_.begin()->first.first;
}

bool Scheduler::hasForegroundWork() const {
    std::lock_guard lock(mutex_);
    return foreground_ != 0;
}

bool Scheduler::step(Time limit) {
    Event event;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty() || queue_.begin()->first.first > limit) {
            return false;
        }
        auto it = queue_.begin();
        now_ = it->first.first;
        event = std::move(it->second);
        queue_.erase(it);
        index_.erase(event.id);
        if (!event.background) {
            --foreground_;
        }
        ++eventsRun_;
    }
    runEvent(event);
    return true;
}

void Scheduler::runEvent(Event& event) {
    KIRQL irql = event.level == Level::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    callDriverAt(irql, event.what.empty() ? "scheduled event" : event.what.c_str(), event.fn);
}

void Scheduler::advanceTo(Time until) {
    while (step(until)) {
    }
    std::lock_guard lock(mutex_);
    if (now_ < until) {
        now_ = until;
    }
}

void Scheduler::runFor(Time duration) {
    advanceTo(now() + duration);
}

void Scheduler::runUntilIdle(Time maxDuration) {
    Time limit = now() + maxDuration;
    while (hasForegroundWork() && step(limit)) {
    }
}

bool Scheduler::runUntil(const std::function<bool()>& done, Time maxDuration) {
    Time limit = now() + maxDuration;
    while (!done()) {
        if (!step(limit)) {
            std::lock_guard lock(mutex_);
            now_ = limit;
            return done();
        }
    }
    return true;
}

} // namespace host
