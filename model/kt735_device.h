// The Korvex KT735 as it sits behind the USB bus: descriptors and standard requests, the vendor
// register protocol (0xF0 read, 0xF1 write) over 256 chip registers, the EEPROM and MII windows,
// the MAC with its receive filter and wake-up matcher, the bulk-out and bulk-in frame formats,
// and the two PHYs with their wires. Tests reach everything through the backend calls below.
#pragma once

#include "crc.h"
#include "phy.h"
#include "wire.h"

#include <host/fault.h>
#include <host/usb_device.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kt735::model {

using host::usb::InRequest;
using host::usb::Outcome;
using host::usb::SetupPacket;
using host::usb::UsbDevice;
using host::usb::UsbPort;

// Invented identity of the model.
constexpr std::uint16_t kVendorId = 0x4B56;
constexpr std::uint16_t kProductId = 0x0735;

// Chip register indices.
namespace reg {
constexpr std::uint8_t kControl0 = 0x00;
constexpr std::uint8_t kControl1 = 0x01;
constexpr std::uint8_t kControl2 = 0x02;
constexpr std::uint8_t kMulticast = 0x08; // 0x08-0x0F
constexpr std::uint8_t kStation = 0x10;   // 0x10-0x15
constexpr std::uint8_t kTxFlow = 0x1A;
constexpr std::uint8_t kRxFlow = 0x1B;
constexpr std::uint8_t kAlive = 0x1C;
constexpr std::uint8_t kEepromAddress = 0x20;
constexpr std::uint8_t kEepromData = 0x21; // 0x21-0x22
constexpr std::uint8_t kEepromControl = 0x23;
constexpr std::uint8_t kMiiPhyAddress = 0x25;
constexpr std::uint8_t kMiiData = 0x26; // 0x26-0x27
constexpr std::uint8_t kMiiControl = 0x28;
constexpr std::uint8_t kWakeFrame0 = 0x30;
constexpr std::uint8_t kWakeFrame1 = 0x48;
constexpr std::uint8_t kWakeFrame2 = 0x60;
constexpr std::uint8_t kWakeControl = 0x78;
constexpr std::uint8_t kRevision = 0x7A;
constexpr std::uint8_t kReg7E = 0x7E;
constexpr std::uint8_t kMediumSelect = 0x7F; // 0x7F-0x81
} // namespace reg

// Register bits the chip acts on.
namespace bits {
constexpr std::uint8_t kControl0RxEnable = 0x80;
constexpr std::uint8_t kControl0TxEnable = 0x40;
constexpr std::uint8_t kControl0AllMulticast = 0x02;
constexpr std::uint8_t kControl1Speed100 = 0x10;
constexpr std::uint8_t kControl1FullDuplex = 0x20;
constexpr std::uint8_t kControl2Promiscuous = 0x04;
constexpr std::uint8_t kEepromRead = 0x02;
constexpr std::uint8_t kEepromDone = 0x04;
constexpr std::uint8_t kMiiWrite = 0x20;
constexpr std::uint8_t kMiiRead = 0x40;
constexpr std::uint8_t kMiiDone = 0x80;
constexpr std::uint8_t kMediumPhoneLine = 0x10; // in 0x7F
constexpr std::uint8_t kWakeMagic = 0x80;
constexpr std::uint8_t kWakeLinkChange = 0x40;
constexpr std::uint8_t kWakeSlot0 = 0x20;
constexpr std::uint8_t kWakeSlot1 = 0x10;
constexpr std::uint8_t kWakeSlot2 = 0x08;
} // namespace bits

struct EndpointDescriptor {
    std::uint8_t address = 0;    // with the direction bit
    std::uint8_t attributes = 0; // 2 bulk, 3 interrupt
    std::uint16_t maxPacket = 64;
    std::uint8_t interval = 0;
};

enum class DescriptorAnswer {
    Normal,
    NoAnswer, // the device does not answer GET_DESCRIPTOR(device) at all
    Empty,    // the data stage ends at once with no bytes
};

// What the device offers on USB. The defaults are the KT735's; tests build variants.
struct UsbIdentity {
    std::uint16_t vendorId = kVendorId;
    std::uint16_t productId = kProductId;
    std::uint16_t bcdDevice = 0x0101;
    std::vector<EndpointDescriptor> endpoints = {
        {0x81, 2, 64, 0},
        {0x02, 2, 64, 0},
        {0x83, 3, 64, 1},
    };
    // Bytes of vendor-specific descriptors after the endpoints (to build a configuration
    // longer than 255 bytes, for example).
    std::size_t extraConfigBytes = 0;
    DescriptorAnswer deviceDescriptor = DescriptorAnswer::Normal;
    bool remoteWakeupCapable = true;
    // Exactly the bytes GET_DESCRIPTOR answers with, instead of those built from the fields
    // above: any length, malformed allowed (a hostile or broken device).
    std::optional<std::vector<std::uint8_t>> deviceDescriptorBytes;
    std::optional<std::vector<std::uint8_t>> configDescriptorBytes;
};

