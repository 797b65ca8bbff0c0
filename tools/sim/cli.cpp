#include "cli.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "names.h"

namespace kt735sim {

namespace {

// Decimal, or hex with 0x; at most `max`.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 16) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
            digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        } else {
            return std::nullopt;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}

// Hex, with or without 0x.
std::optional<std::uint16_t> parseHex16(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    std::string with = "0x" + std::string(text);
    auto value = parseNumber(with, 0xFFFF);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

// "2.5s", "500ms", "250us"; a bare number is in `defaultUnit` ("s"). Resolution 100 ns.
std::optional<host::Time> parseTime(std::string_view text, std::string_view defaultUnit = {}) {
    std::size_t end = 0;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) {
        end++;
    }
    std::string_view number = text.substr(0, end);
    std::string_view unit = text.substr(end);
    if (unit.empty()) {
        unit = defaultUnit;
    }
    int decimals = 0; // digits of 100 ns below the unit
    if (unit == "s") {
        decimals = 7;
    } else if (unit == "ms") {
        decimals = 4;
    } else if (unit == "us") {
        decimals = 1;
    } else {
        return std::nullopt;
    }
    std::size_t dot = number.find('.');
    std::string_view whole = number.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? "" : number.substr(dot + 1);
    if (whole.empty() || whole.size() > 7 || fraction.find('.') != std::string_view::npos ||
        (dot != std::string_view::npos && fraction.empty())) {
        return std::nullopt;
    }
    while (!fraction.empty() && fraction.back() == '0') {
        fraction.remove_suffix(1);
    }
    if (static_cast<int>(fraction.size()) > decimals) {
        return std::nullopt;
    }
    host::Time value = 0;
    for (char c : whole) {
        value = value * 10 + (c - '0');
    }
    for (int i = 0; i < decimals; i++) {
        value = value * 10 + (i < static_cast<int>(fraction.size()) ? fraction[i] - '0' : 0);
    }
    return value;
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        auto byte = parseNumber("0x" + std::string(text.substr(i, 2)), 0xFF);
        if (!byte) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(*byte));
    }
    return bytes;
}

std::optional<std::array<std::uint8_t, 6>> parseMac(std::string_view text) {
    std::array<std::uint8_t, 6> mac{};
    if (text.size() != 17) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 6; i++) {
        if (i > 0 && text[i * 3 - 1] != ':') {
            return std::nullopt;
        }
        auto byte = parseNumber("0x" + std::string(text.substr(i * 3, 2)), 0xFF);
        if (!byte) {
            return std::nullopt;
        }
        mac[i] = static_cast<std::uint8_t>(*byte);
    }
    return mac;
}

std::optional<std::uint32_t> parseOid(std::string_view text) {
    if (auto byName = oidByName(text)) {
        return byName;
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (auto value = parseNumber(text, 0xFFFFFFFF)) {
            return static_cast<std::uint32_t>(*value);
        }
    }
    return std::nullopt;
}

constexpr std::pair<const char*, FaultTarget> kFaultTargets[] = {
    {"bulk-in", FaultTarget::BulkIn},
    {"bulk-out", FaultTarget::BulkOut},
    {"control", FaultTarget::Control},
    {"vendor-read", FaultTarget::VendorRead},
    {"vendor-write", FaultTarget::VendorWrite},
    {"pool", FaultTarget::Pool},
    {"ndis", FaultTarget::Ndis},
    {"irp", FaultTarget::Irp},
};
constexpr std::pair<const char*, FaultEffect> kFaultEffects[] = {
    {"error", FaultEffect::Error},
    {"stall", FaultEffect::Stall},
    {"hang", FaultEffect::Hang},
    {"fail", FaultEffect::Fail},
};

// TARGET and EFFECT of a fault; a USB target takes error, stall or hang, an allocation fail.
std::variant<FaultSpec, std::string> parseFault(const std::string& target,
                                                const std::string& effect) {
    FaultSpec spec;
    auto t = std::find_if(std::begin(kFaultTargets), std::end(kFaultTargets),
                          [&](const auto& p) { return target == p.first; });
    if (t == std::end(kFaultTargets)) {
        return "unknown fault target '" + target +
               "' (bulk-in, bulk-out, control, vendor-read, vendor-write, pool, ndis, irp)";
    }
    auto e = std::find_if(std::begin(kFaultEffects), std::end(kFaultEffects),
                          [&](const auto& p) { return effect == p.first; });
    spec.target = t->second;
    bool usb = isUsbTarget(spec.target);
    if (e == std::end(kFaultEffects) || usb == (e->second == FaultEffect::Fail)) {
        return "fault " + target + ": the effect is " + (usb ? "error, stall or hang" : "fail") +
               ", got '" + effect + "'";
    }
    spec.effect = e->second;
    return spec;
}

