// What a run leaves behind: the event records, the driver's counters, the verifier's findings,
// and the text timeline written as the run goes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <host/sched.h>
#include <nlohmann/json.hpp>

namespace kt735sim {

using Json = nlohmann::ordered_json;

struct Record {
    host::Time t = 0; // after MiniportInitialize returned
    std::string kind;
    Json fields = Json::object(); // the kind's own members, in the order written
};

struct WireCount {
    std::uint64_t fromAdapter = 0;
    std::uint64_t toAdapter = 0;
};

struct FrameCount {
    std::uint64_t sent = 0;
    std::uint64_t sendCompleted = 0;
    std::uint64_t sendErrors = 0; // completed with a status other than success
    std::uint64_t indicated = 0;
};

// The run's record, for the summary, the JSON file and the plot.
struct RunRecord {
    Json inputs = Json::object(); // options, parameters, wires, address, script
    host::Time end = 0;           // the last moment of the run
    host::Time t0 = 0;            // when MiniportInitialize returned, from the plug
    std::optional<std::uint32_t> initializeStatus;
    std::optional<std::uint32_t> startDeviceStatus;
    std::vector<Record> records;
    std::vector<std::pair<std::string, std::uint32_t>> counters;
    std::vector<std::string> violations;
    std::vector<std::string> leaks;
    std::map<std::string, WireCount> wires;
    FrameCount frames;
    std::uint64_t faultsArmed = 0;
    std::uint64_t faultsFired = 0;
};

// The text timeline: one line per event, runs of identical lines folded into one with a count.
class TextOutput {
  public:
    TextOutput(std::ostream& out, bool quiet) : out_(out), quiet_(quiet) {}

    // An event's line at time `t`; held back while identical lines may follow.
    void print(host::Time t, const std::string& text);
    // A line of its own (headers, the summary), after any held line.
    void line(const std::string& text);
    // Writes the held line, if any.
    void flush();

  private:
    std::ostream& out_;
    bool quiet_;
    std::string pendingText_;
    std::size_t pendingCount_ = 0;
    host::Time pendingTime_ = 0;
    host::Time pendingLast_ = 0;
};

} // namespace kt735sim
