#include "simulation.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <host/ndis.h>
#include <host/pnp.h>
#include <host/usb_bus.h>
#include <host/usbmon.h>
#include <host/world.h>
#include <kt735_device.h>

#include "captures.h"
#include "format.h"
#include "json_record.h"
#include "names.h"
#include "recorder.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace kt735sim {

namespace {

using host::kMillisecond;
using host::kSecond;
using host::Time;
using kt735::model::Direction;
using kt735::model::Medium;
using kt735::model::WireFrame;

// How long a driver routine may keep the caller waiting, in virtual time.
constexpr Time kWatchdog = 300 * kSecond;
// The station on the far end of either wire.
constexpr std::array<std::uint8_t, 6> kPeer = {0x02, 0x50, 0x45, 0x45, 0x52, 0x01};
// IEEE 802 local experimental EtherType, for the frames the scenario makes up.
constexpr std::uint16_t kEtherType = 0x88B5;

class Simulation : public host::ndis::Protocol {
  public:
    Simulation(const Options& options, const Script& script, std::ostream& out)
        : options_(options), script_(script), out_(out), text_(out, options.quiet) {}

    int run(std::ostream& err);

    // ---- the upper edge
    void receive(host::ndis::Adapter&, const std::vector<std::uint8_t>& frame,
                 NDIS_STATUS packetStatus) override {
        run_.frames.indicated++;
        std::string from = frame.size() >= 12 ? " from " + macText(frame.data() + 6) : "";
        record("receive",
               {{"length", std::to_string(frame.size()), false},
                {"data", hexBytes(frame.data(), frame.size())},
                {"packet_status", hex32(static_cast<std::uint32_t>(packetStatus))}},
               "receive " + std::to_string(frame.size()) + " bytes" + from);
    }
    void sendComplete(host::ndis::Adapter&, std::uint64_t id, NDIS_STATUS status) override {
        run_.frames.sendCompleted++;
        if (status != NDIS_STATUS_SUCCESS) {
            run_.frames.sendErrors++;
        }
        // A completion inside MiniportSend is told on the send's own line.
        std::string text;
        if (insideSend_) {
            completedInside_ = static_cast<std::uint32_t>(status);
        } else {
            text = "send complete: " + statusText(static_cast<std::uint32_t>(status));
        }
        record("send-complete",
               {{"id", std::to_string(id), false},
                {"status", hex32(static_cast<std::uint32_t>(status))}},
               text);
    }
    void sendResourcesAvailable(host::ndis::Adapter&) override {
        record("resources-available", {}, "send resources available");
    }
    void status(host::ndis::Adapter&, NDIS_STATUS status,
                const std::vector<std::uint8_t>& buffer) override {
        auto code = static_cast<std::uint32_t>(status);
        record("status",
               {{"status", hex32(code)},
                {"name", statusName(code)},
                {"data", hexBytes(buffer.data(), buffer.size())}},
               "status " + statusText(code));
        // The medium the chip ends up on, once the link watch's register writes have landed.
        world_->scheduler().after(
            50 * kMillisecond, [this] { recordMedium("medium"); }, "kt735sim medium",
            host::Scheduler::Level::Dispatch, true);
    }

    void setComplete(host::ndis::Adapter&, NDIS_OID oid, NDIS_STATUS status, ULONG bytesRead,
                     ULONG bytesNeeded) override {
        auto code = static_cast<std::uint32_t>(status);
        record("set-complete",
               {{"oid", hex32(oid)},
                {"name", oidName(oid)},
                {"status", hex32(code)},
                {"bytes_read", std::to_string(bytesRead), false},
                {"bytes_needed", std::to_string(bytesNeeded), false}},
               "set " + oidName(oid) + " complete: " + statusText(code));
    }

  private:
    Time rel() const { return world_->now() - run_.t0; }

    void record(std::string kind, std::vector<Field> fields, const std::string& text) {
        run_.records.push_back({rel(), std::move(kind), std::move(fields)});
        if (!text.empty()) {
            text_.print(rel(), text);
        }
    }

    void flush() { text_.flush(); }
    void line(const std::string& text) { text_.line(text); }