struct RegisterAccess {
    Time time = 0;
    bool write = false;
    std::uint16_t index = 0;
    std::uint16_t value = 0; // wValue of the request
    std::vector<std::uint8_t> bytes;
    Outcome outcome = Outcome::Ok;
};

struct ControlRecord {
    Time time = 0;
    SetupPacket setup;
    std::vector<std::uint8_t> data; // OUT data stage, or IN bytes returned
    Outcome outcome = Outcome::Ok;
};

enum class WakeReason { Magic, LinkChange, Slot0, Slot1, Slot2 };

struct WakeEvent {
    Time time = 0;
    WakeReason reason = WakeReason::Magic;
};

enum class Medium { Ethernet, PhoneLine };

enum class AccessKind { Any, Read, Write };

// A fault in the chip's register file (host/fault.h): the vendor register requests it matches,
// what they answer, and which of them.
struct RegisterFault {
    // What is matched: requests of `access` kind that start at `index` (with `covering`: that
    // include it).
    std::uint8_t index = 0;
    AccessKind access = AccessKind::Any;
    bool covering = false;
    // What happens: the request answers `outcome` (STALL or no answer) and has no effect.
    Outcome outcome = Outcome::Stall;
    // Which: from the nth matching request counted from now on (1: the next), `times` of them
    // (0: every one).
    std::uint64_t nth = 1;
    std::uint32_t times = 1;
};

struct Counters {
    std::uint64_t controlTransfers = 0;
    std::uint64_t bulkOutTransfers = 0;
    std::uint64_t zeroLengthTransfers = 0;
    std::uint64_t txFrames = 0;          // frames put on a wire
    std::uint64_t txMalformed = 0;       // header missing, length beyond the transfer, empty
    std::uint64_t txOversize = 0;        // length header above the MAC's maximum
    std::uint64_t txDroppedDisabled = 0; // transmitter off
    std::uint64_t txDroppedNoLink = 0;   // active medium without link, or its PHY isolated
    std::uint64_t txSpeedMismatch = 0;   // Control1 speed/duplex differ from the Ethernet link
    std::uint64_t rxFromWire = 0;        // frames the active PHY passed to the MAC
    std::uint64_t rxDroppedDisabled = 0; // receiver off
    std::uint64_t rxFiltered = 0;        // not addressed to the station
    std::uint64_t rxOverflow = 0;        // receive FIFO full
    std::uint64_t rxOversize = 0;        // frame plus trailer above 1536 bytes
    std::uint64_t rxRunt = 0;            // shorter than a destination address
    std::uint64_t bulkInTransfers = 0;   // transfers completed on the bulk-in endpoint
};

class Kt735Device : public UsbDevice {
  public:
    static constexpr std::size_t kMaxBulkIn = 1536;
    static constexpr std::size_t kTrailer = 8;
    static constexpr std::size_t kMaxTxFrame = 1518;
    static constexpr std::size_t kMinFrame = 60;

    explicit Kt735Device(UsbIdentity identity = {});
    ~Kt735Device() override;
    Kt735Device(const Kt735Device&) = delete;
    Kt735Device& operator=(const Kt735Device&) = delete;

    // --- UsbDevice ------------------------------------------------------------------------
    void attach(UsbPort& port) override;
    void detach() override;
    void portReset() override;
    Outcome control(const SetupPacket& setup, std::span<std::uint8_t> data,
                    std::size_t& actual) override;
    Outcome bulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
    void inPosted(const InRequest& request) override;

    // --- Backend: wires and PHYs -----------------------------------------------------------
    EthernetSegment& ethernet() { return ethernetWire_; }
    PhoneLineSegment& phoneLine() { return phoneWire_; }
    EthernetPhy& ethernetPhy() { return ethernetPhy_; }
    PhoneLinePhy& phoneLinePhy() { return phonePhy_; }
    // The medium the MAC is switched to (bit 0x10 of register 0x7F).
    Medium activeMedium() const {
        return (regs_[reg::kMediumSelect] & bits::kMediumPhoneLine) ? Medium::PhoneLine
                                                                    : Medium::Ethernet;
    }

