#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include <CLI/CLI.hpp>

#include "names.h"
#include "parsing.h"

namespace kt735sim {

const char* const kToolVersion = "1.1.0";

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

UsageError fail(std::string message) {
    return UsageError{"kt735sim: " + std::move(message)};
}

// Checks and converts the option values CLI11 collected as text; messages name the option.
std::optional<UsageError> convert(Options& options, const std::vector<std::string>& params,
                                  const std::string& mac, const std::string& ethernet,
                                  const std::string& phoneLine, const std::string& duration,
                                  const std::string& tap) {
    for (const std::string& value : params) {
        std::size_t eq = value.find('=');
        if (eq == std::string::npos || eq == 0) {
            return fail("--param: expected NAME=VALUE, got '" + value + "'");
        }
        std::string name = value.substr(0, eq);
        std::string text = value.substr(eq + 1);
        if (lower(name) == "networkaddress") {
            if (!std::all_of(text.begin(), text.end(),
                             [](unsigned char c) { return std::isxdigit(c) != 0; })) {
                return fail("--param NetworkAddress: expected hex digits, got '" + text + "'");
            }
            options.networkAddress = text;
            continue;
        }
        auto number = parseNumber(text, 0xFFFFFFFF);
        if (!number) {
            return fail("--param " + name +
                        ": expected a 32-bit value, decimal or hex with 0x, got '" + text + "'");
        }
        options.params.emplace_back(name, static_cast<std::uint32_t>(*number));
    }
    if (!mac.empty()) {
        options.mac = parseMac(mac);
        if (!options.mac) {
            return fail("--mac: expected six bytes like 00:12:34:56:78:9A, got '" + mac + "'");
        }
    }
    if (ethernet == "none") {
        options.ethernet.reset();
    } else if (!ethernet.empty()) {
        options.ethernet = parseHex16(ethernet);
        if (!options.ethernet) {
            return fail("--ethernet: expected an ability word in hex (0x01E1) or none, got '" +
                        ethernet + "'");
        }
    }
    if (!phoneLine.empty()) {
        std::string id = phoneLine;
        std::size_t colon = phoneLine.find(':');
        if (colon != std::string::npos) {
            id = phoneLine.substr(0, colon);
            std::string link = phoneLine.substr(colon + 1);
            if (link != "up" && link != "down") {
                return fail("--phoneline: the link is up or down, got '" + link + "'");
            }
            options.phoneLineUp = link == "up";
        }
        auto parsed = parseHex16(id);
        if (!parsed) {
            return fail("--phoneline: expected an identifier in hex (0x5C20), got '" + id + "'");
        }
        options.phoneLineId = *parsed;
    }
    if (!duration.empty()) {
        options.duration = parseTime(duration, "s");
        if (!options.duration) {
            return fail("--duration: expected seconds (10, 2.5, 500ms), got '" + duration + "'");
        }
    }
    if (!tap.empty()) {
        std::size_t comma = tap.find(',');
        std::string host = tap.substr(0, comma);
        std::string peer = comma == std::string::npos ? "" : tap.substr(comma + 1);
        auto good = [](const std::string& name) {
            return !name.empty() && name.size() < 16 && name != "." && name != ".." &&
                   std::all_of(name.begin(), name.end(), [](unsigned char c) {
                       return std::isgraph(c) != 0 && c != '/' && c != ':' && c != ',';
                   });
        };
        if (!good(host) || !good(peer) || host == peer) {
            return fail("--tap: expected two different interface names of at most 15 "
                        "characters, HOST_IF,PEER_IF, got '" +
                        tap + "'");
        }
        options.tap = std::pair{host, peer};
    }
    return std::nullopt;
}

} // namespace

