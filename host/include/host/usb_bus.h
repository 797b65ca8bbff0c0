// The simulated USB bus: the physical device object at the bottom of a USB device's stack.
//
// A Bus stands for one hub port with a host controller behind it. It owns a driver object
// (\Driver\usbhub) and one physical device object (PDO) that a function driver attaches above.
// The PDO answers the plug-and-play requests a hub's PDO answers and takes the internal IOCTLs
// of a USB client driver: IOCTL_INTERNAL_USB_SUBMIT_URB and IOCTL_INTERNAL_USB_CYCLE_PORT.
// Each URB becomes what would go on the wire (control transfers with their chapter 9 setup
// packets, bulk and interrupt transfers) and is handed to the UsbDevice plugged into the port.
//
// Timing is virtual. By default the bus is a USB 1.1 full-speed host controller: 1 ms frames,
// control stages one per frame, bulk data in packets of the endpoint's wMaxPacketSize sharing
// 19 packets per frame. A fixed-latency mode (a request completes a set time after it was
// submitted, or inline inside IofCallDriver) serves tests that want simple timing. Completions
// run from the scheduler at DISPATCH_LEVEL. Faults can be injected on any request. Requests are
// kept in a bounded log, and every transfer can be captured as usbmon records (host/usbmon.h).
//
//     host::usb::Bus bus;
//     bus.plug(device);
//     AddDevice(driverObject, bus.pdo());
//     bus.addFault(Fault::stalling({.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF0}));
//     ... run the driver ...
//     EXPECT_EQ(bus.log()[3].text(), "VENDOR_DEVICE c0 f0 0000 0010 0006 in 001122334455 SUCCESS");
#pragma once

#include <bit>
#include <bitset>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "host/ddk.h"
#include "host/fault.h"
#include "host/sched.h"
#include "host/usb_device.h"

namespace host::usb {

class UsbmonWriter;

// The log's function code for IOCTL_INTERNAL_USB_CYCLE_PORT (not a URB function).
inline constexpr USHORT kFunctionCyclePort = 0xFFFF;

// "SUCCESS", "STALL_PID", ... or the status in hex.
std::string usbdStatusName(USBD_STATUS status);
// "VENDOR_DEVICE", "BULK_OR_INTERRUPT_TRANSFER", ... or the function in hex.
std::string urbFunctionName(USHORT function);

// How long requests take, in virtual time.
//
// FullSpeed (the default): time runs in 1 ms frames. A request is taken up by the first frame
// that starts at or after its submission (an IN transfer: after the device supplied its data;
// until then the endpoint NAKs). A control transfer does its setup, data and status stages in
// successive frames, each stage costing a packet slot per packet; ABORT_PIPE and CYCLE_PORT take
// one frame. Bulk and interrupt data move in packets of at most wMaxPacketSize; a transfer needs
// ceil(bytes / wMaxPacketSize) packets, at least one (a zero-length packet), and an IN transfer
// that ends short of its buffer on a packet boundary one more (the zero-length packet that ends
// it). Each frame carries at most kPacketsPerFrame packets in all: control stages first, then
// interrupt transfers, then one packet at a time to each ready bulk transfer in turn. A request
// completes at the end of the frame that carried its last packet or stage.
//
// FixedLatency: a request that goes to the device (a control or OUT transfer) reaches it when
// its latency has passed and completes at that moment; a posted IN transfer completes `bulkIn`
// after the device supplied its data; with inlineCompletion a request whose result is known at
// once completes inside IofCallDriver.
struct Timing {
    enum class Mode { FullSpeed, FixedLatency };
    static constexpr Time kFrame = kMillisecond;
    static constexpr unsigned kPacketsPerFrame = 19; // 19 x 64 bytes: 1,216,000 B/s