    // --- Backend: EEPROM -------------------------------------------------------------------
    static constexpr std::size_t kEepromWords = 64;
    void setEepromWord(std::uint8_t address, std::uint16_t word);
    std::uint16_t eepromWord(std::uint8_t address) const;
    // Words 0-2, low byte first. The chip loads them into 0x10-0x15 at power-up.
    void setPermanentAddress(const std::array<std::uint8_t, 6>& mac);

    // --- Backend: registers ----------------------------------------------------------------
    std::uint8_t reg(std::uint8_t index) const { return regs_[index]; }
    // Sets a register as the chip would hold it, without the side effects of a host write.
    void pokeReg(std::uint8_t index, std::uint8_t value) { regs_[index] = value; }
    std::array<std::uint8_t, 6> stationAddress() const;
    void setMiiDelay(Time t) { miiDelay_ = t; }
    void setEepromDelay(Time t) { eepromDelay_ = t; }
    const std::vector<RegisterAccess>& registerLog() const { return registerLog_; }
    const std::vector<ControlRecord>& controlLog() const { return controlLog_; }
    void clearLogs();
    // Off: register accesses and control requests are no longer logged (a long run, a
    // benchmark); the logs kept so far stay. On by default.
    void setLogging(bool on) { logging_ = on; }

    // --- Backend: frame path ---------------------------------------------------------------
    // Frames towards the adapter go through a wire: ethernet().sendToAdapter(frame, status).
    // A bulk-in transfer of exactly these bytes, queued behind the frames already waiting.
    void injectBulkIn(std::vector<std::uint8_t> transfer);
    // Data for the interrupt endpoint; the chip otherwise never completes it.
    void injectInterrupt(std::vector<std::uint8_t> data);
    void setRxFifoFrames(std::size_t frames) { rxFifoFrames_ = frames; }
    std::size_t rxFifoDepth() const { return rxFifo_.size(); }
    // Short frames go on the wire padded with zeros to 60 bytes (off: exactly as sent).
    void setAutoPad(bool on) { autoPad_ = on; }
    const Counters& counters() const { return counters_; }

    // --- Backend: USB state ----------------------------------------------------------------
    bool configured() const { return configuration_ != 0; }
    bool remoteWakeupEnabled() const { return remoteWakeup_; }
    bool halted(std::uint8_t endpoint) const {
        return !haltedEps_.empty() &&
               std::find(haltedEps_.begin(), haltedEps_.end(), endpoint) != haltedEps_.end();
    }
    const std::vector<WakeEvent>& wakeEvents() const { return wakeEvents_; }
    const std::vector<std::uint8_t>& configurationDescriptor() const { return configDescriptor_; }
    std::array<std::uint8_t, 18> deviceDescriptor() const;

    // --- Backend: faults --------------------------------------------------------------------
    // Faults inside the chip only; a transfer that fails or stalls on the way is the bus's
    // (host::usb::Fault).
    void addFault(const RegisterFault& fault);
    void clearFaults();

  private:
    class PortClock : public Clock {
      public:
        UsbPort* port = nullptr;
        Time now() const override { return port != nullptr ? port->now() : 0; }
        bool running() const override { return port != nullptr; }
        std::uint64_t schedule(Time delay, host::Callback fn) override {
            return port->schedule(delay, std::move(fn));
        }
        void cancel(std::uint64_t handle) override {
            if (port != nullptr) {
                port->cancelScheduled(handle);
            }
        }
    };

    struct ArmedFault {
        RegisterFault fault;
        host::FaultCount count;
    };

    void powerUp();
    void stopActivity();
    void buildConfigDescriptor();
    Outcome standardRequest(const SetupPacket& setup, std::span<std::uint8_t> data,
                            std::size_t& actual);
    Outcome vendorRequest(const SetupPacket& setup, std::span<std::uint8_t> data,
                          std::size_t& actual);
    bool endpointDeclared(std::uint8_t endpoint) const;
    const EndpointDescriptor* endpoint(std::uint8_t address) const;

    void writeRegister(std::uint8_t index, std::uint8_t value);
    void startEepromRead();
    void startMiiCommand(std::uint8_t command);
    Phy* phyAt(std::uint8_t address);