    std::string mediumText() const {
        if (device_->activeMedium() == Medium::PhoneLine) {
            return std::string("phone line, 1 Mbit/s, link ") +
                   (device_->phoneLinePhy().link() ? "up" : "down");
        }
        std::uint8_t control1 = device_->reg(kt735::model::reg::kControl1);
        return std::string("Ethernet, ") + ((control1 & 0x10) ? "100" : "10") + " Mbit/s " +
               ((control1 & 0x20) ? "full" : "half") + " duplex, link " +
               (device_->ethernetPhy().link() ? "up" : "down");
    }
    void recordMedium(const char* kind) {
        bool phone = device_->activeMedium() == Medium::PhoneLine;
        std::uint8_t control1 = device_->reg(kt735::model::reg::kControl1);
        bool link = phone ? device_->phoneLinePhy().link() : device_->ethernetPhy().link();
        record(kind,
               {{"medium", phone ? "phone-line" : "ethernet"},
                {"mbps", phone ? "1" : ((control1 & 0x10) ? "100" : "10"), false},
                {"duplex", phone ? "half" : ((control1 & 0x20) ? "full" : "half")},
                {"link", link ? "true" : "false", false}},
               std::string("chip on ") + mediumText());
    }

    // A driver routine that never returns, while virtual time runs on, ends the run.
    void guard(const char* what);
    void unguard();
    void setUp();
    void initialize();
    void execute(const ScriptEvent& event);
    std::string scriptText(const ScriptEvent& event) const;
    void send(const ScriptEvent& event);
    void receiveFrames(const ScriptEvent& event);
    void query(const ScriptEvent& event);
    void set(const ScriptEvent& event);
    void queryCounters();
    void halt(bool unplug);
    void shutdown(bool bugcheck);
    void runTo(Time when);
    std::string answerText(std::uint32_t oid, const std::vector<std::uint8_t>& data) const;
    void writeJson(std::ostream& err, int exitStatus);
    int finish(std::ostream& err);

    const Options& options_;
    const Script& script_;
    std::ostream& out_;

    std::unique_ptr<host::usb::UsbmonWriter> usbmon_;
    std::unique_ptr<kt735::model::PcapWriter> wirePcap_;
    std::unique_ptr<host::World> world_;
    std::unique_ptr<kt735::model::Kt735Device> device_;
    std::unique_ptr<host::usb::Bus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    host::ndis::Adapter* adapter_ = nullptr;
    W_CHECK_FOR_HANG_HANDLER checkForHang_ = nullptr;

