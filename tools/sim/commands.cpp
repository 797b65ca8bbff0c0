#include <algorithm>
#include <cctype>
#include <sstream>

#include "cli.h"
#include "names.h"
#include "parsing.h"

namespace kt735sim {

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

// A bare number is in `defaultUnit` ("s"); resolution 100 ns.
std::optional<host::Time> parseTime(std::string_view text, std::string_view defaultUnit) {
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

namespace {

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

} // namespace

// A USB target takes error, stall or hang, an allocation fail.
std::variant<FaultSpec, std::string> parseFault(const std::string& target,
                                                const std::string& effect) {
    FaultSpec entry;
    auto t = std::find_if(std::begin(kFaultTargets), std::end(kFaultTargets),
                          [&](const auto& p) { return target == p.first; });
    if (t == std::end(kFaultTargets)) {
        return "unknown fault target '" + target +
               "' (bulk-in, bulk-out, control, vendor-read, vendor-write, pool, ndis, irp)";
    }
    auto e = std::find_if(std::begin(kFaultEffects), std::end(kFaultEffects),
                          [&](const auto& p) { return effect == p.first; });
    entry.target = t->second;
    bool usb = isUsbTarget(entry.target);
    if (e == std::end(kFaultEffects) || usb == (e->second == FaultEffect::Fail)) {
        return "fault " + target + ": the effect is " + (usb ? "error, stall or hang" : "fail") +
               ", got '" + effect + "'";
    }
    entry.effect = e->second;
    return entry;
}

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

namespace {

constexpr std::uint32_t kMaxFrame = 1514;
constexpr std::uint32_t kMinFrame = 14;

bool wantArgs(const std::vector<std::string>& args, std::size_t least, std::size_t most) {
    return args.size() >= least && args.size() <= most;
}

std::string usageOf(const ScriptEvent& event) {
    return "usage: at TIME " + std::string(event.entry->name) + " " + event.entry->usage;
}

// "broadcast", "multicast" (01:00:5e:00:00:01) or an address.
std::optional<Mac> parseStation(std::string_view text) {
    if (text == "broadcast") {
        return Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    }
    if (text == "multicast") {
        return Mac{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    }
    return parseMac(text);
}

// COUNT SIZE, then keyword-value pairs among those `allowed` names (chain, to, from, type,
// every).
std::string parseTraffic(const std::vector<std::string>& args, ScriptEvent& event,
                         std::initializer_list<std::string_view> allowed) {
    const std::string name = event.entry->name;
    if (args.size() < 2 || args.size() % 2 != 0) {
        return usageOf(event);
    }
    auto count = parseNumber(args[0], 100000);
    auto size = parseNumber(args[1], kMaxFrame);
    if (!count || *count == 0) {
        return name + ": COUNT must be 1 to 100000, got '" + args[0] + "'";
    }
    if (!size || *size < kMinFrame) {
        return name + ": SIZE must be 14 to 1514 bytes, got '" + args[1] + "'";
    }
    event.count = static_cast<std::uint32_t>(*count);
    event.size = static_cast<std::uint32_t>(*size);
    for (std::size_t i = 2; i < args.size(); i += 2) {
        const std::string& key = args[i];
        const std::string& value = args[i + 1];
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
            return name + ": unknown '" + key + "'; " + usageOf(event);
        }
        if (key == "chain") {
            std::size_t total = 0;
            std::istringstream parts(value);
            for (std::string part; std::getline(parts, part, ',');) {
                auto length = parseNumber(part, kMaxFrame);
                if (!length) {
                    return name + ": chain: bad buffer length '" + part + "'";
                }
                event.chain.push_back(static_cast<std::size_t>(*length));
                total += static_cast<std::size_t>(*length);
            }
            if (event.chain.empty() || total > event.size) {
                return name + ": chain: the buffers (" + std::to_string(total) +
                       " bytes) must not exceed SIZE " + std::to_string(event.size);
            }
        } else if (key == "to" || key == "from") {
            auto station = key == "to" ? parseStation(value) : parseMac(value);
            if (!station) {
                return name + ": " + key + ": expected " +
                       (key == "to" ? "broadcast, multicast or " : "") +
                       "an address like 02:00:00:00:00:01, got '" + value + "'";
            }
            (key == "to" ? event.to : event.from) = station;
        } else if (key == "type") {
            event.type = parseHex16(value);
            if (!event.type) {
                return name + ": type: expected an EtherType in hex (0x0800), got '" + value + "'";
            }
        } else if (key == "every") {
            event.every = parseTime(value);
            if (!event.every || *event.every == 0) {
                return name + ": every: expected an interval like 10ms, got '" + value + "'";
            }
        }
    }
    return "";
}

std::string parseEthernet(const std::vector<std::string>& args, ScriptEvent& event) {
    if (!wantArgs(args, 1, 1)) {
        return usageOf(event);
    }
    if (args[0] != "none") {
        event.ability = parseHex16(args[0]);
        if (!event.ability) {
            return "ethernet: bad ability word '" + args[0] + "'";
        }
    }
    return "";
}

std::string parseUpDown(const std::vector<std::string>& args, ScriptEvent& event) {
    if (!wantArgs(args, 1, 1) || (args[0] != "up" && args[0] != "down")) {
        return usageOf(event);
    }
    event.up = args[0] == "up";
    return "";
}

std::string parseSend(const std::vector<std::string>& args, ScriptEvent& event) {
    return parseTraffic(args, event, {"chain", "to", "type", "every"});
}

std::string parseReceive(const std::vector<std::string>& args, ScriptEvent& event) {
    return parseTraffic(args, event, {"from", "to", "type", "every"});
}

// The hex bytes of args[first...], spaces between them allowed.
std::string parseBytes(const std::vector<std::string>& args, std::size_t first,
                       ScriptEvent& event) {
    std::string hex;
    for (std::size_t i = first; i < args.size(); i++) {
        hex += args[i];
    }
    auto bytes = parseHexBytes(hex);
    if (!bytes) {
        return std::string(event.entry->name) + ": bad hex bytes '" + hex + "'";
    }
    event.bytes = std::move(*bytes);
    return "";
}

std::string parseInject(const std::vector<std::string>& args, ScriptEvent& event) {
    if (args.empty()) {
        return usageOf(event);
    }
    return parseBytes(args, 0, event);
}

std::string parseOidArg(const std::vector<std::string>& args, ScriptEvent& event) {
    auto oid = parseOid(args[0]);
    if (!oid) {
        return std::string(event.entry->name) + ": unknown OID '" + args[0] +
               "' (an NDIS name or 0x value; see --list-oids)";
    }
    event.oid = *oid;
    return "";
}

std::string parseQuery(const std::vector<std::string>& args, ScriptEvent& event) {
    if (args.empty()) {
        return usageOf(event);
    }
    if (std::string problem = parseOidArg(args, event); !problem.empty()) {
        return problem;
    }
    event.bufferLength = 512;
    if (args.size() >= 2) {
        auto length = parseNumber(args[1], 65536);
        if (!length) {
            return "query: LENGTH must be 0 to 65536, got '" + args[1] + "'";
        }
        event.bufferLength = static_cast<std::uint32_t>(*length);
    }
    if (std::string problem = parseBytes(args, 2, event); !problem.empty()) {
        return problem;
    }
    if (event.bytes.size() > event.bufferLength) {
        return "query: " + std::to_string(event.bytes.size()) +
               " input bytes do not fit a buffer of " + std::to_string(event.bufferLength);
    }
    return "";
}

std::string parseSet(const std::vector<std::string>& args, ScriptEvent& event) {
    if (args.empty()) {
        return usageOf(event);
    }
    if (std::string problem = parseOidArg(args, event); !problem.empty()) {
        return problem;
    }
    return parseBytes(args, 1, event);
}

std::string parseFaultCommand(const std::vector<std::string>& args, ScriptEvent& event) {
    if (!wantArgs(args, 2, 3)) {
        return usageOf(event);
    }
    auto entry = parseFault(args[0], args[1]);
    if (auto* problem = std::get_if<std::string>(&entry)) {
        return *problem;
    }
    event.fault = std::get<FaultSpec>(entry);
    if (args.size() == 3) {
        auto count = parseNumber(args[2], 100000);
        if (!count || *count == 0) {
            return "fault: COUNT must be 1 to 100000, got '" + args[2] + "'";
        }
        event.fault.times = static_cast<std::uint32_t>(*count);
    }
    return "";
}

std::string parseNothing(const std::vector<std::string>& args, ScriptEvent& event) {
    return args.empty() ? "" : std::string(event.entry->name) + " takes no arguments";
}

} // namespace

const std::vector<CommandSpec>& commands() {
    static const std::vector<CommandSpec> table = {
        {"ethernet", "ABILITY|none", parseEthernet, &Actions::ethernet,
         "Plug the cable to a partner with that ability word, or pull it.\n"
         "at 1s ethernet none          at 3s ethernet 0x01E1"},
        {"phoneline", "up|down", parseUpDown, &Actions::phoneLine,
         "Stations appear on the phone line, or it goes quiet.\n"
         "at 5s phoneline up"},
        {"send", "COUNT SIZE [chain N,N,...] [to DEST] [type ETHERTYPE] [every INTERVAL]",
         parseSend, &Actions::send,
         "COUNT frames of SIZE bytes (14 to 1514) from the upper edge (MiniportSend), to the\n"
         "peer on the wire unless 'to' names broadcast, multicast (01:00:5e:00:00:01) or an\n"
         "address; EtherType 0x88B5 unless 'type' gives one. 'chain' makes each packet of NDIS\n"
         "buffers of those lengths (the rest of SIZE in one more). Back to back, at most 256\n"
         "outstanding (the rest as earlier ones complete), or one each INTERVAL.\n"
         "at 100ms send 10 1514   at 1s send 2 60 chain 14,0,46 to broadcast\n"
         "at 2s send 100 64 type 0x0800 every 10ms"},
        {"receive", "COUNT SIZE [from MAC] [to DEST] [type ETHERTYPE] [every INTERVAL]",
         parseReceive, &Actions::receive,
         "COUNT frames of SIZE bytes from a peer on the active wire, to the adapter's station\n"
         "address unless 'to' names another (the packet filter decides), back to back at the\n"
         "medium's rate or one each INTERVAL.   at 200ms receive 3 64\n"
         "at 1s receive 5 60 from 02:00:00:00:00:09 to multicast type 0x0806 every 100ms"},
        {"inject-bulk-in", "HEXBYTES", parseInject, &Actions::injectBulkIn,
         "One raw bulk-in transfer from the chip: frame, CRC and two zero bytes, then the\n"
         "status word, low byte first (08 00: CRC error). Spaces between bytes are allowed.\n"
         "at 1s inject-bulk-in 024b56073501 025045455201 88b5 00000000 0000 0000"},
        {"query", "OID [LENGTH] [HEXBYTES]", parseQuery, &Actions::query,
         "MiniportQueryInformation with a buffer of LENGTH bytes (default 512) that starts\n"
         "with HEXBYTES (the rest is fill).   at 0s query OID_GEN_VENDOR_DESCRIPTION 40\n"
         "at 0s query OID_PNP_QUERY_POWER 4 04000000"},
        {"set", "OID HEXBYTES", parseSet, &Actions::set,
         "MiniportSetInformation with these bytes.\n"
         "at 0s set OID_GEN_CURRENT_PACKET_FILTER 0b000000"},
        {"hangcheck-off", "", parseNothing, &Actions::hangCheckOff,
         "NDIS stops calling MiniportCheckForHang (and with it the link watch).\n"
         "at 0s hangcheck-off"},
        {"hangcheck-on", "", parseNothing, &Actions::hangCheckOn,
         "... and calls it again from its next regular check.   at 5s hangcheck-on"},
        {"fault", "TARGET EFFECT [COUNT]", parseFaultCommand, &Actions::fault,
         "The next COUNT (default 1) matching USB requests or allocations get the fault. USB\n"
         "targets: bulk-in, bulk-out, control (any request on the default pipe), vendor-read,\n"
         "vendor-write (register requests); EFFECT error (completes with an error status),\n"
         "stall (the endpoint stalls) or hang (pending until cancelled). Allocation targets:\n"
         "pool, ndis (NDIS memory), irp; EFFECT fail.\n"
         "at 2s fault bulk-in error     at 3s fault bulk-out stall 2\n"
         "at 4s fault vendor-write hang  at 5s fault pool fail"},
        {"reset", "", parseNothing, &Actions::reset, "MiniportReset.   at 4s reset"},
        {"halt", "", parseNothing, &Actions::halt,
         "MiniportHalt (through REMOVE_DEVICE); the run ends.   at 15s halt", true},
        {"unplug", "", parseNothing, &Actions::unplug,
         "Surprise removal: the device leaves the bus, then SURPRISE_REMOVAL and\n"
         "REMOVE_DEVICE (MiniportHalt); the run ends.   at 3s unplug",
         true},
        {"shutdown", "", parseNothing, &Actions::shutdown,
         "An orderly system shutdown: the adapter shutdown handler at PASSIVE_LEVEL, then\n"
         "MiniportHalt; the run ends.   at 5s shutdown",
         true},
        {"bugcheck", "", parseNothing, &Actions::bugcheck,
         "NDIS's bugcheck callback: the shutdown handler at HIGH_LEVEL, where the driver may\n"
         "touch nothing. The run ends there, without a halt or the leak check; a USB request\n"
         "or verifier report then is a violation.   at 5s bugcheck",
         true},
    };
    return table;
}

host::Time lastTime(const ScriptEvent& event) {
    return event.every ? event.at + static_cast<host::Time>(event.count - 1) * *event.every
                       : event.at;
}

std::variant<Script, UsageError> parseScript(const std::string& text, const std::string& name,
                                             std::optional<host::Time> duration) {
    Script script;
    script.name = name;
    script.text = text;
    // Notepad starts a UTF-8 file with a byte-order mark.
    std::istringstream in(text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text);
    std::string raw;
    int lineNumber = 0;
    auto failAt = [&](int at, const std::string& problem) {
        return UsageError{name + ":" + std::to_string(at) + ": " + problem};
    };
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
        if (w[0] != "at" || w.size() < 3) {
            return failAt(lineNumber, "expected 'at TIME COMMAND ARGS...', got '" + line + "'");
        }
        auto at = parseTime(w[1]);
        if (!at) {
            return failAt(lineNumber, "bad time '" + w[1] + "' (use 2.5s, 500ms or 250us)");
        }
        ScriptEvent event;
        event.at = *at;
        event.line = lineNumber;
        auto entry = std::find_if(commands().begin(), commands().end(),
                                  [&](const CommandSpec& c) { return w[2] == c.name; });
        if (entry == commands().end()) {
            return failAt(lineNumber, "unknown command '" + w[2] + "' (see --help)");
        }
        event.entry = &*entry;
        std::vector<std::string> args(w.begin() + 3, w.end());
        event.text = w[2];
        for (const std::string& a : args) {
            event.text += " " + a;
        }
        if (std::string problem = entry->parse(args, event); !problem.empty()) {
            return failAt(lineNumber, problem);
        }
        script.events.push_back(std::move(event));
    }
    std::stable_sort(script.events.begin(), script.events.end(),
                     [](const ScriptEvent& a, const ScriptEvent& b) { return a.at < b.at; });
    const ScriptEvent* end = nullptr;
    for (const ScriptEvent& event : script.events) {
        if (end != nullptr) {
            return failAt(event.line, "'" + event.text + "' comes after the " + end->entry->name +
                                          " at line " + std::to_string(end->line) +
                                          ", where the run ends");
        }
        if (duration && lastTime(event) > *duration) {
            return failAt(event.line, "'" + event.text + "' is later than --duration (the run " +
                                          "ends before " +
                                          (event.every ? "its last frame)" : "it)"));
        }
        if (event.entry->ends) {
            end = &event;
        }
    }
    return script;
}

} // namespace kt735sim
