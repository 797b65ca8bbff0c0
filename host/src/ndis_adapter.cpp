// The upper edge of the host NDIS, which tests and tools drive as a protocol would: an adapter's
// initialize and halt with the halt-time checks, its hang check, reset and shutdown, sends with
// their completions (the OID requests are in ndis_requests.cpp), and the recording protocol that
// keeps what the miniport indicated.
#include <algorithm>
#include <cstring>

#include "host/io.h"
#include "host/kernel.h"
#include "host/ndis.h"
#include "host/smp.h"
#include "host/world.h"
#include "ndis_internal.h"

namespace host::ndis {

using namespace internal;

// ---- the recording protocol -----------------------------------------------------------------

template <class T>
void RecordingProtocol::keep(std::vector<T>& entries, T entry) {
    if (entries.size() >= limit_) {
        entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(limit_ / 2));
    }
    entries.push_back(std::move(entry));
}

void RecordingProtocol::receive(Adapter&, const std::vector<std::uint8_t>& frame,
                                NDIS_STATUS packetStatus) {
    ++receivedCount;
    if (recording_) {
        keep(received, Received{frame, packetStatus, lastHeaderSize, host::world().now()});
    }
}
void RecordingProtocol::sendComplete(Adapter&, std::uint64_t sendId, NDIS_STATUS status) {
    ++sendCompletionCount;
    if (recording_) {
        keep(sendCompletions, SendCompletion{sendId, status, host::world().now()});
    }
}
void RecordingProtocol::sendResourcesAvailable(Adapter&) {
    resourcesAvailable.push_back(host::world().now());
}
void RecordingProtocol::status(Adapter&, NDIS_STATUS s, const std::vector<std::uint8_t>& buffer) {
    statuses.push_back({s, buffer, host::world().now()});
}
void RecordingProtocol::statusComplete(Adapter&) {
    statusCompletes.push_back(host::world().now());
}
void RecordingProtocol::clear() {
    received.clear();
    sendCompletions.clear();
    resourcesAvailable.clear();
    statuses.clear();
    statusCompletes.clear();
}

// ---- adapters -------------------------------------------------------------------------------

namespace {

// A send packet: ProtocolReserved of four pointers, as a protocol's packet pool would give it.
constexpr auto kSendPacketLayout = Library::packetLayout(4 * sizeof(PVOID));

// Describes `length` bytes at `data` with `mdl` and chains it to the back of the packet.
void chainBytes(PNDIS_PACKET packet, MDL& mdl, std::uint8_t* data, std::size_t length) {
    mdl = MDL{};
    mdl.Size = sizeof(MDL);
    mdl.StartVa = data;
    mdl.MappedSystemVa = data;
    mdl.ByteCount = static_cast<ULONG>(length);
    NdisChainBufferAtBack(packet, &mdl);
}

// Chains a split frame to the packet: a buffer over a copy of each piece, of the lengths in
// `split` while the frame lasts and the rest in one last buffer. Out of line: a split frame is
// rare, and the common send keeps no registers for it.
[[gnu::noinline]] void chainPieces(PNDIS_PACKET packet, std::vector<MDL>& pieces,
                                   std::vector<std::vector<std::uint8_t>>& chunks,
                                   std::span<const std::uint8_t> frame,
                                   const std::vector<std::size_t>& split) {
    std::size_t count = 0;
    for (std::size_t offset = 0, i = 0; i <= split.size(); ++i) {
        if (i < split.size() || offset < frame.size()) {
            ++count;
            offset += i < split.size() ? std::min(split[i], frame.size() - offset) : 0;
        }
    }
    pieces.resize(count);
    chunks.resize(std::max(chunks.size(), count));
    std::size_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length =
            i < split.size() ? std::min(split[i], frame.size() - offset) : frame.size() - offset;
        std::vector<std::uint8_t>& chunk = chunks[i];
        chunk.assign(frame.begin() + static_cast<std::ptrdiff_t>(offset),
                     frame.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
        chainBytes(packet, pieces[i], chunk.data(), length);
    }
}

// A push that may grow the vector, out of line: the per-frame paths that call it save no
// registers for the growth.
template <class T>
[[gnu::noinline]] void pushOutOfLine(std::vector<T>& entries, T entry) {
    entries.push_back(entry);
}

} // namespace

