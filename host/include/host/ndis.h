// The host NDIS library: registered miniports, adapter instances and the upper edge.
//
// NdisMRegisterMiniport keeps the handler table and fills the driver object's AddDevice and
// IRP_MJ_PNP entries with NDIS's own routines. NDIS's AddDevice creates an Adapter (the
// miniport block) behind a functional device object; NDIS's PnP dispatch initializes it on
// IRP_MN_START_DEVICE and halts it on STOP or REMOVE. Tests and tools stand on the upper edge:
// they send frames, query and set OIDs, and receive the indications through a Protocol.
//
// The library also keeps the books the verifier needs: timers by address, packet and buffer
// pools, configuration handles, shutdown handlers and the sends NDIS is waiting on. Whatever is
// still outstanding when the last adapter halts is reported.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "host/ddk.h"
#include "host/fault.h"
#include "host/sched.h"

namespace host {
class World;
namespace ndis {

class Adapter;
class Library;

// ---- the upper edge ---------------------------------------------------------------------------

// What a protocol bound to an adapter hears from it. The default implementation ignores
// everything; RecordingProtocol keeps it.
class Protocol {
  public:
    virtual ~Protocol() = default;
    // A received frame, copied out of the packet; `packetStatus` is the status the miniport set
    // on the packet (NDIS_STATUS_RESOURCES: NDIS copied it and handed it back at once).
    virtual void receive(Adapter&, const std::vector<std::uint8_t>& /*frame*/,
                         NDIS_STATUS /*packetStatus*/) {}
    // A send of this adapter finished; `sendId` is what Adapter::send returned.
    virtual void sendComplete(Adapter&, std::uint64_t /*sendId*/, NDIS_STATUS /*status*/) {}
    virtual void sendResourcesAvailable(Adapter&) {}
    virtual void status(Adapter&, NDIS_STATUS /*status*/,
                        const std::vector<std::uint8_t>& /*buffer*/) {}
    virtual void statusComplete(Adapter&) {}
    // A set the miniport pended was completed with NdisMSetInformationComplete.
    virtual void setComplete(Adapter&, NDIS_OID /*oid*/, NDIS_STATUS /*status*/,
                             ULONG /*bytesRead*/, ULONG /*bytesNeeded*/) {}
};

class RecordingProtocol : public Protocol {
  public:
    struct Received {
        std::vector<std::uint8_t> frame;
        NDIS_STATUS packetStatus;
        UINT headerSize;
        Time when;
    };
    struct SendCompletion {
        std::uint64_t sendId;
        NDIS_STATUS status;
        Time when;
    };
    struct Status {
        NDIS_STATUS status;
        std::vector<std::uint8_t> buffer;
        Time when;
    };

    void receive(Adapter&, const std::vector<std::uint8_t>& frame,
                 NDIS_STATUS packetStatus) override;
    void sendComplete(Adapter&, std::uint64_t sendId, NDIS_STATUS status) override;
    void sendResourcesAvailable(Adapter&) override;
    void status(Adapter&, NDIS_STATUS status, const std::vector<std::uint8_t>& buffer) override;
    void statusComplete(Adapter&) override;
    void clear();
    // What is kept: with `recording` off only the counts; on, the most recent `limit` entries
    // of received and sendCompletions (the oldest half goes when they reach it).
    void setRecording(bool on) { recording_ = on; }
    void setLimit(std::size_t entries) { limit_ = entries < 2 ? 2 : entries; }

    std::uint64_t receivedCount = 0;
    std::uint64_t sendCompletionCount = 0;
    std::vector<Received> received;
    std::vector<SendCompletion> sendCompletions;
    std::vector<Time> resourcesAvailable;
    std::vector<Status> statuses;
    std::vector<Time> statusCompletes;
    // Header size the miniport set on the packet being indicated (NDIS_SET_PACKET_HEADER_SIZE).
    UINT lastHeaderSize = 0;

  private:
    template <class T>
    void keep(std::vector<T>& entries, T entry);
    bool recording_ = true;
    std::size_t limit_ = 1 << 16;
};

// ---- registry parameters ------------------------------------------------------------------------

// An adapter's registry parameters. Keywords are matched without regard to case, as the registry
// does. Values are integers (REG_DWORD) or strings (REG_SZ).
class Parameters {
  public:
    using Value = std::variant<ULONG, std::string>;

