// NDIS: miniport registration, NDIS's AddDevice and PnP dispatch, adapters with their hang
// check, the upper edge (sends, OID requests, reset, shutdown) and the halt-time checks.
#include "host/ndis.h"

#include <algorithm>
#include <sstream>

#include "host/io.h"
#include "host/kernel.h"
#include "host/world.h"
#include "host/smp.h"

namespace host::ndis {

namespace {

constexpr ULONG kUnwritten = 0xFFFFFFFFu;
constexpr std::uint32_t kConfigMagic = 0x4E434647; // "NCFG"

std::string hexValue(std::uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

std::string pointer(const void* p) {
    std::ostringstream s;
    s << p;
    return s.str();
}

void report(const char* rule, const char* call, const std::string& message) {
    host::world().verifier().report(rule, call, message);
}

const NDIS30_MINIPORT_CHARACTERISTICS& base(const NDIS_MINIPORT_CHARACTERISTICS& chars) {
    return chars.Ndis40Chars.Ndis30Chars;
}

// ---- NDIS's routines in a registered driver object ------------------------------------------

NTSTATUS NTAPI ndisAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    HostLock::Hold hold;
    return host::world().ndis().addDevice(driver, pdo);
}

NTSTATUS NTAPI ndisPnpDispatch(PDEVICE_OBJECT device, PIRP irp) {
    HostLock::Hold hold;
    return host::world().ndis().dispatchPnp(device, irp);
}

NTSTATUS NTAPI ndisCreateClose(PDEVICE_OBJECT, PIRP irp) {
    HostLock::Hold hold;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ndisDeviceControl(PDEVICE_OBJECT, PIRP irp) {
    HostLock::Hold hold;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Power and WMI requests: NDIS passes them to the device below.
NTSTATUS NTAPI ndisPassDown(PDEVICE_OBJECT device, PIRP irp) {
    HostLock::Hold hold;
    Adapter* adapter = host::world().ndis().adapterForDevice(device);
    if (adapter == nullptr || adapter->lower() == nullptr) {
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(adapter->lower(), irp);
}

NTSTATUS NTAPI signalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    HostLock::Hold hold;
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP to the device below and waits until it has finished there; the IRP is ours
// again afterwards.
NTSTATUS forwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

} // namespace

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

// A packet NDIS builds for a send on behalf of a protocol: the send's record, the packet with
// its out-of-band area, the buffers and each buffer's own copy of its part of the frame. Reused
// for later sends once retired, buffers and copies included.
struct Adapter::HostPacket {
    SendRecord record;
    std::vector<std::uint64_t> storage;
    std::vector<MDL> buffers;
    std::vector<std::vector<std::uint8_t>> chunks;
    PNDIS_PACKET packet() { return reinterpret_cast<PNDIS_PACKET>(storage.data()); }
};

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

// Counts an upper-edge call into the miniport for the length of a scope (host lock held).
struct Adapter::UpperCall {
    explicit UpperCall(Adapter& adapter) : adapter_(adapter) { ++adapter_.inMiniport_; }
    ~UpperCall() { --adapter_.inMiniport_; }
    UpperCall(const UpperCall&) = delete;
    UpperCall& operator=(const UpperCall&) = delete;
    Adapter& adapter_;
};

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
    for (auto& hp : livePackets_) {
        SendRecord& send = hp->record;
        if (send.returnedYet && send.returned == NDIS_STATUS_PENDING && !send.completed) {
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
    const Library::Miniport* miniport = library_.miniport(driver_);
    if (state_ != State::Running || closing_ || miniport == nullptr) {
        return {0, NDIS_STATUS_ADAPTER_NOT_FOUND};
    }
    if (resetInProgress_) {
        return {0, NDIS_STATUS_RESET_IN_PROGRESS};
    }
    W_SEND_HANDLER sendHandler = base(miniport->chars).SendHandler;
    W_SEND_PACKETS_HANDLER sendPackets = miniport->chars.Ndis40Chars.SendPacketsHandler;
    if (sendHandler == nullptr && sendPackets == nullptr) {
        return {0, NDIS_STATUS_NOT_SUPPORTED};
    }

    std::unique_ptr<HostPacket> hp;
    if (!sparePackets_.empty()) {
        hp = std::move(sparePackets_.back());
        sparePackets_.pop_back();
    } else {
        hp = std::make_unique<HostPacket>();
    }
    auto [bytes, oobOffset] = Library::packetLayout(4 * sizeof(PVOID));
    hp->storage.assign((bytes + 7) / 8, 0);
    PNDIS_PACKET packet = hp->packet();
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(oobOffset);
    packet->Private.NdisPacketFlags = 0;
    // The buffer lengths: those of `split` while the frame lasts, then the rest in one.
    std::size_t count = 0;
    for (std::size_t offset = 0, i = 0; i <= split.size(); ++i) {
        if (i < split.size() || offset < frame.size() || split.empty()) {
            ++count;
            offset += i < split.size() ? std::min(split[i], frame.size() - offset) : 0;
        }
    }
    hp->buffers.assign(count, MDL{});
    hp->chunks.resize(std::max(hp->chunks.size(), count));
    std::size_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length =
            i < split.size() ? std::min(split[i], frame.size() - offset) : frame.size() - offset;
        std::vector<std::uint8_t>& chunk = hp->chunks[i];
        chunk.assign(frame.begin() + static_cast<std::ptrdiff_t>(offset),
                     frame.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
        MDL& mdl = hp->buffers[i];
        mdl.Size = sizeof(MDL);
        mdl.StartVa = chunk.data();
        mdl.MappedSystemVa = mdl.StartVa;
        mdl.ByteCount = static_cast<ULONG>(length);
        NdisChainBufferAtBack(packet, &mdl);
    }

    std::uint64_t id = nextSendId_++;
    SendRecord& record = hp->record;
    record.frame.assign(frame.begin(), frame.end());
    record.id = id;
    record.returned = NDIS_STATUS_PENDING;
    record.returnedYet = false;
    record.completed = false;
    record.completedInsideSend = false;
    record.completionStatus = NDIS_STATUS_SUCCESS;
    livePackets_.push_back(std::move(hp));

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
            retire(packet);
        }
    } else {
        if (record.completedInsideSend) {
            report(rule::kSendCompleteUnpended, "NdisMSendComplete",
                   "send " + std::to_string(id) +
                       " was completed inside MiniportSend, which "
                       "then returned " +
                       hexValue(static_cast<ULONG>(status)) + " instead of NDIS_STATUS_PENDING");
        } else {
            record.completed = true;
            record.completionStatus = status;
            deliver([&](Protocol& p) { p.sendComplete(*this, id, status); });
        }
        retire(packet);
    }
    return {id, status};
}

Adapter::HostPacket* Adapter::findLive(PNDIS_PACKET packet) const {
    for (const auto& hp : livePackets_) {
        if (hp->packet() == packet) {
            return hp.get();
        }
    }
    return nullptr;
}

// Moves a packet whose send is over from the live list to the ring of retired ones; the ring's
// oldest goes to the spares.
void Adapter::retire(PNDIS_PACKET packet) {
    auto it = std::find_if(livePackets_.begin(), livePackets_.end(),
                           [packet](const auto& hp) { return hp->packet() == packet; });
    std::unique_ptr<HostPacket> hp = std::move(*it);
    livePackets_.erase(it);
    if (retiredPackets_.size() < kRetiredSendsKept) {
        retiredPackets_.push_back(std::move(hp));
        return;
    }
    sparePackets_.push_back(std::move(retiredPackets_[retiredNext_]));
    retiredPackets_[retiredNext_] = std::move(hp);
    retiredNext_ = (retiredNext_ + 1) % kRetiredSendsKept;
}

void Adapter::sendComplete(PNDIS_PACKET packet, NDIS_STATUS status) {
    HostPacket* live = findLive(packet);
    if (live == nullptr) {
        auto retired = std::find_if(retiredPackets_.begin(), retiredPackets_.end(),
                                    [packet](const auto& hp) { return hp->packet() == packet; });
        if (retired == retiredPackets_.end()) {
            report(rule::kSendCompleteUnpended, "NdisMSendComplete",
                   "packet " + pointer(packet) + " was never sent to this adapter");
            return;
        }
        const SendRecord& record = (*retired)->record;
        if (record.returned != NDIS_STATUS_PENDING) {
            report(rule::kSendCompleteUnpended, "NdisMSendComplete",
                   "send " + std::to_string(record.id) + " returned " +
                       hexValue(static_cast<ULONG>(record.returned)) +
                       " from MiniportSend; the packet was already back with the protocol");
        } else {
            report(rule::kSendCompleteTwice, "NdisMSendComplete",
                   "send " + std::to_string(record.id) + " was already completed");
        }
        return;
    }
    SendRecord& record = live->record;
    if (record.completed) {
        report(rule::kSendCompleteTwice, "NdisMSendComplete",
               "send " + std::to_string(record.id) + " was already completed");
        return;
    }
    record.completed = true;
    record.completionStatus = status;
    std::uint64_t id = record.id;
    if (!record.returnedYet) {
        record.completedInsideSend = true;
    } else {
        retire(packet);
    }
    deliver([&](Protocol& p) { p.sendComplete(*this, id, status); });
}

const Adapter::SendRecord* Adapter::sendRecord(std::uint64_t id) const {
    for (const auto* list : {&livePackets_, &retiredPackets_}) {
        for (const auto& hp : *list) {
            if (hp->record.id == id) {
                return &hp->record;
            }
        }
    }
    return nullptr;
}

std::size_t Adapter::sendsOutstanding() const {
    std::size_t n = 0;
    for (const auto& hp : livePackets_) {
        const SendRecord& send = hp->record;
        n += send.returnedYet && send.returned == NDIS_STATUS_PENDING && !send.completed ? 1 : 0;
    }
    return n;
}

Adapter::Request Adapter::finish(const InFlight& request, NDIS_STATUS status) {
    Request r;
    r.status = status;
    r.bytesDoneStored = request.done != kUnwritten;
    r.bytesNeededStored = request.needed != kUnwritten;
    r.bytesDone = r.bytesDoneStored ? request.done : 0;
    r.bytesNeeded = r.bytesNeededStored ? request.needed : 0;
    r.data = request.data;
    auto length = static_cast<ULONG>(request.data.size());
    if (status == NDIS_STATUS_SUCCESS && r.bytesDone > length) {
        report(rule::kRequestBytesBeyondBuffer,
               request.isSet ? "MiniportSetInformation" : "MiniportQueryInformation",
               "OID " + hexValue(request.oid) + (request.isSet ? ": read " : ": wrote ") +
                   std::to_string(r.bytesDone) + " bytes of a buffer of " + std::to_string(length));
    }
    if (!request.isSet && status == NDIS_STATUS_SUCCESS) {
        r.data.resize(std::min<std::size_t>(r.bytesDone, length));
    }
    return r;
}

bool Adapter::waitForRequest(Time limit) {
    if (request_ == nullptr) {
        return true;
    }
    Time deadline = host::world().now() + limit;
    if (waitUntil([this] { return request_ == nullptr; }, deadline, "NDIS request")) {
        return true;
    }
    report(rule::kRequestNeverCompleted,
           request_->isSet ? "MiniportSetInformation" : "MiniportQueryInformation",
           "OID " + hexValue(request_->oid) +
               " returned NDIS_STATUS_PENDING and was not completed");
    request_.reset();
    return false;
}

Adapter::Request Adapter::issue(bool isSet, NDIS_HANDLE context, NDIS_OID oid,
                                std::vector<std::uint8_t> data, bool wait) {
    Request r;
    const Library::Miniport* miniport = library_.miniport(driver_);
    if (miniport == nullptr || (isSet ? base(miniport->chars).SetInformationHandler == nullptr
                                      : base(miniport->chars).QueryInformationHandler == nullptr)) {
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    if (resetInProgress_) {
        r.status = NDIS_STATUS_RESET_IN_PROGRESS;
        return r;
    }
    // NDIS queues a request behind the one the miniport holds.
    waitForRequest();
    if (closing_) {
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    UpperCall call(*this);
    request_ = std::make_unique<InFlight>();
    InFlight& request = *request_;
    request.isSet = isSet;
    request.oid = oid;
    request.data = std::move(data);
    request.done = kUnwritten;
    request.needed = kUnwritten;
    auto length = static_cast<ULONG>(request.data.size());
    PVOID buffer = length != 0 ? request.data.data() : nullptr;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    if (isSet) {
        auto set = base(miniport->chars).SetInformationHandler;
        callDriverAt(DISPATCH_LEVEL, "MiniportSetInformation", [&] {
            status = set(context, oid, buffer, length, &request.done, &request.needed);
        });
    } else {
        auto query = base(miniport->chars).QueryInformationHandler;
        callDriverAt(DISPATCH_LEVEL, "MiniportQueryInformation", [&] {
            status = query(context, oid, buffer, length, &request.done, &request.needed);
        });
    }
    request.returned = true;
    if (status != NDIS_STATUS_PENDING) {
        if (request.completed) {
            report(rule::kRequestCompleteUnpended,
                   isSet ? "NdisMSetInformationComplete" : "NdisMQueryInformationComplete",
                   "OID " + hexValue(oid) +
                       " was completed inside the handler, which then returned " +
                       hexValue(static_cast<ULONG>(status)) + " instead of NDIS_STATUS_PENDING");
        }
        r = finish(request, status);
        request_.reset();
        return r;
    }
    if (request.completed) {
        // Completed inside the handler before it returned NDIS_STATUS_PENDING.
        r = finish(request, request.status);
        r.pended = true;
        request_.reset();
        return r;
    }
    if (!wait) {
        r = finish(request, NDIS_STATUS_PENDING);
        return r;
    }
    if (!waitForRequest()) {
        r.status = NDIS_STATUS_FAILURE;
        return r;
    }
    return lastCompletion_;
}

void Adapter::requestComplete(bool isSet, NDIS_STATUS status, const char* call) {
    if (request_ == nullptr || request_->isSet != isSet || request_->completed) {
        report(rule::kRequestCompleteUnpended, call,
               std::string("no ") + (isSet ? "set" : "query") + " request is pending");
        return;
    }
    if (status == NDIS_STATUS_PENDING) {
        report(rule::kRequestCompletedPending, call, "completed with NDIS_STATUS_PENDING");
    }
    request_->completed = true;
    request_->status = status;
    if (!request_->returned) {
        return; // finished when the handler returns
    }
    lastCompletion_ = finish(*request_, status);
    lastCompletion_.pended = true;
    NDIS_OID oid = request_->oid;
    request_.reset();
    if (isSet) {
        const Request& r = lastCompletion_;
        deliver(
            [&](Protocol& p) { p.setComplete(*this, oid, status, r.bytesDone, r.bytesNeeded); });
    }
}

Adapter::Request Adapter::query(NDIS_OID oid, ULONG length, std::span<const std::uint8_t> input) {
    if (state_ != State::Running) {
        Request r;
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    std::vector<std::uint8_t> buffer(length, Memory::kFillPattern);
    std::copy_n(input.begin(), std::min<std::size_t>(input.size(), length), buffer.begin());
    return issue(false, context(), oid, std::move(buffer), true);
}

Adapter::Request Adapter::set(NDIS_OID oid, std::vector<std::uint8_t> data) {
    if (state_ != State::Running) {
        Request r;
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    return issue(true, context(), oid, std::move(data), true);
}

Adapter::Request Adapter::beginSet(NDIS_OID oid, std::vector<std::uint8_t> data) {
    if (state_ != State::Running) {
        Request r;
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    return issue(true, context(), oid, std::move(data), false);
}

Adapter::Request Adapter::setOn(NDIS_HANDLE context, NDIS_OID oid, std::vector<std::uint8_t> data) {
    return issue(true, context, oid, std::move(data), true);
}

Adapter::Request Adapter::queryUlong(NDIS_OID oid, ULONG& value) {
    Request r = query(oid, sizeof(ULONG));
    if (r.status == NDIS_STATUS_SUCCESS) {
        if (r.data.size() != sizeof(ULONG)) {
            r.status = NDIS_STATUS_INVALID_LENGTH;
        } else {
            std::memcpy(&value, r.data.data(), sizeof(ULONG));
        }
    }
    return r;
}

Adapter::Request Adapter::setUlong(NDIS_OID oid, ULONG value) {
    std::vector<std::uint8_t> data(sizeof(ULONG));
    std::memcpy(data.data(), &value, sizeof(ULONG));
    return set(oid, std::move(data));
}

// ---- the library ----------------------------------------------------------------------------

Library::Library(World& world) : world_(world) {
    previousOnFree_ = world.memory().onFree;
    world.memory().onFree = [this](void* p, std::size_t size) {
        onMemoryFreed(p, size);
        if (previousOnFree_) {
            previousOnFree_(p, size);
        }
    };
}

Library::~Library() {
    world_.memory().onFree = previousOnFree_;
    for (auto& [address, timer] : timers_) {
        if (timer.pending) {
            world_.scheduler().cancel(timer.event);
        }
    }
    for (auto& [packet, pool] : packets_) {
        std::free(packet);
    }
    for (auto& [buffer, pool] : buffers_) {
        delete buffer;
    }
    for (auto& adapter : adapters_) {
        adapter->stopHangCheck();
        for (auto& [packet, event] : adapter->heldPackets_) {
            world_.scheduler().cancel(event);
        }
    }
}

PDRIVER_ADD_DEVICE Library::addDeviceRoutine() {
    return ndisAddDevice;
}

PDRIVER_DISPATCH Library::pnpDispatchRoutine() {
    return ndisPnpDispatch;
}

std::pair<std::size_t, UINT> Library::packetLayout(UINT protocolReserved) {
    std::size_t reservedEnd = offsetof(NDIS_PACKET, ProtocolReserved) + protocolReserved;
    std::size_t oob = (reservedEnd + 7) & ~std::size_t{7};
    return {oob + sizeof(NDIS_PACKET_OOB_DATA), static_cast<UINT>(oob)};
}

std::size_t Library::wrappersOpen() const {
    return static_cast<std::size_t>(
        std::count_if(wrappers_.begin(), wrappers_.end(), [](auto& w) { return w->open; }));
}

const NDIS_MINIPORT_CHARACTERISTICS* Library::characteristics(PDRIVER_OBJECT driver) const {
    auto it = miniports_.find(driver);
    return it == miniports_.end() ? nullptr : &it->second.chars;
}

Library::Miniport* Library::miniport(PDRIVER_OBJECT driver) {
    auto it = miniports_.find(driver);
    return it == miniports_.end() ? nullptr : &it->second;
}

Library::Wrapper* Library::wrapper(NDIS_HANDLE handle) {
    for (auto& w : wrappers_) {
        if (w.get() == handle) {
            return w.get();
        }
    }
    return nullptr;
}

NDIS_HANDLE Library::newWrapper(PDRIVER_OBJECT driver) {
    wrappers_.push_back(std::make_unique<Wrapper>(Wrapper{driver, true}));
    return wrappers_.back().get();
}

NDIS_STATUS Library::registerMiniport(Wrapper& wrapper, const NDIS_MINIPORT_CHARACTERISTICS& chars,
                                      UINT length) {
    if (failRegistration_ != NDIS_STATUS_SUCCESS) {
        NDIS_STATUS status = failRegistration_;
        failRegistration_ = NDIS_STATUS_SUCCESS;
        return status;
    }
    const NDIS30_MINIPORT_CHARACTERISTICS& head = base(chars);
    std::size_t needed = 0;
    if (head.MajorNdisVersion == 5 && head.MinorNdisVersion == 0) {
        needed = sizeof(NDIS50_MINIPORT_CHARACTERISTICS);
    } else if (head.MajorNdisVersion == 4 && head.MinorNdisVersion == 0) {
        needed = sizeof(NDIS40_MINIPORT_CHARACTERISTICS);
    } else {
        return NDIS_STATUS_BAD_VERSION;
    }
    if (length < needed) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    Miniport miniport;
    std::memcpy(&miniport.chars, &chars, needed);
    miniport.majorVersion = head.MajorNdisVersion;
    miniports_[wrapper.driver] = miniport;

    PDRIVER_OBJECT driver = wrapper.driver;
    driver->DriverExtension->AddDevice = ndisAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = ndisPnpDispatch;
    driver->MajorFunction[IRP_MJ_CREATE] = ndisCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = ndisCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ndisDeviceControl;
    driver->MajorFunction[IRP_MJ_POWER] = ndisPassDown;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ndisPassDown;
    return NDIS_STATUS_SUCCESS;
}

NTSTATUS Library::addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (miniport(driver) == nullptr) {
        report(rule::kMiniportNotRegistered, "AddDevice",
               "the driver object has no registered miniport");
        return STATUS_UNSUCCESSFUL;
    }
    auto adapter = std::make_unique<Adapter>(*this, driver, pdo);
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Adapter*), nullptr,
                                     FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Adapter* raw = adapter.get();
    std::memcpy(fdo->DeviceExtension, &raw, sizeof(raw));
    adapter->fdo_ = fdo;
    adapter->lower_ = IoAttachDeviceToDeviceStack(fdo, pdo);
    adapter->parameters_ = defaultParameters_;
    adapter->media_ = defaultMedia_;
    fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    adapters_.push_back(std::move(adapter));
    return STATUS_SUCCESS;
}

NTSTATUS Library::dispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Adapter* adapter = adapterForDevice(fdo);
    if (adapter == nullptr) {
        report(rule::kNdisHandleInvalid, "NDIS PnP dispatch",
               "device object " + pointer(fdo) + " is not one of NDIS's adapters");
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    PDEVICE_OBJECT lower = adapter->lower_;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = forwardAndWait(lower, irp);
        if (NT_SUCCESS(status) && !adapter->running()) {
            NDIS_STATUS result = adapter->initialize();
            if (result != NDIS_STATUS_SUCCESS) {
                status = NT_SUCCESS(result) ? STATUS_UNSUCCESSFUL : result;
            }
        }
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_STOP_DEVICE:
        if (adapter->running()) {
            adapter->halt();
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (adapter->running()) {
            adapter->halt();
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = passDown(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        adapter->fdo_ = nullptr;
        adapter->lower_ = nullptr;
        adapter->state_ = Adapter::State::Removed;
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        adapter->surpriseRemoved_ = true;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(lower, irp);
    default:
        return passDown(lower, irp);
    }
}

std::vector<Adapter*> Library::adapters() const {
    std::vector<Adapter*> out;
    for (const auto& a : adapters_) {
        out.push_back(a.get());
    }
    return out;
}

Adapter* Library::lastAdapter() const {
    return adapters_.empty() ? nullptr : adapters_.back().get();
}

Adapter* Library::adapterForDevice(PDEVICE_OBJECT fdo) const {
    if (fdo == nullptr) {
        return nullptr;
    }
    for (const auto& a : adapters_) {
        if (a->fdo_ == fdo) {
            return a.get();
        }
    }
    return nullptr;
}

Adapter* Library::adapterFromHandle(NDIS_HANDLE handle, const char* call, bool reportIt) const {
    for (const auto& a : adapters_) {
        if (a.get() == handle) {
            return a.get();
        }
    }
    if (reportIt) {
        report(rule::kNdisHandleInvalid, call,
               "handle " + pointer(handle) + " is not a miniport adapter handle");
    }
    return nullptr;
}

Adapter* Library::indicatingAdapter(NDIS_HANDLE handle, const char* call) const {
    Adapter* adapter = adapterFromHandle(handle, call);
    if (adapter != nullptr && adapter->state_ != Adapter::State::Running &&
        adapter->state_ != Adapter::State::Initializing) {
        report(rule::kAdapterNotRunning, call,
               "the adapter is not running (halted or never started)");
        return nullptr;
    }
    return adapter;
}

std::size_t Library::adaptersRunning() const {
    return static_cast<std::size_t>(
        std::count_if(adapters_.begin(), adapters_.end(), [](const auto& a) {
            return a->state_ == Adapter::State::Running ||
                   a->state_ == Adapter::State::Initializing;
        }));
}

Library::ConfigContext* Library::configContext(NDIS_HANDLE context) const {
    for (const auto& [adapter, c] : configContexts_) {
        if (c.get() == context) {
            return c.get();
        }
    }
    return nullptr;
}

NDIS_HANDLE Library::configContextFor(Adapter* adapter) {
    auto& slot = configContexts_[adapter];
    if (!slot) {
        slot = std::make_unique<ConfigContext>(ConfigContext{kConfigMagic, adapter});
    }
    return slot.get();
}

void Library::failNth(Resource resource, std::uint64_t n) {
    resourceFailures_[resource].insert(resourceAttempts_[resource] + n);
}

std::uint64_t Library::attempts(Resource resource) const {
    auto it = resourceAttempts_.find(resource);
    return it == resourceAttempts_.end() ? 0 : it->second;
}

bool Library::attemptFails(Resource resource) {
    std::uint64_t serial = ++resourceAttempts_[resource];
    const bool inOrder = world_.memory().countAttemptInOrder();
    return resourceFailures_[resource].erase(serial) != 0 || inOrder;
}

void Library::clearFaults() {
    resourceFailures_.clear();
    world_.memory().clearFaults();
}

void Library::noteUnclaimedRelease(const char* call) {
    unclaimedReleases_.emplace_back(call);
    report(rule::kUnclaimedResourceReleased, call,
           "releases a resource this miniport never claimed (no shared memory, I/O ports, "
           "interrupt or map registers were given to it)");
}

std::size_t Library::timersPending(const Adapter* adapter) const {
    std::size_t n = 0;
    for (const auto& [address, timer] : timers_) {
        n += timer.pending && (adapter == nullptr || timer.adapter == adapter) ? 1 : 0;
    }
    return n;
}

std::size_t Library::checkUnload(const char* when) {
    std::size_t problems = 0;
    Memory& memory = world_.memory();
    std::string ndisLeaks = memory.leakReport(Memory::Kind::Ndis);
    if (!ndisLeaks.empty()) {
        report(rule::kNdisMemoryLeak, when, "NDIS memory still allocated:\n" + ndisLeaks);
        ++problems;
    }
    std::string poolLeaks = memory.leakReport(Memory::Kind::Pool);
    if (!poolLeaks.empty()) {
        report(rule::kPoolLeak, when, "pool still allocated:\n" + poolLeaks);
        ++problems;
    }
    for (const auto& [handle, pool] : packetPools_) {
        report(rule::kNdisResourceLeak, when,
               "packet pool " + pointer(handle) + " was never freed (" +
                   std::to_string(pool->outstanding.size()) + " packet(s) still allocated)");
        ++problems;
    }
    for (const auto& [handle, pool] : bufferPools_) {
        report(rule::kNdisResourceLeak, when,
               "buffer pool " + pointer(handle) + " was never freed (" +
                   std::to_string(pool->outstanding.size()) + " buffer(s) still allocated)");
        ++problems;
    }
    for (const auto& [handle, config] : configs_) {
        report(rule::kNdisResourceLeak, when,
               "configuration handle " + pointer(handle) + " was never closed");
        ++problems;
    }
    for (const auto& [address, timer] : timers_) {
        if (timer.pending) {
            report(rule::kTimerPendingAtHalt, when, "timer " + pointer(address) + " is still set");
            ++problems;
        }
    }
    for (const auto& [item, event] : workItems_) {
        report(rule::kWorkItemPendingAtHalt, when,
               "work item " + pointer(item) + " is still queued");
        ++problems;
    }
    std::size_t irps = world_.irps().liveCount(IrpRegistry::Origin::Driver);
    if (irps != 0) {
        report(rule::kIrpLeak, when,
               std::to_string(irps) + " IRP(s) allocated by the driver were never freed");
        ++problems;
    }
    return problems;
}

} // namespace host::ndis

// ---- the exported routines ------------------------------------------------------------------

using namespace host;
using host::ndis::Adapter;
using host::ndis::Library;

extern "C" VOID NTAPI NdisMInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                             PVOID, PVOID) {
    HostLock::Hold hold;
    *NdisWrapperHandle = world().ndis().newWrapper(static_cast<PDRIVER_OBJECT>(SystemSpecific1));
}

extern "C" VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID) {
    HostLock::Hold hold;
    Library::Wrapper* wrapper = world().ndis().wrapper(NdisWrapperHandle);
    if (wrapper == nullptr || !wrapper->open) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisTerminateWrapper",
                                  "not an open wrapper handle");
        return;
    }
    wrapper->open = false;
}

extern "C" NDIS_STATUS NTAPI NdisMRegisterMiniport(
    NDIS_HANDLE NdisWrapperHandle, PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
    UINT CharacteristicsLength) {
    HostLock::Hold hold;
    Library::Wrapper* wrapper = world().ndis().wrapper(NdisWrapperHandle);
    if (wrapper == nullptr || !wrapper->open || wrapper->driver == nullptr) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisMRegisterMiniport",
                                  "not an open wrapper handle of a driver object");
        return NDIS_STATUS_FAILURE;
    }
    if (MiniportCharacteristics == nullptr) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    return world().ndis().registerMiniport(*wrapper, *MiniportCharacteristics,
                                           CharacteristicsLength);
}

extern "C" VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                           NDIS_HANDLE MiniportAdapterContext,
                                           UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                           NDIS_INTERFACE_TYPE AdapterType) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMSetAttributesEx");
    if (adapter == nullptr) {
        return;
    }
    if (adapter->state() != Adapter::State::Initializing) {
        world().verifier().report(rule::kCallOutsideInitialize, "NdisMSetAttributesEx",
                                  "called outside MiniportInitialize");
    }
    adapter->setAttributes(
        {true, MiniportAdapterContext, CheckForHangTimeInSeconds, AttributeFlags, AdapterType});
}

