// One run of kt735sim as the tool's own files share it: the Simulation that owns the world, the
// model on the bus and the driver, takes the protocol's indications and the script's commands,
// and keeps the run's record. Private to the tool.
#pragma once

#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
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
#include "cli.h"
#include "format.h"
#include "json_record.h"
#include "names.h"
#include "plot.h"
#include "realtime.h"
#include "recorder.h"
#include "tap_bridge.h"

namespace kt735sim {

using host::kMillisecond;
using host::kSecond;
using host::Time;
using kt735::model::Medium;

// How often the chip's medium, links and drop counters are looked at for changes.
inline constexpr Time kWatchPeriod = 10 * kMillisecond;

// "1 byte", "2 bytes".
inline std::string count(std::uint64_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
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
        sendsMayGo();
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

    // Injected faults: USB ones go to the bus, allocation ones to the host's memory.
    void arm(const FaultSpec& entry);
    void allocationFailed(const host::Memory::Allocation& allocation);
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
    // Bursts of sends waiting for the protocol's packets.
    static constexpr std::size_t kSendPackets = 256;
    static constexpr std::size_t kRunLogEntries = 64;
    struct TxStream {
        ScriptEvent event;
        std::uint32_t sent;
    };
    void pumpSends();
    void sendsMayGo();
    void dropWaitingSends();
    void sendOne(const ScriptEvent& event);
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
    std::deque<TxStream> txStreams_;
    bool pumpScheduled_ = false;
    bool pumping_ = false; // a pumpSends is under way (its send may have dropped the host lock)
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
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastProgress_{};
    bool progressShown_ = false;
};

} // namespace kt735sim
