// The command line and the scenario script of kt735sim.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <host/sched.h>

namespace kt735sim {

using Mac = std::array<std::uint8_t, 6>;

struct ScriptEvent;

// An injected fault: a USB request that fails, stalls or hangs, or an allocation that fails.
enum class FaultTarget { BulkIn, BulkOut, Control, VendorRead, VendorWrite, Pool, Ndis, Irp };
enum class FaultEffect { Error, Stall, Hang, Fail };
struct FaultSpec {
    FaultTarget target = FaultTarget::Control;
    FaultEffect effect = FaultEffect::Error;
    // Which of the matching requests or allocations (host/fault.h): from the nth one counted
    // from when it is armed, `times` of them.
    std::uint32_t nth = 1;
    std::uint32_t times = 1;
};
const char* faultTargetName(FaultTarget target);
const char* faultEffectName(FaultEffect effect);
bool isUsbTarget(FaultTarget target);
// TARGET and EFFECT of a fault; on a problem, the message.
std::variant<FaultSpec, std::string> parseFault(const std::string& target,
                                                const std::string& effect);

// What the scenario's commands do to the run; the simulation implements it.
class Actions {
  public:
    virtual ~Actions() = default;
    virtual void ethernet(const ScriptEvent& event) = 0;
    virtual void phoneLine(const ScriptEvent& event) = 0;
    virtual void send(const ScriptEvent& event) = 0;
    virtual void receive(const ScriptEvent& event) = 0;
    virtual void injectBulkIn(const ScriptEvent& event) = 0;
    virtual void query(const ScriptEvent& event) = 0;
    virtual void set(const ScriptEvent& event) = 0;
    virtual void hangCheckOff(const ScriptEvent& event) = 0;
    virtual void hangCheckOn(const ScriptEvent& event) = 0;
    virtual void reset(const ScriptEvent& event) = 0;
    virtual void halt(const ScriptEvent& event) = 0;
    virtual void unplug(const ScriptEvent& event) = 0;
    virtual void shutdown(const ScriptEvent& event) = 0;
    virtual void bugcheck(const ScriptEvent& event) = 0;
    virtual void fault(const ScriptEvent& event) = 0;
};

// One script command: how it is written, how its arguments are read, what it does and its help.
struct CommandSpec {
    const char* name;
    const char* usage; // the arguments, for messages and --help
    // Reads the arguments into `event`; returns the problem, or "" when they are good.
    std::string (*parse)(const std::vector<std::string>& args, ScriptEvent& event);
    void (Actions::*action)(const ScriptEvent& event);
    const char* help;  // what it does, with an example; lines indented by the help text
    bool ends = false; // the run ends with it: nothing may follow
};

// Every script command, in the order --help lists them.
const std::vector<CommandSpec>& commands();

struct ScriptEvent {
    host::Time at = 0; // after MiniportInitialize returned
    int line = 0;
    std::string text; // the command as written, for the output
    const CommandSpec* entry = nullptr;
    std::optional<std::uint16_t> ability; // ethernet: no value for "none"
    bool up = false;                      // phoneline, hangcheck
    std::uint32_t count = 0;              // send, receive
    std::uint32_t size = 0;               // send, receive
    std::vector<std::size_t> chain;       // send: NDIS buffer lengths
    std::optional<Mac> to;                // send, receive: the destination
    std::optional<Mac> from;              // receive: the source
    std::optional<std::uint16_t> type;    // send, receive: the EtherType
    std::optional<host::Time> every;      // send, receive: one frame per interval
    std::uint32_t oid = 0;                // query, set
    std::uint32_t bufferLength = 0;       // query
    std::vector<std::uint8_t> bytes;      // set, query input, inject-bulk-in
    FaultSpec fault;                      // fault
};

// When the event's last action happens: its time, or for a paced one its last frame's.
host::Time lastTime(const ScriptEvent& event);

struct Script {
    std::string name;                // the file, or "default scenario"
    std::string text;                // as read, for the record
    std::vector<ScriptEvent> events; // in time order; equal times in line order
};

struct Options {
    // Registry keywords in the order given; the network address as its hex digits.
    std::vector<std::pair<std::string, std::uint32_t>> params;
    std::optional<std::string> networkAddress;
    std::optional<Mac> mac;
    std::optional<std::uint16_t> ethernet = 0x01E1; // no value: no cable
    std::uint16_t phoneLineId = 0x5C20;
    bool phoneLineUp = false;
    std::optional<host::Time> duration;
    std::optional<std::string> scriptFile; // "-": standard input
    std::optional<std::string> usbPcap;
    std::optional<std::string> wirePcap;
    std::optional<std::string> json; // "-": standard output
    std::optional<std::string> plot;
    // TAP mode, in real time: the interfaces for the protocol above NDIS and for the peer.
    std::optional<std::pair<std::string, std::string>> tap;
    std::vector<FaultSpec> initFaults; // counted from plug-in
    std::optional<std::vector<std::uint8_t>> deviceDescriptor;
    std::optional<std::vector<std::uint8_t>> configDescriptor;
    // Processor threads running the scenario (host/smp.h); 0: the deterministic single thread.
    unsigned processors = 0;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool listOids = false;
    bool listParams = false;
    std::vector<std::string> arguments; // the command line as given, for the record
};

// A problem with the command line or the script: the message names the option or the line.
struct UsageError {
    std::string message;
};

// Parses argv; on a problem returns the message.
std::variant<Options, UsageError> parseArguments(int argc, char** argv);
// Parses script text; `name` is used in messages ("file:line: ..."). Events after one that ends
// the run, or later than `duration`, are errors.
std::variant<Script, UsageError> parseScript(const std::string& text, const std::string& name,
                                             std::optional<host::Time> duration = std::nullopt);

// The scenario run when no --script is given.
const char* defaultScript();
std::string helpText();
// --version, --list-oids, --list-params.
std::string versionText();
std::string oidListText();
std::string paramListText();

// The tool's own version, and the driver's ("3.06", from its 0x0306).
extern const char* const kToolVersion;
extern const unsigned kDriverVersion;
std::string driverVersion();
// Whether the driver names the OID in its supported list.
bool oidSupported(std::uint32_t oid);

// The keywords the driver reads and the ranges the installation offers.
struct ParamInfo {
    std::string keyword;
    std::uint32_t defaultValue;
    std::uint32_t minimum;
    std::uint32_t maximum;
};
const std::vector<ParamInfo>& driverParams();
// Warnings for --param values the driver ignores or the installation would not offer.
std::vector<std::string> paramWarnings(const Options& options);

// Time parsing shared by the script and the options: "2.5s", "500ms", "250us".
std::optional<host::Time> parseTime(std::string_view text, std::string_view defaultUnit = {});

} // namespace kt735sim