extern "C" VOID NTAPI NdisMRegisterAdapterShutdownHandler(
    NDIS_HANDLE MiniportHandle, PVOID ShutdownContext, ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportHandle, "NdisMRegisterAdapterShutdownHandler");
    if (adapter == nullptr) {
        return;
    }
    adapter->setShutdownHandler(ShutdownHandler, ShutdownContext);
}

extern "C" VOID NTAPI NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportHandle, "NdisMDeregisterAdapterShutdownHandler");
    if (adapter == nullptr) {
        return;
    }
    adapter->setShutdownHandler(nullptr, nullptr);
}

extern "C" VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                                             PDEVICE_OBJECT* PhysicalDeviceObject,
                                             PDEVICE_OBJECT* FunctionalDeviceObject,
                                             PDEVICE_OBJECT* NextDeviceObject,
                                             PCM_RESOURCE_LIST* AllocatedResources,
                                             PCM_RESOURCE_LIST* AllocatedResourcesTranslated) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMGetDeviceProperty");
    if (PhysicalDeviceObject != nullptr) {
        *PhysicalDeviceObject = adapter != nullptr ? adapter->pdo() : nullptr;
    }
    if (FunctionalDeviceObject != nullptr) {
        *FunctionalDeviceObject = adapter != nullptr ? adapter->fdo() : nullptr;
    }
    if (NextDeviceObject != nullptr) {
        *NextDeviceObject = adapter != nullptr ? adapter->lower() : nullptr;
    }
    if (AllocatedResources != nullptr) {
        *AllocatedResources = nullptr;
    }
    if (AllocatedResourcesTranslated != nullptr) {
        *AllocatedResourcesTranslated = nullptr;
    }
}

