// A stand-in for the bus: a virtual clock with scheduled callbacks, posted IN transfers and the
// completions the device makes, plus helpers that speak the chip's register protocol.
#pragma once

#include "kt735_device.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <vector>

namespace kt735::model::test {

using host::usb::kMicrosecond;
using host::usb::kMillisecond;
using host::usb::kSecond;

struct Completion {
    std::vector<std::uint8_t> data;
    Outcome outcome = Outcome::Ok;
};

class FakePort : public UsbPort {
  public:
    Time now() const override { return now_; }
    std::uint64_t schedule(Time delay, host::Callback fn) override {
        std::uint64_t id = ++nextId_;
        events_.emplace(std::make_pair(now_ + std::max<Time>(delay, 0), id), std::move(fn));
        return id;
    }
    void cancelScheduled(std::uint64_t handle) override {
        std::erase_if(events_, [&](const auto& e) { return e.first.second == handle; });
    }
    bool completeIn(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                    Outcome outcome) override {
        auto& q = posted_[endpoint];
        if (q.empty()) {
            return false;
        }
        q.pop_front();
        completions.push_back(Completion{{data.begin(), data.end()}, outcome});
        return true;
    }
    std::size_t pendingIn(std::uint8_t endpoint) const override {
        auto it = posted_.find(endpoint);
        return it == posted_.end() ? 0 : it->second.size();
    }
    void remoteWakeup() override { ++wakeups; }

    void post(UsbDevice& dev, std::uint8_t endpoint, std::size_t maxLength = 1536) {
        InRequest r{++nextRequest_, endpoint, maxLength};
        posted_[endpoint].push_back(r);
        dev.inPosted(r);
    }
    // Runs everything due within `dt`, in time order.
    void advance(Time dt) {
        Time end = now_ + dt;
        while (!events_.empty() && events_.begin()->first.first <= end) {
            auto node = events_.extract(events_.begin());
            now_ = node.key().first;
            node.mapped()();
        }
        now_ = end;
    }
    std::size_t scheduledCount() const { return events_.size(); }

    std::vector<Completion> completions;
    int wakeups = 0;

  private:
    Time now_ = 0;
    std::uint64_t nextId_ = 0;
    std::uint64_t nextRequest_ = 0;
    std::map<std::pair<Time, std::uint64_t>, host::Callback> events_;
    std::map<std::uint8_t, std::deque<InRequest>> posted_;
};

// A device on the fake bus, configured, with helpers for its register protocol.
struct Bench {
    explicit Bench(UsbIdentity identity = {}) : dev(std::move(identity)) {
        dev.attach(port);
        setConfiguration(1);
    }
    ~Bench() { dev.detach(); }

    // A control request; an IN request's buffer is cut to what the device returned.
    Outcome request(std::uint8_t type, std::uint8_t req, std::uint16_t value, std::uint16_t index,
                    std::vector<std::uint8_t>& data) {
        SetupPacket s{type, req, value, index, static_cast<std::uint16_t>(data.size())};
        std::size_t actual = 0;
        Outcome o = dev.control(s, data, actual);
        if (s.isIn()) {
            data.resize(actual);
        }
        return o;
    }
    // A request without a data stage (SET_CONFIGURATION, SET_FEATURE, CLEAR_FEATURE ...).
    Outcome request(std::uint8_t type, std::uint8_t req, std::uint16_t value,
                    std::uint16_t index = 0) {
        std::vector<std::uint8_t> none;
        return request(type, req, value, index, none);
    }
    void setConfiguration(std::uint16_t value) { ASSERT_EQ(request(0x00, 9, value), Outcome::Ok); }
    std::vector<std::uint8_t> read(std::uint8_t index, std::size_t n) {
        std::vector<std::uint8_t> d(n);
        EXPECT_EQ(request(0xC0, 0xF0, 0, index, d), Outcome::Ok);
        return d;
    }
    void write(std::uint8_t index, std::vector<std::uint8_t> bytes) {
        std::uint16_t value = bytes.size() == 1 ? bytes[0] : 0;
        EXPECT_EQ(request(0x40, 0xF1, value, index, bytes), Outcome::Ok);
    }
    // An MII command as a driver makes it: command, then poll the window for the done bit.
    // Returns the window's data (the value read).
    std::uint16_t mii(std::uint8_t phy, std::uint8_t command, std::uint16_t value = 0) {
        write(0x25, {phy, static_cast<std::uint8_t>(value & 0xFF),
                     static_cast<std::uint8_t>(value >> 8), command});
        for (int i = 0; i < 10; ++i) {
            port.advance(100 * kMicrosecond);
            if (auto w = read(0x25, 4); w[3] & 0x80) {
                return static_cast<std::uint16_t>(w[1] | (w[2] << 8));
            }
        }
        ADD_FAILURE() << "MII command " << int(command) << " never completed";
        return 0;
    }
    std::uint16_t miiRead(std::uint8_t phy, std::uint8_t reg) { return mii(phy, 0x40 | reg); }
    void miiWrite(std::uint8_t phy, std::uint8_t reg, std::uint16_t v) { mii(phy, 0x20 | reg, v); }

    FakePort port;
    Kt735Device dev;
};

} // namespace kt735::model::test