constexpr std::uint32_t kMaxFrame = 1514;
constexpr std::uint32_t kMinFrame = 14;

} // namespace

const char* faultTargetName(FaultTarget target) {
    for (const auto& [name, value] : kFaultTargets) {
        if (value == target) {
            return name;
        }
    }
    return "?";
}

const char* faultEffectName(FaultEffect effect) {
    for (const auto& [name, value] : kFaultEffects) {
        if (value == effect) {
            return name;
        }
    }
    return "?";
}

bool isUsbTarget(FaultTarget target) {
    return target != FaultTarget::Pool && target != FaultTarget::Ndis && target != FaultTarget::Irp;
}

std::variant<Options, UsageError> parseArguments(int argc, char** argv) {
    Options options;
    auto fail = [](std::string message) { return UsageError{"kt735sim: " + std::move(message)}; };
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        static const char* withValue[] = {
            "--param",    "--mac",        "--ethernet",          "--phoneline",
            "--duration", "--script",     "--usb-pcap",          "--wire-pcap",
            "--json",     "--init-fault", "--device-descriptor", "--config-descriptor"};
        if (std::find_if(std::begin(withValue), std::end(withValue),
                         [&](const char* o) { return arg == o; }) == std::end(withValue)) {
            return fail("unknown option '" + arg + "' (see --help)");
        }
        if (i + 1 >= argc) {
            return fail(arg + " needs a value (see --help)");
        }
        std::string value = argv[++i];
        if (arg == "--param") {
            std::size_t eq = value.find('=');
            if (eq == std::string::npos || eq == 0) {
                return fail("--param: expected NAME=VALUE, got '" + value + "'");
            }
            std::string name = value.substr(0, eq);
            std::string text = value.substr(eq + 1);
            std::string lower = name;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == "networkaddress") {
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
                            ": expected a 32-bit value, decimal or hex with 0x, got '" + text +
                            "'");
            }
            options.params.emplace_back(name, static_cast<std::uint32_t>(*number));
        } else if (arg == "--mac") {
            options.mac = parseMac(value);
            if (!options.mac) {
                return fail("--mac: expected six bytes like 00:12:34:56:78:9A, got '" + value +
                            "'");
            }
        } else if (arg == "--ethernet") {
            if (value == "none") {
                options.ethernet.reset();
            } else {
                options.ethernet = parseHex16(value);
                if (!options.ethernet) {
                    return fail("--ethernet: expected an ability word in hex (0x01E1) or none, "
                                "got '" +
                                value + "'");
                }
            }
        } else if (arg == "--phoneline") {
            std::string id = value;
            std::size_t colon = value.find(':');
            if (colon != std::string::npos) {
                id = value.substr(0, colon);
                std::string link = value.substr(colon + 1);
                if (link != "up" && link != "down") {
                    return fail("--phoneline: the link is up or down, got '" + link + "'");
                }
                options.phoneLineUp = link == "up";
            }
            auto parsed = parseHex16(id);
            if (!parsed) {
                return fail("--phoneline: expected an identifier in hex (0x5C20), got '" + id +
                            "'");
            }
            options.phoneLineId = *parsed;
        } else if (arg == "--duration") {
            options.duration = parseTime(value, "s");
            if (!options.duration) {
                return fail("--duration: expected seconds (10, 2.5, 500ms), got '" + value + "'");
            }
        } else if (arg == "--script") {
            options.scriptFile = value;
        } else if (arg == "--usb-pcap") {
            options.usbPcap = value;
        } else if (arg == "--wire-pcap") {
            options.wirePcap = value;
        } else if (arg == "--json") {
            options.json = value;
        } else if (arg == "--init-fault") {
            std::size_t first = value.find(':');
            std::size_t second = first == std::string::npos ? first : value.find(':', first + 1);
            if (second == std::string::npos) {
                return fail("--init-fault: expected TARGET:EFFECT:N, got '" + value + "'");
            }
            auto spec =
                parseFault(value.substr(0, first), value.substr(first + 1, second - first - 1));
            if (auto* problem = std::get_if<std::string>(&spec)) {
                return fail("--init-fault: " + *problem);
            }
            auto nth = parseNumber(value.substr(second + 1), 0xFFFFFFFF);
            if (!nth || *nth == 0) {
                return fail("--init-fault: N counts from 1, got '" + value.substr(second + 1) +
                            "'");
            }
            FaultSpec fault = std::get<FaultSpec>(spec);
            fault.nth = static_cast<std::uint32_t>(*nth);
            options.initFaults.push_back(fault);
        } else if (arg == "--device-descriptor" || arg == "--config-descriptor") {
            auto bytes = parseHexBytes(value);
            if (!bytes) {
                return fail(arg + ": expected hex bytes (an even number of digits), got '" + value +
                            "'");
            }
            (arg == "--device-descriptor" ? options.deviceDescriptor : options.configDescriptor) =
                std::move(*bytes);
        }
    }
    return options;
}