    void set(const std::string& keyword, ULONG value);
    void set(const std::string& keyword, const std::string& value);
    void set(const std::string& keyword, const char* value) { set(keyword, std::string(value)); }
    // Stores a network address as the hex string NdisReadNetworkAddress parses.
    void setNetworkAddress(std::span<const std::uint8_t> address);
    void remove(const std::string& keyword);
    void clear() { values_.clear(); }
    const Value* find(const std::string& keyword) const;
    std::size_t size() const { return values_.size(); }

  private:
    std::map<std::string, Value> values_; // keyed by the lower-case keyword
};

// ---- adapters -----------------------------------------------------------------------------------

// One miniport adapter instance: what NDIS keeps in its miniport block, plus the upper edge that
// tests use. The Adapter's address is the MiniportAdapterHandle the miniport is given.
class Adapter {
  public:
    enum class State { Added, Initializing, Running, InitializeFailed, Halted, Removed };

    struct Attributes {
        bool set = false;
        NDIS_HANDLE context = nullptr;
        UINT checkForHangSeconds = 0;
        ULONG flags = 0;
        NDIS_INTERFACE_TYPE interfaceType = NdisInterfaceInternal;
    };

    struct SendRecord {
        std::uint64_t id;
        std::vector<std::uint8_t> frame;
        NDIS_STATUS returned = NDIS_STATUS_PENDING; // what MiniportSend returned
        bool returnedYet = false;
        bool completed = false;
        bool completedInsideSend = false;
        NDIS_STATUS completionStatus = NDIS_STATUS_SUCCESS;
    };

    struct SendResult {
        std::uint64_t id;
        NDIS_STATUS status; // what MiniportSend returned
    };

    struct Request {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        ULONG bytesDone = 0; // bytes written (query) or read (set)
        ULONG bytesNeeded = 0;
        // Whether the miniport stored the two counts at all (a refusal stores neither).
        bool bytesDoneStored = false;
        bool bytesNeededStored = false;
        std::vector<std::uint8_t> data; // the information buffer after the call
        bool pended = false;            // the handler returned NDIS_STATUS_PENDING
    };

