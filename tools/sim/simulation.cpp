// One run of kt735sim from start to end: the world, the model on the bus and the driver set up,
// the adapter initialized, the script played in virtual time (with --tap, as the wall clock
// goes), then halt and unload, the leak checks and the exit status.
#include "simulation.h"

#include "simulation_run.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace kt735sim {

void Simulation::setUp() {
    world_ = std::make_unique<host::World>();
    world_->verifier().setHandler(
        [this](const host::Violation& v) { run_.violations.push_back(v.text()); });
    world_->memory().onFault = [this](const host::Memory::Allocation& a) { allocationFailed(a); };
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
    // From here on only the last few requests are kept, so that a long run's memory does not
    // grow with its traffic (the capture, if any, has them all).
    bus_->setLogLimit(kRunLogEntries);
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

int runSimulation(const Options& options, const Script& script, std::ostream& out,
                  std::ostream& err) {
    Simulation simulation(options, script, out);
    return simulation.run(err);
}

} // namespace kt735sim
