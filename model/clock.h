// Virtual time as the chip sees it: everything timed inside the model (MII and EEPROM cycles,
// auto-negotiation, bulk-in delivery, peers' replies) runs on the bus's clock through this.
#pragma once

#include <host/usb_device.h>

#include <cstdint>

namespace kt735::model {

using host::usb::Time;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual Time now() const = 0;
    // False while the device is not on a bus: time stands still and nothing can be scheduled.
    virtual bool running() const = 0;
    virtual std::uint64_t schedule(Time delay, host::Callback fn) = 0;
    virtual void cancel(std::uint64_t handle) = 0;
};

// A handle to one pending event that cancels itself when replaced or destroyed.
class Timer {
  public:
    Timer() = default;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() { cancel(); }

    void bind(Clock* clock) { clock_ = clock; }
    void start(Time delay, host::Callback fn) {
        cancel();
        if (clock_ == nullptr || !clock_->running()) {
            return;
        }
        pending_ = true;
        fn_ = std::move(fn);
        handle_ = clock_->schedule(delay, [this] {
            pending_ = false;
            handle_ = 0;
            host::Callback fn = std::move(fn_); // it may start the timer again
            fn();
        });
    }
    void cancel() {
        if (pending_ && clock_ != nullptr) {
            clock_->cancel(handle_);
        }
        pending_ = false;
        handle_ = 0;
        fn_.reset();
    }
    bool pending() const { return pending_; }

  private:
    Clock* clock_ = nullptr;
    host::Callback fn_;
    std::uint64_t handle_ = 0;
    bool pending_ = false;
};

} // namespace kt735::model