std::variant<Script, UsageError> parseScript(const std::string& text, const std::string& name) {
    Script script;
    script.name = name;
    std::istringstream in(text);
    std::string raw;
    int lineNumber = 0;
    while (std::getline(in, raw)) {
        lineNumber++;
        std::string line = raw.substr(0, raw.find('#'));
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) {
            w.push_back(word);
        }
        if (w.empty()) {
            continue;
        }
        auto fail = [&](const std::string& problem) {
            return UsageError{name + ":" + std::to_string(lineNumber) + ": " + problem};
        };
        if (w[0] != "at" || w.size() < 3) {
            return fail("expected 'at TIME COMMAND ARGS...', got '" + line + "'");
        }
        auto at = parseTime(w[1]);
        if (!at) {
            return fail("bad time '" + w[1] + "' (use 2.5s, 500ms or 250us)");
        }
        ScriptEvent event;
        event.at = *at;
        event.line = lineNumber;
        const std::string& command = w[2];
        std::vector<std::string> args(w.begin() + 3, w.end());
        event.text = command;
        for (const std::string& a : args) {
            event.text += " " + a;
        }
        auto wantArgs = [&](std::size_t least, std::size_t most) {
            return args.size() >= least && args.size() <= most;
        };
        auto usage = [&](const char* form) { return fail("usage: at TIME " + std::string(form)); };
        if (command == "ethernet") {
            if (!wantArgs(1, 1)) {
                return usage("ethernet ABILITY|none");
            }
            if (args[0] != "none") {
                event.ability = parseHex16(args[0]);
                if (!event.ability) {
                    return fail("ethernet: bad ability word '" + args[0] + "'");
                }
            }
            event.command = Command::Ethernet;
        } else if (command == "phoneline") {
            if (!wantArgs(1, 1) || (args[0] != "up" && args[0] != "down")) {
                return usage("phoneline up|down");
            }
            event.command = Command::PhoneLine;
            event.up = args[0] == "up";
        } else if (command == "send" || command == "receive") {
            if (!wantArgs(2, 2)) {
                return usage(command == "send" ? "send COUNT SIZE" : "receive COUNT SIZE");
            }
            auto count = parseNumber(args[0], 100000);
            auto size = parseNumber(args[1], kMaxFrame);
            if (!count || *count == 0) {
                return fail(command + ": COUNT must be 1 to 100000, got '" + args[0] + "'");
            }
            if (!size || *size < kMinFrame) {
                return fail(command + ": SIZE must be 14 to 1514 bytes, got '" + args[1] + "'");
            }
            event.command = command == "send" ? Command::Send : Command::Receive;
            event.count = static_cast<std::uint32_t>(*count);
            event.size = static_cast<std::uint32_t>(*size);
        } else if (command == "inject-bulk-in" || command == "set") {
            bool set = command == "set";
            if (args.size() < (set ? 1u : 1u)) {
                return usage(set ? "set OID HEXBYTES" : "inject-bulk-in HEXBYTES");
            }
            std::string hex;
            for (std::size_t i = set ? 1 : 0; i < args.size(); i++) {
                hex += args[i];
            }
            auto bytes = parseHexBytes(hex);
            if (!bytes) {
                return fail(command + ": bad hex bytes '" + hex + "'");
            }
            if (!set && bytes->empty()) {
                return usage("inject-bulk-in HEXBYTES");
            }
            event.bytes = std::move(*bytes);
            if (set) {
                auto oid = parseOid(args[0]);
                if (!oid) {
                    return fail("set: unknown OID '" + args[0] + "' (an NDIS name or 0x value)");
                }
                event.oid = *oid;
                event.command = Command::Set;
            } else {
                event.command = Command::InjectBulkIn;
            }
        } else if (command == "fault") {
            if (!wantArgs(2, 3)) {
                return usage("fault TARGET EFFECT [COUNT]");
            }
            auto spec = parseFault(args[0], args[1]);
            if (auto* problem = std::get_if<std::string>(&spec)) {
                return fail(*problem);
            }
            event.fault = std::get<FaultSpec>(spec);
            if (args.size() == 3) {
                auto count = parseNumber(args[2], 100000);
                if (!count || *count == 0) {
                    return fail("fault: COUNT must be 1 to 100000, got '" + args[2] + "'");
                }
                event.fault.count = static_cast<std::uint32_t>(*count);
            }
            event.command = Command::Fault;
        } else if (command == "query") {
            if (!wantArgs(1, 2)) {
                return usage("query OID [BUFFER_LENGTH]");
            }
            auto oid = parseOid(args[0]);
            if (!oid) {
                return fail("query: unknown OID '" + args[0] + "' (an NDIS name or 0x value)");
            }
            event.command = Command::Query;
            event.oid = *oid;
            event.bufferLength = 512;
            if (args.size() == 2) {
                auto length = parseNumber(args[1], 65536);
                if (!length) {
                    return fail("query: BUFFER_LENGTH must be 0 to 65536, got '" + args[1] + "'");
                }
                event.bufferLength = static_cast<std::uint32_t>(*length);
            }
        } else {
            static const std::pair<const char*, Command> bare[] = {
                {"hangcheck-off", Command::HangCheckOff},
                {"hangcheck-on", Command::HangCheckOn},
                {"reset", Command::Reset},
                {"halt", Command::Halt},
                {"unplug", Command::Unplug},
                {"shutdown", Command::Shutdown},
                {"bugcheck", Command::Bugcheck},
            };
            auto it = std::find_if(std::begin(bare), std::end(bare),
                                   [&](const auto& b) { return command == b.first; });
            if (it == std::end(bare)) {
                return fail("unknown command '" + command + "' (see --help)");
            }
            if (!args.empty()) {
                return fail(command + " takes no arguments");
            }
            event.command = it->second;
        }
        script.events.push_back(std::move(event));
    }
    std::stable_sort(script.events.begin(), script.events.end(),
                     [](const ScriptEvent& a, const ScriptEvent& b) { return a.at < b.at; });
    return script;
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

