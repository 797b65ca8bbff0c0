#include "realtime.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace kt735sim {

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void onSignal(int signal) {
    stopSignal = signal;
}

} // namespace

RealTimeLoop::RealTimeLoop(host::Scheduler& scheduler)
    : scheduler_(scheduler), base_(scheduler.now()), start_(std::chrono::steady_clock::now()) {
    stopSignal = 0;
    // The signals stay blocked except inside ppoll(), so one that arrives between two waits is
    // taken by the next wait instead of being missed.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &previousMask_);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
}

RealTimeLoop::~RealTimeLoop() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
    sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

void RealTimeLoop::watch(int fd, std::function<bool()> wanted, std::function<void()> onReadable) {
    watches_.push_back({fd, std::move(wanted), std::move(onReadable)});
}

void RealTimeLoop::every(std::chrono::milliseconds period, std::function<void()> fn) {
    periodic_.push_back({period, std::move(fn), std::chrono::steady_clock::now()});
}

int RealTimeLoop::stoppedBy() const {
    return stopSignal;
}

host::Time RealTimeLoop::wallNow() const {
    auto elapsed = std::chrono::steady_clock::now() - start_;
    return base_ + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

bool RealTimeLoop::runTo(host::Time until) {
    std::vector<pollfd> fds;
    std::vector<Watch*> polled;
    while (stopSignal == 0) {
        // Driver code that waits runs virtual time ahead of the wall clock; then nothing runs
        // until the wall clock catches up.
        host::Time target = std::min(until, wallNow());
        if (target > scheduler_.now()) {
            scheduler_.advanceTo(target);
        }
        if (scheduler_.now() >= until) {
            return true;
        }
        auto now = std::chrono::steady_clock::now();
        for (Periodic& p : periodic_) {
            if (now >= p.next) {
                p.next = now + p.period;
                p.fn();
            }
        }
        fds.clear();
        polled.clear();
        for (Watch& w : watches_) {
            if (w.wanted()) {
                fds.push_back({w.fd, POLLIN, 0});
                polled.push_back(&w);
            }
        }
        host::Time wake = std::min(until, scheduler_.nextDue());
        for (const Periodic& p : periodic_) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(p.next - now);
            wake = std::min(wake, wallNow() + std::max<host::Time>(left.count() / 100, 0));
        }
        host::Time wait = std::max<host::Time>(wake - wallNow(), 0);
        timespec timeout{static_cast<time_t>(wait / host::kSecond),
                         static_cast<long>(wait % host::kSecond * 100)};
        sigset_t unblocked;
        sigprocmask(SIG_SETMASK, nullptr, &unblocked);
        sigdelset(&unblocked, SIGINT);
        sigdelset(&unblocked, SIGTERM);
        int ready = ::ppoll(fds.data(), fds.size(), &timeout, &unblocked);
        if (ready <= 0) {
            continue; // the timeout, or a signal (checked above)
        }
        // Input is taken at the virtual time the wall clock says it arrived.
        target = std::min(until, wallNow());
        if (target > scheduler_.now()) {
            scheduler_.advanceTo(target);
        }
        for (std::size_t i = 0; i < fds.size(); i++) {
            if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                polled[i]->onReadable();
            }
        }
    }
    return false;
}

} // namespace kt735sim