    Mode mode = Mode::FullSpeed;
    // Fixed-latency mode only.
    bool inlineCompletion = false; // complete inside IofCallDriver when the result is known
    Time control = kMillisecond;   // control transfers, and ABORT_PIPE / CYCLE_PORT
    Time bulkOut = kMillisecond;   // bulk and interrupt OUT, plus perByte for each byte
    Time perByte = 0;              // per byte of a bulk or interrupt OUT transfer
    Time bulkIn = kMillisecond;    // bulk and interrupt IN, from the device's data to completion

    static Timing fixedLatency(bool inlineCompletion = false) {
        Timing t;
        t.mode = Mode::FixedLatency;
        t.inlineCompletion = inlineCompletion;
        return t;
    }
    bool fixed() const { return mode == Mode::FixedLatency; }
};

// A fault on the bus (host/fault.h): the requests it matches, what it does to them, and which
// of them (Match::nth, Fault::times).
//
// Which requests a fault applies to. Unset fields match anything. Designated initializers read
// well: {.function = URB_FUNCTION_VENDOR_DEVICE, .bRequest = 0xF1, .wIndex = 0x25}.
//   the 5th control transfer:            {.endpoint = 0, .nth = 5}
//   the next bulk transfer on 0x81:      {.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
//                                         .endpoint = 0x81}
//   RESET_PIPE of 0x02 (a control transfer): {.function = URB_FUNCTION_RESET_PIPE, .wIndex = 2}
// ABORT_PIPE matches the endpoint of its pipe; a port cycle matches no endpoint.
struct Match {
    std::optional<USHORT> function;       // URB function (kFunctionCyclePort for port cycles)
    std::optional<std::uint8_t> endpoint; // 0 for the default pipe, else with the direction bit
    std::optional<std::uint8_t> bRequest; // setup packet of control transfers
    std::optional<std::uint16_t> wValue;
    std::optional<std::uint16_t> wIndex;
    std::uint32_t nth = 1; // acts from the nth matching request on (1: the next one)
};

// What happens to a matching request.
struct Fault {
    enum class Action {
        Fail,  // completes with `status` after the usual latency; the device never sees it
        Stall, // the endpoint answers STALL: USBD_STATUS_STALL_PID, bulk endpoints halt
        Delay, // handled normally, but completes `delay` later
        Hold,  // stays pending until it is cancelled (or its pipe aborted) or released
    };
    Match match;
    Action action = Action::Fail;
    USBD_STATUS status = USBD_STATUS_DEV_NOT_RESPONDING;
    Time delay = 0;
    std::uint32_t times = 1; // how many requests it acts on; 0 for every one
    std::string label;       // for whoever watches onFault

    static Fault failing(Match m, USBD_STATUS s = USBD_STATUS_DEV_NOT_RESPONDING,
                         std::uint32_t times = 1) {
        return {m, Action::Fail, s, 0, times};
    }
    static Fault stalling(Match m, std::uint32_t times = 1) {
        return {m, Action::Stall, USBD_STATUS_STALL_PID, 0, times};
    }
    static Fault delaying(Match m, Time d, std::uint32_t times = 1) {
        return {m, Action::Delay, USBD_STATUS_SUCCESS, d, times};
    }
    static Fault holding(Match m, std::uint32_t times = 1) {
        return {m, Action::Hold, USBD_STATUS_SUCCESS, 0, times};
    }
};

// One request as the bus saw it. Control transfers (the standard requests issued for
// SELECT_CONFIGURATION and RESET_PIPE included) carry their setup packet.
struct Request {
    std::uint64_t id = 0;
    Time submitted = 0;
    Time completed = -1; // -1 while outstanding
    USHORT function = 0;
    std::uint8_t endpoint = 0; // 0x00/0x80 for control transfers; the pipe's endpoint otherwise
    std::optional<SetupPacket> setup;
    bool in = false;
    std::size_t requested = 0;      // TransferBufferLength as submitted
    std::vector<std::uint8_t> data; // OUT: the data sent; IN: the data received
    USBD_STATUS status = USBD_STATUS_PENDING;
    NTSTATUS irpStatus = STATUS_PENDING;