    Adapter(Library& library, PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    NDIS_HANDLE handle() { return this; }
    State state() const { return state_; }
    bool running() const { return state_ == State::Running; }
    PDRIVER_OBJECT driver() const { return driver_; }
    PDEVICE_OBJECT pdo() const { return pdo_; }
    PDEVICE_OBJECT fdo() const { return fdo_; }
    PDEVICE_OBJECT lower() const { return lower_; }
    // The adapter context the miniport declared with NdisMSetAttributesEx.
    NDIS_HANDLE context() const { return attributes_.context; }
    const Attributes& attributes() const { return attributes_; }

    // Before start: the medium array MiniportInitialize is offered (default: 802.3 only).
    void setMediumArray(std::vector<NDIS_MEDIUM> media) { media_ = std::move(media); }
    NDIS_STATUS initializeStatus() const { return initializeStatus_; }
    UINT selectedMedium() const { return selectedMedium_; }
    // Before start: the adapter's registry parameters (copied from the library's defaults when
    // the adapter was added).
    Parameters& parameters() { return parameters_; }

    // ---- the upper edge, as a protocol uses it
    // Sends a frame. It is split over NDIS_BUFFERs of the lengths in `split` (the rest goes in
    // one last buffer; no split: one buffer). MiniportSend runs at `irql`.
    SendResult send(std::span<const std::uint8_t> frame, std::vector<std::size_t> split = {},
                    UINT flags = 0, KIRQL irql = DISPATCH_LEVEL);
    // The record of a send in progress or among the last kRetiredSendsKept finished ones.
    const SendRecord* sendRecord(std::uint64_t id) const;
    static constexpr std::size_t kRetiredSendsKept = 1024;
    // Sends that returned NDIS_STATUS_PENDING and are not completed yet.
    std::size_t sendsOutstanding() const { return sendsOutstanding_; }
    // OID requests, as NDIS makes them: MiniportQueryInformation or MiniportSetInformation at
    // DISPATCH_LEVEL, one request at a time. A request made while another is still pending
    // waits for it first, as NDIS queues it. A request the miniport pends is waited for, with
    // virtual time running, until NdisMQueryInformationComplete or NdisMSetInformationComplete
    // completes it; the result is the completed one (`pended` tells).
    // A query's buffer holds `input` at its start (as for OIDs that take input), fill after it.
    Request query(NDIS_OID oid, ULONG length, std::span<const std::uint8_t> input = {});
    Request set(NDIS_OID oid, std::vector<std::uint8_t> data);
    // A set that is not waited for: a pended one returns NDIS_STATUS_PENDING and completes
    // later (Protocol::setComplete, lastCompletion()).
    Request beginSet(NDIS_OID oid, std::vector<std::uint8_t> data);
    // A set to the adapter context `context` in any adapter state, waited for, for tests that
    // build the miniport's adapter record by hand.
    Request setOn(NDIS_HANDLE context, NDIS_OID oid, std::vector<std::uint8_t> data);
    // Reads a ULONG-sized query result; fails the status when the miniport wrote less.
    Request queryUlong(NDIS_OID oid, ULONG& value);
    Request setUlong(NDIS_OID oid, ULONG value);
    // Whether the miniport holds a pended request, and the last request it completed.
    bool requestPending() const { return request_ != nullptr; }
    const Request& lastCompletion() const { return lastCompletion_; }
    // Runs virtual time until no request is pending, for at most `limit`; reports
    // REQUEST_NEVER_COMPLETED (and forgets the request) when it is still pending then.
    bool waitForRequest(Time limit = 60 * kSecond);
    // Starts a reset as NDIS does: the protocols hear NDIS_STATUS_RESET_START, then
    // MiniportReset runs at DISPATCH_LEVEL; its result is returned. When it pended, the reset is
    // in progress until NdisMResetComplete: sends, queries and sets are refused meanwhile with
    // NDIS_STATUS_RESET_IN_PROGRESS without reaching the miniport, no hang check runs, and a
    // second reset is refused the same way. At the end the protocols hear NDIS_STATUS_RESET_END.
    NDIS_STATUS reset(BOOLEAN* addressingReset = nullptr);
    bool resetInProgress() const { return resetInProgress_; }
    // The final status of every finished reset, in order.
    const std::vector<NDIS_STATUS>& resetResults() const { return resetResults_; }
    // MiniportCheckForHang now, at DISPATCH_LEVEL (and MiniportReset if it says so).
    bool checkForHang();
    // Holds NDIS's periodic MiniportCheckForHang (`suspended`) or lets it run again. The
    // period keeps its rhythm meanwhile: checks that fall due while held are skipped.
    void suspendHangCheck(bool suspended) { hangCheckSuspended_ = suspended; }
    bool hangCheckSuspended() const { return hangCheckSuspended_; }
    // Runs the registered shutdown handler: at PASSIVE_LEVEL as NDIS does at an orderly system
    // shutdown, or at HIGH_LEVEL as NDIS's bugcheck callback does (`bugcheck`). In a bugcheck
    // nothing else runs meanwhile and the handler must not reach the USB stack: every request
    // that reaches the bus then is reported.
    void shutdown(bool bugcheck = false);

    // ---- indications
    // Everything indicated is recorded here; an attached protocol hears it as well.
    RecordingProtocol& log() { return log_; }
    void attach(Protocol* protocol) { protocol_ = protocol; }

    // ---- what NDIS saw
    std::uint64_t hangChecks() const { return hangChecks_; }
    std::uint64_t resets() const { return resets_; }
    bool shutdownHandlerRegistered() const { return shutdownHandler_ != nullptr; }
    bool surpriseRemoved() const { return surpriseRemoved_; }
    // Packets indicated with a status other than NDIS_STATUS_RESOURCES and not returned yet.
    std::size_t packetsHeldByNdis() const { return heldPackets_.size(); }
    // Keywords the miniport asked for with NdisReadConfiguration, as it spelled them, and
    // "NetworkAddress" for each NdisReadNetworkAddress; in order, found or not.
    const std::vector<std::string>& keywordsRead() const { return keywordsRead_; }

    // ---- behind the DDK routines
    void setAttributes(const Attributes& attributes) { attributes_ = attributes; }
    void noteKeywordRead(std::string keyword) { keywordsRead_.push_back(std::move(keyword)); }
    void setShutdownHandler(ADAPTER_SHUTDOWN_HANDLER handler, PVOID context) {
        shutdownHandler_ = handler;
        shutdownContext_ = context;
    }
    void sendComplete(PNDIS_PACKET packet, NDIS_STATUS status);
    // NdisMQueryInformationComplete (`isSet` false) or NdisMSetInformationComplete.
    void requestComplete(bool isSet, NDIS_STATUS status, const char* call);
    void resetComplete(NDIS_STATUS status);
    void indicateReceive(PPNDIS_PACKET packets, UINT count);
    // Hands an indicated packet back to the miniport (MiniportReturnPacket).
    void returnPacket(PNDIS_PACKET packet);
    // Tells the upper edge: the recording log and the attached protocol.
    template <class Fn>
    void deliver(Fn&& fn) {
        fn(static_cast<Protocol&>(log_));
        if (protocol_ != nullptr) {
            fn(*protocol_);
        }
    }

  private:
    friend class Library;
    struct HostPacket;
    // A request handed to the miniport: its buffer and the two counts stay here, at fixed
    // addresses, until the miniport has completed it.
    struct InFlight {
        bool isSet = false;
        NDIS_OID oid = 0;
        std::vector<std::uint8_t> data;
        ULONG done = 0;
        ULONG needed = 0;
        bool returned = false;  // the handler has returned
        bool completed = false; // completed through NdisM...InformationComplete
        NDIS_STATUS status = NDIS_STATUS_PENDING;
    };
    Request issue(bool isSet, NDIS_HANDLE context, NDIS_OID oid, std::vector<std::uint8_t> data,
                  bool wait);
    Request finish(const InFlight& request, NDIS_STATUS status);

    NDIS_STATUS initialize();
    void halt();
    void startHangCheck();
    void stopHangCheck();
    void hangCheckTick();
    void runCheckForHang();
    void checkAtHalt();
    void finishReset(NDIS_STATUS status);

    Library& library_;
    PDRIVER_OBJECT driver_;
    // NDIS's copy of the registered handler table (the library keeps it at a fixed address; a
    // later registration of the same driver updates it in place).
    const NDIS_MINIPORT_CHARACTERISTICS* chars_ = nullptr;
    PDEVICE_OBJECT pdo_;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    State state_ = State::Added;
    Attributes attributes_;
    std::vector<NDIS_MEDIUM> media_{NdisMedium802_3};
    NDIS_STATUS initializeStatus_ = NDIS_STATUS_PENDING;
    UINT selectedMedium_ = ~0u;
    Parameters parameters_;
    std::vector<std::string> keywordsRead_;

    EventId hangCheckEvent_ = 0;
    Time nextHangCheck_ = 0;
    std::uint64_t hangChecks_ = 0;
    bool hangCheckSuspended_ = false;
    std::uint64_t resets_ = 0;
    bool resetInProgress_ = false;
    std::vector<NDIS_STATUS> resetResults_;

    ADAPTER_SHUTDOWN_HANDLER shutdownHandler_ = nullptr;
    PVOID shutdownContext_ = nullptr;
    bool surpriseRemoved_ = false;

    RecordingProtocol log_;
    Protocol* protocol_ = nullptr;

    // Upper-edge calls (sends, requests, hang checks, resets) inside the miniport now, which
    // may be several on several processors; halt first stops new ones (`closing_`) and waits
    // for these to return, as NDIS does before MiniportHalt.
    struct UpperCall;
    unsigned inMiniport_ = 0;
    bool closing_ = false;

    // Each send's packet carries its record. Packets whose send is over stay allocated for a
    // while (a ring of kRetiredSendsKept), so that a late or second NdisMSendComplete is
    // recognised rather than mistaken for a new packet at the same address; then they are reused.
    // Packets are made in slabs of kPacketsPerSlab that never move, so a packet is found from its
    // address by arithmetic on the slabs' ranges (no hash, and no read of memory that is not a
    // packet of this adapter); a packet moves between the lists without a search, so that the
    // cost of a send does not grow with the number outstanding.
    void retire(HostPacket& hp);
    HostPacket* hostPacket(PNDIS_PACKET packet) const;
    HostPacket* newHostPacket();
    static constexpr std::size_t kPacketsPerSlab = 256;
    std::uint64_t nextSendId_ = 1;
    std::vector<std::unique_ptr<HostPacket[]>> slabs_; // owns every packet
    std::size_t packetsMade_ = 0;
    std::vector<HostPacket*> livePackets_; // in no order: a retired one's place goes to the last
    std::vector<HostPacket*> retiredPackets_;
    std::size_t retiredNext_ = 0; // the ring's oldest entry once it is full
    std::vector<HostPacket*> sparePackets_;
    std::size_t sendsOutstanding_ = 0;
    // Indicated packets NDIS holds, with the event that returns each.
    std::vector<std::pair<PNDIS_PACKET, EventId>> heldPackets_;
    std::vector<std::uint8_t> indicated_; // NDIS's view of the frame being indicated
    std::unique_ptr<InFlight> request_;
    Request lastCompletion_;
};

// A typical run:
//
//   World world;
//   PDRIVER_OBJECT driver = world.pnp().loadDriver(DriverEntry, L"KT735N");
//   world.ndis().defaultParameters().set("MediaSel", 1u);
//   world.pnp().addDevice(driver, pdo);
//   ndis::Adapter& adapter = *world.ndis().lastAdapter();
//   world.pnp().startDevice(pdo);                 // MiniportInitialize
//   adapter.send(frame);                          // MiniportSend
//   adapter.queryUlong(OID_GEN_LINK_SPEED, speed);
//   world.scheduler().runFor(10 * kSecond);       // hang checks, timers, completions
//   adapter.log().received;                       // what the miniport indicated
//   world.pnp().removeDevice(pdo);                // MiniportHalt and the halt-time checks

// ---- the library --------------------------------------------------------------------------------

class Library {
  public:
    // Allocations NDIS makes for the miniport besides memory, for fault injection.
    enum class Resource { PacketPool, Packet, BufferPool, Buffer, Configuration };