// A packet NDIS builds for a send on behalf of a protocol: the send's record, the packet with
// its out-of-band area, and its buffers. An unsplit frame is one buffer over the record's copy
// of the frame (the protocol's buffer); a split one has a buffer and a copy of its part of the
// frame for each piece. Reused for later sends once retired, buffers and copies included.
struct Adapter::HostPacket {
    enum class Stage { Live, Retired, Spare };
    SendRecord record;
    Stage stage = Stage::Spare;
    std::size_t liveSlot = 0; // its place in livePackets_ while live
    std::uint64_t storage[(kSendPacketLayout.first + 7) / 8] = {};
    MDL whole{}; // the one buffer of an unsplit frame
    std::vector<MDL> pieces;
    std::vector<std::vector<std::uint8_t>> chunks;
    PNDIS_PACKET packet() { return reinterpret_cast<PNDIS_PACKET>(storage); }
};

// The packet of this adapter at `packet`'s address, or null: a range check per slab, newest
// first, and the stride; nothing at the address is read.
Adapter::HostPacket* Adapter::hostPacket(PNDIS_PACKET packet) const {
    const auto address = reinterpret_cast<std::uintptr_t>(packet);
    for (std::size_t s = slabs_.size(); s-- > 0;) {
        HostPacket* slab = slabs_[s].get();
        const auto first = reinterpret_cast<std::uintptr_t>(slab[0].packet());
        const std::uintptr_t offset = address - first;
        if (address >= first && offset < kPacketsPerSlab * sizeof(HostPacket)) {
            return offset % sizeof(HostPacket) == 0 ? &slab[offset / sizeof(HostPacket)] : nullptr;
        }
    }
    return nullptr;
}

Adapter::HostPacket* Adapter::newHostPacket() {
    if (packetsMade_ == slabs_.size() * kPacketsPerSlab) {
        slabs_.push_back(std::make_unique<HostPacket[]>(kPacketsPerSlab));
    }
    HostPacket* hp = &slabs_.back()[packetsMade_ % kPacketsPerSlab];
    ++packetsMade_;
    return hp;
}

