#include "simulation.h"

#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <host/ndis.h>
#include <host/pnp.h>
#include <host/usb_bus.h>
#include <host/usbmon.h>
#include <host/smp.h>
#include <host/world.h>
#include <kt735_device.h>

#include "captures.h"
#include "format.h"
#include "json_record.h"
#include "names.h"
#include "plot.h"
#include "realtime.h"
#include "recorder.h"
#include "tap_bridge.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace kt735sim {

namespace {

using host::kMillisecond;
using host::kSecond;
using host::Time;
using kt735::model::Medium;

// How long a driver routine may keep the caller waiting, in virtual time.
constexpr Time kWatchdog = 300 * kSecond;
// How often the chip's medium, links and drop counters are looked at for changes.
constexpr Time kWatchPeriod = 10 * kMillisecond;
// The station on the far end of either wire.
constexpr Mac kPeer = {0x02, 0x50, 0x45, 0x45, 0x52, 0x01};
// IEEE 802 local experimental EtherType, for the frames the scenario makes up.
constexpr std::uint16_t kEtherType = 0x88B5;

// "1 byte", "2 bytes".
std::string count(std::uint64_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::vector<std::uint8_t> makeFrame(const Mac& to, const Mac& from, std::uint16_t type,
                                    std::uint32_t size, std::uint64_t seq) {
    std::vector<std::uint8_t> frame(size);
    for (std::size_t i = 0; i < size; i++) {
        if (i < 6) {
            frame[i] = to[i];
        } else if (i < 12) {
            frame[i] = from[i - 6];
        } else if (i == 12) {
            frame[i] = static_cast<std::uint8_t>(type >> 8);
        } else if (i == 13) {
            frame[i] = static_cast<std::uint8_t>(type & 0xFF);
        } else {
            frame[i] = static_cast<std::uint8_t>(seq + i);
        }
    }
    return frame;
}

// The chip's state as the timeline reports its changes.
struct ChipState {
    Medium medium = Medium::Ethernet;
    bool fast = false;
    bool full = false;
    bool ethernetLink = false;
    bool phoneLineLink = false;
    bool operator==(const ChipState&) const = default;
};

class Simulation : public host::ndis::Protocol, public Actions {
  public:
    Simulation(const Options& options, const Script& script, std::ostream& out)
        : options_(options), script_(script), out_(out), text_(out, options.quiet) {}

    int run(std::ostream& err);

    // ---- the upper edge
    void receive(host::ndis::Adapter&, const std::vector<std::uint8_t>& frame,
                 NDIS_STATUS packetStatus) override {
        run_.frames.indicated++;
        if (tap_) {
            tap_->indicated(frame);
        }
        if (!keepsRecords()) {
            return;
        }
        std::string from = frame.size() >= 12 ? " from " + macText(frame.data() + 6) : "";
        Json fields = {{"length", frame.size()}, {"data", hexBytes(frame.data(), frame.size())}};
        fields["packet_status"] = hex32(static_cast<std::uint32_t>(packetStatus));
        fields["packet_status_name"] = statusName(static_cast<std::uint32_t>(packetStatus));
        record("receive", std::move(fields),
               tap_ ? "" : "receive " + count(frame.size(), "byte") + from);
    }
    void sendComplete(host::ndis::Adapter&, std::uint64_t id, NDIS_STATUS status) override {
        run_.frames.sendCompleted++;
        if (status != NDIS_STATUS_SUCCESS) {
            run_.frames.sendErrors++;
        }
        auto code = static_cast<std::uint32_t>(status);
        if (!keepsRecords()) {
            return;
        }
        Json fields = {{"id", id}};
        fields.update(statusJson(code));
        // Completions inside MiniportSend (of this send or of earlier ones it finished) are
        // recorded after the send; this send's own is told on its line.
        if (insideSend_) {
            heldCompletions_.push_back(
                {id, code, Record{rel(), "send-complete", std::move(fields)}});
            return;
        }
        record("send-complete", std::move(fields),
               tap_ ? "" : "send complete: " + statusText(code));
    }
    void sendResourcesAvailable(host::ndis::Adapter&) override {
        record("resources-available", Json::object(), "send resources available");
    }
    void status(host::ndis::Adapter&, NDIS_STATUS status,
                const std::vector<std::uint8_t>& buffer) override {
        auto code = static_cast<std::uint32_t>(status);
        if (tap_) {
            tap_->status(status);
        }
        Json fields = statusJson(code);
        fields["data"] = hexBytes(buffer.data(), buffer.size());
        record("status", std::move(fields), "status " + statusText(code));
    }
    void statusComplete(host::ndis::Adapter&) override {
        record("status-complete", Json::object(), "status complete");
    }
    void setComplete(host::ndis::Adapter&, NDIS_OID oid, NDIS_STATUS status, ULONG bytesRead,
                     ULONG bytesNeeded) override {
        auto code = static_cast<std::uint32_t>(status);
        Json fields = {{"oid", hex32(oid)}, {"name", oidName(oid)}};
        fields.update(statusJson(code));
        fields["bytes_read"] = bytesRead;
        fields["bytes_needed"] = bytesNeeded;
        record("set-complete", std::move(fields),
               "set " + oidName(oid) + " complete: " + statusText(code));
    }

    // ---- the script's commands
    void ethernet(const ScriptEvent& event) override;
    void phoneLine(const ScriptEvent& event) override;
    void send(const ScriptEvent& event) override;
    void receive(const ScriptEvent& event) override;
    void injectBulkIn(const ScriptEvent& event) override;
    void query(const ScriptEvent& event) override;
    void set(const ScriptEvent& event) override;
    void hangCheckOff(const ScriptEvent&) override { adapter_->suspendHangCheck(true); }
    void hangCheckOn(const ScriptEvent&) override { adapter_->suspendHangCheck(false); }
    void reset(const ScriptEvent& event) override;
    void halt(const ScriptEvent&) override { halt(false); }
    void unplug(const ScriptEvent&) override { halt(true); }
    void shutdown(const ScriptEvent&) override { shutdown(false); }
    void bugcheck(const ScriptEvent&) override { shutdown(true); }
    void fault(const ScriptEvent& event) override { arm(event.fault); }

  private:
    Time rel() const { return world_->now() - run_.t0; }
    // Per-frame records are built only for an output that shows them: the text (not --quiet,
    // and not in TAP mode, which counts the frames on the TAPs), the JSON record or the plot. A
    // quiet run keeps counts only, so its memory does not grow per frame.
    bool keepsRecords() const {
        return (!options_.quiet && !options_.tap) || options_.json.has_value() ||
               options_.plot.has_value();
    }

    void record(std::string kind, Json fields, const std::string& text) {
        run_.records.push_back({rel(), std::move(kind), std::move(fields)});
        if (text.empty()) {
            return;
        }
        // Until MiniportInitialize returns, the time base is not known: hold the lines.
        if (!run_.initializeStatus) {
            bringUpText_.emplace_back(rel(), text);
        } else {
            text_.print(rel(), text);
        }
    }

    void flush() { text_.flush(); }
    void line(const std::string& text) { text_.line(text); }
    // A line that continues the one above, under its text.
    void more(const std::string& text) { line(std::string(stamp(0).size() + 2, ' ') + text); }

    // Injected faults: USB ones go to the bus, allocation ones are decided here.
    struct AllocationFault {
        host::Memory::Kind kind;
        FaultSpec entry;
        std::uint32_t seen = 0;
        std::uint32_t hits = 0;
    };
    void arm(const FaultSpec& entry);
    bool allocationFails(const host::Memory::Allocation& allocation);
    void fired(const char* target, const char* effect, const std::string& request);

    ChipState chipState() const;
    void watchChip();
    void recordChip(const char* kind);
    void guard(const char* what);
    void unguard();
    void setUp();
    void initialize();
    void execute(const ScriptEvent& event);
    std::string scriptText(const ScriptEvent& event) const;
    void queryCounters();
    void halt(bool unplug);
    void shutdown(bool bugcheck);
    void runTo(Time when);
    bool openTaps(std::ostream& err);
    void startRealTime();
    NDIS_STATUS sendFromTap(std::span<const std::uint8_t> frame);
    void progress(Time end, bool last);
    std::string answerText(std::uint32_t oid, const std::vector<std::uint8_t>& data) const;
    // A burst of received frames, made one at a time as they go on the wire.
    struct RxStream {
        kt735::model::Segment* wire;
        Time perBit;
        std::uint32_t size;
        std::uint64_t base; // sequence number of the first frame
        std::uint32_t next;
        std::uint32_t count;
        Time start;
        Mac to;
        Mac from;
        std::uint16_t type;
    };
    void nextStreamFrame(std::shared_ptr<RxStream> stream);
    Json inputs() const;
    bool writeOutputs(std::ostream& err, int exitStatus);
    void summary();
    void end();
    int finish(std::ostream& err);

    const Options& options_;
    const Script& script_;
    std::ostream& out_;

    std::unique_ptr<host::usb::UsbmonWriter> usbmon_;
    std::unique_ptr<kt735::model::PcapngWriter> wirePcap_;
    std::unique_ptr<host::World> world_;
    std::unique_ptr<kt735::model::Kt735Device> device_;
    std::unique_ptr<host::usb::Bus> bus_;
    std::optional<Tap> hostTap_;
    std::optional<Tap> peerTap_;
    std::unique_ptr<TapBridge> tap_;
    std::unique_ptr<RealTimeLoop> realTime_;
    bool stopped_ = false; // a signal ended the real-time run
    PDRIVER_OBJECT driver_ = nullptr;
    host::ndis::Adapter* adapter_ = nullptr;

    NTSTATUS entryStatus_ = STATUS_SUCCESS;
    bool bugchecked_ = false;
    bool halted_ = false;
    RunRecord run_;
    std::uint64_t frameSeq_ = 0;
    bool insideSend_ = false;
    struct HeldCompletion {
        std::uint64_t id;
        std::uint32_t status;
        Record record;
    };
    std::vector<HeldCompletion> heldCompletions_;
    std::vector<std::pair<Time, std::string>> bringUpText_;
    host::EventId watchdog_ = 0;
    TextOutput text_;
    ChipState chip_;
    kt735::model::Counters drops_;
    std::uint64_t resetsSeen_ = 0;
    std::vector<AllocationFault> allocationFaults_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastProgress_{};
    bool progressShown_ = false;
};

void Simulation::setUp() {
    world_ = std::make_unique<host::World>();
    world_->verifier().setHandler(
        [this](const host::Violation& v) { run_.violations.push_back(v.text()); });
    world_->memory().setFailurePolicy(
        [this](const host::Memory::Allocation& a) { return allocationFails(a); });
    kt735::model::UsbIdentity identity;
    identity.deviceDescriptorBytes = options_.deviceDescriptor;
    identity.configDescriptorBytes = options_.configDescriptor;
    device_ = std::make_unique<kt735::model::Kt735Device>(identity);
    if (options_.mac) {
        device_->setPermanentAddress(*options_.mac);
    }
    if (options_.ethernet) {
        device_->ethernet().setPartnerAbility(*options_.ethernet);
    } else {
        device_->ethernet().pull();
    }
    if (options_.phoneLineId == 0xFFFF || options_.phoneLineId == 0x0000) {
        device_->phoneLinePhy().setAbsent(options_.phoneLineId);
    } else {
        device_->phoneLinePhy().setIdentifier(options_.phoneLineId);
    }
    device_->phoneLine().setStationsPresent(options_.phoneLineUp);
    device_->ethernet().attach<WireTap>(run_.wires["ethernet"], wirePcap_.get());
    device_->phoneLine().attach<WireTap>(run_.wires["phone-line"], wirePcap_.get());

    bus_ = std::make_unique<host::usb::Bus>();
    bus_->setCapture(usbmon_.get());
    bus_->onFault = [this](const host::usb::Fault& fault, const host::usb::Request& request) {
        const char* effect = fault.action == host::usb::Fault::Action::Stall  ? "stall"
                             : fault.action == host::usb::Fault::Action::Hold ? "hang"
                                                                              : "error";
        fired(fault.label.c_str(), effect, request.text());
    };
    bus_->plug(*device_);
    for (const FaultSpec& fault : options_.initFaults) {
        arm(fault);
    }

    for (const auto& [name, value] : options_.params) {
        world_->ndis().defaultParameters().set(name, static_cast<ULONG>(value));
    }
    if (options_.networkAddress) {
        world_->ndis().defaultParameters().set("NetworkAddress", *options_.networkAddress);
    }
    run_.inputs = inputs();
}

// The run's inputs for the record: the command line, the parameters in effect, the wires, the
// EEPROM address and the script.
Json Simulation::inputs() const {
    Json in;
    in["arguments"] = options_.arguments;
    in["parameters"] = Json::array();
    for (const ParamInfo& p : driverParams()) {
        Json row = {{"keyword", p.keyword}, {"value", p.defaultValue}, {"given", false}};
        for (const auto& [name, value] : options_.params) {
            if (strcasecmp(name.c_str(), p.keyword.c_str()) == 0) {
                row["value"] = value;
                row["given"] = true;
            }
        }
        in["parameters"].push_back(std::move(row));
    }
    for (const auto& [name, value] : options_.params) {
        bool known = false;
        for (const ParamInfo& p : driverParams()) {
            known = known || strcasecmp(name.c_str(), p.keyword.c_str()) == 0;
        }
        if (!known) {
            in["parameters"].push_back({{"keyword", name}, {"value", value}, {"given", true}});
        }
    }
    in["network_address"] = options_.networkAddress ? Json(*options_.networkAddress) : Json();
    char partner[8] = "none";
    char phy[8];
    if (options_.ethernet) {
        std::snprintf(partner, sizeof(partner), "0x%04X", *options_.ethernet);
    }
    std::snprintf(phy, sizeof(phy), "0x%04X", options_.phoneLineId);
    in["wires"] = {{"ethernet_partner", partner},
                   {"phone_line_phy", phy},
                   {"phone_line_stations", options_.phoneLineUp}};
    std::array<std::uint8_t, 6> permanent{};
    for (std::uint8_t i = 0; i < 3; i++) {
        std::uint16_t word = device_->eepromWord(i);
        permanent[2 * i] = static_cast<std::uint8_t>(word & 0xFF);
        permanent[2 * i + 1] = static_cast<std::uint8_t>(word >> 8);
    }
    in["eeprom_address"] = macText(permanent.data());
    in["duration"] =
        options_.duration ? Json(static_cast<double>(*options_.duration) / kSecond) : Json();
    in["script"] = {{"name", script_.name}, {"text", script_.text}};
    return in;
}

void Simulation::initialize() {
    char ethernet[32] = "cable pulled";
    if (options_.ethernet) {
        std::snprintf(ethernet, sizeof(ethernet), "partner 0x%04X", *options_.ethernet);
    }
    char wires[160];
    std::snprintf(wires, sizeof(wires),
                  "wires: Ethernet %s; phone-line PHY 0x%04X, %s; EEPROM address %s", ethernet,
                  options_.phoneLineId, options_.phoneLineUp ? "stations on the line" : "quiet",
                  run_.inputs["eeprom_address"].get<std::string>().c_str());
    line("kt735sim " + std::string(kToolVersion) + ": KT735N " + driverVersion() +
         " on a simulated KT735 (" + script_.name + ")");
    line(wires);
    std::string params = "parameters:";
    for (const Json& p : run_.inputs["parameters"]) {
        std::string item = " " + p["keyword"].get<std::string>() + "=" +
                           std::to_string(p["value"].get<std::uint32_t>()) +
                           (p["given"].get<bool>() ? "*" : "");
        if (params.size() + item.size() > 94) {
            line(params);
            params = "           ";
        }
        params += item;
    }
    line(params + "  (*: given)");
    if (options_.networkAddress) {
        line("            NetworkAddress=" + *options_.networkAddress);
    }

    driver_ = world_->pnp().loadDriver(DriverEntry, L"KT735N", &entryStatus_);
    if (!NT_SUCCESS(entryStatus_)) {
        line("DriverEntry failed: " + hex32(static_cast<std::uint32_t>(entryStatus_)));
        return;
    }
    NTSTATUS added = world_->pnp().addDevice(driver_, bus_->pdo());
    adapter_ = world_->ndis().lastAdapter();
    if (!NT_SUCCESS(added) || adapter_ == nullptr) {
        line("AddDevice failed: " + hex32(static_cast<std::uint32_t>(added)));
        adapter_ = nullptr;
        return;
    }
    adapter_->attach(this);
    // This tool is the protocol; NDIS's own recording of what it indicates is not needed.
    adapter_->log().setRecording(false);
    Time started = world_->now();
    guard("START_DEVICE (MiniportInitialize)");
    run_.startDeviceStatus = static_cast<std::uint32_t>(
        world_->pnp().send(bus_->pdo(), IRP_MN_START_DEVICE).dispatchStatus);
    unguard();
    run_.t0 = world_->now();
    auto status = static_cast<std::uint32_t>(adapter_->initializeStatus());
    run_.initializeStatus = status;
    // Events recorded during the bring-up were stamped before t0 was known.
    for (Record& r : run_.records) {
        r.t -= run_.t0;
    }
    for (const auto& [t, text] : bringUpText_) {
        text_.print(t - run_.t0, text);
    }
    bringUpText_.clear();
    text_.flush();

    std::size_t writes = 0;
    for (const host::usb::Request& r : bus_->log()) {
        if (r.setup && r.setup->bRequest == 0xF1 && (r.setup->bmRequestType & 0x60) == 0x40) {
            writes++;
        }
    }
    std::string took = seconds(run_.t0 - started);
    if (status == NDIS_STATUS_SUCCESS) {
        line("initialize: NDIS_STATUS_SUCCESS after " + took + " s; " +
             count(bus_->log().size(), "USB request") + ", " + count(writes, "register write"));
        recordChip("initialized");
        resetsSeen_ = adapter_->resets();
        std::array<std::uint8_t, 6> station = device_->stationAddress();
        more("station address " + macText(station.data()) + "; times below count from here");
        world_->scheduler().after(
            kWatchPeriod, [this] { watchChip(); }, "kt735sim chip watch",
            host::Scheduler::Level::Dispatch, true);
    } else {
        line("initialize failed: " + hex32(status) +
             (statusName(status).empty() ? "" : " (" + statusName(status) + ")") + " after " +
             took + " s; " + count(bus_->log().size(), "USB request") + ", the last:");
        std::size_t n = bus_->log().size();
        for (std::size_t i = n > 4 ? n - 4 : 0; i < n; i++) {
            line("    " + bus_->log()[i].text());
        }
    }
}

void Simulation::arm(const FaultSpec& entry) {
    using host::usb::Fault;
    run_.faultsArmed++;
    if (!isUsbTarget(entry.target)) {
        host::Memory::Kind kind = entry.target == FaultTarget::Pool   ? host::Memory::Kind::Pool
                                  : entry.target == FaultTarget::Ndis ? host::Memory::Kind::Ndis
                                                                      : host::Memory::Kind::Irp;
        allocationFaults_.push_back({kind, entry});
        return;
    }
    host::usb::Match match;
    match.nth = entry.nth;
    switch (entry.target) {
    case FaultTarget::BulkIn:
    case FaultTarget::BulkOut:
        match.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        match.endpoint = entry.target == FaultTarget::BulkIn ? 0x81 : 0x02;
        break;
    case FaultTarget::VendorRead:
    case FaultTarget::VendorWrite:
        match.function = URB_FUNCTION_VENDOR_DEVICE;
        match.bRequest = entry.target == FaultTarget::VendorRead ? 0xF0 : 0xF1;
        break;
    default:
        match.endpoint = 0;
        break;
    }
    Fault fault = entry.effect == FaultEffect::Stall ? Fault::stalling(match, entry.count)
                  : entry.effect == FaultEffect::Hang
                      ? Fault::holding(match, entry.count)
                      : Fault::failing(match, USBD_STATUS_DEV_NOT_RESPONDING, entry.count);
    fault.label = faultTargetName(entry.target);
    bus_->addFault(fault);
}

bool Simulation::allocationFails(const host::Memory::Allocation& allocation) {
    for (AllocationFault& f : allocationFaults_) {
        if (f.kind != allocation.kind || f.hits >= f.entry.count || ++f.seen < f.entry.nth) {
            continue;
        }
        f.hits++;
        fired(faultTargetName(f.entry.target), "fail", "");
        return true;
    }
    return false;
}

void Simulation::fired(const char* target, const char* effect, const std::string& request) {
    run_.faultsFired++;
    Json fields = {{"target", target}, {"effect", effect}};
    if (!request.empty()) {
        fields["request"] = request;
    }
    record("fault", std::move(fields),
           std::string("fault: ") + target + " " + effect +
               (request.empty() ? std::string() : " on " + request));
}

ChipState Simulation::chipState() const {
    std::uint8_t control1 = device_->reg(kt735::model::reg::kControl1);
    return {device_->activeMedium(), (control1 & 0x10) != 0, (control1 & 0x20) != 0,
            device_->ethernetPhy().link(), device_->phoneLinePhy().link()};
}

// Records the chip's medium, speed, duplex and both links.
void Simulation::recordChip(const char* kind) {
    chip_ = chipState();
    bool phone = chip_.medium == Medium::PhoneLine;
    bool link = phone ? chip_.phoneLineLink : chip_.ethernetLink;
    std::string text = phone ? std::string("phone line, 1 Mbit/s")
                             : std::string("Ethernet, ") + (chip_.fast ? "100" : "10") +
                                   " Mbit/s " + (chip_.full ? "full" : "half") + " duplex";
    record(kind,
           {{"medium", phone ? "phone-line" : "ethernet"},
            {"mbps", phone ? 1 : (chip_.fast ? 100 : 10)},
            {"duplex", phone || !chip_.full ? "half" : "full"},
            {"link", link},
            {"ethernet_link", chip_.ethernetLink},
            {"phone_line_link", chip_.phoneLineLink}},
           "chip on " + text + ", link " + (link ? "up" : "down") + " (Ethernet link " +
               (chip_.ethernetLink ? "up" : "down") + ", phone line " +
               (chip_.phoneLineLink ? "up" : "down") + ")");
}

// Every period, in virtual time: a change of the chip's medium, speed, duplex or links is
// recorded as it happens, and so are frames the chip dropped and resets NDIS made on its own.
void Simulation::watchChip() {
    if (halted_ || adapter_ == nullptr || !adapter_->running()) {
        return;
    }
    if (!(chipState() == chip_)) {
        recordChip("medium");
    }
    const kt735::model::Counters& c = device_->counters();
    const std::pair<std::uint64_t kt735::model::Counters::*, const char*> reasons[] = {
        {&kt735::model::Counters::txDroppedNoLink, "send: no link"},
        {&kt735::model::Counters::txDroppedDisabled, "send: transmitter off"},
        {&kt735::model::Counters::txSpeedMismatch, "send: speed or duplex mismatch"},
        {&kt735::model::Counters::txOversize, "send: oversize"},
        {&kt735::model::Counters::txMalformed, "send: malformed transfer"},
        {&kt735::model::Counters::rxFiltered, "receive: not addressed"},
        {&kt735::model::Counters::rxOverflow, "receive: FIFO full"},
        {&kt735::model::Counters::rxDroppedDisabled, "receive: receiver off"},
        {&kt735::model::Counters::rxOversize, "receive: oversize"},
        {&kt735::model::Counters::rxRunt, "receive: runt"},
    };
    for (auto [member, why] : reasons) {
        if (c.*member != drops_.*member) {
            std::uint64_t n = c.*member - drops_.*member;
            drops_.*member = c.*member;
            record("drop", {{"reason", why}, {"count", n}},
                   "chip dropped " + count(n, "frame") + " (" + why + ")");
        }
    }
    if (adapter_->resets() != resetsSeen_) {
        resetsSeen_ = adapter_->resets();
        record("reset", {{"by", "ndis"}}, "NDIS reset the adapter (MiniportCheckForHang)");
    }
    world_->scheduler().after(
        kWatchPeriod, [this] { watchChip(); }, "kt735sim chip watch",
        host::Scheduler::Level::Dispatch, true);
}

void Simulation::guard(const char* what) {
    std::string name = what;
    watchdog_ = world_->scheduler().after(
        kWatchdog,
        [this, name] {
            run_.violations.push_back(name + " has not returned after " + seconds(kWatchdog) +
                                      " s of virtual time");
            flush();
            line("kt735sim: " + run_.violations.back() + "; the run is abandoned");
            out_.flush();
            for (const std::string& v : run_.violations) {
                std::cerr << "kt735sim: verifier: " << v << "\n";
            }
            run_.end = rel();
            writeOutputs(std::cerr, 1);
            std::_Exit(1);
        },
        "kt735sim watchdog", host::Scheduler::Level::Dispatch, true);
}

void Simulation::unguard() {
    if (watchdog_ != 0) {
        world_->scheduler().cancel(watchdog_);
        watchdog_ = 0;
    }
}

// Runs virtual time to `when`, in steps, so that a long run can show its progress; in TAP mode
// as the wall clock goes, until a signal stops it.
void Simulation::runTo(Time when) {
    if (realTime_) {
        if (!stopped_ && !realTime_->runTo(when)) {
            stopped_ = true;
            const char* name = realTime_->stoppedBy() == SIGINT ? "SIGINT" : "SIGTERM";
            record("signal", {{"signal", name}}, std::string(name) + ": the run stops");
        }
        return;
    }
    while (when > world_->now()) {
        world_->scheduler().runFor(std::min<Time>(when - world_->now(), kSecond));
        progress(when, false);
    }
}

// Makes the two TAP interfaces of --tap; false (and a message) when one cannot be made.
bool Simulation::openTaps(std::ostream& err) {
    std::string error;
    hostTap_ = Tap::create(options_.tap->first, error);
    if (hostTap_) {
        peerTap_ = Tap::create(options_.tap->second, error);
    }
    if (!peerTap_) {
        err << "kt735sim: --tap: cannot make the TAP interface " << error << "\n";
        return false;
    }
    return true;
}

// From initialization on, in TAP mode: the protocol binds and virtual time follows the clock.
void Simulation::startRealTime() {
    realTime_ = std::make_unique<RealTimeLoop>(world_->scheduler());
    tap_ = std::make_unique<TapBridge>(
        std::move(*hostTap_), std::move(*peerTap_), *device_, world_->scheduler(),
        [this](std::span<const std::uint8_t> frame) { return sendFromTap(frame); },
        [this](const std::string& text) {
            record("tap", {{"text", text}}, text);
        });
    hostTap_.reset();
    peerTap_.reset();
    tap_->bind(*adapter_, *realTime_);
    // Lines held back for folding go out while they are news.
    realTime_->every(std::chrono::milliseconds(250), [this] { flush(); });
}

// A frame Linux sent on HOST_IF, to MiniportSend; counted, and recorded for the JSON record
// and the plot only.
NDIS_STATUS Simulation::sendFromTap(std::span<const std::uint8_t> frame) {
    host::ndis::Adapter::SendResult result = adapter_->send(frame);
    run_.frames.sent++;
    if (keepsRecords()) {
        Json fields = {{"id", result.id}, {"length", frame.size()}};
        fields.update(statusJson(static_cast<std::uint32_t>(result.status)));
        record("send", std::move(fields), "");
    }
    return result.status;
}

// On a terminal, after two seconds of real time: where the run is, on one line of stderr.
void Simulation::progress(Time end, bool last) {
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    auto now = std::chrono::steady_clock::now();
    if (!terminal || now - started_ < std::chrono::seconds(2)) {
        return;
    }
    if (last) {
        if (progressShown_) {
            std::cerr << "\r\033[K" << std::flush;
        }
        return;
    }
    if (now - lastProgress_ >= std::chrono::milliseconds(250)) {
        lastProgress_ = now;
        progressShown_ = true;
        std::cerr << "\rkt735sim: " << seconds(rel()) << " s of " << seconds(end - run_.t0)
                  << " s virtual, " << count(run_.records.size(), "event") << "\033[K"
                  << std::flush;
    }
}

void Simulation::send(const ScriptEvent& event) {
    Mac to = event.to.value_or(kPeer);
    for (std::uint32_t i = 0; i < event.count; i++) {
        std::vector<std::uint8_t> frame =
            makeFrame(to, device_->stationAddress(), event.type.value_or(kEtherType), event.size,
                      frameSeq_++);
        insideSend_ = true;
        auto result = adapter_->send(frame, event.chain);
        insideSend_ = false;
        run_.frames.sent++;
        auto status = static_cast<std::uint32_t>(result.status);
        std::string completion;
        for (const HeldCompletion& held : heldCompletions_) {
            if (held.id == result.id && status == NDIS_STATUS_PENDING) {
                completion = ", completed at once: " + statusText(held.status);
            } else {
                completion +=
                    ", send " + std::to_string(held.id) + " completed: " + statusText(held.status);
            }
        }
        if (!keepsRecords()) {
            continue;
        }
        Json fields = {{"id", result.id}, {"length", event.size}};
        if (!event.chain.empty()) {
            fields["chain"] = event.chain;
        }
        fields.update(statusJson(status));
        record("send", std::move(fields),
               "send " + count(event.size, "byte") + (event.chain.empty() ? "" : " (chained)") +
                   ": " + statusText(status) + completion);
        for (HeldCompletion& held : heldCompletions_) {
            run_.records.push_back(std::move(held.record));
        }
        heldCompletions_.clear();
    }
}

void Simulation::receive(const ScriptEvent& event) {
    bool phone = device_->activeMedium() == Medium::PhoneLine;
    kt735::model::Segment& wire =
        phone ? static_cast<kt735::model::Segment&>(device_->phoneLine()) : device_->ethernet();
    // Back to back at the medium's rate: preamble, frame, CRC and gap take (size + 24) bytes.
    Time perBit = phone ? 10 : ((device_->reg(kt735::model::reg::kControl1) & 0x10) ? 0 : 1);
    // The frames are made one at a time as they go on the wire, each scheduling the next, so a
    // long burst holds one frame in memory rather than all of them.
    auto stream = std::make_shared<RxStream>(
        RxStream{&wire, perBit, event.size, frameSeq_, 0, event.count, world_->now(),
                 event.to.value_or(device_->stationAddress()), event.from.value_or(kPeer),
                 event.type.value_or(kEtherType)});
    frameSeq_ += event.count;
    nextStreamFrame(std::move(stream));
}

void Simulation::nextStreamFrame(std::shared_ptr<RxStream> s) {
    Time bits = static_cast<Time>(s->size + 24) * 8 * s->next;
    Time delay = s->perBit == 0 ? bits / 10 : bits * s->perBit;
    world_->scheduler().at(
        s->start + delay,
        [this, s] {
            s->wire->sendToAdapter(makeFrame(s->to, s->from, s->type, s->size, s->base + s->next));
            if (++s->next < s->count) {
                nextStreamFrame(s);
            }
        },
        "kt735sim receive");
}

void Simulation::ethernet(const ScriptEvent& event) {
    if (event.ability) {
        device_->ethernet().setPartnerAbility(*event.ability);
        if (!device_->ethernet().plugged()) {
            device_->ethernet().plug();
        }
    } else {
        device_->ethernet().pull();
    }
}

void Simulation::phoneLine(const ScriptEvent& event) {
    device_->phoneLine().setStationsPresent(event.up);
}

void Simulation::injectBulkIn(const ScriptEvent& event) {
    device_->injectBulkIn(event.bytes);
}

void Simulation::reset(const ScriptEvent&) {
    BOOLEAN addressing = FALSE;
    guard("MiniportReset");
    auto status = static_cast<std::uint32_t>(adapter_->reset(&addressing));
    unguard();
    resetsSeen_ = adapter_->resets();
    Json fields = {{"by", "script"}};
    fields.update(statusJson(status));
    fields["addressing_reset"] = addressing != FALSE;
    record("reset", std::move(fields), "reset: " + statusText(status));
}

// The values that are flags, identifiers or versions print in hex.
bool hexAnswer(std::uint32_t oid) {
    switch (oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
    case OID_GEN_MAC_OPTIONS:
    case OID_GEN_VENDOR_ID:
    case OID_GEN_DRIVER_VERSION:
    case OID_GEN_VENDOR_DRIVER_VERSION:
    case OID_GEN_PROTOCOL_OPTIONS:
    case OID_802_3_MAC_OPTIONS:
        return true;
    default:
        return false;
    }
}

std::string Simulation::answerText(std::uint32_t oid, const std::vector<std::uint8_t>& d) const {
    if (d.size() == 4) {
        std::uint32_t v = le32(d);
        if (hexAnswer(oid)) {
            return hex32(v);
        }
        if (oid == OID_GEN_LINK_SPEED) {
            return std::to_string(v) + " (" + std::to_string(v / 10000) + " Mbit/s)";
        }
        if (oid == OID_GEN_MEDIA_CONNECT_STATUS) {
            return std::to_string(v) + (v == 0 ? " (connected)" : " (disconnected)");
        }
        return std::to_string(v);
    }
    if (oid == OID_GEN_SUPPORTED_LIST && d.size() % 4 == 0) {
        return count(d.size() / 4, "OID");
    }
    if (d.size() == 6) {
        return macText(d.data());
    }
    if (d.size() == 2) {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%04X", d[0] | (d[1] << 8));
        return text;
    }
    if (!d.empty() && d.back() == 0 && d.size() < 100) {
        return "\"" + std::string(d.begin(), d.end() - 1) + "\"";
    }
    return count(d.size(), "byte");
}

void Simulation::query(const ScriptEvent& event) {
    host::ndis::Adapter::Request r = adapter_->query(event.oid, event.bufferLength, event.bytes);
    auto status = static_cast<std::uint32_t>(r.status);
    std::vector<std::uint8_t> written;
    if (r.bytesDoneStored) {
        written.assign(r.data.begin(),
                       r.data.begin() + std::min<std::size_t>(r.bytesDone, r.data.size()));
    }
    Json fields = {{"oid", hex32(event.oid)}, {"name", oidName(event.oid)}};
    if (!event.bytes.empty()) {
        fields["input"] = hexBytes(event.bytes.data(), event.bytes.size());
    }
    fields.update(statusJson(status));
    fields["data"] = hexBytes(written.data(), written.size());
    if (r.bytesDoneStored) {
        fields["bytes_written"] = r.bytesDone;
    }
    if (r.bytesNeededStored) {
        fields["bytes_needed"] = r.bytesNeeded;
    }
    std::string text = "query " + oidName(event.oid) + ": ";
    if (status == NDIS_STATUS_SUCCESS) {
        text += answerText(event.oid, written);
    } else {
        text += statusText(status);
        if (r.bytesNeededStored) {
            text += ", " + count(r.bytesNeeded, "byte") + " needed";
        }
    }
    record("query", std::move(fields), text);
}

void Simulation::set(const ScriptEvent& event) {
    // A pended set finishes later, in its own "set-complete" record.
    guard("MiniportSetInformation");
    host::ndis::Adapter::Request r = adapter_->beginSet(event.oid, event.bytes);
    unguard();
    auto status = static_cast<std::uint32_t>(r.status);
    Json fields = {{"oid", hex32(event.oid)}, {"name", oidName(event.oid)}};
    fields.update(statusJson(status));
    fields["data"] = hexBytes(event.bytes.data(), event.bytes.size());
    if (r.bytesDoneStored) {
        fields["bytes_read"] = r.bytesDone;
    }
    if (r.bytesNeededStored) {
        fields["bytes_needed"] = r.bytesNeeded;
    }
    record("set", std::move(fields), "set " + oidName(event.oid) + ": " + statusText(status));
}

void Simulation::queryCounters() {
    for (std::uint32_t oid : counterOids()) {
        ULONG value = 0;
        host::ndis::Adapter::Request r = adapter_->queryUlong(oid, value);
        if (r.status == NDIS_STATUS_SUCCESS) {
            run_.counters.emplace_back(oidName(oid), static_cast<std::uint32_t>(value));
        }
    }
}

// The adapter shutdown handler as NDIS calls it: at PASSIVE_LEVEL for an orderly system
// shutdown, then halt; or at HIGH_LEVEL from NDIS's bugcheck callback, after which nothing more
// runs, and any USB request the handler made is a violation.
void Simulation::shutdown(bool bugcheck) {
    const char* irql = bugcheck ? "HIGH_LEVEL" : "PASSIVE_LEVEL";
    record("shutdown", {{"irql", irql}},
           bugcheck ? "bugcheck: shutdown handler at HIGH_LEVEL"
                    : "system shutdown: shutdown handler at PASSIVE_LEVEL");
    std::size_t requests = bus_->log().size();
    guard("MiniportShutdown");
    adapter_->shutdown(bugcheck);
    unguard();
    if (!bugcheck) {
        halt(false);
        return;
    }
    if (bus_->log().size() != requests) {
        run_.violations.push_back("the shutdown handler made " +
                                  std::to_string(bus_->log().size() - requests) +
                                  " USB requests at HIGH_LEVEL");
    }
    bugchecked_ = true;
    halted_ = true;
    flush();
    line(stamp(rel()) + "  stopped in the bugcheck");
}

void Simulation::halt(bool unplug) {
    if (adapter_->running()) {
        queryCounters();
    }
    record("halt", {{"unplugged", unplug}},
           unplug ? "device unplugged: surprise removal, then halt" : "halt");
    if (unplug) {
        bus_->unplug();
        world_->pnp().surpriseRemoval(bus_->pdo());
    }
    guard("REMOVE_DEVICE (MiniportHalt)");
    world_->pnp().removeDevice(bus_->pdo());
    unguard();
    halted_ = true;
    flush();
    line(stamp(rel()) + "  halted");
}

// What a script event does, for the text output; "" for those that print their own results.
std::string Simulation::scriptText(const ScriptEvent& event) const {
    const std::string name = event.entry->name;
    char text[96];
    if (name == "ethernet") {
        if (!event.ability) {
            return "Ethernet cable pulled";
        }
        std::snprintf(text, sizeof(text), "Ethernet cable %s, link partner 0x%04X",
                      device_->ethernet().plugged() ? "stays in" : "plugged in", *event.ability);
        return text;
    }
    if (name == "phoneline") {
        return event.up ? "phone line: stations appear" : "phone line: no stations any more";
    }
    if (name == "receive") {
        std::string to = event.to ? " to " + macText(event.to->data()) : "";
        std::snprintf(text, sizeof(text), "peer sends %u x %s on the %s wire", event.count,
                      count(event.size, "byte").c_str(),
                      device_->activeMedium() == Medium::PhoneLine ? "phone-line" : "Ethernet");
        return text + to;
    }
    if (name == "inject-bulk-in") {
        return "bulk-in transfer of " + count(event.bytes.size(), "byte") + " injected";
    }
    if (name == "fault") {
        return std::string("fault armed: ") + faultTargetName(event.fault.target) + " " +
               faultEffectName(event.fault.effect) + " x" + std::to_string(event.fault.count);
    }
    if (name == "hangcheck-off" || name == "hangcheck-on") {
        return name == "hangcheck-on" ? "hang check on" : "hang check off";
    }
    return "";
}

void Simulation::execute(const ScriptEvent& event) {
    record("script", {{"line", event.line}, {"command", event.text}}, scriptText(event));
    (this->*event.entry->action)(event);
}

// Writes the JSON record and the plot; false when one could not be written completely.
bool Simulation::writeOutputs(std::ostream& err, int exitStatus) {
    bool ok = true;
    auto write = [&](const std::string& option, const std::string& path, const std::string& text) {
        if (path == "-") {
            out_ << text << std::flush;
            ok = ok && out_.good();
            return;
        }
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            err << "kt735sim: " << option << ": writing '" << path
                << "' failed; the file is incomplete\n";
            ok = false;
        }
    };
    if (options_.json) {
        write("--json", *options_.json, jsonRecord(run_, exitStatus));
    }
    if (options_.plot) {
        write("--plot", *options_.plot, plotSvg(run_));
    }
    return ok;
}

void Simulation::summary() {
    const kt735::model::Counters& chip = device_->counters();
    WireCount wire;
    std::uint64_t lost = 0;
    for (const auto& [name, n] : run_.wires) {
        wire.fromAdapter += n.fromAdapter;
        wire.toAdapter += n.toAdapter;
    }
    lost = device_->ethernet().framesLostToAdapter() + device_->phoneLine().framesLostToAdapter();
    auto dropped = [](std::initializer_list<std::pair<std::uint64_t, const char*>> reasons) {
        std::string text;
        for (auto [n, why] : reasons) {
            if (n != 0) {
                text += (text.empty() ? "; chip dropped " : ", ") + std::to_string(n) + " " + why;
            }
        }
        return text;
    };
    line("summary");
    line("  frames sent      " + std::to_string(run_.frames.sent) + " by MiniportSend, " +
         std::to_string(run_.frames.sendCompleted) + " completed (" +
         std::to_string(run_.frames.sendErrors) + " failed), " + std::to_string(wire.fromAdapter) +
         " reached a live wire" +
         dropped({{chip.txDroppedNoLink, "without link"},
                  {chip.txDroppedDisabled, "transmitter off"},
                  {chip.txSpeedMismatch, "speed/duplex mismatch"},
                  {chip.txOversize, "oversize"},
                  {chip.txMalformed, "malformed"}}));
    line("  frames received  " + std::to_string(wire.toAdapter) + " sent by the peer, " +
         std::to_string(lost) + " lost before the chip (cord out or no link), " +
         std::to_string(run_.frames.indicated) + " indicated" +
         dropped({{chip.rxFiltered, "not addressed"},
                  {chip.rxOverflow, "FIFO full"},
                  {chip.rxDroppedDisabled, "receiver off"},
                  {chip.rxOversize, "oversize"},
                  {chip.rxRunt, "runt"}}));
    if (tap_) {
        const TapBridge::Counts& n = tap_->counts();
        auto head = [](const std::string& name) {
            return "  " + name + std::string(name.size() < 16 ? 17 - name.size() : 1, ' ');
        };
        line(head(tap_->hostName()) + std::to_string(n.hostRead) + " frames from Linux (" +
             std::to_string(n.hostOversize) + " over 1514 bytes dropped, " +
             std::to_string(n.hostRefused) + " refused), " + std::to_string(n.hostWritten) +
             " indicated to Linux (" + std::to_string(n.hostFiltered) +
             " not selected by its filter, " + std::to_string(n.hostNotTaken) + " not taken)");
        line(head(tap_->peerName()) + std::to_string(n.peerRead) + " frames onto the wire, " +
             std::to_string(n.peerWritten) + " from the wire (" + std::to_string(n.peerDropped) +
             " dropped, the wire's queue full)");
    }
    line("  verifier         " + (run_.violations.empty()
                                      ? std::string("no violations")
                                      : count(run_.violations.size(), "violation")));
    if (run_.faultsArmed != 0) {
        line("  faults           " + std::to_string(run_.faultsArmed) + " armed, " +
             std::to_string(run_.faultsFired) + " fired");
    }
    line("  leaks            " + (run_.leaks.empty() ? std::string("none") : "see below"));
    if (run_.counters.empty()) {
        line("  driver counters  not read (the adapter was not running at the end)");
        return;
    }
    line("  driver counters  (statistics OIDs, read before halt)");
    for (const auto& [name, value] : run_.counters) {
        char text[80];
        std::snprintf(text, sizeof(text), "    %-32s %10u", name.c_str(), value);
        line(text);
    }
}

// Halts a running adapter (or removes a device that failed to start) and unloads the driver.
void Simulation::end() {
    if (bugchecked_) {
        // The machine stopped in the bugcheck: nothing is halted, unloaded or counted.
    } else if (adapter_ != nullptr && !halted_ && adapter_->running()) {
        halt(false);
    } else if (adapter_ != nullptr && adapter_->state() != host::ndis::Adapter::State::Removed) {
        // Initialization failed: the device is removed without a halt.
        guard("REMOVE_DEVICE");
        world_->pnp().removeDevice(bus_->pdo());
        unguard();
    }
    if (driver_ != nullptr && !bugchecked_) {
        world_->pnp().unloadDriver(driver_);
    }
}

int Simulation::finish(std::ostream& err) {
    bus_->setCapture(nullptr);
    run_.end = rel();
    flush();
    // After a bugcheck the adapter still holds what it took: there is nothing to count.
    for (auto kind : {host::Memory::Kind::Ndis, host::Memory::Kind::Pool}) {
        std::string report = world_->memory().leakReport(kind);
        if (!report.empty() && !bugchecked_) {
            run_.leaks.push_back(report);
        }
    }
    if (world_->irps().liveCount() != 0 && !bugchecked_) {
        run_.leaks.push_back(std::to_string(world_->irps().liveCount()) + " IRPs still alive");
    }
    summary();
    int exitStatus = run_.violations.empty() && run_.leaks.empty() ? 0 : 1;
    for (const std::string& v : run_.violations) {
        err << "kt735sim: verifier: " << v << "\n";
    }
    for (const std::string& l : run_.leaks) {
        err << "kt735sim: leak: " << l << "\n";
    }
    bool written = writeOutputs(err, exitStatus);
    if (usbmon_ && !usbmon_->good()) {
        err << "kt735sim: --usb-pcap: writing '" << *options_.usbPcap
            << "' failed; the capture is incomplete\n";
        written = false;
    }
    if (wirePcap_ && !wirePcap_->ok()) {
        err << "kt735sim: --wire-pcap: writing '" << *options_.wirePcap
            << "' failed; the capture is incomplete\n";
        written = false;
    }
    return written ? exitStatus : 1;
}

int Simulation::run(std::ostream& err) {
    if (options_.usbPcap) {
        usbmon_ = std::make_unique<host::usb::UsbmonWriter>(*options_.usbPcap);
        if (!usbmon_->good()) {
            err << "kt735sim: --usb-pcap: cannot write '" << *options_.usbPcap << "'\n";
            return 2;
        }
    }
    if (options_.wirePcap) {
        wirePcap_ = std::make_unique<kt735::model::PcapngWriter>(
            *options_.wirePcap, std::vector<std::string>{"ethernet", "phone-line"},
            "kt735sim: virtual time since the device was plugged");
        if (!wirePcap_->ok()) {
            err << "kt735sim: --wire-pcap: cannot write '" << *options_.wirePcap << "'\n";
            return 2;
        }
    }
    for (const auto& [option, path] :
         {std::pair{"--json", options_.json}, std::pair{"--plot", options_.plot}}) {
        if (path && *path != "-" && !std::ofstream(*path)) {
            err << "kt735sim: " << option << ": cannot write '" << *path << "'\n";
            return 2;
        }
    }
    if (options_.tap && !openTaps(err)) {
        return 2;
    }
    setUp();
    // With --processors the run's calls into the host hold the host lock, and the processors
    // stop once the driver is unloaded, before the books are counted.
    if (options_.processors != 0) {
        world_->startProcessors(options_.processors);
    }
    std::optional<host::HostLock::Hold> hold(std::in_place);
    initialize();
    if (adapter_ != nullptr && adapter_->running()) {
        Time end = 10 * kSecond;
        if (options_.tap) {
            startRealTime();
        }
        if (options_.duration) {
            end = *options_.duration;
        } else if (options_.tap) {
            end = host::kForever - run_.t0; // until a signal
        } else if (!script_.events.empty()) {
            end = 0;
            for (const ScriptEvent& event : script_.events) {
                end = std::max(end, lastTime(event) + 500 * kMillisecond);
            }
        }
        // Paced commands run once per interval, one frame each; the occurrences are merged
        // into the script's order by time, the earlier line first at equal times.
        struct Occurrence {
            Time at;
            std::size_t index;
            bool single;
        };
        std::vector<Occurrence> plan;
        for (std::size_t i = 0; i < script_.events.size(); i++) {
            const ScriptEvent& event = script_.events[i];
            if (!event.every) {
                plan.push_back({event.at, i, false});
                continue;
            }
            for (std::uint32_t k = 0; k < event.count; k++) {
                Time at = event.at + static_cast<Time>(k) * *event.every;
                if (at > end) {
                    break;
                }
                plan.push_back({at, i, true});
            }
        }
        std::stable_sort(plan.begin(), plan.end(),
                         [](const Occurrence& a, const Occurrence& b) { return a.at < b.at; });
        for (const Occurrence& o : plan) {
            if (o.at > end || halted_) {
                break;
            }
            runTo(run_.t0 + o.at);
            if (stopped_) {
                break;
            }
            if (!o.single) {
                execute(script_.events[o.index]);
                continue;
            }
            ScriptEvent one = script_.events[o.index];
            one.count = 1;
            execute(one);
        }
        if (!halted_ && !stopped_) {
            runTo(run_.t0 + end);
        }
    }
    progress(0, true);
    end();
    hold.reset();
    world_->stopProcessors();
    int status = finish(err);
    realTime_.reset();
    tap_.reset();
    bus_.reset();
    device_.reset();
    world_.reset();
    return status;
}

} // namespace

int runSimulation(const Options& options, const Script& script, std::ostream& out,
                  std::ostream& err) {
    Simulation simulation(options, script, out);
    return simulation.run(err);
}

} // namespace kt735sim