    explicit Library(World& world);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    World& world() { return world_; }

    // ---- registration
    // The next NdisMRegisterMiniport fails with `status` (one attempt: nth 1, times 1).
    void failNextRegistration(NDIS_STATUS status) { failRegistration_ = status; }
    bool registered(PDRIVER_OBJECT driver) const { return miniports_.count(driver) != 0; }
    // The copy NDIS keeps of a registered handler table (null when not registered).
    const NDIS_MINIPORT_CHARACTERISTICS* characteristics(PDRIVER_OBJECT driver) const;
    // NDIS's own AddDevice and PnP dispatch, as they are placed in a registered driver object.
    static PDRIVER_ADD_DEVICE addDeviceRoutine();
    static PDRIVER_DISPATCH pnpDispatchRoutine();
    std::size_t wrappersOpen() const;

    // ---- adapters
    // Parameters given to every adapter added from now on.
    Parameters& defaultParameters() { return defaultParameters_; }
    // Medium array given to every adapter added from now on.
    void setDefaultMediumArray(std::vector<NDIS_MEDIUM> media) { defaultMedia_ = std::move(media); }
    // Adapters in the order they were added (also removed ones).
    std::vector<Adapter*> adapters() const;
    Adapter* lastAdapter() const;
    Adapter* adapterForDevice(PDEVICE_OBJECT fdo) const;
    // The adapter behind a miniport adapter handle, or null (and NDIS_HANDLE_INVALID) when it is
    // none.
    Adapter* adapterFromHandle(NDIS_HANDLE handle, const char* call, bool report = true) const {
        for (const auto& a : adapters_) {
            if (a.get() == handle) {
                return a.get();
            }
        }
        return notAnAdapter(handle, call, report);
    }
    // The same for an indication: null (and CALL_FOR_ADAPTER_NOT_RUNNING) also when the adapter is
    // not initializing or running, since no protocol is bound to it then.
    Adapter* indicatingAdapter(NDIS_HANDLE handle, const char* call) const {
        Adapter* adapter = adapterFromHandle(handle, call);
        if (adapter != nullptr && adapter->state_ != Adapter::State::Running &&
            adapter->state_ != Adapter::State::Initializing) {
            return notRunning(call);
        }
        return adapter;
    }