std::string helpText() {
    std::string text =
        R"(kt735sim: the KT735N driver on a simulated KT735, end to end, in virtual time.

It plugs a simulated KT735 into the host platform, loads the driver through DriverEntry,
AddDevice and START_DEVICE, runs a scenario (traffic both ways, cables pulled and plugged, OID
requests), halts the adapter and unloads the driver. Every run is the same: time is virtual and
starts at 0 when the device is plugged; script times count from the moment MiniportInitialize
returned.

Usage: kt735sim [OPTIONS]

Options:
  --param NAME=VALUE     An adapter registry keyword, decimal or hex with 0x (repeatable).
                         --param MediaType=4 --param TxPacketDesc=0x10
                         NetworkAddress takes hex digits, any number of them:
                         --param NetworkAddress=0012ABCDEF01
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
                         without events. Then the adapter is halted and the driver unloaded.
  --script FILE          The scenario, one event a line (below). Without it the default
                         scenario runs (shown below).   --script cable.txt
  --usb-pcap FILE        Every USB transfer as a usbmon pcap (link type 220), virtual time.
                         --usb-pcap usb.pcap; tshark -r usb.pcap
  --wire-pcap FILE       Every frame on both wires as an Ethernet pcap, virtual time.
  --json FILE            A machine-readable record of the run (below).   --json run.json
  --init-fault TARGET:EFFECT:N
                         The Nth matching USB request or allocation counted from plug-in gets
                         the fault (repeatable); targets and effects as for the script's fault
                         command. Fails initialization at a chosen point:
                         --init-fault vendor-write:error:5   --init-fault pool:fail:1
  --device-descriptor HEX
  --config-descriptor HEX
                         Exactly the bytes the device answers GET_DESCRIPTOR with, any length,
                         malformed allowed.   --config-descriptor 09020900010100a032
  --quiet                No text output (errors and violations are still reported).
  --help                 This text.

Script: one event a line, 'at TIME COMMAND ARGS...', TIME like 2.5s, 500ms or 250us counted
from the moment MiniportInitialize returned; '#' starts a comment. Events at the same time run
in line order. OIDs are NDIS names (OID_GEN_LINK_SPEED) or hex values (0x00010107).
  ethernet ABILITY|none  Plug the cable to a partner with that ability word, or pull it.
                         at 1s ethernet none          at 3s ethernet 0x01E1
  phoneline up|down      Stations appear on the phone line, or it goes quiet.
                         at 5s phoneline up
  send COUNT SIZE        COUNT frames of SIZE bytes (14 to 1514) from the upper edge
                         (MiniportSend) to a peer on the wire.   at 100ms send 10 1514
  receive COUNT SIZE     COUNT frames of SIZE bytes from a peer on the active wire to the
                         adapter's station address, back to back.   at 200ms receive 3 64
  inject-bulk-in HEXBYTES
                         One raw bulk-in transfer from the chip: frame, CRC and two zero
                         bytes, then the status word, low byte first (08 00: CRC error).
                         Spaces between bytes are allowed.
                         at 1s inject-bulk-in 024b56073501 025045455201 88b5 00000000 0000 0000
  query OID [BUFFER_LENGTH]
                         MiniportQueryInformation; default buffer 512 bytes.
                         at 0s query OID_GEN_VENDOR_DESCRIPTION 40
  set OID HEXBYTES       MiniportSetInformation with these bytes.
                         at 0s set OID_GEN_CURRENT_PACKET_FILTER 0b000000
  hangcheck-off          NDIS stops calling MiniportCheckForHang (and with it the link watch).
  hangcheck-on           ... and starts again.   at 0s hangcheck-off   at 5s hangcheck-on
  reset                  MiniportReset.   at 4s reset
  halt                   MiniportHalt (through REMOVE_DEVICE); the run ends.   at 15s halt
  unplug                 Surprise removal: the device leaves the bus, then SURPRISE_REMOVAL
                         and REMOVE_DEVICE (MiniportHalt); the run ends.   at 3s unplug
  shutdown               An orderly system shutdown: the adapter shutdown handler at
                         PASSIVE_LEVEL, then MiniportHalt; the run ends.   at 5s shutdown
  bugcheck               NDIS's bugcheck callback: the shutdown handler at HIGH_LEVEL, where
                         the driver may touch nothing. The run ends there, without a halt or
                         the leak check; a USB request or verifier report then is a violation.
                         at 5s bugcheck
  fault TARGET EFFECT [COUNT]
                         The next COUNT (default 1) matching USB requests or allocations get
                         the fault. USB targets: bulk-in, bulk-out, control (any request on
                         the default pipe), vendor-read, vendor-write (register requests);
                         EFFECT error (completes with an error status), stall (the endpoint
                         stalls) or hang (pending until cancelled). Allocation targets: pool,
                         ndis (NDIS memory), irp; EFFECT fail.
                         at 2s fault bulk-in error     at 3s fault bulk-out stall 2
                         at 4s fault vendor-write hang  at 5s fault pool fail

JSON record: "initialize" (the status MiniportInitialize returned, hex), "start_device" (the
NTSTATUS the driver's plug-and-play dispatch returned for the first START_DEVICE, hex), "events"
in time order,
each with "t" (virtual seconds after initialization) and "kind": "status" (NdisMIndicateStatus:
"status"), "receive" (an indicated packet: "length", "data"), "send" (a MiniportSend return:
"id", "status"), "send-complete" ("id", "status"), "resources-available", "query" and "set"
("oid", "name", "status", "data", "bytes_written" or "bytes_read", "bytes_needed" when the
driver wrote them), "set-complete" (a set that returned NDIS_STATUS_PENDING, completed with
NdisMSetInformationComplete: "oid", "name", "status", "bytes_read", "bytes_needed"), "reset"
("status"), "shutdown" ("irql"), "script" (a script event: "line", "command"), "halt", "fault"
(an injected fault fired: "target", "effect", and for USB "request"); "counters" (the driver's
statistics by OID name, queried before halt); "summary" (with "faults", how many fired).

Exit status: 0 the run was clean (whatever the driver answered), 1 a verifier violation or a
leak, 2 a bad argument or script (nothing is run).

The default scenario:
)";
    text += defaultScript();
    return text;
}

} // namespace kt735sim