    NTSTATUS entryStatus_ = STATUS_SUCCESS;
    bool bugchecked_ = false;
    bool halted_ = false;
    RunRecord run_;
    std::uint64_t frameSeq_ = 0;
    bool insideSend_ = false;
    std::optional<std::uint32_t> completedInside_;
    host::EventId watchdog_ = 0;
    TextOutput text_;
};

void Simulation::setUp() {
    world_ = std::make_unique<host::World>();
    world_->verifier().setHandler(
        [this](const host::Violation& v) { run_.violations.push_back(v.text()); });
    device_ = std::make_unique<kt735::model::Kt735Device>();
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
    bus_->plug(*device_);

    for (const auto& [name, value] : options_.params) {
        world_->ndis().defaultParameters().set(name, static_cast<ULONG>(value));
    }
    if (options_.networkAddress) {
        world_->ndis().defaultParameters().set("NetworkAddress", *options_.networkAddress);
    }
}

void Simulation::initialize() {
    std::array<std::uint8_t, 6> permanent{};
    for (std::uint8_t i = 0; i < 3; i++) {
        std::uint16_t word = device_->eepromWord(i);
        permanent[2 * i] = static_cast<std::uint8_t>(word & 0xFF);
        permanent[2 * i + 1] = static_cast<std::uint8_t>(word >> 8);
    }
    char ethernet[32] = "cable pulled";
    if (options_.ethernet) {
        std::snprintf(ethernet, sizeof(ethernet), "partner 0x%04X", *options_.ethernet);
    }
    char wires[160];
    std::snprintf(wires, sizeof(wires),
                  "wires: Ethernet %s; phone-line PHY 0x%04X, %s; EEPROM address %s", ethernet,
                  options_.phoneLineId, options_.phoneLineUp ? "stations on the line" : "quiet",
                  macText(permanent.data()).c_str());
    line("kt735sim: KT735N on a simulated KT735 (" + script_.name + ")");
    line(wires);

    driver_ = world_->pnp().loadDriver(DriverEntry, L"KT735N", &entryStatus_);
    if (!NT_SUCCESS(entryStatus_)) {
        line("DriverEntry failed: " + hex32(static_cast<std::uint32_t>(entryStatus_)));
        return;
    }
    if (auto* miniport = world_->ndis().miniport(driver_)) {
        checkForHang_ = miniport->chars.Ndis40Chars.Ndis30Chars.CheckForHangHandler;
    }
    NTSTATUS added = world_->pnp().addDevice(driver_, bus_->pdo());
    adapter_ = world_->ndis().lastAdapter();
    if (!NT_SUCCESS(added) || adapter_ == nullptr) {
        line("AddDevice failed: " + hex32(static_cast<std::uint32_t>(added)));
        adapter_ = nullptr;
        return;
    }
    adapter_->attach(this);
    Time started = world_->now();
    guard("START_DEVICE (MiniportInitialize)");
    run_.startDeviceStatus = static_cast<std::uint32_t>(
        world_->pnp().send(bus_->pdo(), IRP_MN_START_DEVICE).dispatchStatus);
    unguard();
    run_.t0 = world_->now();
    auto status = static_cast<std::uint32_t>(adapter_->initializeStatus());
    run_.initializeStatus = status;

    std::size_t writes = 0;
    for (const host::usb::Request& r : bus_->log()) {
        if (r.setup && r.setup->bRequest == 0xF1 && (r.setup->bmRequestType & 0x60) == 0x40) {
            writes++;
        }
    }
    std::string took = seconds(run_.t0 - started);
    if (status == NDIS_STATUS_SUCCESS) {
        line("initialize: NDIS_STATUS_SUCCESS after " + took + " s; " +
             std::to_string(bus_->log().size()) + " USB requests, " + std::to_string(writes) +
             " register writes");
        recordMedium("initialized");
        std::array<std::uint8_t, 6> station = device_->stationAddress();
        line("            station address " + macText(station.data()) + "; times below count " +
             "from here");
    } else {
        line("initialize failed: " + hex32(status) +
             (statusName(status).empty() ? "" : " (" + statusName(status) + ")") + " after " +
             took + " s; " + std::to_string(bus_->log().size()) + " USB requests, the last:");
        std::size_t n = bus_->log().size();
        for (std::size_t i = n > 4 ? n - 4 : 0; i < n; i++) {
            line("    " + bus_->log()[i].text());
        }
    }
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
            if (options_.json) {
                writeJson(std::cerr, 1);
            }
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

void Simulation::runTo(Time when) {
    if (when > world_->now()) {
        world_->scheduler().runFor(when - world_->now());
    }
}

std::vector<std::uint8_t> makeFrame(const std::array<std::uint8_t, 6>& to,
                                    const std::array<std::uint8_t, 6>& from, std::uint32_t size,
                                    std::uint64_t seq) {
    std::vector<std::uint8_t> frame(size);
    for (std::size_t i = 0; i < size; i++) {
        if (i < 6) {
            frame[i] = to[i];
        } else if (i < 12) {
            frame[i] = from[i - 6];
        } else if (i == 12) {
            frame[i] = kEtherType >> 8;
        } else if (i == 13) {
            frame[i] = kEtherType & 0xFF;
        } else {
            frame[i] = static_cast<std::uint8_t>(seq + i);
        }
    }
    return frame;
}

void Simulation::send(const ScriptEvent& event) {
    for (std::uint32_t i = 0; i < event.count; i++) {
        std::vector<std::uint8_t> frame =
            makeFrame(kPeer, device_->stationAddress(), event.size, frameSeq_++);
        insideSend_ = true;
        completedInside_.reset();
        auto result = adapter_->send(frame);
        insideSend_ = false;
        run_.frames.sent++;
        auto status = static_cast<std::uint32_t>(result.status);
        std::string completion;
        if (completedInside_ && status == NDIS_STATUS_PENDING) {
            completion = ", completed at once: " + statusText(*completedInside_);
        }
        record("send",
               {{"id", std::to_string(result.id), false},
                {"length", std::to_string(event.size), false},
                {"status", hex32(status)}},
               "send " + std::to_string(event.size) + " bytes: " + statusText(status) + completion);
    }
}

void Simulation::receiveFrames(const ScriptEvent& event) {
    bool phone = device_->activeMedium() == Medium::PhoneLine;
    kt735::model::Segment& wire =
        phone ? static_cast<kt735::model::Segment&>(device_->phoneLine()) : device_->ethernet();
    // Back to back at the medium's rate: preamble, frame, CRC and gap take (size + 24) bytes.
    Time perBit = phone ? 10 : ((device_->reg(kt735::model::reg::kControl1) & 0x10) ? 0 : 1);
    for (std::uint32_t i = 0; i < event.count; i++) {
        std::vector<std::uint8_t> frame =
            makeFrame(device_->stationAddress(), kPeer, event.size, frameSeq_++);
        Time bits = static_cast<Time>(event.size + 24) * 8 * i;
        Time delay = perBit == 0 ? bits / 10 : bits * perBit;
        wire.sendToAdapterAfter(delay, std::move(frame));
    }
}

std::string Simulation::answerText(std::uint32_t oid, const std::vector<std::uint8_t>& d) const {
    if (d.size() == 4) {
        std::uint32_t v = le32(d);
        if (oid == OID_GEN_LINK_SPEED) {
            return std::to_string(v) + " (" + std::to_string(v / 10000) + " Mbit/s)";
        }
        if (oid == OID_GEN_MEDIA_CONNECT_STATUS) {
            return std::to_string(v) + (v == 0 ? " (connected)" : " (disconnected)");
        }
        return std::to_string(v);
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
    return std::to_string(d.size()) + " bytes";
}

void Simulation::query(const ScriptEvent& event) {
    host::ndis::Adapter::Request r = adapter_->query(event.oid, event.bufferLength);
    auto status = static_cast<std::uint32_t>(r.status);
    std::vector<std::uint8_t> written;
    if (r.bytesDoneStored) {
        written.assign(r.data.begin(),
                       r.data.begin() + std::min<std::size_t>(r.bytesDone, r.data.size()));
    }
    std::vector<Field> fields = {{"oid", hex32(event.oid)},
                                 {"name", oidName(event.oid)},
                                 {"status", hex32(status)},
                                 {"data", hexBytes(written.data(), written.size())}};
    if (r.bytesDoneStored) {
        fields.push_back({"bytes_written", std::to_string(r.bytesDone), false});
    }
    if (r.bytesNeededStored) {
        fields.push_back({"bytes_needed", std::to_string(r.bytesNeeded), false});
    }
    std::string text = "query " + oidName(event.oid) + ": ";
    if (status == NDIS_STATUS_SUCCESS) {
        text += answerText(event.oid, written);
    } else {
        text += statusText(status);
        if (r.bytesNeededStored) {
            text += ", " + std::to_string(r.bytesNeeded) + " bytes needed";
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
    std::vector<Field> fields = {{"oid", hex32(event.oid)},
                                 {"name", oidName(event.oid)},
                                 {"status", hex32(status)},
                                 {"data", hexBytes(event.bytes.data(), event.bytes.size())}};
    if (r.bytesDoneStored) {
        fields.push_back({"bytes_read", std::to_string(r.bytesDone), false});
    }
    if (r.bytesNeededStored) {
        fields.push_back({"bytes_needed", std::to_string(r.bytesNeeded), false});
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
    record("halt", {}, unplug ? "device unplugged: surprise removal, then halt" : "halt");
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
    char text[96];
    switch (event.command) {
    case Command::Ethernet:
        if (!event.ability) {
            return "Ethernet cable pulled";
        }
        std::snprintf(text, sizeof(text), "Ethernet cable %s, link partner 0x%04X",
                      device_->ethernet().plugged() ? "stays in" : "plugged in", *event.ability);
        return text;
    case Command::PhoneLine:
        return event.up ? "phone line: stations appear" : "phone line: no stations any more";
    case Command::Receive:
        std::snprintf(text, sizeof(text), "peer sends %u x %u bytes on the %s wire", event.count,
                      event.size,
                      device_->activeMedium() == Medium::PhoneLine ? "phone-line" : "Ethernet");
        return text;
    case Command::InjectBulkIn:
        return "bulk-in transfer of " + std::to_string(event.bytes.size()) + " bytes injected";
    case Command::HangCheckOff:
        return "hang check off";
    case Command::HangCheckOn:
        return "hang check on";
    default:
        return "";
    }
}

void Simulation::execute(const ScriptEvent& event) {
    record("script", {{"line", std::to_string(event.line), false}, {"command", event.text}},
           scriptText(event));
    auto* miniport = world_->ndis().miniport(driver_);
    switch (event.command) {
    case Command::Ethernet:
        if (event.ability) {
            device_->ethernet().setPartnerAbility(*event.ability);
            if (!device_->ethernet().plugged()) {
                device_->ethernet().plug();
            }
        } else {
            device_->ethernet().pull();
        }
        break;
    case Command::PhoneLine:
        device_->phoneLine().setStationsPresent(event.up);
        break;
    case Command::Send:
        send(event);
        break;
    case Command::Receive:
        receiveFrames(event);
        break;
    case Command::InjectBulkIn:
        device_->injectBulkIn(event.bytes);
        break;
    case Command::Query:
        query(event);
        break;
    case Command::Set:
        set(event);
        break;
    case Command::HangCheckOff:
    case Command::HangCheckOn:
        // NDIS's periodic check keeps its rhythm; with no handler it calls nothing.
        if (miniport != nullptr) {
            miniport->chars.Ndis40Chars.Ndis30Chars.CheckForHangHandler =
                event.command == Command::HangCheckOn ? checkForHang_ : nullptr;
        }
        break;
    case Command::Reset: {
        BOOLEAN addressing = FALSE;
        guard("MiniportReset");
        auto status = static_cast<std::uint32_t>(adapter_->reset(&addressing));
        unguard();
        record(
            "reset",
            {{"status", hex32(status)}, {"addressing_reset", addressing ? "true" : "false", false}},
            "reset: " + statusText(status));
        break;
    }
    case Command::Halt:
        halt(false);
        break;
    case Command::Unplug:
        halt(true);
        break;
    case Command::Shutdown:
    case Command::Bugcheck:
        shutdown(event.command == Command::Bugcheck);
        break;
    }
}

void Simulation::writeJson(std::ostream& err, int exitStatus) {
    std::ofstream file(*options_.json);
    file << jsonRecord(run_, exitStatus);
    if (!file) {
        err << "kt735sim: --json: cannot write '" << *options_.json << "'\n";
    }
}

int Simulation::finish(std::ostream& err) {
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
    bus_->setCapture(nullptr);
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

    std::uint64_t xmitErrors = 0;
    std::uint64_t rcvErrors = 0;
    for (const auto& [name, value] : run_.counters) {
        if (name == "OID_GEN_XMIT_ERROR") {
            xmitErrors = value;
        } else if (name == "OID_GEN_RCV_ERROR") {
            rcvErrors = value;
        }
    }
    WireCount wire;
    for (const auto& [name, count] : run_.wires) {
        wire.fromAdapter += count.fromAdapter;
        wire.toAdapter += count.toAdapter;
    }
    line("summary");
    line("  frames sent      " + std::to_string(run_.frames.sent) + " by MiniportSend, " +
         std::to_string(run_.frames.sendCompleted) + " completed, " +
         std::to_string(wire.fromAdapter) + " on the wires");
    const kt735::model::Counters& chip = device_->counters();
    std::string dropped;
    for (auto [count, why] :
         {std::pair{chip.rxOverflow, "FIFO full"}, std::pair{chip.rxFiltered, "not addressed"},
          std::pair{chip.rxDroppedDisabled, "receiver off"},
          std::pair{chip.rxOversize, "oversize"}}) {
        if (count != 0) {
            dropped +=
                (dropped.empty() ? "; chip dropped " : ", ") + std::to_string(count) + " " + why;
        }
    }
    line("  frames received  " + std::to_string(wire.toAdapter) + " on the wires, " +
         std::to_string(run_.frames.indicated) + " indicated" + dropped);
    line("  errors           " + std::to_string(run_.frames.sendErrors) +
         " failed sends; counters: " +
         (run_.counters.empty() ? std::string("not read")
                                : "transmit " + std::to_string(xmitErrors) + ", receive " +
                                      std::to_string(rcvErrors)));
    line("  verifier         " + (run_.violations.empty()
                                      ? std::string("no violations")
                                      : std::to_string(run_.violations.size()) + " violations"));
    line("  leaks            " + (run_.leaks.empty() ? std::string("none") : "see below"));
    int exitStatus = run_.violations.empty() && run_.leaks.empty() ? 0 : 1;
    for (const std::string& v : run_.violations) {
        err << "kt735sim: verifier: " << v << "\n";
    }
    for (const std::string& l : run_.leaks) {
        err << "kt735sim: leak: " << l << "\n";
    }
    if (options_.json) {
        writeJson(err, exitStatus);
    }
    return exitStatus;
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
        wirePcap_ = std::make_unique<kt735::model::PcapWriter>(*options_.wirePcap);
        if (!wirePcap_->ok()) {
            err << "kt735sim: --wire-pcap: cannot write '" << *options_.wirePcap << "'\n";
            return 2;
        }
    }
    if (options_.json && !std::ofstream(*options_.json)) {
        err << "kt735sim: --json: cannot write '" << *options_.json << "'\n";
        return 2;
    }
    setUp();
    initialize();
    if (adapter_ != nullptr && adapter_->running()) {
        Time end = 10 * kSecond;
        if (options_.duration) {
            end = *options_.duration;
        } else if (!script_.events.empty()) {
            end = script_.events.back().at + 500 * kMillisecond;
        }
        for (const ScriptEvent& event : script_.events) {
            if (event.at > end || halted_) {
                break;
            }
            runTo(run_.t0 + event.at);
            execute(event);
        }
        if (!halted_) {
            runTo(run_.t0 + end);
        }
    }
    int status = finish(err);
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
