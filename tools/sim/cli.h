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

enum class Command {
    Ethernet,     // ethernet ABILITY|none
    PhoneLine,    // phoneline up|down
    Send,         // send COUNT SIZE
    Receive,      // receive COUNT SIZE
    InjectBulkIn, // inject-bulk-in HEXBYTES
    Query,        // query OID [BUFFER_LENGTH]
    Set,          // set OID HEXBYTES
    HangCheckOff,
    HangCheckOn,
    Reset,
    Halt,
    Unplug,
    Shutdown, // an orderly system shutdown: the shutdown handler, then halt
    Bugcheck, // NDIS's bugcheck callback: the shutdown handler at HIGH_LEVEL, no halt
    Fault,    // fault TARGET EFFECT [COUNT]
};

// An injected fault: a USB request that fails, stalls or hangs, or an allocation that fails.
enum class FaultTarget { BulkIn, BulkOut, Control, VendorRead, VendorWrite, Pool, Ndis, Irp };
enum class FaultEffect { Error, Stall, Hang, Fail };
struct FaultSpec {
    FaultTarget target = FaultTarget::Control;
    FaultEffect effect = FaultEffect::Error;
    std::uint32_t count = 1; // how many matching requests or allocations get it
    std::uint32_t nth = 1;   // the first one that does, counted from when it is armed
};
const char* faultTargetName(FaultTarget target);
const char* faultEffectName(FaultEffect effect);
bool isUsbTarget(FaultTarget target);

struct ScriptEvent {
    host::Time at = 0; // after MiniportInitialize returned
    int line = 0;
    std::string text; // the command as written, for the output
    Command command = Command::Halt;
    std::optional<std::uint16_t> ability; // ethernet: no value for "none"
    bool up = false;                      // phoneline
    std::uint32_t count = 0;              // send, receive
    std::uint32_t size = 0;               // send, receive
    std::uint32_t oid = 0;                // query, set
    std::uint32_t bufferLength = 0;       // query
    std::vector<std::uint8_t> bytes;      // set, inject-bulk-in
    FaultSpec fault;                      // fault
};

struct Script {
    std::string name;                // the file, or "default scenario"
    std::vector<ScriptEvent> events; // in time order; equal times in line order
};

struct Options {
    // Registry keywords in the order given; the network address as its hex digits.
    std::vector<std::pair<std::string, std::uint32_t>> params;
    std::optional<std::string> networkAddress;
    std::optional<std::array<std::uint8_t, 6>> mac;
    std::optional<std::uint16_t> ethernet = 0x01E1; // no value: no cable
    std::uint16_t phoneLineId = 0x5C20;
    bool phoneLineUp = false;
    std::optional<host::Time> duration;
    std::optional<std::string> scriptFile;
    std::optional<std::string> usbPcap;
    std::optional<std::string> wirePcap;
    std::optional<std::string> json;
    std::vector<FaultSpec> initFaults; // counted from plug-in
    std::optional<std::vector<std::uint8_t>> deviceDescriptor;
    std::optional<std::vector<std::uint8_t>> configDescriptor;
    bool quiet = false;
    bool help = false;
};

// A problem with the command line or the script: the message names the option or the line.
struct UsageError {
    std::string message;
};

// Parses argv; on a problem returns the message.
std::variant<Options, UsageError> parseArguments(int argc, char** argv);
// Parses script text; `name` is used in messages ("file:line: ...").
std::variant<Script, UsageError> parseScript(const std::string& text, const std::string& name);

// The scenario run when no --script is given.
const char* defaultScript();
std::string helpText();

} // namespace kt735sim