extern "C" VOID NTAPI NdisMFreeSharedMemory(NDIS_HANDLE, ULONG, BOOLEAN, PVOID,
                                            NDIS_PHYSICAL_ADDRESS) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMFreeSharedMemory");
}

extern "C" VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE, UINT, UINT, PVOID) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMDeregisterIoPortRange");
}

extern "C" VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMDeregisterInterrupt");
}

extern "C" VOID NTAPI NdisMFreeMapRegisters(NDIS_HANDLE) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMFreeMapRegisters");
}

extern "C" VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                        NDIS_STATUS Status) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisMSendComplete",
                                  "called above DISPATCH_LEVEL");
    }
    Adapter* adapter = world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMSendComplete");
    if (adapter != nullptr) {
        adapter->sendComplete(Packet, Status);
    }
}

extern "C" VOID NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle,
                                                  NDIS_STATUS Status) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisMSetInformationComplete",
                                  "called above DISPATCH_LEVEL");
    }
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMSetInformationComplete");
    if (adapter != nullptr) {
        adapter->requestComplete(true, Status, "NdisMSetInformationComplete");
    }
}

extern "C" VOID NTAPI NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle,
                                                    NDIS_STATUS Status) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisMQueryInformationComplete",
                                  "called above DISPATCH_LEVEL");
    }
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMQueryInformationComplete");
    if (adapter != nullptr) {
        adapter->requestComplete(false, Status, "NdisMQueryInformationComplete");
    }
}

