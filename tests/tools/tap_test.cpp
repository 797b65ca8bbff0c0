// kt735sim --tap between two network namespaces the test makes: Linux's own ARP, neighbour
// discovery, ping and TCP go through the driver, on each medium, through a cable pull. Root
// only; addresses from 198.18.0.0/15 and IPv6 link-local; every wait bounded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;
using namespace std::string_literals;

// A shell command's output (stderr included) and exit status.
std::pair<int, std::string> sh(const std::string& command) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    char chunk[4096];
    for (std::size_t n; p != nullptr && (n = std::fread(chunk, 1, sizeof(chunk), p)) > 0;) {
        out.append(chunk, n);
    }
    int status = p == nullptr ? -1 : ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A network namespace, removed with the object whatever happened in between.
struct Netns {
    std::string name;
    bool made;
    explicit Netns(std::string n)
        : name(std::move(n)), made(sh("ip netns add " + name).first == 0) {}
    ~Netns() {
        if (made) {
            sh("ip netns del " + name);
        }
    }
    // A TCP socket made inside the namespace (it stays there), with every call bounded.
    int socket() const {
        int s = -1;
        std::thread([&] {
            int ns = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0) {
                s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            }
            ::close(ns);
        }).join();
        timeval limit{30, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        return s;
    }
};

// A command run by the shell with exec (kt735sim), its output read as it comes; ended by
// SIGTERM or, at the latest, by SIGKILL when the object goes.
struct Sim {
    FILE* out;
    pid_t pid = -1;
    std::string text;

