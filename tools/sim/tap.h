// A Linux TAP interface owned by kt735sim: made with /dev/net/tun, gone when the object is.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kt735sim {

class Tap {
  public:
    using Address = std::array<std::uint8_t, 6>;

    // Makes the interface `name` (Ethernet frames, no packet information header), non-blocking,
    // with its carrier off; on a problem returns nullopt and sets `error`.
    static std::optional<Tap> create(const std::string& name, std::string& error);
    Tap(Tap&& other) noexcept;
    Tap& operator=(Tap&& other) noexcept;
    Tap(const Tap&) = delete;
    ~Tap();

    const std::string& name() const { return name_; }
    int fd() const { return fd_; }

    // One frame Linux sent on the interface, read into `buffer` (kept at 64 KiB, room for any
    // frame, so an oversize one is seen whole); empty when none is waiting.
    std::span<const std::uint8_t> read(std::vector<std::uint8_t>& buffer);
    // Hands a frame to Linux as if it arrived on the interface; false when it was not taken.
    bool write(std::span<const std::uint8_t> frame);

    // These work through the device's own file descriptor where Linux allows it, so they keep
    // working after the interface moved to another network namespace.
    bool setCarrier(bool on);
    bool setAddress(const Address& address);
    // By name, in kt735sim's network namespace: the MTU and the interface up.
    bool setMtuAndUp(int mtu);
    // The Ethernet multicast groups the interface has joined (/proc/net/dev_mcast of kt735sim's
    // namespace); nullopt when the interface is not in that namespace (any more).
    std::optional<std::vector<Address>> multicastGroups() const;

  private:
    Tap(int fd, std::string name, unsigned index)
        : fd_(fd), name_(std::move(name)), index_(index) {}
    int fd_;
    std::string name_;
    unsigned index_; // the interface index in kt735sim's namespace when it was made
};

} // namespace kt735sim