    // ---- fault injection for packets, buffers, their pools and configuration handles
    // (host/fault.h): the attempts to allocate `resource` fail from the nth one counted from now
    // on (1: the next), `times` of them (0: every one).
    void failNth(Resource resource, std::uint64_t nth, std::uint32_t times = 1);
    std::uint64_t attempts(Resource resource) const;
    // Counts an attempt and says whether it fails.
    bool attemptFails(Resource resource);
    // Disarms every allocation fault not yet fired, these and the memory's (pool, NDIS memory,
    // IRPs): a probe ends its fault and lets the machine run on.
    void clearFaults();

    // ---- verifier checks
    // Runs the checks NDIS makes when the last adapter is gone and at unload: NDIS memory and
    // pool per tag, packet and buffer pools, configuration handles, pending timers and
    // driver-allocated IRPs still alive. Returns the number of problems reported.
    std::size_t checkUnload(const char* when = "unload");
    // Release calls for resources this miniport never claims (NdisMFreeSharedMemory, ...).
    const std::vector<std::string>& unclaimedReleases() const { return unclaimedReleases_; }
    void noteUnclaimedRelease(const char* call);

    // ---- bookkeeping behind the DDK routines (used by the routines themselves)
    struct Miniport {
        NDIS_MINIPORT_CHARACTERISTICS chars{};
        UINT majorVersion = 0;
    };
    struct Wrapper {
        PDRIVER_OBJECT driver;
        bool open = true;
    };
    struct Timer {
        PNDIS_TIMER_FUNCTION function = nullptr;
        PVOID context = nullptr;
        Adapter* adapter = nullptr;
        EventId event = 0; // the last arming of `due`
        bool pending = false;
        std::uint64_t runs = 0;
        Scheduler::Event due; // runs the timer function
    };
    struct PacketPool {
        UINT capacity;
        UINT protocolReserved;
        std::size_t packetBytes;
        UINT oobOffset;
        std::set<PNDIS_PACKET> outstanding;
    };
    struct BufferPool {
        UINT capacity;
        std::set<PNDIS_BUFFER> outstanding;
    };
    struct ConfigHandle {
        Adapter* adapter;
        std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> parameters;
        std::vector<std::unique_ptr<std::vector<WCHAR>>> strings;
        std::vector<std::unique_ptr<std::vector<std::uint8_t>>> addresses;
    };
    // The configuration context handed to MiniportInitialize.
    struct ConfigContext {
        std::uint32_t magic;
        Adapter* adapter;
    };

