#include "tap.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kt735sim {

namespace {

// An ifreq naming the interface.
ifreq request(const std::string& name) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return ifr;
}

} // namespace

std::optional<Tap> Tap::create(const std::string& name, std::string& error) {
    int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("/dev/net/tun: ") + std::strerror(errno);
        return std::nullopt;
    }
    ifreq ifr = request(name);
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        error = name + ": " + std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    Tap tap(fd, ifr.ifr_name, if_nametoindex(ifr.ifr_name));
    if (!tap.setCarrier(false)) {
        error = name + ": carrier: " + std::strerror(errno);
        return std::nullopt;
    }
    return tap;
}

Tap::Tap(Tap&& other) noexcept
    : fd_(other.fd_), name_(std::move(other.name_)), index_(other.index_) {
    other.fd_ = -1;
}

Tap& Tap::operator=(Tap&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.fd_;
        name_ = std::move(other.name_);
        index_ = other.index_;
        other.fd_ = -1;
    }
    return *this;
}

Tap::~Tap() {
    if (fd_ >= 0) {
        ::close(fd_); // the interface goes with its last descriptor
    }
}

std::span<const std::uint8_t> Tap::read(std::vector<std::uint8_t>& buffer) {
    buffer.resize(65536);
    ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    return {buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0};
}

bool Tap::write(std::span<const std::uint8_t> frame) {
    return ::write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

bool Tap::setCarrier(bool on) {
    int value = on ? 1 : 0;
    return ::ioctl(fd_, TUNSETCARRIER, &value) == 0;
}

bool Tap::setAddress(const Address& address) {
    ifreq ifr = request(name_);
    ifr.ifr_hwaddr.sa_family = 1; // ARPHRD_ETHER
    std::memcpy(ifr.ifr_hwaddr.sa_data, address.data(), address.size());
    return ::ioctl(fd_, SIOCSIFHWADDR, &ifr) == 0;
}

bool Tap::setMtuAndUp(int mtu) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    ifreq ifr = request(name_);
    ifr.ifr_mtu = mtu;
    bool ok = ::ioctl(s, SIOCSIFMTU, &ifr) == 0;
    ifr = request(name_);
    ok = ok && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    ::close(s);
    return ok;
}

std::optional<std::vector<Tap::Address>> Tap::multicastGroups() const {
    if (index_ == 0 || if_nametoindex(name_.c_str()) != index_) {
        return std::nullopt;
    }
    // Lines: index, name, users, global users, the address as 12 hex digits.
    std::ifstream in("/proc/net/dev_mcast");
    std::vector<Address> groups;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned index = 0;
        std::string name, users, global, hex;
        if (!(fields >> index >> name >> users >> global >> hex) || index != index_ ||
            hex.size() != 12) {
            continue;
        }
        Address a{};
        for (std::size_t i = 0; i < a.size(); i++) {
            a[i] =
                static_cast<std::uint8_t>(std::strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
        }
        groups.push_back(a);
    }
    return groups;
}

} // namespace kt735sim
