// The threaded mode: the host lock, the processor threads and the instant barrier (host/smp.h).
#include "host/smp.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "host/kernel.h"
#include "host/world.h"

namespace host {

namespace {

// How deep this thread holds the host lock (0: not at all).
thread_local unsigned t_depth = 0;
// This thread is running a scheduled event for the processors.
thread_local bool t_inEvent = false;
// How deep this thread, outside the processors' events, is in driver calls (0: not at all).
thread_local unsigned t_driverCalls = 0;
// A wait re-checks its condition at least this often, so that a change nobody announced (a
// request completed by the host, a flag the driver set) is seen without a wake().
constexpr auto kRecheck = std::chrono::milliseconds(1);

} // namespace

std::atomic<bool> HostLock::threaded_{false};

std::mutex& HostLock::mutex() {
    static std::mutex m;
    return m;
}

void HostLock::enter() {
    if (t_depth++ == 0) {
        mutex().lock();
    }
}

void HostLock::leave() {
    if (--t_depth == 0) {
        mutex().unlock();
    }
}

unsigned HostLock::giveUp() {
    const unsigned depth = t_depth;
    if (depth != 0) {
        t_depth = 0;
        mutex().unlock();
    }
    return depth;
}

void HostLock::takeBack(unsigned depth) {
    mutex().lock();
    t_depth = depth;
}

Processors::Processors(World& world, unsigned count) : world_(world) {
    if (t_depth != 0 || HostLock::threaded()) {
        std::fprintf(stderr, "host: processors started inside a host call or twice\n");
        std::abort();
    }
    HostLock::threaded_.store(true);
    world_.scheduler().setClockwork(this);
    for (unsigned i = 0; i < std::max(count, 1u); i++) {
        threads_.emplace_back([this, i] { work(i); });
    }
}

Processors::~Processors() {
    if (t_depth != 0) {
        std::fprintf(stderr, "host: processors stopped inside a host call\n");
        std::abort();
    }
    {
        std::unique_lock lock(HostLock::mutex());
        changed_.wait(lock, [this] { return running_ == 0 && waiters_.empty(); });
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
    world_.scheduler().setClockwork(nullptr);
    HostLock::threaded_.store(false);
}

// One processor: takes the events due at the current instant and runs them; when none is due
// and none runs, moves the clock for the threads that wait. Holds the host lock except while
// it waits for work and while driver code runs.
void Processors::work(unsigned) {
    std::unique_lock lock(HostLock::mutex());
    t_depth = 1;
    Scheduler& scheduler = world_.scheduler();
    while (!stopping_) {
        Scheduler::Taken taken;
        if (scheduler.take(scheduler.now(), taken)) {
            ++running_;
            ++eventsRun_;
            mostAtOnce_ = std::max(mostAtOnce_, running_);
            t_inEvent = true;
            Scheduler::run(taken);
            t_inEvent = false;
            // Wake the others when the instant may be over or holds more events.
            if (--running_ == 0 || scheduler.nextDue() <= scheduler.now()) {
                changed_.notify_all();
            }
            continue;
        }
        if (!advance()) {
            changed_.wait_for(lock, kRecheck);
        }
    }
    t_depth = 0;
}

// Moves the clock to the earliest of the next event and the nearest wait deadline, when nothing
// is due or running at this instant (no event, and no thread outside the processors in a driver
// call), some thread waits for time to pass and no waiting thread has its condition met (it acts
// at this instant first). Called with the host lock held.
bool Processors::advance() {
    if (running_ != 0 || calls_ != 0 || waiters_.empty()) {
        return false;
    }
    Scheduler& scheduler = world_.scheduler();
    const Time now = scheduler.now();
    Time target = scheduler.nextDue();
    if (target <= now) {
        return false;
    }
    bool ready = false;
    bool woken = false;
    for (Waiter* waiter : waiters_) {
        if (!waiter->ready && (waiter->deadline <= now || (*waiter->satisfied)())) {
            waiter->ready = true;
            woken = true;
        }
        ready = ready || waiter->ready;
        target = std::min(target, waiter->deadline);
    }
    if (ready || target == kForever) {
        if (woken) {
            changed_.notify_all();
        }
        return false;
    }
    scheduler.setClock(target);
    changed_.notify_all();
    return true;
}

bool Processors::waitUntil(const std::function<bool()>& satisfied, Time deadline) {
    HostLock::Hold hold;
    std::unique_lock lock(HostLock::mutex(), std::adopt_lock);
    Scheduler& scheduler = world_.scheduler();
    // A waiting event, or a waiting thread in a driver call, does not hold the instant back.
    const bool inEvent = t_inEvent;
    const bool inCall = !inEvent && t_driverCalls != 0;
    if (inEvent) {
        --running_;
    }
    if (inCall) {
        --calls_;
    }
    Waiter self{&satisfied, deadline};
    waiters_.push_back(&self);
    changed_.notify_all();
    bool result = false;
    for (;;) {
        if (satisfied()) {
            result = true;
            break;
        }
        if (scheduler.now() >= deadline) {
            break;
        }
        self.ready = false; // not met after all (another thread took it): the clock may go on
        changed_.wait_for(lock, kRecheck);
    }
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
    if (inEvent) {
        ++running_;
        mostAtOnce_ = std::max(mostAtOnce_, running_);
    }
    if (inCall) {
        ++calls_;
    }
    changed_.notify_all();
    lock.release(); // the Hold lets go
    return result;
}

void Processors::driverCallEntered() {
    if (t_inEvent) {
        return;
    }
    HostLock::Hold hold;
    if (t_driverCalls++ == 0) {
        ++calls_;
    }
}

void Processors::driverCallReturned() {
    if (t_inEvent) {
        return;
    }
    HostLock::Hold hold;
    if (--t_driverCalls == 0) {
        --calls_;
        changed_.notify_all(); // the instant may be over
    }
}

bool Processors::quiet() const {
    return running_ == 0;
}

void Processors::wake() {
    HostLock::Hold hold;
    changed_.notify_all();
}

} // namespace host