extern "C" VOID NTAPI NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status,
                                         BOOLEAN AddressingReset) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisMResetComplete",
                                  "called above DISPATCH_LEVEL");
    }
    UNREFERENCED_PARAMETER(AddressingReset);
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMResetComplete");
    if (adapter != nullptr) {
        adapter->resetComplete(Status);
    }
}

extern "C" VOID NTAPI NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMSendResourcesAvailable");
    if (adapter != nullptr) {
        adapter->deliver([&](host::ndis::Protocol& p) { p.sendResourcesAvailable(*adapter); });
    }
}

extern "C" VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle,
                                          NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                                          UINT StatusBufferSize) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMIndicateStatus");
    if (adapter == nullptr) {
        return;
    }
    std::vector<std::uint8_t> buffer;
    if (StatusBuffer != nullptr && StatusBufferSize != 0) {
        auto* bytes = static_cast<const std::uint8_t*>(StatusBuffer);
        buffer.assign(bytes, bytes + StatusBufferSize);
    }
    adapter->deliver([&](host::ndis::Protocol& p) { p.status(*adapter, GeneralStatus, buffer); });
}

extern "C" VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMIndicateStatusComplete");
    if (adapter != nullptr) {
        adapter->deliver([&](host::ndis::Protocol& p) { p.statusComplete(*adapter); });
    }
}