    // Whether the PHY of `medium` passes frames (no virtual call: both PHYs are final).
    bool carriesFrames(Medium medium) const {
        return medium == Medium::Ethernet ? ethernetPhy_.carriesFrames()
                                          : phonePhy_.carriesFrames();
    }
    void transmit(std::span<const std::uint8_t> transfer);
    bool receiveFromWire(Medium medium, std::span<const std::uint8_t> frame, std::uint16_t status);
    bool addressed(std::span<const std::uint8_t> frame) const;
    static constexpr std::uint8_t kWakeSlots =
        bits::kWakeSlot0 | bits::kWakeSlot1 | bits::kWakeSlot2;
    // Six bytes of 0xFF and sixteen station addresses: a shorter frame holds no magic packet.
    static constexpr std::size_t kMagicLength = 6 + 16 * 6;
    // Whether a frame of `length` bytes addressed to the station may wake the host: remote
    // wake-up is on, and a pattern slot is enabled or the magic packet is, for a frame long
    // enough to hold one.
    bool mayWake(std::size_t length) const {
        const std::uint8_t wc = regs_[reg::kWakeControl];
        return remoteWakeup_ &&
               ((wc & kWakeSlots) != 0 || ((wc & bits::kWakeMagic) != 0 && length >= kMagicLength));
    }
    // Raises a wake-up when the frame matches an enabled source (the caller checked mayWake).
    void checkWake(std::span<const std::uint8_t> frame);
    bool magicPacket(std::span<const std::uint8_t> frame) const;
    bool slotMatches(int slot, std::span<const std::uint8_t> frame) const;
    void linkChanged(Medium medium, bool up);
    void raiseWake(WakeReason reason);
    void kickBulkIn();

    PortClock clock_;
    UsbIdentity identity_;
    std::vector<std::uint8_t> configDescriptor_;
    std::uint8_t bulkInEp_ = 0x81;
    std::uint8_t bulkOutEp_ = 0x02;
    std::uint16_t bulkOutMaxPacket_ = 64; // its wMaxPacketSize (64 when it declares 0)
    std::uint8_t interruptEp_ = 0x83;

    EthernetSegment ethernetWire_;
    PhoneLineSegment phoneWire_;
    EthernetPhy ethernetPhy_;
    PhoneLinePhy phonePhy_;

    std::array<std::uint8_t, 256> regs_{};
    std::array<std::uint16_t, kEepromWords> eeprom_{};
    Time miiDelay_ = 30 * host::usb::kMicrosecond;
    Time eepromDelay_ = 200 * host::usb::kMicrosecond;
    Timer miiTimer_;
    Timer eepromTimer_;

    std::uint8_t configuration_ = 0;
    bool remoteWakeup_ = false;
    std::vector<std::uint8_t> haltedEps_;

    std::vector<std::uint8_t> txAccum_;
    std::vector<std::uint8_t> txFrame_; // the frame going on the wire
    bool txOverflowing_ = false;
    bool autoPad_ = true;

    struct RxEntry {
        std::vector<std::uint8_t> bytes;
        bool raw = false;
    };
    // The receive FIFO: a ring of entries whose buffers keep their capacity from transfer to
    // transfer, so a stream of frames allocates nothing. `frames` counts the entries that are
    // frames from the wire (injected raw transfers do not count against the FIFO's depth).
    struct RxFifo {
        std::vector<RxEntry> slots; // a power of two of them, or none
        std::size_t head = 0;
        std::size_t count = 0;
        std::size_t frames = 0;
        bool empty() const { return count == 0; }
        std::size_t size() const { return count; }
        RxEntry& front() { return slots[head]; }
        // The slot behind the last entry, with whatever buffer it kept; the caller fills it.
        RxEntry& push(bool raw) {
            if (count == slots.size()) {
                std::rotate(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(head),
                            slots.end());
                head = 0;
                slots.resize(slots.empty() ? 16 : 2 * slots.size());
            }
            RxEntry& entry = slots[(head + count) & (slots.size() - 1)];
            entry.raw = raw;
            ++count;
            frames += raw ? 0 : 1;
            return entry;
        }
        void pop() {
            frames -= slots[head].raw ? 0 : 1;
            head = (head + 1) & (slots.size() - 1);
            --count;
        }
        void clear() {
            head = 0;
            count = 0;
            frames = 0;
        }
    };
    RxFifo rxFifo_;
    std::size_t rxFifoFrames_ = 16;
    bool kicking_ = false; // kickBulkIn is running
    std::deque<std::vector<std::uint8_t>> interruptData_;

    bool logging_ = true;
    std::vector<RegisterAccess> registerLog_;
    std::vector<ControlRecord> controlLog_;
    std::vector<WakeEvent> wakeEvents_;
    Counters counters_;

    std::vector<ArmedFault> registerFaults_;
};

} // namespace kt735::model