    bool done() const { return completed >= 0; }
    // A one-line summary for comparing whole sequences, e.g.
    //   "GET_DESCRIPTOR_FROM_DEVICE 80 06 0100 0000 0012 in 1201... SUCCESS"
    //   "BULK_OR_INTERRUPT_TRANSFER 02 out 0a0b0c SUCCESS", "ABORT_PIPE 81 SUCCESS"
    std::string text() const;
};

class Bus final : public UsbPort {
  public:
    Bus();
    ~Bus() override;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // ---- the device ----
    // Attaches the device to the port (it gets attach()), and reads its device descriptor as the
    // hub's enumeration would (not logged); the descriptor gives the PnP identifiers.
    void plug(UsbDevice& device);
    // Pulls the device: every outstanding request completes with USBD_STATUS_DEVICE_GONE, the
    // device gets detach(), and later requests fail the same way.
    void unplug();
    bool plugged() const { return device_ != nullptr; }

    // ---- the device stack ----
    PDEVICE_OBJECT pdo() const { return pdo_; }
    PDRIVER_OBJECT driverObject() const { return driver_; }

    // ---- plug and play ----
    // Completes the next PnP requests of `minor` with `status` (instead of the usual answer).
    void setPnpStatus(UCHAR minor, NTSTATUS status) { pnpStatus_[minor] = status; }
    void clearPnpStatus(UCHAR minor) { pnpStatus_.erase(minor); }
    // Leaves PnP requests of `minor` pending until completeHeldPnp().
    void holdPnp(UCHAR minor, bool hold = true);
    // Completes the oldest held PnP request with its usual answer (or `status` when given), at
    // DISPATCH_LEVEL. Returns false when none is held.
    bool completeHeldPnp(std::optional<NTSTATUS> status = std::nullopt);
    std::size_t heldPnpCount() const { return heldPnp_.size(); }
    // The minor functions of every PnP request the PDO received, in order.
    const std::vector<UCHAR>& pnpLog() const { return pnpLog_; }

    // ---- timing and faults ----
    Timing& timing() { return timing_; }
    void setTiming(const Timing& timing) { timing_ = timing; }
    // Returns an id for faultHits().
    std::size_t addFault(const Fault& fault);
    void clearFaults() { faults_.clear(); }
    // Lets the oldest request a Hold fault keeps pending go on as if it had never been held:
    // it moves and completes normally (at DISPATCH_LEVEL). Returns false when none is held.
    bool releaseHeld();
    // How many requests the fault acted on.
    std::uint32_t faultHits(std::size_t id) const;
    // Called each time a fault acts on a request, with the request as submitted.
    std::function<void(const Fault&, const Request&)> onFault;

    // ---- what happened ----
    // The log keeps the most recent requests: once it holds logLimit() entries, the oldest half
    // is dropped. Long runs can switch it off; the capture is unaffected.
    const std::vector<Request>& log() const { return log_; }
    std::vector<std::string> logText() const;
    void clearLog() { log_.clear(); }
    void setLogging(bool on) { logging_ = on; }
    void setLogLimit(std::size_t entries) { logLimit_ = entries < 2 ? 2 : entries; }
    std::size_t logLimit() const { return logLimit_; }
    // Requests (URBs and port cycles) submitted so far, logged or not.
    std::uint64_t requestsSubmitted() const { return nextId_ - 1; }
    std::size_t outstanding() const { return outstanding_; }
    std::uint32_t portCycles() const { return portCycles_; }
    bool halted(std::uint8_t endpoint) const { return halted_.test(endpoint); }
    bool configured() const { return configuration_ != 0; }
    // Remote wake-up: whether the device has the feature enabled (SET_FEATURE / CLEAR_FEATURE
    // DEVICE_REMOTE_WAKEUP), and every wake-up the device signalled, with that state at the time.
    bool remoteWakeupEnabled() const { return remoteWakeupEnabled_; }
    struct Wakeup {
        Time time;
        bool enabled;
    };
    const std::vector<Wakeup>& wakeups() const { return wakeups_; }
    std::function<void()> onRemoteWakeup; // called on every signalled wake-up

