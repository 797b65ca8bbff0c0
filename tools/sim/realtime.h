// Real time for kt735sim's TAP mode: virtual time follows the wall clock. The loop runs each
// scheduler event when it falls due and, between events, waits in poll() for input on the
// descriptors it watches. SIGINT and SIGTERM end the wait and stop the run.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <vector>

#include <host/sched.h>

namespace kt735sim {

class RealTimeLoop {
  public:
    // Virtual time `scheduler.now()` is taken to be this moment of the wall clock. SIGINT and
    // SIGTERM are caught from here until the loop is destroyed.
    explicit RealTimeLoop(host::Scheduler& scheduler);
    ~RealTimeLoop();
    RealTimeLoop(const RealTimeLoop&) = delete;
    RealTimeLoop& operator=(const RealTimeLoop&) = delete;

    // Calls `onReadable` (outside any scheduler event) when `fd` has input and `wanted()` holds;
    // while it does not, the descriptor's input waits in the kernel.
    void watch(int fd, std::function<bool()> wanted, std::function<void()> onReadable);
    // Calls `fn` outside any scheduler event about every `period` of wall-clock time.
    void every(std::chrono::milliseconds period, std::function<void()> fn);

    // Runs events as they fall due until virtual time `until`; false when a signal stopped it.
    bool runTo(host::Time until);
    // The signal that stopped the run (SIGINT, SIGTERM), or 0.
    int stoppedBy() const;

  private:
    host::Time wallNow() const; // the virtual time the wall clock stands at
    struct Watch {
        int fd;
        std::function<bool()> wanted;
        std::function<void()> onReadable;
    };
    struct Periodic {
        std::chrono::milliseconds period;
        std::function<void()> fn;
        std::chrono::steady_clock::time_point next;
    };
    host::Scheduler& scheduler_;
    host::Time base_;
    std::chrono::steady_clock::time_point start_;
    std::vector<Watch> watches_;
    std::vector<Periodic> periodic_;
    sigset_t previousMask_;
    struct sigaction previousInt_;
    struct sigaction previousTerm_;
};

} // namespace kt735sim