std::variant<Options, UsageError> parseArguments(int argc, char** argv) {
    Options options;
    options.arguments.assign(argv + 1, argv + argc);
    std::vector<std::string> params, initFaults;
    std::string mac, ethernet, phoneLine, duration, tap, deviceDescriptor, configDescriptor,
        processors;
    struct PathOption {
        const char* name;
        std::optional<std::string>* target;
        std::string value;
    };
    PathOption paths[] = {{"--script", &options.scriptFile, {}},
                          {"--usb-pcap", &options.usbPcap, {}},
                          {"--wire-pcap", &options.wirePcap, {}},
                          {"--json", &options.json, {}},
                          {"--plot", &options.plot, {}}};

    CLI::App app("kt735sim");
    app.set_help_flag();
    app.allow_extras();
    auto last = [](CLI::Option* o) { o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast); };
    app.add_option("--param", params)->allow_extra_args(false);
    app.add_option("--init-fault", initFaults)->allow_extra_args(false);
    for (auto [name, value] :
         {std::pair{"--mac", &mac}, std::pair{"--ethernet", &ethernet},
          std::pair{"--phoneline", &phoneLine}, std::pair{"--duration", &duration},
          std::pair{"--tap", &tap}, std::pair{"--device-descriptor", &deviceDescriptor},
          std::pair{"--config-descriptor", &configDescriptor},
          std::pair{"--processors", &processors}}) {
        last(app.add_option(name, *value));
    }
    for (PathOption& path : paths) {
        last(app.add_option(path.name, path.value));
    }
    app.add_flag("--help,-h", options.help);
    app.add_flag("--quiet", options.quiet);
    app.add_flag("--version", options.version);
    app.add_flag("--list-oids", options.listOids);
    app.add_flag("--list-params", options.listParams);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Error& e) {
        // "--duration: 1 required TEXT missing": the option is the text before the colon.
        std::string what = e.what();
        std::string option = what.substr(0, what.find(':'));
        if (option.starts_with("--")) {
            return fail(option + " needs a value (see --help)");
        }
        return fail(what + " (see --help)");
    }
    if (!app.remaining().empty()) {
        return fail("unknown option '" + app.remaining().front() + "' (see --help)");
    }
    if (auto error = convert(options, params, mac, ethernet, phoneLine, duration, tap)) {
        return *error;
    }
    if (!processors.empty()) {
        char* end = nullptr;
        unsigned long n = std::strtoul(processors.c_str(), &end, 10);
        if (*end != '\0' || n < 1 || n > 64 ||
            !std::isdigit(static_cast<unsigned char>(processors[0]))) {
            return fail("--processors: expected a count from 1 to 64, got '" + processors + "'");
        }
        options.processors = static_cast<unsigned>(n);
    }
    for (const std::string& value : initFaults) {
        std::size_t first = value.find(':');
        std::size_t second = first == std::string::npos ? first : value.find(':', first + 1);
        if (second == std::string::npos) {
            return fail("--init-fault: expected TARGET:EFFECT:N, got '" + value + "'");
        }
        auto entry =
            parseFault(value.substr(0, first), value.substr(first + 1, second - first - 1));
        if (auto* problem = std::get_if<std::string>(&entry)) {
            return fail("--init-fault: " + *problem);
        }
        auto nth = parseNumber(value.substr(second + 1), 0xFFFFFFFF);
        if (!nth || *nth == 0) {
            return fail("--init-fault: N counts from 1, got '" + value.substr(second + 1) + "'");
        }
        FaultSpec fault = std::get<FaultSpec>(entry);
        fault.nth = static_cast<std::uint32_t>(*nth);
        options.initFaults.push_back(fault);
    }
    for (auto [name, value, target] :
         {std::tuple{"--device-descriptor", &deviceDescriptor, &options.deviceDescriptor},
          std::tuple{"--config-descriptor", &configDescriptor, &options.configDescriptor}}) {
        if (app.count(name) == 0) {
            continue;
        }
        auto bytes = parseHexBytes(*value);
        if (!bytes) {
            return fail(std::string(name) +
                        ": expected hex bytes (an even number of digits), got '" + *value + "'");
        }
        *target = std::move(*bytes);
    }
    for (const PathOption& path : paths) {
        if (app.count(path.name) != 0) {
            *path.target = path.value;
        }
    }
    return options;
}