    // ---- capture ----
    // Writes every transfer to `writer` from now on (nullptr stops). The writer must outlive
    // the bus or be detached first.
    void setCapture(UsbmonWriter* writer) { capture_ = writer; }

    // ---- UsbPort, for the device ----
    Time now() const override;
    std::uint64_t schedule(Time delay, Callback fn) override;
    void cancelScheduled(std::uint64_t handle) override;
    bool completeIn(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                    Outcome outcome = Outcome::Ok) override;
    bool completeInParts(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                         std::span<const std::uint8_t> more) override;
    std::size_t pendingIn(std::uint8_t endpoint) const override;
    void remoteWakeup() override;

  private:
    struct Pipe {
        std::uint8_t endpoint;
        USBD_PIPE_TYPE type;
        std::uint16_t maxPacket;
        std::uint8_t interval;
        // The packet size transfers on it are cut into: a pipe whose descriptor gives none
        // takes full speed's largest bulk packet.
        std::uint16_t packetSize() const { return maxPacket != 0 ? maxPacket : 64; }
    };
    // Queued: an IN transfer waiting for the device's data. OnBus: waiting for or taking frames
    // (full-speed mode). Scheduled: waiting for a scheduler event. Held: by a fault. Ready: to be
    // completed by its dispatch routine.
    enum class State { Queued, OnBus, Scheduled, Held, Ready };
    // A request on its way. Data moves between the device and the caller's own buffer, as a host
    // controller's DMA would: an OUT transfer's bytes are read from it when the transfer reaches
    // the device, an IN transfer's are written to it when the device supplies them. The buffer
    // belongs to the bus while the IRP is pending. A pooled record gets its starting values from
    // begin() field by field: a whole-record assignment costs a block clear per request.
    struct Transfer {
        PIRP irp;
        PURB urb;
        std::uint64_t id = 0; // also the log's and the capture's id; 0 while in the pool
        USHORT function;
        std::uint8_t endpoint; // the pipe the transfer runs on (0/0x80: default pipe)
        std::uint8_t target;   // RESET_PIPE and ABORT_PIPE: the endpoint acted upon
        USBD_PIPE_TYPE pipeType;
        std::uint8_t interval;
        bool shortOk; // a short IN transfer is not an error
        bool in;
        bool inDispatch; // its dispatch routine is still running
        std::optional<SetupPacket> setup;
        std::size_t requested;
        std::uint8_t* buffer; // the caller's transfer buffer (`requested` bytes)
        State state;
        EventId event;
        Time extraDelay;
        std::optional<Fault::Action> fault;
        USBD_STATUS faultStatus;
        // The result, once known.
        std::optional<USBD_STATUS> result;
        std::size_t moved;
        bool aborted;
        bool captured; // its submission went to the capture
        // Full-speed mode: the first frame start it may use, and what it still needs.
        std::uint8_t stagesLeft; // control stages (setup, data, status)
        std::uint16_t maxPacket;
        std::uint32_t packetsLeft; // bulk and interrupt data packets
        Time readyAt;
        // The outstanding transfers, oldest first.
        Transfer* prev = nullptr;
        Transfer* next = nullptr;

