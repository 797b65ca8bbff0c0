// The script's commands as a run carries them out: frames sent and received on either wire,
// injected bulk-in transfers, OID queries and sets with their answers in text, reset,
// shutdown, halt and unplug.
#include "simulation_run.h"

#include <algorithm>
#include <array>

namespace kt735sim {

namespace {

// The station on the far end of either wire.
constexpr Mac kPeer = {0x02, 0x50, 0x45, 0x45, 0x52, 0x01};
// IEEE 802 local experimental EtherType, for the frames the scenario makes up.
constexpr std::uint16_t kEtherType = 0x88B5;

std::vector<std::uint8_t> makeFrame(const Mac& to, const Mac& from, std::uint16_t type,
                                    std::uint32_t size, std::uint64_t seq) {
    std::array<std::uint8_t, 14> header{};
    std::copy(to.begin(), to.end(), header.begin());
    std::copy(from.begin(), from.end(), header.begin() + 6);
    header[12] = static_cast<std::uint8_t>(type >> 8);
    header[13] = static_cast<std::uint8_t>(type & 0xFF);
    std::vector<std::uint8_t> frame(size);
    std::copy_n(header.begin(), std::min<std::size_t>(size, header.size()), frame.begin());
    // Through a local pointer: a byte store through the vector would make the compiler reload
    // the vector's own pointer after each one.
    std::uint8_t* bytes = frame.data();
    auto first = static_cast<std::uint8_t>(seq);
    for (std::uint32_t i = header.size(); i < size; i++) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return frame;
}

} // namespace

// The protocol's packets are a pool of kSendPackets: a burst hands NDIS a frame while fewer
// than that are outstanding, and the rest as completions bring packets back. So a long burst
// holds a pool's worth of frames, and the driver sees its queue fill as a real stack fills it.
void Simulation::send(const ScriptEvent& event) {
    if (event.count == 0) {
        return;
    }
    txStreams_.push_back({event, 0});
    pumpSends();
}

// One pump at a time: each send gives up the host lock while the driver runs, and with
// --processors a pump on another thread (a completion's) would otherwise take the burst this one
// is sending from under it. The pump under way looks again after each send, so a pump that finds
// one running loses nothing.
void Simulation::pumpSends() {
    if (pumping_) {
        return;
    }
    pumping_ = true;
    while (!txStreams_.empty() && adapter_->sendsOutstanding() < kSendPackets) {
        TxStream& stream = txStreams_.front();
        sendOne(stream.event);
        if (++stream.sent == stream.event.count) {
            txStreams_.pop_front();
        }
    }
    pumping_ = false;
}

// A completion gave a packet back: the next frames of a waiting burst go from an event of
// their own, not from inside NdisMSendComplete.
void Simulation::sendsMayGo() {
    if (txStreams_.empty() || pumpScheduled_) {
        return;
    }
    pumpScheduled_ = true;
    world_->scheduler().after(
        0,
        [this] {
            pumpScheduled_ = false;
            if (!halted_) {
                pumpSends();
            }
        },
        "kt735sim send");
}

// At halt: the frames of bursts still waiting for packets are never handed to NDIS.
void Simulation::dropWaitingSends() {
    std::uint64_t waiting = 0;
    for (const TxStream& stream : txStreams_) {
        waiting += stream.event.count - stream.sent;
    }
    txStreams_.clear();
    if (waiting != 0) {
        line(stamp(rel()) + "  " + count(waiting, "frame") +
             " of send bursts not sent: no packet came back to send them in");
    }
}

void Simulation::sendOne(const ScriptEvent& event) {
    Mac to = event.to.value_or(kPeer);
    std::vector<std::uint8_t> frame = makeFrame(
        to, device_->stationAddress(), event.type.value_or(kEtherType), event.size, frameSeq_++);
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
        return;
    }
    Json fields = {{"id", result.id}, {"length", event.size}};
    if (!event.chain.empty()) {
        fields["chain"] = event.chain;
    }
    fields.update(statusJson(status));
    record("send", std::move(fields),
           "send " + count(event.size, "byte") + (event.chain.empty() ? "" : " (chained)") + ": " +
               statusText(status) + completion);
    for (HeldCompletion& held : heldCompletions_) {
        run_.records.push_back(std::move(held.record));
    }
    heldCompletions_.clear();
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

namespace {

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

} // namespace

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
    std::uint64_t requests = bus_->requestsSubmitted();
    guard("MiniportShutdown");
    adapter_->shutdown(bugcheck);
    unguard();
    if (!bugcheck) {
        halt(false);
        return;
    }
    if (bus_->requestsSubmitted() != requests) {
        run_.violations.push_back("the shutdown handler made " +
                                  std::to_string(bus_->requestsSubmitted() - requests) +
                                  " USB requests at HIGH_LEVEL");
    }
    bugchecked_ = true;
    halted_ = true;
    flush();
    line(stamp(rel()) + "  stopped in the bugcheck");
}

void Simulation::halt(bool unplug) {
    dropWaitingSends();
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
               faultEffectName(event.fault.effect) + " x" + std::to_string(event.fault.times);
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

} // namespace kt735sim
