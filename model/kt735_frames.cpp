// The KT735's frames: the bulk-out transfers it unpacks and transmits on the active medium, the
// frames it takes from the wire through its receive filter into the bulk-in FIFO and the
// interrupt endpoint, and the wake-up matcher (magic packet, pattern slots, link change).
#include "kt735_device.h"

#include <algorithm>
#include <cstring>

namespace kt735::model {

namespace {

// Bulk-out data the chip buffers while a transfer is still open (no short packet yet).
constexpr std::size_t kTxBufferLimit = 2048;

} // namespace

// --- Transmit -------------------------------------------------------------------------------

Outcome Kt735Device::bulkOut(std::uint8_t ep, std::span<const std::uint8_t> data) {
    // The chip's own bulk-out endpoint is declared by construction: no lookup.
    const bool own = ep == bulkOutEp_ && ep != 0;
    if (configuration_ == 0 || (ep & 0x80) != 0 || (!own && endpoint(ep) == nullptr)) {
        return Outcome::Stall;
    }
    if (halted(ep)) {
        return Outcome::Stall;
    }
    if (!own) {
        return Outcome::Ok; // an endpoint with nothing behind it swallows the data
    }
    ++counters_.bulkOutTransfers;
    if (data.empty()) {
        ++counters_.zeroLengthTransfers;
    }
    // The chip sees packets: a transfer ends with a short (or zero-length) packet. A transfer
    // that is a whole number of full packets stays open and runs on into the next one.
    // Full-speed packet sizes are powers of two: a mask rather than a division.
    const std::size_t maxPacket = bulkOutMaxPacket_;
    const std::size_t partial = (maxPacket & (maxPacket - 1)) == 0 ? data.size() & (maxPacket - 1)
                                                                   : data.size() % maxPacket;
    bool ends = data.empty() || partial != 0;
    if (ends && txAccum_.empty() && !txOverflowing_) {
        // A whole transfer in one: the frame goes out from the transfer's own data.
        if (!data.empty()) {
            transmit(data);
        }
        return Outcome::Ok;
    }
    if (!txOverflowing_) {
        txAccum_.insert(txAccum_.end(), data.begin(), data.end());
        if (txAccum_.size() > kTxBufferLimit) {
            ++counters_.txMalformed;
            txAccum_.clear();
            txOverflowing_ = true;
        }
    }
    if (ends) {
        if (!txOverflowing_ && !txAccum_.empty()) {
            transmit(txAccum_);
        }
        txAccum_.clear();
        txOverflowing_ = false;
    }
    return Outcome::Ok;
}

void Kt735Device::transmit(std::span<const std::uint8_t> transfer) {
    if (transfer.size() < 2) {
        ++counters_.txMalformed;
        return;
    }
    std::size_t length = transfer[0] | (transfer[1] << 8);
    if (length == 0 || transfer.size() < 2 + length) {
        ++counters_.txMalformed;
        return;
    }
    if (length > kMaxTxFrame) {
        ++counters_.txOversize;
        return;
    }
    if ((regs_[reg::kControl0] & bits::kControl0TxEnable) == 0) {
        ++counters_.txDroppedDisabled;
        return;
    }
    Medium medium = activeMedium();
    if (!carriesFrames(medium)) {
        ++counters_.txDroppedNoLink;
        return;
    }
    // Everything after the frame (the padding to 60 and any further bytes) is ignored. A frame
    // the chip pads is built in its transmit buffer, which keeps its capacity from frame to
    // frame; any other goes on the wire from the transfer.
    std::span<const std::uint8_t> frame = transfer.subspan(2, length);
    if (autoPad_ && frame.size() < kMinFrame) {
        txFrame_.assign(frame.begin(), frame.end());
        txFrame_.resize(kMinFrame, 0);
        frame = txFrame_;
    }
    if (medium == Medium::Ethernet) {
        std::uint8_t c1 = regs_[reg::kControl1];
        bool mac100 = (c1 & bits::kControl1Speed100) != 0;
        bool macFull = (c1 & bits::kControl1FullDuplex) != 0;
        if (mac100 != ethernetPhy_.speed100() || macFull != ethernetPhy_.fullDuplex()) {
            ++counters_.txSpeedMismatch;
        }
        ++counters_.txFrames;
        ethernetWire_.transmitFromAdapter(frame);
    } else {
        ++counters_.txFrames;
        phoneWire_.transmitFromAdapter(frame);
    }
}

// --- Receive --------------------------------------------------------------------------------

bool Kt735Device::addressed(std::span<const std::uint8_t> frame) const {
    static constexpr std::uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (regs_[reg::kControl2] & bits::kControl2Promiscuous) {
        return true;
    }
    const std::uint8_t* dest = frame.data();
    if (std::memcmp(dest, &regs_[reg::kStation], 6) == 0 || std::memcmp(dest, kBroadcast, 6) == 0) {
        return true;
    }
    if (dest[0] & 0x01) {
        if (regs_[reg::kControl0] & bits::kControl0AllMulticast) {
            return true;
        }
        // 64-bit hash: the top six bits of the destination's frame check sequence.
        unsigned bit = crc32Ethernet(frame.first(6)) >> 26;
        return (regs_[reg::kMulticast + bit / 8] >> (bit % 8)) & 1;
    }
    return false;
}

bool Kt735Device::receiveFromWire(Medium medium, std::span<const std::uint8_t> frame,
                                  std::uint16_t status) {
    if (!carriesFrames(medium) || activeMedium() != medium) {
        return false;
    }
    ++counters_.rxFromWire;
    if (frame.size() < 6) {
        ++counters_.rxRunt;
        return true;
    }
    const bool forUs = addressed(frame);
    if (forUs && mayWake(frame.size())) {
        checkWake(frame);
    }
    if ((regs_[reg::kControl0] & bits::kControl0RxEnable) == 0) {
        ++counters_.rxDroppedDisabled;
        return true;
    }
    if (!forUs) {
        ++counters_.rxFiltered;
        return true;
    }
    if (frame.size() + kTrailer > kMaxBulkIn) {
        ++counters_.rxOversize;
        return true;
    }
    if (rxFifo_.frames >= rxFifoFrames_) {
        ++counters_.rxOverflow;
        return true;
    }
    // Transfer: the frame, its four FCS bytes, two reserved bytes, the status word.
    std::uint32_t fcs = crc32Ethernet(frame);
    if (status & 0x08) {
        fcs = ~fcs;
    }
    const std::uint8_t trailer[kTrailer] = {static_cast<std::uint8_t>(fcs),
                                            static_cast<std::uint8_t>(fcs >> 8),
                                            static_cast<std::uint8_t>(fcs >> 16),
                                            static_cast<std::uint8_t>(fcs >> 24),
                                            0,
                                            0,
                                            static_cast<std::uint8_t>(status & 0xFF),
                                            static_cast<std::uint8_t>(status >> 8)};
    // With nothing waiting in the FIFO and a bulk-in transfer posted, the frame streams straight
    // into it; otherwise it waits in the FIFO for the next one.
    if (rxFifo_.empty() && !kicking_ && clock_.port != nullptr && bulkInEp_ != 0 &&
        !halted(bulkInEp_) && clock_.port->completeInParts(bulkInEp_, frame, trailer)) {
        ++counters_.bulkInTransfers;
        return true;
    }
    std::vector<std::uint8_t>& t = rxFifo_.push(false).bytes;
    const std::size_t n = frame.size();
    t.resize(n + kTrailer);
    std::memcpy(t.data(), frame.data(), n);
    std::memcpy(t.data() + n, trailer, kTrailer);
    kickBulkIn();
    return true;
}

void Kt735Device::injectBulkIn(std::vector<std::uint8_t> transfer) {
    rxFifo_.push(true).bytes = std::move(transfer);
    kickBulkIn();
}

void Kt735Device::injectInterrupt(std::vector<std::uint8_t> data) {
    interruptData_.push_back(std::move(data));
    if (clock_.port != nullptr && interruptEp_ != 0 && clock_.port->pendingIn(interruptEp_) > 0) {
        auto d = std::move(interruptData_.front());
        interruptData_.pop_front();
        clock_.port->completeIn(interruptEp_, d);
    }
}

// Hands the oldest FIFO entry to each posted bulk-in transfer. The chip streams the FIFO into
// the transfer's packets as the host polls; how long that takes on the bus is the bus's to say.
// The bus copies the entry before completeIn returns (which says whether a transfer was posted
// to take it); the entry leaves the FIFO after that, and a call made meanwhile (from whatever
// completeIn might set off) leaves the work to this one.
void Kt735Device::kickBulkIn() {
    if (kicking_) {
        return;
    }
    kicking_ = true;
    while (clock_.port != nullptr && !rxFifo_.empty() && bulkInEp_ != 0 && !halted(bulkInEp_) &&
           clock_.port->completeIn(bulkInEp_, rxFifo_.front().bytes)) {
        ++counters_.bulkInTransfers;
        rxFifo_.pop();
    }
    kicking_ = false;
}

void Kt735Device::inPosted(const InRequest& request) {
    if (clock_.port == nullptr) {
        return;
    }
    std::uint8_t ep = request.endpoint;
    // The chip's own bulk-in endpoint is declared by construction.
    if (configuration_ == 0 || (ep & 0x80) == 0 || (ep != bulkInEp_ && !endpointDeclared(ep)) ||
        halted(ep)) {
        clock_.port->completeIn(ep, {}, Outcome::Stall);
        return;
    }
    if (ep == bulkInEp_) {
        if (!rxFifo_.empty()) {
            kickBulkIn(); // frames waited for a transfer
        }
    } else if (ep == interruptEp_ && !interruptData_.empty()) {
        auto d = std::move(interruptData_.front());
        interruptData_.pop_front();
        clock_.port->completeIn(ep, d);
    }
}

// --- Wake-up --------------------------------------------------------------------------------

bool Kt735Device::magicPacket(std::span<const std::uint8_t> frame) const {
    // Six bytes of 0xFF followed by sixteen copies of the station address, anywhere. The frame
    // is searched for runs of 0xFF (memchr's pace), and only the places six of them end are tried.
    const std::size_t need = kMagicLength;
    const auto station = std::span(regs_).subspan(reg::kStation, 6);
    const std::uint8_t* const begin = frame.data();
    const std::uint8_t* const end = begin + frame.size();
    for (const std::uint8_t* run = begin; frame.size() >= need;) {
        run = static_cast<const std::uint8_t*>(
            std::memchr(run, 0xFF, static_cast<std::size_t>(end - run)));
        if (run == nullptr) {
            return false;
        }
        const std::uint8_t* runEnd = run;
        while (runEnd != end && *runEnd == 0xFF) {
            ++runEnd;
        }
        for (const std::uint8_t* start = run; start + 6 <= runEnd; ++start) {
            if (start + need > end) {
                return false;
            }
            bool ok = true;
            for (std::size_t rep = 0; ok && rep < 16; ++rep) {
                ok = std::equal(station.begin(), station.end(), start + 6 + 6 * rep);
            }
            if (ok) {
                return true;
            }
        }
        run = runEnd;
    }
    return false;
}

bool Kt735Device::slotMatches(int slot, std::span<const std::uint8_t> frame) const {
    static constexpr std::uint8_t kBase[3] = {reg::kWakeFrame0, reg::kWakeFrame1, reg::kWakeFrame2};
    const std::uint8_t base = kBase[slot];
    Crc16Genibus crc;
    bool any = false;
    for (std::size_t k = 0; k < 16; ++k) {
        std::uint8_t mask = regs_[base + k];
        for (int j = 0; j < 8; ++j) {
            if (!((mask >> j) & 1)) {
                continue;
            }
            std::size_t pos = 8 * k + static_cast<std::size_t>(j);
            if (pos >= frame.size()) {
                return false; // the frame ends before a selected byte
            }
            crc.add(frame[pos]);
            any = true;
        }
    }
    // A slot with an empty mask selects nothing and never matches.
    if (!any) {
        return false;
    }
    std::uint16_t stored = static_cast<std::uint16_t>(regs_[base + 17] | (regs_[base + 18] << 8));
    return crc.value() == stored;
}

void Kt735Device::checkWake(std::span<const std::uint8_t> frame) {
    const std::uint8_t wc = regs_[reg::kWakeControl];
    if ((wc & bits::kWakeMagic) && frame.size() >= kMagicLength && magicPacket(frame)) {
        raiseWake(WakeReason::Magic);
        return;
    }
    if ((wc & kWakeSlots) == 0) {
        return;
    }
    static constexpr std::uint8_t kEnable[3] = {bits::kWakeSlot0, bits::kWakeSlot1,
                                                bits::kWakeSlot2};
    static constexpr WakeReason kReason[3] = {WakeReason::Slot0, WakeReason::Slot1,
                                              WakeReason::Slot2};
    for (int s = 0; s < 3; ++s) {
        if ((wc & kEnable[s]) && slotMatches(s, frame)) {
            raiseWake(kReason[s]);
            return;
        }
    }
}

void Kt735Device::linkChanged(Medium medium, bool /*up*/) {
    if (remoteWakeup_ && medium == activeMedium() &&
        (regs_[reg::kWakeControl] & bits::kWakeLinkChange)) {
        raiseWake(WakeReason::LinkChange);
    }
}

void Kt735Device::raiseWake(WakeReason reason) {
    wakeEvents_.push_back(WakeEvent{clock_.now(), reason});
    if (clock_.port != nullptr) {
        clock_.port->remoteWakeup();
    }
}

} // namespace kt735::model