    explicit Sim(const std::string& command)
        : out(::popen(("echo $$; exec " + command).c_str(), "r")) {
        if (waitFor("\n", seconds(10))) {
            pid = std::stoi(text);
        }
    }
    ~Sim() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
        }
        if (out != nullptr) {
            ::pclose(out);
        }
    }
    // Reads output until `part` shows or the output ends or `limit` passes.
    bool waitFor(const std::string& part, Clock::duration limit) {
        for (auto end = Clock::now() + limit; !has(text, part) && Clock::now() < end;) {
            pollfd p{::fileno(out), POLLIN, 0};
            char chunk[4096];
            ssize_t n = ::poll(&p, 1, 100) > 0 ? ::read(p.fd, chunk, sizeof(chunk)) : 0;
            if (n <= 0 && p.revents != 0) {
                return false; // the end of the output
            }
            text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return has(text, part);
    }
    // SIGTERM, then the whole output; the exit status.
    int stop() {
        ::kill(pid, SIGTERM);
        waitFor("\x01", seconds(60)); // to the end of the output, which comes with the exit
        ::kill(std::exchange(pid, -1), SIGKILL); // no effect on a process already exiting
        int status = ::pclose(std::exchange(out, nullptr));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

std::uint64_t fnv(std::uint64_t h, unsigned char byte) {
    return (h ^ byte) * 1099511628211ull;
}

// A stream of `bytes` from a socket in `from` to 198.18.0.`host` in `to`, with both ends'
// FNV-1a hashes of what they sent and received.
struct Transfer {
    std::atomic<std::size_t> received = 0;
    std::uint64_t sentHash = 1469598103934665603ull, receivedHash = sentHash;
    std::thread sender, receiver;

    Transfer(const Netns& from, const Netns& to, int host, std::uint16_t port, std::size_t bytes) {
        int listener = to.socket(), s = from.socket(), one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{AF_INET, htons(port), {htonl(0xC6120000u | unsigned(host))}, {}};
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        ::listen(listener, 1);
        sender = std::thread([this, s, a, bytes] {
            unsigned char block[4096];
            std::uint64_t x = 88172645463325252ull; // xorshift: data TCP cannot guess
            bool up = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
            for (std::size_t done = 0, n; up && done < bytes; done += n) {
                n = std::min(sizeof(block), bytes - done);
                for (std::size_t i = 0; i < n; i++) {
                    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                    sentHash = fnv(sentHash, block[i] = static_cast<unsigned char>(x));
                }
                up = ::send(s, block, n, MSG_NOSIGNAL) == ssize_t(n);
            }
            ::close(s);
        });
        receiver = std::thread([this, listener] {
            int s = ::accept(listener, nullptr, nullptr);
            unsigned char chunk[4096];
            for (ssize_t n; s >= 0 && (n = ::recv(s, chunk, sizeof(chunk), 0)) > 0;) {
                for (ssize_t i = 0; i < n; i++) {
                    receivedHash = fnv(receivedHash, chunk[i]);
                }
                received += static_cast<std::size_t>(n);
            }
            ::close(s);
            ::close(listener);
        });
    }
    void wait() {
        for (std::thread* t : {&sender, &receiver}) {
            if (t->joinable()) {
                t->join();
            }
        }
    }
    ~Transfer() { wait(); }
};

struct Medium {
    const char* name;
    std::string wires;        // kt735sim's options for the wires at start
    std::string pull, replug; // script commands
    std::size_t bytes;        // each way: still moving when the cable is pulled at 12 s
};

// Linux's traffic crosses the driver on the medium and survives a cable pull.
void crossTheDriver(const Medium& m) {
    if (::getuid() != 0 || ::access("/dev/net/tun", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "needs root and /dev/net/tun";
    }
    if (sh("ping -V").first != 0) {
        GTEST_SKIP() << "needs ping (iputils-ping)";
    }
    std::string id = std::to_string(::getpid() % 100000) + m.name[0];
    Netns a("kt735a-" + id), b("kt735b-" + id);
    if (!a.made || !b.made) {
        GTEST_SKIP() << "network namespaces are not allowed here";
    }
    std::string h = "kth" + id, p = "ktp" + id;
    Sim sim("ip netns exec " + a.name + " " + KT735SIM + " --tap " + h + "," + p + m.wires +
            " --script - 2>&1 <<'EOF'\nat 12s " + m.pull + "\nat 15s " + m.replug + "\nEOF\n");
    bool started = sim.waitFor("real time from here", seconds(60));
    if (!started && has(sim.text, "cannot make the TAP")) {
        GTEST_SKIP() << "TAP interfaces are not allowed here: " << sim.text;
    }
    ASSERT_TRUE(started) << sim.text;
    auto t0 = Clock::now();
    sh("ip -n " + a.name + " link set " + p + " netns " + b.name);
    for (auto [ns, dev, n] : {std::tuple{&a, h, 1}, std::tuple{&b, p, 2}}) {
        std::string n4 = std::to_string(n);
        sh("ip -n " + ns->name + " addr add 198.18.0." + n4 + "/24 dev " + dev);
        sh("ip -n " + ns->name + " addr add fe80::" + n4 + "/64 dev " + dev + " nodad");
        sh("ip -n " + ns->name + " link set " + dev + " up");
    }
    // Ping both ways, IPv4 and IPv6. The peer's IPv6 ping goes first, alone: its neighbour
    // solicitation reaches HOST_IF only through the multicast list. Then the others at once.
    std::string pings;
    for (auto [ns, to] : {std::pair{b.name, "fe80::1%" + p}, std::pair{a.name, "198.18.0.2"s},
                          std::pair{b.name, "198.18.0.1"s}, std::pair{a.name, "fe80::2%" + h}}) {
        pings +=
            "ip netns exec " + ns + " ping -c 5 -i 0.2 -W 5 " + to + (pings.empty() ? ";" : "&");
    }
    std::string pinged = sh(pings + "wait").second;
    std::size_t clean = 0;
    for (std::size_t at = 0;
         (at = pinged.find("5 packets transmitted, 5 received", at)) != std::string::npos; at++) {
        clean++;
    }
    EXPECT_EQ(clean, 4u) << pinged;
    // ARP and neighbour discovery found each side's address: the adapter's on the peer's side.
    std::string peerMac = sh("ip netns exec " + b.name + " cat /sys/class/net/" + p + "/address")
                              .second.substr(0, 17);
    for (auto [ns, dev, mac, v4, v6] :
         {std::tuple{&a, h, peerMac, "198.18.0.2", "fe80::2"},
          std::tuple{&b, p, "02:4b:56:07:35:01"s, "198.18.0.1", "fe80::1"}}) {
        std::string neighbours = sh("ip -n " + ns->name + " neigh show dev " + dev).second;
        EXPECT_TRUE(has(neighbours, v4 + (" lladdr " + mac))) << neighbours;
        EXPECT_TRUE(has(neighbours, v6 + (" lladdr " + mac))) << neighbours;
    }

    // TCP both ways at once from 10 s; the cable is out from 12 s to 15 s.
    std::this_thread::sleep_until(t0 + seconds(10));
    ASSERT_LT(Clock::now(), t0 + seconds(11)) << "too slow to start before the cable pull";
    bool carrierLost = false;
    {
        Transfer up(a, b, 2, 5201, m.bytes), down(b, a, 1, 5202, m.bytes);
        while (Clock::now() < t0 + seconds(17) && !carrierLost) {
            carrierLost = has(sh("ip -n " + a.name + " link show " + h).second, "NO-CARRIER");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(carrierLost) << "HOST_IF's carrier did not go down with the cable";
        EXPECT_TRUE(up.received < m.bytes && down.received < m.bytes) << "done before the pull";
        for (Transfer* t : {&up, &down}) {
            t->wait();
            EXPECT_EQ(t->received, m.bytes);
            EXPECT_EQ(t->receivedHash, t->sentHash);
        }
    }
    EXPECT_TRUE(has(sh("ip -n " + a.name + " link show " + h).second, "LOWER_UP"));
    // One frame longer than 1514 bytes, which HOST_IF's MTU would not have allowed.
    sh("ip -n " + a.name + " link set " + h + " mtu 1600");
    sh("ip netns exec " + a.name + " ping -c 1 -s 1572 -W 1 198.18.0.2");
    EXPECT_EQ(sim.stop(), 0);
    for (const char* part : {"SIGTERM: the run stops", "(1 over 1514 bytes dropped, 0 refused)",
                             "completed (0 failed)", "no violations", "leaks            none"}) {
        EXPECT_TRUE(has(sim.text, part)) << part;
    }
    if (::testing::Test::HasFailure()) {
        std::cerr << sim.text;
    }
}

TEST(TapTest, Ethernet) {
    crossTheDriver({"ethernet", "", "ethernet none", "ethernet 0x01E1", 2 << 20});
}

TEST(TapTest, PhoneLine) {
    crossTheDriver({"phoneline", " --ethernet none --phoneline 0x5C20:up", "phoneline down",
                    "phoneline up", 400 << 10});
}

} // namespace
