// Several processors at once: the host's threaded mode.
//
// By default the host runs on one thread and every run is repeatable (host/sched.h). In threaded
// mode N processor threads take the scheduler's events (DPCs, timers, USB completions, work
// items, the hang check) and run them at the same time, and threads outside them (a test's
// senders, the tool's main loop) call the upper edge concurrently.
//
// The host lock. Host code (the NDIS library, the I/O manager, the bus, the model, the books of
// the verifier) runs under one lock; driver code never does. Every platform routine the driver
// calls takes the lock on entry (HostLock::Hold), and every place where the host calls into
// driver code (a handler, a dispatch or completion routine, a timer function, a work item)
// gives it up for the call (HostLock::Drop), so driver code on several processors overlaps for
// real while the host's own books stay consistent. A processor that spins on a driver spin lock
// gives the lock up while it spins, so a spin never waits on the host lock and the host lock
// never waits on a spin. Code outside the processor threads holds the lock around its calls
// into the host (sends, requests, wire changes). In the single-threaded mode the lock is off
// and Hold and Drop cost a test of one flag.
//
// Time. There is still one virtual clock. The events due at the current instant run concurrently
// on the processors; the clock moves on only when all of them are done and some thread is
// waiting for time to pass (a driver wait or sleep, a runFor), and then to the earliest of the
// next event and the nearest wait deadline. A thread blocked in a wait does not hold the instant
// back; a satisfied wait does until its thread has taken it up. A thread outside the processors
// (a sender) holds the instant back while it runs driver code (a handler it called, and what
// that calls) until the call is back in the host, as an event does: its calls land at whatever
// instant the clock shows, and a wait for them to return (NDIS halting an adapter waits for the
// calls inside the miniport) sees them return at that instant, as on a real machine, instead of
// the clock running on while the thread waits for a real processor. So the clock never runs away
// from threads that are busy, and nothing waits in real time for a timeout: a 5-second USB
// timeout still costs microseconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/sched.h"

namespace host {

class World;

class HostLock {
  public:
    // Whether the host runs threaded.
    static bool threaded() { return threaded_.load(std::memory_order_relaxed); }

    // Holds the host lock for a scope (recursively on one thread).
    class Hold {
      public:
        Hold() : counted_(threaded()) {
            if (counted_) {
                enter();
            }
        }
        ~Hold() {
            if (counted_) {
                leave();
            }
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        bool counted_;
    };

    // Gives the host lock up for a scope (a call into driver code, a spin) if this thread
    // holds it, and takes it back after.
    class Drop {
      public:
        Drop() : saved_(threaded() ? giveUp() : 0) {}
        ~Drop() {
            if (saved_ != 0) {
                takeBack(saved_);
            }
        }
        Drop(const Drop&) = delete;
        Drop& operator=(const Drop&) = delete;

      private:
        unsigned saved_;
    };

  private:
    friend class Processors;
    static void enter();
    static void leave();
    static unsigned giveUp();
    static void takeBack(unsigned depth);
    static std::mutex& mutex();
    static std::atomic<bool> threaded_;
};

// The processor threads and the instant barrier. Made by World::startProcessors.
class Processors : public Clockwork {
  public:
    Processors(World& world, unsigned count);
    // Waits until no event runs and no thread waits, then stops the threads.
    ~Processors() override;
    Processors(const Processors&) = delete;
    Processors& operator=(const Processors&) = delete;

    unsigned count() const { return static_cast<unsigned>(threads_.size()); }

    // Blocks until `satisfied()` holds (true) or the clock reaches `deadline` (false), letting
    // the clock move meanwhile. Any thread; called with or without the host lock held.
    bool waitUntil(const std::function<bool()>& satisfied, Time deadline) override;
    // No event is running on any processor.
    bool quiet() const override;
    // Something a wait may be waiting for has changed (an event was set).
    void wake() override;
    // The calling thread enters driver code, or comes back from it (host::callDriverAt): a
    // thread outside the processors holds the instant back meanwhile; nested calls count once,
    // and a processor running an event holds it already. Any thread, with or without the lock.
    void driverCallEntered();
    void driverCallReturned();

    // The most events that ran at the same time, and the events run.
    unsigned mostAtOnce() const { return mostAtOnce_; }
    std::uint64_t eventsRun() const { return eventsRun_; }

  private:
    struct Waiter {
        const std::function<bool()>* satisfied;
        Time deadline;
        bool ready = false;
    };
    void work(unsigned index);
    bool advance();

    World& world_;
    std::condition_variable changed_;
    std::vector<std::thread> threads_;
    std::vector<Waiter*> waiters_;
    unsigned running_ = 0; // events in progress and not blocked in a wait
    unsigned calls_ = 0;   // threads outside the processors in driver code, not in a wait
    unsigned mostAtOnce_ = 0;
    std::uint64_t eventsRun_ = 0;
    bool stopping_ = false;
};

} // namespace host
