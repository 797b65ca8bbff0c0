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

#include "json.h"
#include "names.h"

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

std::string hexBytes(const std::uint8_t* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; i++) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    return text;
}

std::string macText(const std::uint8_t* mac) {
    char text[24];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

// Virtual seconds, exact to 100 ns, without trailing zeros: "2", "0.0151".
std::string seconds(Time t) {
    std::string sign = t < 0 ? "-" : "";
    Time a = t < 0 ? -t : t;
    std::string text = sign + std::to_string(a / kSecond);
    Time fraction = a % kSecond;
    if (fraction != 0) {
        char digits[16];
        std::snprintf(digits, sizeof(digits), "%07lld", static_cast<long long>(fraction));
        std::string f = digits;
        while (f.back() == '0') {
            f.pop_back();
        }
        text += "." + f;
    }
    return text;
}

// "  12.345 s" for the text output, to the millisecond.
std::string stamp(Time t) {
    Time a = t < 0 ? -t : t;
    char text[32];
    std::snprintf(text, sizeof(text), "%s%lld.%03lld s", t < 0 ? "-" : "",
                  static_cast<long long>(a / kSecond),
                  static_cast<long long>((a % kSecond) / kMillisecond));
    char padded[40];
    std::snprintf(padded, sizeof(padded), "%11s", text);
    return padded;
}

std::string trimmed(const std::string& text) {
    return text.substr(text.find_first_not_of(' '));
}

std::string statusText(std::uint32_t status) {
    std::string name = statusName(status);
    return name.empty() ? hex32(status) : name;
}

std::uint32_t le32(const std::vector<std::uint8_t>& data) {
    return static_cast<std::uint32_t>(data[0] | (data[1] << 8) | (data[2] << 16) |
                                      (static_cast<std::uint32_t>(data[3]) << 24));
}

// A pcap of Ethernet frames (link type 1) stamped with virtual time.
class EthernetPcap {
  public:
    explicit EthernetPcap(const std::string& path) : out_(path, std::ios::binary) {
        put32(0xA1B2C3D4);
        put16(2);
        put16(4);
        put32(0);
        put32(0);
        put32(65535);
        put32(1);
        out_.flush();
    }
    bool good() const { return out_.good(); }
    void write(Time t, const std::vector<std::uint8_t>& frame) {
        put32(static_cast<std::uint32_t>(t / kSecond));
        put32(static_cast<std::uint32_t>((t % kSecond) / 10));
        put32(static_cast<std::uint32_t>(frame.size()));
        put32(static_cast<std::uint32_t>(frame.size()));
        out_.write(reinterpret_cast<const char*>(frame.data()),
                   static_cast<std::streamsize>(frame.size()));
        out_.flush();
    }

  private:
    void put16(std::uint16_t v) {
        const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
        out_.write(b, 2);
    }
    void put32(std::uint32_t v) {
        put16(static_cast<std::uint16_t>(v & 0xFFFF));
        put16(static_cast<std::uint16_t>(v >> 16));
    }
    std::ofstream out_;
};

struct WireCount {
    std::uint64_t fromAdapter = 0;
    std::uint64_t toAdapter = 0;
};

// Counts every frame on one wire and writes it to the shared capture.
class WireTap : public kt735::model::WirePeer {
  public:
    WireTap(WireCount& count, EthernetPcap* pcap) : count_(count), pcap_(pcap) {}
    void onFrame(kt735::model::Segment&, const WireFrame& frame) override {
        if (frame.direction == Direction::FromAdapter) {
            count_.fromAdapter++;
        } else {
            count_.toAdapter++;
        }
        if (pcap_ != nullptr) {
            pcap_->write(frame.time, frame.bytes);
        }
    }

  private:
    WireCount& count_;
    EthernetPcap* pcap_;
};

struct Field {
    std::string key;
    std::string value;
    bool quoted = true;
};

struct Record {
    Time t = 0;
    std::string kind;
    std::vector<Field> fields;
};

class Simulation : public host::ndis::Protocol {
  public:
    Simulation(const Options& options, const Script& script, std::ostream& out)
        : options_(options), script_(script), out_(out) {}

    int run(std::ostream& err);

    // ---- the upper edge
    void receive(host::ndis::Adapter&, const std::vector<std::uint8_t>& frame,
                 NDIS_STATUS packetStatus) override {
        frames_.indicated++;
        if (!keepsRecords()) {
            return;
        }
        std::string from = frame.size() >= 12 ? " from " + macText(frame.data() + 6) : "";
        record("receive",
               {{"length", std::to_string(frame.size()), false},
                {"data", hexBytes(frame.data(), frame.size())},
                {"packet_status", hex32(static_cast<std::uint32_t>(packetStatus))}},
               "receive " + std::to_string(frame.size()) + " bytes" + from);
    }
    void sendComplete(host::ndis::Adapter&, std::uint64_t id, NDIS_STATUS status) override {
        frames_.sendCompleted++;
        if (status != NDIS_STATUS_SUCCESS) {
            frames_.sendErrors++;
        }
        // A completion inside MiniportSend is told on the send's own line.
        std::string text;
        if (!keepsRecords()) {
            if (insideSend_) {
                completedInside_ = static_cast<std::uint32_t>(status);
            }
            return;
        }
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
    struct Frames {
        std::uint64_t sent = 0;
        std::uint64_t sendCompleted = 0;
        std::uint64_t sendErrors = 0;
        std::uint64_t indicated = 0;
    };

    Time rel() const { return world_->now() - t0_; }
    // Per-frame records are built only for an output that shows them: the text (not --quiet)
    // or the JSON record. A quiet run keeps counts only, so its memory does not grow per frame.
    bool keepsRecords() const { return !options_.quiet || options_.json.has_value(); }

    void record(std::string kind, std::vector<Field> fields, const std::string& text) {
        records_.push_back({rel(), std::move(kind), std::move(fields)});
        if (!text.empty()) {
            print(text);
        }
    }

    // Text lines; runs of identical lines are folded into one with a count.
    void print(const std::string& text) {
        if (options_.quiet) {
            return;
        }
        if (text == pendingText_) {
            pendingCount_++;
            pendingLast_ = rel();
            return;
        }
        flush();
        pendingText_ = text;
        pendingCount_ = 1;
        pendingTime_ = rel();
        pendingLast_ = pendingTime_;
    }
    void flush() {
        if (pendingCount_ == 0) {
            return;
        }
        out_ << stamp(pendingTime_) << "  " << pendingText_;
        if (pendingCount_ > 1) {
            out_ << "  (x" << pendingCount_;
            if (pendingLast_ != pendingTime_) {
                out_ << ", until " << trimmed(stamp(pendingLast_));
            }
            out_ << ")";
        }
        out_ << "\n";
        pendingCount_ = 0;
        pendingText_.clear();
    }
    void line(const std::string& text) {
        if (!options_.quiet) {
            flush();
            out_ << text << "\n";
        }
    }

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

    // Injected faults: USB ones go to the bus, allocation ones are decided here.
    struct AllocationFault {
        host::Memory::Kind kind;
        FaultSpec spec;
        std::uint32_t seen = 0;
        std::uint32_t hits = 0;
    };
    void arm(const FaultSpec& spec);
    bool allocationFails(const host::Memory::Allocation& allocation);
    void fired(const char* target, const char* effect, const std::string& request);

    // A driver routine that never returns, while virtual time runs on, ends the run.
    void guard(const char* what);
    void unguard();
    void setUp();
    void initialize();
    void execute(const ScriptEvent& event);
    std::string scriptText(const ScriptEvent& event) const;
    void send(const ScriptEvent& event);
    void receiveFrames(const ScriptEvent& event);
    struct RxStream {
        kt735::model::Segment* wire;
        Time perBit;
        std::uint32_t size;
        std::uint64_t base; // sequence number of the first frame
        std::uint32_t next;
        std::uint32_t count;
        Time start;
        std::array<std::uint8_t, 6> to;
        std::vector<std::uint8_t> frame;
    };
    void nextStreamFrame(std::shared_ptr<RxStream> stream);
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
    std::unique_ptr<EthernetPcap> wirePcap_;
    std::unique_ptr<host::World> world_;
    std::unique_ptr<kt735::model::Kt735Device> device_;
    std::unique_ptr<host::usb::Bus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    host::ndis::Adapter* adapter_ = nullptr;
    W_CHECK_FOR_HANG_HANDLER checkForHang_ = nullptr;

    Time t0_ = 0;
    NTSTATUS entryStatus_ = STATUS_SUCCESS;
    std::optional<std::uint32_t> initializeStatus_;
    std::optional<std::uint32_t> startDeviceStatus_;
    bool bugchecked_ = false;
    bool halted_ = false;
    std::vector<Record> records_;
    std::vector<std::pair<std::string, std::uint32_t>> counters_;
    std::vector<std::string> violations_;
    std::vector<std::string> leaks_;
    std::map<std::string, WireCount> wires_;
    Frames frames_;
    std::uint64_t frameSeq_ = 0;
    bool insideSend_ = false;
    std::optional<std::uint32_t> completedInside_;
    host::EventId watchdog_ = 0;
    std::vector<AllocationFault> allocationFaults_;
    std::uint64_t faultsArmed_ = 0;
    std::uint64_t faultsFired_ = 0;

    std::string pendingText_;
    std::size_t pendingCount_ = 0;
    Time pendingTime_ = 0;
    Time pendingLast_ = 0;
};

void Simulation::setUp() {
    world_ = std::make_unique<host::World>();
    world_->verifier().setHandler(
        [this](const host::Violation& v) { violations_.push_back(v.text()); });
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
    device_->ethernet().attach<WireTap>(wires_["ethernet"], wirePcap_.get());
    device_->phoneLine().attach<WireTap>(wires_["phone-line"], wirePcap_.get());

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
    // This tool is the protocol; NDIS's own recording of what it indicates is not needed.
    adapter_->log().setRecording(false);
    Time started = world_->now();
    guard("START_DEVICE (MiniportInitialize)");
    startDeviceStatus_ = static_cast<std::uint32_t>(
        world_->pnp().send(bus_->pdo(), IRP_MN_START_DEVICE).dispatchStatus);
    unguard();
    t0_ = world_->now();
    auto status = static_cast<std::uint32_t>(adapter_->initializeStatus());
    initializeStatus_ = status;

    std::size_t writes = 0;
    for (const host::usb::Request& r : bus_->log()) {
        if (r.setup && r.setup->bRequest == 0xF1 && (r.setup->bmRequestType & 0x60) == 0x40) {
            writes++;
        }
    }
    std::string took = seconds(t0_ - started);
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

void Simulation::arm(const FaultSpec& spec) {
    using host::usb::Fault;
    faultsArmed_++;
    if (!isUsbTarget(spec.target)) {
        host::Memory::Kind kind = spec.target == FaultTarget::Pool   ? host::Memory::Kind::Pool
                                  : spec.target == FaultTarget::Ndis ? host::Memory::Kind::Ndis
                                                                     : host::Memory::Kind::Irp;
        allocationFaults_.push_back({kind, spec});
        return;
    }
    host::usb::Match match;
    match.nth = spec.nth;
    switch (spec.target) {
    case FaultTarget::BulkIn:
    case FaultTarget::BulkOut:
        match.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        match.endpoint = spec.target == FaultTarget::BulkIn ? 0x81 : 0x02;
        break;
    case FaultTarget::VendorRead:
    case FaultTarget::VendorWrite:
        match.function = URB_FUNCTION_VENDOR_DEVICE;
        match.bRequest = spec.target == FaultTarget::VendorRead ? 0xF0 : 0xF1;
        break;
    default:
        match.endpoint = 0;
        break;
    }
    Fault fault = spec.effect == FaultEffect::Stall ? Fault::stalling(match, spec.count)
                  : spec.effect == FaultEffect::Hang
                      ? Fault::holding(match, spec.count)
                      : Fault::failing(match, USBD_STATUS_DEV_NOT_RESPONDING, spec.count);
    fault.label = faultTargetName(spec.target);
    bus_->addFault(fault);
}

bool Simulation::allocationFails(const host::Memory::Allocation& allocation) {
    for (AllocationFault& f : allocationFaults_) {
        if (f.kind != allocation.kind || f.hits >= f.spec.count || ++f.seen < f.spec.nth) {
            continue;
        }
        f.hits++;
        fired(faultTargetName(f.spec.target), "fail", "");
        return true;
    }
    return false;
}

void Simulation::fired(const char* target, const char* effect, const std::string& request) {
    faultsFired_++;
    std::vector<Field> fields = {{"target", target}, {"effect", effect}};
    if (!request.empty()) {
        fields.push_back({"request", request});
    }
    record("fault", std::move(fields),
           std::string("fault: ") + target + " " + effect +
               (request.empty() ? std::string() : " on " + request));
}

void Simulation::guard(const char* what) {
    std::string name = what;
    watchdog_ = world_->scheduler().after(
        kWatchdog,
        [this, name] {
            violations_.push_back(name + " has not returned after " + seconds(kWatchdog) +
                                  " s of virtual time");
            flush();
            line("kt735sim: " + violations_.back() + "; the run is abandoned");
            out_.flush();
            for (const std::string& v : violations_) {
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
        frames_.sent++;
        auto status = static_cast<std::uint32_t>(result.status);
        std::string completion;
        if (completedInside_ && status == NDIS_STATUS_PENDING) {
            completion = ", completed at once: " + statusText(*completedInside_);
        }
        if (!keepsRecords()) {
            continue;
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
    if (event.count == 0) {
        return;
    }
    // The frames are made one at a time as they go on the wire, each scheduling the next, so a
    // long burst holds one frame in memory rather than all of them.
    auto stream = std::make_shared<RxStream>(RxStream{&wire,
                                                      perBit,
                                                      event.size,
                                                      frameSeq_,
                                                      0,
                                                      event.count,
                                                      world_->now(),
                                                      device_->stationAddress(),
                                                      {}});
    frameSeq_ += event.count;
    nextStreamFrame(std::move(stream));
}

void Simulation::nextStreamFrame(std::shared_ptr<RxStream> s) {
    Time bits = static_cast<Time>(s->size + 24) * 8 * s->next;
    Time delay = s->perBit == 0 ? bits / 10 : bits * s->perBit;
    world_->scheduler().at(
        s->start + delay,
        [this, s] {
            s->frame = makeFrame(s->to, kPeer, s->size, s->base + s->next);
            s->wire->sendToAdapter(s->frame);
            if (++s->next < s->count) {
                nextStreamFrame(s);
            }
        },
        "kt735sim receive");
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
            counters_.emplace_back(oidName(oid), static_cast<std::uint32_t>(value));
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
        violations_.push_back("the shutdown handler made " +
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
    case Command::Fault:
        return std::string("fault armed: ") + faultTargetName(event.fault.target) + " " +
               faultEffectName(event.fault.effect) + " x" + std::to_string(event.fault.count);
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
    case Command::Fault:
        arm(event.fault);
        break;
    }
}

void Simulation::writeJson(std::ostream& err, int exitStatus) {
    JsonWriter json;
    json.beginObject();
    json.string("initialize", initializeStatus_ ? hex32(*initializeStatus_) : "");
    json.string("initialize_name", initializeStatus_ ? statusName(*initializeStatus_) : "");
    json.string("start_device", startDeviceStatus_ ? hex32(*startDeviceStatus_) : "");
    json.raw("initialized_at", seconds(t0_));
    json.beginArray("events");
    for (const Record& r : records_) {
        json.beginObject();
        json.raw("t", seconds(r.t));
        json.string("kind", r.kind);
        for (const Field& f : r.fields) {
            if (f.quoted) {
                json.string(f.key, f.value);
            } else {
                json.raw(f.key, f.value);
            }
        }
        json.endObject();
    }
    json.endArray();
    json.beginObject("counters");
    for (const auto& [name, value] : counters_) {
        json.number(name, value);
    }
    json.endObject();
    json.beginObject("summary");
    json.number("sent", static_cast<std::int64_t>(frames_.sent));
    json.number("send_completed", static_cast<std::int64_t>(frames_.sendCompleted));
    json.number("send_errors", static_cast<std::int64_t>(frames_.sendErrors));
    json.number("indicated", static_cast<std::int64_t>(frames_.indicated));
    json.number("faults", static_cast<std::int64_t>(faultsFired_));
    for (const auto& [name, count] : wires_) {
        json.beginObject(name);
        json.number("from_adapter", static_cast<std::int64_t>(count.fromAdapter));
        json.number("to_adapter", static_cast<std::int64_t>(count.toAdapter));
        json.endObject();
    }
    json.beginArray("violations");
    for (const std::string& v : violations_) {
        json.string({}, v);
    }
    json.endArray();
    json.beginArray("leaks");
    for (const std::string& l : leaks_) {
        json.string({}, l);
    }
    json.endArray();
    json.number("exit", exitStatus);
    json.endObject();
    json.endObject();
    std::ofstream file(*options_.json);
    file << json.text();
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
            leaks_.push_back(report);
        }
    }
    if (world_->irps().liveCount() != 0 && !bugchecked_) {
        leaks_.push_back(std::to_string(world_->irps().liveCount()) + " IRPs still alive");
    }

    std::uint64_t xmitErrors = 0;
    std::uint64_t rcvErrors = 0;
    for (const auto& [name, value] : counters_) {
        if (name == "OID_GEN_XMIT_ERROR") {
            xmitErrors = value;
        } else if (name == "OID_GEN_RCV_ERROR") {
            rcvErrors = value;
        }
    }
    WireCount wire;
    for (const auto& [name, count] : wires_) {
        wire.fromAdapter += count.fromAdapter;
        wire.toAdapter += count.toAdapter;
    }
    line("summary");
    line("  frames sent      " + std::to_string(frames_.sent) + " by MiniportSend, " +
         std::to_string(frames_.sendCompleted) + " completed, " + std::to_string(wire.fromAdapter) +
         " on the wires");
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
         std::to_string(frames_.indicated) + " indicated" + dropped);
    line("  errors           " + std::to_string(frames_.sendErrors) + " failed sends; counters: " +
         (counters_.empty() ? std::string("not read")
                            : "transmit " + std::to_string(xmitErrors) + ", receive " +
                                  std::to_string(rcvErrors)));
    line("  verifier         " + (violations_.empty()
                                      ? std::string("no violations")
                                      : std::to_string(violations_.size()) + " violations"));
    if (faultsArmed_ != 0) {
        line("  faults           " + std::to_string(faultsArmed_) + " armed, " +
             std::to_string(faultsFired_) + " fired");
    }
    line("  leaks            " + (leaks_.empty() ? std::string("none") : "see below"));
    int exitStatus = violations_.empty() && leaks_.empty() ? 0 : 1;
    for (const std::string& v : violations_) {
        err << "kt735sim: verifier: " << v << "\n";
    }
    for (const std::string& l : leaks_) {
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
        wirePcap_ = std::make_unique<EthernetPcap>(*options_.wirePcap);
        if (!wirePcap_->good()) {
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
            runTo(t0_ + event.at);
            execute(event);
        }
        if (!halted_) {
            runTo(t0_ + end);
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