    // Size of a packet with `protocolReserved` bytes of ProtocolReserved, and the offset of its
    // out-of-band data behind them.
    static constexpr std::pair<std::size_t, UINT> packetLayout(UINT protocolReserved) {
        std::size_t reservedEnd = offsetof(NDIS_PACKET, ProtocolReserved) + protocolReserved;
        std::size_t oob = (reservedEnd + 7) & ~std::size_t{7};
        return {oob + sizeof(NDIS_PACKET_OOB_DATA), static_cast<UINT>(oob)};
    }

    Miniport* miniport(PDRIVER_OBJECT driver);
    Wrapper* wrapper(NDIS_HANDLE handle);
    NDIS_HANDLE newWrapper(PDRIVER_OBJECT driver);
    NDIS_STATUS registerMiniport(Wrapper& wrapper, const NDIS_MINIPORT_CHARACTERISTICS& chars,
                                 UINT length);
    NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    NTSTATUS dispatchPnp(PDEVICE_OBJECT fdo, PIRP irp);

    // The timer last looked up is remembered: a miniport that sets one timer per frame finds it
    // without a search. (Map nodes stay put; the one erase forgets it.)
    Timer* timer(const void* address) {
        if (address != lastTimerAddress_ || lastTimer_ == nullptr) {
            auto it = timers_.find(address);
            if (it == timers_.end()) {
                return nullptr;
            }
            lastTimerAddress_ = address;
            lastTimer_ = &it->second;
        }
        return lastTimer_;
    }
    std::map<const void*, Timer>& timers() { return timers_; }
    // NdisScheduleWorkItem: queues the item to run once at PASSIVE_LEVEL, as a worker thread
    // would; an item still queued is reported at unload and when its memory is freed.
    NDIS_STATUS scheduleWorkItem(PNDIS_WORK_ITEM item);
    std::size_t workItemsQueued() const { return workItems_.size(); }
    std::size_t timersPending(const Adapter* adapter = nullptr) const;
    void setTimer(const void* address, UINT milliseconds, const char* call);
    static void runTimer(void* timer);
    bool cancelTimer(const void* address);