Adapter::Adapter(Library& library, PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
    : library_(library), driver_(driver), pdo_(pdo) {}

Adapter::~Adapter() = default;

NDIS_STATUS Adapter::initialize() {
    const Library::Miniport* miniport = library_.miniport(driver_);
    W_INITIALIZE_HANDLER handler =
        miniport != nullptr ? base(miniport->chars).InitializeHandler : nullptr;
    attributes_ = {};
    selectedMedium_ = ~0u;
    closing_ = false;
    if (handler == nullptr) {
        initializeStatus_ = NDIS_STATUS_FAILURE;
        state_ = State::InitializeFailed;
        return initializeStatus_;
    }
    state_ = State::Initializing;
    std::vector<NDIS_MEDIUM> media = media_;
    NDIS_STATUS openError = NDIS_STATUS_SUCCESS;
    UINT selected = ~0u;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE configuration = library_.configContextFor(this);
    callDriverAt(PASSIVE_LEVEL, "MiniportInitialize", [&] {
        status = handler(&openError, &selected, media.empty() ? nullptr : media.data(),
                         static_cast<UINT>(media.size()), handle(), configuration);
    });
    initializeStatus_ = status;
    selectedMedium_ = selected;
    if (status == NDIS_STATUS_SUCCESS) {
        if (!attributes_.set) {
            report(rule::kInitializeWithoutAttributes, "MiniportInitialize",
                   "returned NDIS_STATUS_SUCCESS without calling NdisMSetAttributesEx");
        }
        if (selected >= media.size()) {
            report(rule::kMediumOutOfRange, "MiniportInitialize",
                   "selected medium index " + std::to_string(selected) +
                       " is outside the medium array of " + std::to_string(media.size()));
        }
        state_ = State::Running;
        startHangCheck();
    } else {
        // A failed initialize must leave nothing behind, as a halt would.
        state_ = State::InitializeFailed;
        checkAtHalt();
    }
    return status;
}
void Adapter::halt() {
    stopHangCheck();
    closing_ = true;
    if (HostLock::threaded()) {
        waitUntil([this] { return inMiniport_ == 0; }, kForever, "MiniportHalt");
    }
    // NDIS has every indicated packet returned before it halts the miniport.
    while (!heldPackets_.empty()) {
        auto [packet, event] = heldPackets_.front();
        host::world().scheduler().cancel(event);
        returnPacket(packet);
    }
    const Library::Miniport* miniport = library_.miniport(driver_);
    W_HALT_HANDLER handler = miniport != nullptr ? base(miniport->chars).HaltHandler : nullptr;
    if (handler != nullptr) {
        HangWatch watch("MiniportHalt");
        callDriverAt(PASSIVE_LEVEL, "MiniportHalt", [&] { handler(context()); });
    }
    if (request_ != nullptr) {
        report(rule::kRequestNeverCompleted, "MiniportHalt",
               "OID " + hexValue(request_->oid) + " was still pending when the miniport halted");
        request_.reset();
    }
    state_ = State::Halted;
    if (resetInProgress_) {
        report(rule::kResetNeverCompleted, "MiniportHalt",
               "returned while a reset it pended was never completed with NdisMResetComplete");
        resetInProgress_ = false;
    }
    checkAtHalt();
}

void Adapter::checkAtHalt() {
    const char* call =
        state_ == State::InitializeFailed ? "MiniportInitialize (failed)" : "MiniportHalt";
    Scheduler& scheduler = host::world().scheduler();
    for (auto& [address, timer] : library_.timers()) {
        if (timer.adapter == this && timer.pending) {
            report(rule::kTimerPendingAtHalt, call,
                   "timer " + pointer(address) + " is still set after the adapter stopped");
            scheduler.cancel(timer.event);
            timer.pending = false;
            timer.event = 0;
        }
    }
    // Work items carry no adapter handle; one still queued when an adapter has stopped would run
    // against a freed adapter context.
    for (auto& [item, event] : library_.workItems_) {
        report(rule::kWorkItemPendingAtHalt, call,
               "work item " + pointer(item) + " is still queued after the adapter stopped");
        scheduler.cancel(event);
    }
    library_.workItems_.clear();
    if (shutdownHandler_ != nullptr) {
        report(rule::kNdisResourceLeak, call, "the adapter shutdown handler is still registered");
        shutdownHandler_ = nullptr;
        shutdownContext_ = nullptr;
    }
    auto& configs = library_.configHandles();
    for (auto it = configs.begin(); it != configs.end();) {
        if (it->second->adapter == this) {
            report(rule::kNdisResourceLeak, call,
                   "configuration handle " + pointer(it->first) + " was never closed");
            it = configs.erase(it);
        } else {
            ++it;
        }
    }
    std::vector<HostPacket*> live = livePackets_;
    std::sort(live.begin(), live.end(),
              [](const HostPacket* a, const HostPacket* b) { return a->record.id < b->record.id; });
    for (HostPacket* hp : live) {
        SendRecord& send = hp->record;
        if (send.returnedYet && send.returned == NDIS_STATUS_PENDING && !send.completed) {
            --sendsOutstanding_;
            report(rule::kSendNeverCompleted, call,
                   "send " + std::to_string(send.id) + " (" + std::to_string(send.frame.size()) +
                       " bytes) returned NDIS_STATUS_PENDING and was never completed");
            send.completed = true;
            send.completionStatus = NDIS_STATUS_FAILURE;
        }
    }
    if (library_.adaptersRunning() == 0) {
        library_.checkUnload(call);
    }
}

void Adapter::startHangCheck() {
    UINT seconds = attributes_.checkForHangSeconds == 0 ? 2 : attributes_.checkForHangSeconds;
    nextHangCheck_ = host::world().now() + static_cast<Time>(seconds) * kSecond;
    hangCheckEvent_ = host::world().scheduler().at(
        nextHangCheck_, [this] { hangCheckTick(); }, "NDIS hang check", Scheduler::Level::Dispatch,
        true);
}

void Adapter::stopHangCheck() {
    if (hangCheckEvent_ != 0) {
        host::world().scheduler().cancel(hangCheckEvent_);
        hangCheckEvent_ = 0;
    }
}

void Adapter::hangCheckTick() {
    hangCheckEvent_ = 0;
    if (!hangCheckSuspended_) {
        runCheckForHang();
    }
    if (state_ != State::Running || hangCheckEvent_ != 0) {
        return;
    }
    UINT seconds = attributes_.checkForHangSeconds == 0 ? 2 : attributes_.checkForHangSeconds;
    nextHangCheck_ += static_cast<Time>(seconds) * kSecond;
    hangCheckEvent_ = host::world().scheduler().at(
        nextHangCheck_, [this] { hangCheckTick(); }, "NDIS hang check", Scheduler::Level::Dispatch,
        true);
}

void Adapter::runCheckForHang() {
    const Library::Miniport* miniport = library_.miniport(driver_);
    W_CHECK_FOR_HANG_HANDLER handler =
        miniport != nullptr ? base(miniport->chars).CheckForHangHandler : nullptr;
    if (handler == nullptr) {
        return;
    }
    if (resetInProgress_) {
        return; // NDIS checks no adapter whose reset it is waiting for
    }
    if (closing_) {
        return;
    }
    ++hangChecks_;
    BOOLEAN hung = FALSE;
    UpperCall call(*this);
    callDriverAt(DISPATCH_LEVEL, "MiniportCheckForHang", [&] { hung = handler(context()); });
    if (hung) {
        reset();
    }
}

bool Adapter::checkForHang() {
    std::uint64_t before = resets_;
    runCheckForHang();
    return resets_ != before;
}

NDIS_STATUS Adapter::reset(BOOLEAN* addressingReset) {
    const Library::Miniport* miniport = library_.miniport(driver_);
    W_RESET_HANDLER handler = miniport != nullptr ? base(miniport->chars).ResetHandler : nullptr;
    if (resetInProgress_) {
        return NDIS_STATUS_RESET_IN_PROGRESS;
    }
    if (closing_) {
        return NDIS_STATUS_ADAPTER_NOT_FOUND;
    }
    UpperCall call(*this);
    ++resets_;
    if (handler == nullptr) {
        return NDIS_STATUS_NOT_RESETTABLE;
    }
    resetInProgress_ = true;
    deliver([&](Protocol& p) { p.status(*this, NDIS_STATUS_RESET_START, {}); });
    deliver([&](Protocol& p) { p.statusComplete(*this); });
    BOOLEAN addressing = FALSE;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    callDriverAt(DISPATCH_LEVEL, "MiniportReset",
                 [&] { status = handler(&addressing, context()); });
    if (addressingReset != nullptr) {
        *addressingReset = addressing;
    }
    if (status != NDIS_STATUS_PENDING) {
        finishReset(status);
    }
    return status;
}

void Adapter::resetComplete(NDIS_STATUS status) {
    if (!resetInProgress_) {
        report(rule::kResetCompleteUnpended, "NdisMResetComplete",
               "no reset of this adapter is waiting for completion");
        return;
    }
    finishReset(status);
}

void Adapter::finishReset(NDIS_STATUS status) {
    resetInProgress_ = false;
    resetResults_.push_back(status);
    deliver([&](Protocol& p) { p.status(*this, NDIS_STATUS_RESET_END, {}); });
    deliver([&](Protocol& p) { p.statusComplete(*this); });
}

void Adapter::shutdown(bool bugcheck) {
    if (shutdownHandler_ == nullptr) {
        return;
    }
    ADAPTER_SHUTDOWN_HANDLER handler = shutdownHandler_;
    PVOID context = shutdownContext_;
    callDriverAt(bugcheck ? HIGH_LEVEL : PASSIVE_LEVEL, "MiniportShutdown",
                 [&] { handler(context); });
}

Adapter::SendResult Adapter::send(std::span<const std::uint8_t> frame,
                                  std::vector<std::size_t> split, UINT flags, KIRQL irql) {
    if (state_ != State::Running || closing_ || chars_ == nullptr) {
        return {0, NDIS_STATUS_ADAPTER_NOT_FOUND};
    }
    if (resetInProgress_) {
        return {0, NDIS_STATUS_RESET_IN_PROGRESS};
    }
    W_SEND_HANDLER sendHandler = base(*chars_).SendHandler;
    W_SEND_PACKETS_HANDLER sendPackets = chars_->Ndis40Chars.SendPacketsHandler;
    if (sendHandler == nullptr && sendPackets == nullptr) {
        return {0, NDIS_STATUS_NOT_SUPPORTED};
    }

    HostPacket* hp = nullptr;
    if (!sparePackets_.empty()) {
        hp = sparePackets_.back();
        sparePackets_.pop_back();
        // Zeroed 64 bytes at a time: the compiler writes each piece with a few vector stores,
        // where one fill of the whole packet becomes a string instruction with a costly start.
        auto* bytes = reinterpret_cast<unsigned char*>(hp->storage);
        for (std::size_t at = 0; at < sizeof(hp->storage); at += 64) {
            std::memset(bytes + at, 0, std::min<std::size_t>(64, sizeof(hp->storage) - at));
        }
    } else {
        hp = newHostPacket();
    }
    PNDIS_PACKET packet = hp->packet();
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(kSendPacketLayout.second);
    SendRecord& record = hp->record;
    record.frame.assign(frame.begin(), frame.end());
    if (split.empty()) {
        chainBytes(packet, hp->whole, record.frame.data(), frame.size());
    } else {
        chainPieces(packet, hp->pieces, hp->chunks, frame, split);
    }

    std::uint64_t id = nextSendId_++;
    record.id = id;
    record.returned = NDIS_STATUS_PENDING;
    record.returnedYet = false;
    record.completed = false;
    record.completedInsideSend = false;
    record.completionStatus = NDIS_STATUS_SUCCESS;
    hp->stage = HostPacket::Stage::Live;
    hp->liveSlot = livePackets_.size();
    livePackets_.push_back(hp);

    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    UpperCall call(*this);
    if (sendHandler != nullptr) {
        callDriverAt(irql, "MiniportSend", [&] { status = sendHandler(context(), packet, flags); });
    } else {
        NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
        PNDIS_PACKET array[1] = {packet};
        callDriverAt(irql, "MiniportSendPackets", [&] { sendPackets(context(), array, 1); });
        status = NDIS_GET_PACKET_STATUS(packet);
    }
    record.returned = status;
    record.returnedYet = true;
    if (status == NDIS_STATUS_PENDING) {
        if (record.completed) {
            // Completed inside MiniportSend before it returned NDIS_STATUS_PENDING: legal.
            retire(*hp);
        } else {
            ++sendsOutstanding_;
        }
    } else {
        if (record.completedInsideSend) {
            reportRare(rule::kSendCompleteUnpended, "NdisMSendComplete", [id, status] {
                return "send " + std::to_string(id) +
                       " was completed inside MiniportSend, which then returned " +
                       hexValue(static_cast<ULONG>(status)) + " instead of NDIS_STATUS_PENDING";
            });
        } else {
            record.completed = true;
            record.completionStatus = status;
            deliver([&](Protocol& p) { p.sendComplete(*this, id, status); });
        }
        retire(*hp);
    }
    return {id, status};
}

// Moves a packet whose send is over from the live list to the ring of retired ones; the ring's
// oldest goes to the spares.
void Adapter::retire(HostPacket& hp) {
    HostPacket* last = livePackets_.back();
    livePackets_[hp.liveSlot] = last;
    last->liveSlot = hp.liveSlot;
    livePackets_.pop_back();
    hp.stage = HostPacket::Stage::Retired;
    if (retiredPackets_.size() < kRetiredSendsKept) [[unlikely]] {
        pushOutOfLine(retiredPackets_, &hp);
        return;
    }
    HostPacket* oldest = retiredPackets_[retiredNext_];
    oldest->stage = HostPacket::Stage::Spare;
    if (sparePackets_.size() == sparePackets_.capacity()) [[unlikely]] {
        pushOutOfLine(sparePackets_, oldest);
    } else {
        sparePackets_.push_back(oldest);
    }
    retiredPackets_[retiredNext_] = &hp;
    retiredNext_ = (retiredNext_ + 1) % kRetiredSendsKept;
}

void Adapter::sendComplete(PNDIS_PACKET packet, NDIS_STATUS status) {
    HostPacket* hp = hostPacket(packet);
    if (hp == nullptr || hp->stage == HostPacket::Stage::Spare) [[unlikely]] {
        reportRare(rule::kSendCompleteUnpended, "NdisMSendComplete", [packet] {
            return "packet " + pointer(packet) + " was never sent to this adapter";
        });
        return;
    }
    SendRecord& record = hp->record;
    const bool retired = hp->stage == HostPacket::Stage::Retired;
    if (retired && record.returned != NDIS_STATUS_PENDING) [[unlikely]] {
        reportRare(rule::kSendCompleteUnpended, "NdisMSendComplete",
                   [id = record.id, returned = record.returned] {
                       return "send " + std::to_string(id) + " returned " +
                              hexValue(static_cast<ULONG>(returned)) +
                              " from MiniportSend; the packet was already back with the protocol";
                   });
        return;
    }
    if (retired || record.completed) [[unlikely]] {
        reportRare(rule::kSendCompleteTwice, "NdisMSendComplete", [id = record.id] {
            return "send " + std::to_string(id) + " was already completed";
        });
        return;
    }
    record.completed = true;
    record.completionStatus = status;
    std::uint64_t id = record.id;
    if (!record.returnedYet) {
        record.completedInsideSend = true;
    } else {
        --sendsOutstanding_;
        retire(*hp);
    }
    deliver([&](Protocol& p) { p.sendComplete(*this, id, status); });
}

// Looks among the retired ones newest first: the send just completed is usually the one.
const Adapter::SendRecord* Adapter::sendRecord(std::uint64_t id) const {
    for (const HostPacket* hp : livePackets_) {
        if (hp->record.id == id) {
            return &hp->record;
        }
    }
    std::size_t n = retiredPackets_.size();
    for (std::size_t k = 1; k <= n; ++k) {
        const HostPacket* hp = retiredPackets_[(retiredNext_ + n - k) % n];
        if (hp->record.id == id) {
            return &hp->record;
        }
    }
    return nullptr;
}

} // namespace host::ndis