        // Takes the record out of the pool for the request of `request` with id `number`.
        void begin(PIRP request, std::uint64_t number) {
            irp = request;
            urb = nullptr;
            id = number;
            function = 0;
            endpoint = 0;
            target = 0;
            pipeType = UsbdPipeTypeControl;
            interval = 0;
            shortOk = true;
            in = false;
            inDispatch = false;
            setup.reset();
            requested = 0;
            buffer = nullptr;
            state = State::Scheduled;
            event = 0;
            extraDelay = 0;
            fault.reset();
            faultStatus = USBD_STATUS_SUCCESS;
            result.reset();
            moved = 0;
            aborted = false;
            captured = false;
            stagesLeft = 0;
            maxPacket = 64;
            packetsLeft = 0;
            readyAt = 0;
        }
        // What an OUT transfer sends (nothing when its URB was refused before the buffer was
        // taken); what an IN transfer has received so far.
        std::span<std::uint8_t> out() const {
            return in || buffer == nullptr ? std::span<std::uint8_t>{}
                                           : std::span<std::uint8_t>{buffer, requested};
        }
        std::span<const std::uint8_t> received() const {
            return in ? std::span<const std::uint8_t>{buffer, moved}
                      : std::span<const std::uint8_t>{};
        }
    };
    // Names a transfer for later: completion routines run in between, and by then the transfer
    // may have completed and its slot serve another request (with another id).
    struct TransferRef {
        Transfer* transfer;
        std::uint64_t id;
        Transfer* get() const { return transfer->id == id ? transfer : nullptr; }
    };

    static NTSTATUS NTAPI dispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI dispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI cancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static Bus* fromDevice(PDEVICE_OBJECT device);