    std::map<NDIS_HANDLE, std::unique_ptr<PacketPool>>& packetPools() { return packetPools_; }
    std::map<NDIS_HANDLE, std::unique_ptr<BufferPool>>& bufferPools() { return bufferPools_; }
    std::map<PNDIS_PACKET, PacketPool*>& packets() { return packets_; }
    // Whether `packet` is allocated from one of the packet pools. Packets found are remembered in
    // a small direct-mapped cache that NdisFreePacket and NdisFreePacketPool clear, so the
    // receive indication of a miniport's few packets finds each without a search.
    bool packetAllocated(PNDIS_PACKET packet) {
        std::size_t slot = knownSlot(packet);
        if (packet != nullptr && knownPackets_[slot] == packet) {
            return true;
        }
        if (packet == nullptr || packets_.count(packet) == 0) {
            return false;
        }
        knownPackets_[slot] = packet;
        return true;
    }
    void forgetPacket(PNDIS_PACKET packet) {
        std::size_t slot = knownSlot(packet);
        if (knownPackets_[slot] == packet) {
            knownPackets_[slot] = nullptr;
        }
    }
    std::map<PNDIS_BUFFER, BufferPool*>& buffers() { return buffers_; }
    std::map<NDIS_HANDLE, std::unique_ptr<ConfigHandle>>& configHandles() { return configs_; }
    ConfigContext* configContext(NDIS_HANDLE context) const;
    NDIS_HANDLE configContextFor(Adapter* adapter);

  private:
    friend class Adapter;
    void onMemoryFreed(void* p, std::size_t size);
    // The reports behind adapterFromHandle and indicatingAdapter; both return null.
    Adapter* notAnAdapter(NDIS_HANDLE handle, const char* call, bool reportIt) const;
    Adapter* notRunning(const char* call) const;
    std::size_t adaptersRunning() const;

    World& world_;
    NDIS_STATUS failRegistration_ = NDIS_STATUS_SUCCESS;
    std::map<PDRIVER_OBJECT, Miniport> miniports_;
    std::vector<std::unique_ptr<Wrapper>> wrappers_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::map<Adapter*, std::unique_ptr<ConfigContext>> configContexts_;
    Parameters defaultParameters_;
    std::vector<NDIS_MEDIUM> defaultMedia_{NdisMedium802_3};

    std::map<const void*, Timer> timers_;
    const void* lastTimerAddress_ = nullptr;
    Timer* lastTimer_ = nullptr;
    std::map<PNDIS_WORK_ITEM, EventId> workItems_;
    std::map<NDIS_HANDLE, std::unique_ptr<PacketPool>> packetPools_;
    std::map<NDIS_HANDLE, std::unique_ptr<BufferPool>> bufferPools_;
    std::map<PNDIS_PACKET, PacketPool*> packets_;
    std::map<PNDIS_BUFFER, BufferPool*> buffers_;
    // A pool's packets lie at a fixed stride, often a power of two: the address is mixed by a
    // multiplication before its top bits pick the slot.
    static std::size_t knownSlot(PNDIS_PACKET packet) {
        return static_cast<std::size_t>(
            (reinterpret_cast<std::uintptr_t>(packet) * 0x9E3779B97F4A7C15u) >> 56);
    }
    std::array<PNDIS_PACKET, 256> knownPackets_{};
    std::map<NDIS_HANDLE, std::unique_ptr<ConfigHandle>> configs_;

    std::map<Resource, std::uint64_t> resourceAttempts_;
    struct ResourceFault {
        Resource resource;
        std::uint64_t nth;
        std::uint32_t times;
        FaultCount count;
    };
    std::vector<ResourceFault> resourceFaults_;
    std::vector<std::string> unclaimedReleases_;
    std::function<void(void*, std::size_t)> previousOnFree_;
};

} // namespace ndis
} // namespace host