const char* defaultScript() {
    return R"(# The adapter's life on the default wires: Ethernet partner 0x01E1, phone line 0x5C20
# without stations. NDIS checks for hangs every 2 s, and each check runs one pass of the link
# watch, so link changes are noticed at the next even second.
at 0s     query OID_GEN_LINK_SPEED
at 0s     query OID_GEN_MEDIA_CONNECT_STATUS
at 100ms  send 3 100
at 200ms  receive 3 200
at 1s     ethernet none          # the Ethernet cable is pulled
at 5s     phoneline up           # stations appear on the phone line
at 7s     query OID_GEN_MEDIA_CONNECT_STATUS
at 7s     query OID_GEN_LINK_SPEED
at 7100ms send 2 60
at 7200ms receive 2 80
at 9s     phoneline down         # the phone line goes quiet
at 11s    ethernet 0x01E1        # the cable is back
at 13s    send 1 1514
at 13100ms receive 1 1514
at 14s    query OID_GEN_MEDIA_CONNECT_STATUS
at 14s    query OID_GEN_LINK_SPEED
at 14s    query OID_GEN_XMIT_OK
at 14s    query OID_GEN_RCV_OK
at 15s    halt
)";
}

std::string driverVersion() {
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%02x", kDriverVersion >> 8, kDriverVersion & 0xFF);
    return text;
}

std::string versionText() {
    return "kt735sim " + std::string(kToolVersion) + "\nKT735N driver " + driverVersion() +
           " (NDIS 5.0 miniport)\n";
}

std::string oidListText() {
    std::string text = "OIDs the scripts accept by name ('*': in the driver's supported list):\n";
    for (const OidName& oid : oidNames()) {
        char line[96];
        std::snprintf(line, sizeof(line), "%c %-36s 0x%08X\n", oidSupported(oid.value) ? '*' : ' ',
                      oid.name, oid.value);
        text += line;
    }
    text += "Any other OID can be given as a 0x value.\n";
    return text;
}

std::string paramListText() {
    std::string text = "Registry keywords the driver reads (--param NAME=VALUE), with the range\n"
                       "the installation offers and the value used when it is absent:\n";
    for (const ParamInfo& p : driverParams()) {
        char line[120];
        std::snprintf(line, sizeof(line), "  %-16s %u to %u, default %u\n", p.keyword.c_str(),
                      p.minimum, p.maximum, p.defaultValue);
        text += line;
    }
    text += "  Platform         read for its presence only\n"
            "  NetworkAddress   12 hex digits: the station address instead of the EEPROM's\n";
    return text;
}