    NTSTATUS submitUrb(PIRP irp, PURB urb);
    NTSTATUS cyclePort(PIRP irp);
    NTSTATUS pnp(PIRP irp);
    NTSTATUS answerPnp(PIRP irp, std::optional<NTSTATUS> forced);
    // Describes the URB as a transfer; returns a USBD status when it is malformed.
    USBD_STATUS describe(PURB urb, Transfer& t);
    // describe() for a bulk or interrupt transfer.
    USBD_STATUS describeBulk(PURB urb, Transfer& t);
    // What a bulk or interrupt URB on `pipe` gives the transfer.
    static void takeBulk(const _URB_BULK_OR_INTERRUPT_TRANSFER& r, const Pipe& pipe, Transfer& t);
    // Gives the transfer what the first armed fault that acts on it does, if one does.
    void applyFault(Transfer& t);
    NTSTATUS start(Transfer& t);
    // The rest of start() once the transfer is on its way and not Ready: the IRP pending with
    // the cancel routine in place.
    NTSTATUS pend(Transfer& t);
    void launch(Transfer& t, bool inlineOk);
    void execute(Transfer& t);
    void executeControl(Transfer& t);
    void selectConfiguration(Transfer& t);
    void abortPipe(Transfer& t, bool inlineCompletion);
    void cycle(Transfer& t);
    void scheduleCompletion(Transfer& t, Time delay);
    // Full-speed mode: puts the transfer on the bus from now on, and runs a frame.
    void putOnBus(Transfer& t);
    void armFrame();
    // Schedules the end of frame at `end` unless one at or before it is scheduled.
    void armFrameBy(Time end);
    void endOfFrame();
    // A transfer whose last packet or stage went in the frame that just ended: it reaches the
    // device (or takes its result) and completes, or, delayed by a fault, completes later.
    void finish(Transfer& t);
    // The oldest IN transfer of `endpoint` waiting for the device's data takes `data` then
    // `more` (completeIn and completeInParts).
    bool fillIn(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                std::span<const std::uint8_t> more, Outcome outcome);
    // A transfer from the pool, appended to the outstanding ones with the next id.
    Transfer& newTransfer(PIRP irp);
    // Adds a record to the free ones (rarely: the pool only grows to the most ever outstanding).
    [[gnu::cold, gnu::noinline]] void growPool();
    // Takes a completed transfer off the outstanding ones, back to the pool.
    void release(Transfer& t);
    NTSTATUS complete(Transfer& t);
    // Every transfer without a result gets `status`; completes them now (the caller runs where
    // completions may run) or from the scheduler.
    void completeAllWith(USBD_STATUS status, const Transfer* except, bool immediately);
    // Ends every unfinished transfer `which` selects with `status`, oldest first: at once, or
    // from the scheduler.
    template <class Which>
    void endTransfers(const Which& which, USBD_STATUS status, bool aborted, bool immediately);
    void forget(Transfer& t); // takes it off the IN queue and the scheduler
    // The transfer as the log and a fault's observer see it when it is submitted.
    Request pendingRequest(const Transfer& t) const;
    void record(const Transfer& t);
    Request* logEntry(const Transfer& t);
    void captureSubmit(Transfer& t);
    void captureComplete(const Transfer& t);
    Time latencyOf(const Transfer& t) const;
    // The packets `bytes` take: ceil(bytes / maxPacket). Full-speed packet sizes are powers of
    // two, which take a shift rather than a division.
    static std::uint32_t packetsFor(std::size_t bytes, std::uint16_t maxPacket) {
        std::size_t rounded = bytes + maxPacket - 1;
        bool powerOfTwo = (maxPacket & (maxPacket - 1)) == 0; // (no popcount call)
        return static_cast<std::uint32_t>(powerOfTwo ? rounded >> std::countr_zero(maxPacket)
                                                     : rounded / maxPacket);
    }
    // The pipe of a handle of the current configuration; nullptr for any other value (the
    // handle is never dereferenced to find out).
    const Pipe* findPipe(USBD_PIPE_HANDLE handle) const {
        auto* p = static_cast<const Pipe*>(handle);
        for (const Pipe* live : livePipes_) {
            if (live == p) {
                return p;
            }
        }
        return nullptr;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    UsbDevice* device_ = nullptr;
    bool gone_ = false; // unplugged after having been plugged
    std::vector<std::uint8_t> deviceDescriptor_;

    Timing timing_;
    struct FaultSlot {
        Fault fault;
        FaultCount count;
    };
    std::vector<FaultSlot> faults_;
    std::vector<Request> log_;
    bool logging_ = true;
    std::size_t logLimit_ = 1 << 16;
    std::uint64_t nextId_ = 1;
    UsbmonWriter* capture_ = nullptr;

    // Every transfer ever needed at once (the pool only grows, so a Transfer* stays valid and a
    // TransferRef can check it), the free ones (linked through `next`), and the outstanding ones
    // as a list, oldest first.
    std::vector<std::unique_ptr<Transfer>> pool_;
    Transfer* free_ = nullptr;
    Transfer* oldest_ = nullptr;
    Transfer* newest_ = nullptr;
    std::size_t outstanding_ = 0;
    // Full-speed mode: transfers taking frames, oldest first; the end-of-frame event.
    std::vector<Transfer*> onBus_;
    std::vector<TransferRef> finished_;
    Scheduler::Event frameEvent_{[](void* bus) { static_cast<Bus*>(bus)->endOfFrame(); }, this,
                                 "usb frame"};
    std::vector<std::unique_ptr<Pipe>> pipes_; // every pipe ever handed out, so handles stay valid
    std::vector<const Pipe*> livePipes_;       // the pipes of the current configuration
    std::bitset<256> halted_;                  // by endpoint address
    std::uint8_t configuration_ = 0;
    std::uint8_t configurationHandle_ = 0; // its address is the configuration handle
    std::uint32_t portCycles_ = 0;
    bool remoteWakeupEnabled_ = false;
    std::vector<Wakeup> wakeups_;

    std::map<UCHAR, NTSTATUS> pnpStatus_;
    std::set<UCHAR> pnpHold_;
    std::deque<PIRP> heldPnp_;
    std::vector<UCHAR> pnpLog_;
};

// The number of bytes of a configuration descriptor that may be read: wTotalLength, but never
// past the end of the allocation that holds it when that is a platform (pool or NDIS)
// allocation, and at least the 9-byte header. Used by USBD and the bus.
std::size_t configurationBytes(const USB_CONFIGURATION_DESCRIPTOR* descriptor);

} // namespace host::usb