std::string helpText() {
    std::string text =
        R"(kt735sim: the KT735N driver on a simulated KT735, end to end, in virtual time.

It plugs a simulated KT735 into the host platform, loads the driver through DriverEntry,
AddDevice and START_DEVICE, runs a scenario (traffic both ways, cables pulled and plugged, OID
requests), halts the adapter and unloads the driver. Every run is the same: time is virtual
(except with --tap, where it follows the wall clock).

Time base: the text, the script and the JSON record count virtual seconds from the moment
MiniportInitialize returned (0; what happened before is negative). The captures cannot hold
negative times: they count from the moment the device was plugged, and the JSON record's
"initialized_at" is the moment of initialization on their clock.

Usage: kt735sim [OPTIONS]

Options:
  --param NAME=VALUE     An adapter registry keyword, decimal or hex with 0x (repeatable).
                         --param MediaType=4 --param TxPacketDesc=0x10
                         NetworkAddress takes hex digits, any number of them:
                         --param NetworkAddress=0012ABCDEF01
                         A keyword the driver does not read, or a value outside the range the
                         installation offers, is warned about (see --list-params).
  --mac AA:BB:CC:DD:EE:FF
                         The permanent address in the EEPROM (default 02:4B:56:07:35:01).
                         --mac 00:12:34:00:00:01
  --ethernet ABILITY|none
                         The Ethernet link partner at start: its ability word in hex, or no
                         cable. Default 0x01E1.   --ethernet 0x0021   --ethernet none
  --phoneline ID[:up|:down]
                         The phone-line PHY identifier in hex (0xFFFF: no PHY) and whether the
                         line carries stations at start. Default 0x5C20:down.
                         --phoneline 0x5C22:up
  --duration SECONDS     Virtual time to run after initialization (10, 2.5, 500ms), unless the
                         script halts first. Default: the last script event plus 0.5 s, or 10 s
                         without events; with --tap, until SIGINT or SIGTERM. Then the adapter
                         is halted and the driver unloaded. A script event later than this is
                         an error.   --duration 2.5
  --script FILE          The scenario, one event a line (below); '-' reads it from standard
                         input. Without it the default scenario runs (shown below), or with --tap
                         none.
                         --script cable.txt   --script -
  --usb-pcap FILE        Every USB transfer as a usbmon pcap (link type 220).
                         --usb-pcap usb.pcap; tshark -r usb.pcap
  --wire-pcap FILE       Every frame on the wires as pcapng, one named interface per wire
                         (ethernet, phone-line).   --wire-pcap wires.pcapng
  --json FILE            A machine-readable record of the run; '-' writes it to standard
                         output instead of the text. Its schema: docs/kt735sim-json.md.
                         --json run.json
  --plot FILE.svg        A picture of the run: link state per medium, frames per second each
                         way, drops, OID requests and resets.   --plot run.svg
  --tap HOST_IF,PEER_IF  Real traffic, in real time (root): makes two TAP interfaces. HOST_IF
                         is the protocol above NDIS: what Linux sends on it goes to
                         MiniportSend (longer than 1514 bytes: dropped and counted), what the
                         driver indicates and the binding's filter selects comes out of it.
                         It takes the adapter's address and MTU 1500; its carrier follows
                         media connect and disconnect. The packet filter is directed,
                         multicast and broadcast, the multicast list the groups HOST_IF joined
                         (kept current while HOST_IF stays in kt735sim's network namespace,
                         else all multicast). PEER_IF is the station on the active wire, its
                         carrier the wire's. Virtual time follows the wall clock; the run ends
                         after --duration or at SIGINT or SIGTERM, halting and unloading as
                         usual. Frames on the TAPs are counted, not listed.
                         --tap kt0,kt0peer --duration 60
  --init-fault TARGET:EFFECT:N
                         The Nth matching USB request or allocation counted from plug-in gets
                         the fault (repeatable); targets and effects as for the script's fault
                         command. Fails initialization at a chosen point:
                         --init-fault vendor-write:error:5   --init-fault pool:fail:1
  --device-descriptor HEX
  --config-descriptor HEX
                         Exactly the bytes the device answers GET_DESCRIPTOR with, any length,
                         malformed allowed.   --config-descriptor 09020900010100a032
  --processors N         Runs the scenario on N processor threads at once (1 to 64): DPCs,
                         timers, USB completions and work items due at one instant overlap, and
                         the verifier also watches lock order and spin-lock hold times. Runs
                         are no longer repeatable.   --processors 4
  --quiet                No text output (errors and violations are still reported).
  --version              The tool's and the driver's versions.
  --list-oids            Every OID name the scripts accept, the driver's supported ones marked.
  --list-params          Every registry keyword the driver reads, with range and default.
  --help                 This text.

Script: one event a line, 'at TIME COMMAND ARGS...', TIME like 2.5s, 500ms or 250us counted
from the moment MiniportInitialize returned; '#' starts a comment. Events at the same time run
in line order; nothing may follow a command that ends the run. OIDs are NDIS names
(OID_GEN_LINK_SPEED) or hex values (0x00010107).
)";
    for (const CommandSpec& c : commands()) {
        std::string head = std::string("  ") + c.name + (*c.usage ? " " : "") + c.usage;
        std::string body = c.help;
        std::string indented;
        for (std::size_t at = 0; at < body.size();) {
            std::size_t end = body.find('\n', at);
            indented += "      " + body.substr(at, end - at) + "\n";
            at = end == std::string::npos ? body.size() : end + 1;
        }
        text += head + "\n" + indented;
    }
    text += R"(
JSON record: see docs/kt735sim-json.md. "schema", "tool", "driver", "inputs" (the options,
parameters, wires, address and script), "initialize" and "start_device" (hex, with their names),
"events" in time order (kinds: initialized, medium, script, send, send-complete,
resources-available, receive, status, status-complete, query, set, set-complete, drop,
fault, reset, shutdown, halt, tap, signal), "counters" (the driver's statistics by OID name,
read before halt), "summary".

Exit status: 0 the run was clean (whatever the driver answered), 1 a verifier violation, a leak,
or an output that could not be written completely, 2 a bad argument or script (nothing is run).

The default scenario:
)";
    text += defaultScript();
    return text;
}

} // namespace kt735sim
