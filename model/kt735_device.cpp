#include "kt735_device.h"

#include <algorithm>

namespace kt735::model {

namespace {

constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeVendor = 0x40;
constexpr std::uint8_t kRecipientDevice = 0x00;
constexpr std::uint8_t kRecipientInterface = 0x01;
constexpr std::uint8_t kRecipientEndpoint = 0x02;

constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetFeature = 3;
constexpr std::uint8_t kSetAddress = 5;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;

constexpr std::uint16_t kFeatureEndpointHalt = 0;
constexpr std::uint16_t kFeatureRemoteWakeup = 1;

constexpr std::uint8_t kVendorRead = 0xF0;
constexpr std::uint8_t kVendorWrite = 0xF1;

// Bulk-out data the chip buffers while a transfer is still open (no short packet yet).
constexpr std::size_t kTxBufferLimit = 2048;

// Chip revision shown at 0x7A.
constexpr std::uint8_t kRevisionValue = 0x02;

std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

std::size_t copyOut(std::span<std::uint8_t> data, std::uint16_t wLength,
                    std::span<const std::uint8_t> src) {
    std::size_t n = std::min({data.size(), static_cast<std::size_t>(wLength), src.size()});
    std::copy_n(src.begin(), n, data.begin());
    return n;
}

} // namespace

Kt735Device::Kt735Device(UsbIdentity identity)
    : identity_(std::move(identity)), ethernetPhy_(ethernetWire_), phonePhy_(phoneWire_) {
    buildConfigDescriptor();
    // The chip moves frames on the first bulk IN and bulk OUT endpoints it declares and uses the
    // first interrupt IN endpoint for nothing of its own.
    bool in = false, out = false, irq = false;
    for (const auto& ep : identity_.endpoints) {
        if ((ep.attributes & 3) == 2 && (ep.address & 0x80) && !in) {
            bulkInEp_ = ep.address;
            in = true;
        } else if ((ep.attributes & 3) == 2 && !(ep.address & 0x80) && !out) {
            bulkOutEp_ = ep.address;
            out = true;
        } else if ((ep.attributes & 3) == 3 && (ep.address & 0x80) && !irq) {
            interruptEp_ = ep.address;
            irq = true;
        }
    }
    if (!in) {
        bulkInEp_ = 0;
    }
    if (!out) {
        bulkOutEp_ = 0;
    }
    if (!irq) {
        interruptEp_ = 0;
    }

    ethernetPhy_.bindClock(&clock_);
    phonePhy_.bindClock(&clock_);
    ethernetWire_.bindClock(&clock_);
    phoneWire_.bindClock(&clock_);
    miiTimer_.bind(&clock_);
    eepromTimer_.bind(&clock_);
    ethernetWire_.setAdapterSink(
        [this](const WireFrame& f) { return receiveFromWire(Medium::Ethernet, f); });
    phoneWire_.setAdapterSink(
        [this](const WireFrame& f) { return receiveFromWire(Medium::PhoneLine, f); });
    ethernetPhy_.setLinkListener([this](bool up) { linkChanged(Medium::Ethernet, up); });
    phonePhy_.setLinkListener([this](bool up) { linkChanged(Medium::PhoneLine, up); });

    // An Ethernet cable to a 10/100 partner and a live phone line, unless a test says otherwise.
    ethernetWire_.plug();
    phoneWire_.plug();
    setPermanentAddress({0x02, 0x4B, 0x56, 0x07, 0x35, 0x01});
    powerUp();
}

Kt735Device::~Kt735Device() {
    // The bus may already be gone: nothing is cancelled through it from here on.
    clock_.port = nullptr;
}

void Kt735Device::buildConfigDescriptor() {
    if (identity_.configDescriptorBytes) {
        configDescriptor_ = *identity_.configDescriptorBytes;
        return;
    }
    const auto& eps = identity_.endpoints;
    std::vector<std::uint8_t> d = {
        9,
        2,
        0,
        0,
        1,
        1,
        0,
        static_cast<std::uint8_t>(identity_.remoteWakeupCapable ? 0xA0 : 0x80),
        50, // 100 mA
        9,
        4,
        0,
        0,
        static_cast<std::uint8_t>(eps.size()),
        0xFF,
        0xFF,
        0xFF,
        0};
    for (const auto& ep : eps) {
        d.insert(d.end(),
                 {7, 5, ep.address, ep.attributes, static_cast<std::uint8_t>(ep.maxPacket & 0xFF),
                  static_cast<std::uint8_t>(ep.maxPacket >> 8), ep.interval});
    }
    std::size_t extra = identity_.extraConfigBytes;
    while (extra > 0) {
        // Vendor-specific descriptors (type 0xFF) of at most 255 bytes each; at least 2.
        std::size_t len = std::min<std::size_t>(extra, 255);
        if (len < 2) {
            len = 2;
        }
        std::vector<std::uint8_t> blk(len, 0x5A);
        blk[0] = static_cast<std::uint8_t>(len);
        blk[1] = 0xFF;
        d.insert(d.end(), blk.begin(), blk.end());
        extra -= std::min(extra, len);
    }
    d[2] = static_cast<std::uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    configDescriptor_ = std::move(d);
}

std::array<std::uint8_t, 18> Kt735Device::deviceDescriptor() const {
    return {18,
            1,
            0x10,
            0x01, // USB 1.1
            0xFF,
            0xFF,
            0xFF,
            8,
            static_cast<std::uint8_t>(identity_.vendorId & 0xFF),
            static_cast<std::uint8_t>(identity_.vendorId >> 8),
            static_cast<std::uint8_t>(identity_.productId & 0xFF),
            static_cast<std::uint8_t>(identity_.productId >> 8),
            static_cast<std::uint8_t>(identity_.bcdDevice & 0xFF),
            static_cast<std::uint8_t>(identity_.bcdDevice >> 8),
            1,
            2,
            3,
            1};
}

// --- Power and bus attachment -------------------------------------------------------------

void Kt735Device::powerUp() {
    stopActivity();
    regs_.fill(0);
    // The chip loads the station address from EEPROM words 0-2 when it comes out of reset.
    for (int i = 0; i < 3; ++i) {
        regs_[reg::kStation + 2 * i] = static_cast<std::uint8_t>(eeprom_[i] & 0xFF);
        regs_[reg::kStation + 2 * i + 1] = static_cast<std::uint8_t>(eeprom_[i] >> 8);
    }
    regs_[reg::kRevision] = kRevisionValue;
    configuration_ = 0;
    remoteWakeup_ = false;
    haltedEps_.clear();
    txAccum_.clear();
    txOverflowing_ = false;
    rxFifo_.clear();
    interruptData_.clear();
    ethernetPhy_.powerUp();
    phonePhy_.powerUp();
}

void Kt735Device::stopActivity() {
    miiTimer_.cancel();
    eepromTimer_.cancel();
    ethernetPhy_.stop();
    ethernetWire_.cancelPending();
    phoneWire_.cancelPending();
}

void Kt735Device::attach(UsbPort& port) {
    clock_.port = &port;
    powerUp();
}

void Kt735Device::detach() {
    stopActivity();
    clock_.port = nullptr;
}

void Kt735Device::portReset() {
    powerUp();
}

Medium Kt735Device::activeMedium() const {
    return (regs_[reg::kMediumSelect] & bits::kMediumPhoneLine) ? Medium::PhoneLine
                                                                : Medium::Ethernet;
}

// --- EEPROM ---------------------------------------------------------------------------------

void Kt735Device::setEepromWord(std::uint8_t address, std::uint16_t word) {
    eeprom_[address % kEepromWords] = word;
}

std::uint16_t Kt735Device::eepromWord(std::uint8_t address) const {
    return eeprom_[address % kEepromWords];
}

void Kt735Device::setPermanentAddress(const std::array<std::uint8_t, 6>& mac) {
    for (int i = 0; i < 3; ++i) {
        eeprom_[i] = static_cast<std::uint16_t>(mac[2 * i] | (mac[2 * i + 1] << 8));
    }
}

std::array<std::uint8_t, 6> Kt735Device::stationAddress() const {
    std::array<std::uint8_t, 6> a{};
    std::copy_n(regs_.begin() + reg::kStation, 6, a.begin());
    return a;
}

void Kt735Device::clearLogs() {
    registerLog_.clear();
    controlLog_.clear();
    wakeEvents_.clear();
    ethernetPhy_.clearWrites();
    phonePhy_.clearWrites();
}

// --- Faults ---------------------------------------------------------------------------------

void Kt735Device::failControl(std::uint64_t nth, Outcome outcome) {
    if (nth == 0) {
        nth = 1;
    }
    controlFaults_.emplace_back(counters_.controlTransfers + nth, outcome);
}

void Kt735Device::failRegister(std::uint8_t index, Outcome outcome, AccessKind kind,
                               bool covering) {
    registerFaults_.push_back(RegisterFault{index, outcome, kind, covering});
}

void Kt735Device::failBulk(std::uint8_t endpoint, Outcome outcome) {
    bulkFaults_.emplace_back(endpoint, outcome);
}

void Kt735Device::clearFaults() {
    controlFaults_.clear();
    registerFaults_.clear();
    bulkFaults_.clear();
}

std::optional<Outcome> Kt735Device::takeBulkFault(std::uint8_t ep) {
    auto it = std::find_if(bulkFaults_.begin(), bulkFaults_.end(),
                           [&](const auto& f) { return f.first == ep; });
    if (it == bulkFaults_.end()) {
        return std::nullopt;
    }
    Outcome o = it->second;
    bulkFaults_.erase(it);
    if (o == Outcome::Stall &&
        std::find(haltedEps_.begin(), haltedEps_.end(), ep) == haltedEps_.end()) {
        haltedEps_.push_back(ep);
    }
    return o;
}

bool Kt735Device::halted(std::uint8_t ep) const {
    return std::find(haltedEps_.begin(), haltedEps_.end(), ep) != haltedEps_.end();
}

const EndpointDescriptor* Kt735Device::endpoint(std::uint8_t address) const {
    for (const auto& ep : identity_.endpoints) {
        if (ep.address == address) {
            return &ep;
        }
    }
    return nullptr;
}

bool Kt735Device::endpointDeclared(std::uint8_t ep) const {
    return endpoint(ep) != nullptr;
}

// --- Control transfers ----------------------------------------------------------------------

Outcome Kt735Device::control(const SetupPacket& setup, std::span<std::uint8_t> data,
                             std::size_t& actual) {
    actual = 0;
    std::uint64_t number = ++counters_.controlTransfers;
    ControlRecord rec{clock_.now(), setup, {}, Outcome::Ok};
    if (!setup.isIn()) {
        std::size_t n = std::min(data.size(), static_cast<std::size_t>(setup.wLength));
        rec.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    }

    Outcome outcome;
    auto fault = std::find_if(controlFaults_.begin(), controlFaults_.end(),
                              [&](const auto& f) { return f.first == number; });
    if (fault != controlFaults_.end()) {
        outcome = fault->second;
        controlFaults_.erase(fault);
        if (outcome == Outcome::Ok) {
            outcome = Outcome::Stall;
        }
    } else {
        switch (setup.bmRequestType & 0x60) {
        case kTypeStandard:
            outcome = standardRequest(setup, data, actual);
            break;
        case kTypeVendor:
            outcome = vendorRequest(setup, data, actual);
            break;
        default:
            outcome = Outcome::Stall;
            break;
        }
    }
    if (outcome != Outcome::Ok) {
        actual = 0;
    }
    if (setup.isIn()) {
        rec.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(actual));
    }
    rec.outcome = outcome;
    controlLog_.push_back(std::move(rec));
    return outcome;
}

Outcome Kt735Device::standardRequest(const SetupPacket& setup, std::span<std::uint8_t> data,
                                     std::size_t& actual) {
    const std::uint8_t recipient = setup.bmRequestType & 0x1F;
    const bool in = setup.isIn();
    switch (setup.bRequest) {
    case kGetDescriptor: {
        if (!in || recipient != kRecipientDevice) {
            return Outcome::Stall;
        }
        std::uint8_t type = static_cast<std::uint8_t>(setup.wValue >> 8);
        std::uint8_t index = static_cast<std::uint8_t>(setup.wValue & 0xFF);
        if (type == 1) {
            if (identity_.deviceDescriptor == DescriptorAnswer::NoAnswer) {
                return Outcome::NoAnswer;
            }
            if (identity_.deviceDescriptor == DescriptorAnswer::Empty) {
                return Outcome::Ok;
            }
            if (identity_.deviceDescriptorBytes) {
                actual = copyOut(data, setup.wLength, *identity_.deviceDescriptorBytes);
                return Outcome::Ok;
            }
            auto d = deviceDescriptor();
            actual = copyOut(data, setup.wLength, d);
            return Outcome::Ok;
        }
        if (type == 2 && index == 0) {
            actual = copyOut(data, setup.wLength, configDescriptor_);
            return Outcome::Ok;
        }
        if (type == 3) {
            std::vector<std::uint8_t> s;
            switch (index) {
            case 0:
                s = {4, 3, 0x09, 0x04};
                break;
            case 1:
                s = stringDescriptor("Korvex");
                break;
            case 2:
                s = stringDescriptor("KT735 USB 1/10/100 Adapter");
                break;
            case 3:
                s = stringDescriptor("0000735001");
                break;
            default:
                return Outcome::Stall;
            }
            actual = copyOut(data, setup.wLength, s);
            return Outcome::Ok;
        }
        return Outcome::Stall;
    }
    case kSetAddress:
        return (!in && recipient == kRecipientDevice) ? Outcome::Ok : Outcome::Stall;
    case kGetConfiguration: {
        if (!in || recipient != kRecipientDevice) {
            return Outcome::Stall;
        }
        std::uint8_t c = configuration_;
        actual = copyOut(data, setup.wLength, std::span<const std::uint8_t>(&c, 1));
        return Outcome::Ok;
    }
    case kSetConfiguration:
        if (in || recipient != kRecipientDevice || setup.wValue > 1) {
            return Outcome::Stall;
        }
        configuration_ = static_cast<std::uint8_t>(setup.wValue);
        haltedEps_.clear();
        txAccum_.clear();
        txOverflowing_ = false;
        return Outcome::Ok;
    case kGetInterface: {
        if (!in || recipient != kRecipientInterface || configuration_ == 0 || setup.wIndex != 0) {
            return Outcome::Stall;
        }
        std::uint8_t alt = 0;
        actual = copyOut(data, setup.wLength, std::span<const std::uint8_t>(&alt, 1));
        return Outcome::Ok;
    }
    case kSetInterface:
        if (in || recipient != kRecipientInterface || configuration_ == 0 || setup.wIndex != 0 ||
            setup.wValue != 0) {
            return Outcome::Stall;
        }
        haltedEps_.clear();
        return Outcome::Ok;
    case kGetStatus: {
        if (!in) {
            return Outcome::Stall;
        }
        std::uint8_t status[2] = {0, 0};
        if (recipient == kRecipientDevice) {
            status[0] = remoteWakeup_ ? 0x02 : 0x00; // bus powered
        } else if (recipient == kRecipientInterface) {
            if (setup.wIndex != 0) {
                return Outcome::Stall;
            }
        } else if (recipient == kRecipientEndpoint) {
            std::uint8_t ep = static_cast<std::uint8_t>(setup.wIndex);
            if ((ep & 0x7F) != 0 && !endpointDeclared(ep)) {
                return Outcome::Stall;
            }
            status[0] = halted(ep) ? 1 : 0;
        } else {
            return Outcome::Stall;
        }
        actual = copyOut(data, setup.wLength, status);
        return Outcome::Ok;
    }
    case kClearFeature:
    case kSetFeature: {
        if (in) {
            return Outcome::Stall;
        }
        bool set = setup.bRequest == kSetFeature;
        if (recipient == kRecipientDevice && setup.wValue == kFeatureRemoteWakeup) {
            if (!identity_.remoteWakeupCapable) {
                return Outcome::Stall;
            }
            remoteWakeup_ = set;
            return Outcome::Ok;
        }
        if (recipient == kRecipientEndpoint && setup.wValue == kFeatureEndpointHalt) {
            std::uint8_t ep = static_cast<std::uint8_t>(setup.wIndex);
            if ((ep & 0x7F) == 0) {
                return Outcome::Ok;
            }
            if (!endpointDeclared(ep)) {
                return Outcome::Stall;
            }
            std::erase(haltedEps_, ep);
            if (set) {
                haltedEps_.push_back(ep);
            } else if (ep == bulkOutEp_) {
                // Clearing the halt resets the endpoint: a half-received transfer is gone.
                txAccum_.clear();
                txOverflowing_ = false;
            }
            return Outcome::Ok;
        }
        return Outcome::Stall;
    }
    default:
        return Outcome::Stall;
    }
}

Outcome Kt735Device::vendorRequest(const SetupPacket& setup, std::span<std::uint8_t> data,
                                   std::size_t& actual) {
    const bool read = setup.bRequest == kVendorRead && setup.isIn();
    const bool write = setup.bRequest == kVendorWrite && !setup.isIn();
    if (!read && !write) {
        return Outcome::Stall;
    }
    // The register address counter is 8 bits wide: wIndex's high byte is not decoded and a run
    // past 0xFF wraps to 0x00.
    const std::uint8_t first = static_cast<std::uint8_t>(setup.wIndex & 0xFF);
    const std::size_t count = std::min(data.size(), static_cast<std::size_t>(setup.wLength));

    RegisterAccess rec{clock_.now(), write, setup.wIndex, setup.wValue, {}, Outcome::Ok};
    for (auto it = registerFaults_.begin(); it != registerFaults_.end(); ++it) {
        if ((it->kind == AccessKind::Read && !read) || (it->kind == AccessKind::Write && !write)) {
            continue;
        }
        bool hit = it->covering ? static_cast<std::uint8_t>(it->index - first) <
                                      std::max<std::size_t>(count, 1)
                                : it->index == first;
        if (hit) {
            rec.outcome = it->outcome == Outcome::Ok ? Outcome::Stall : it->outcome;
            registerFaults_.erase(it);
            if (write) {
                rec.bytes.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
            }
            registerLog_.push_back(rec);
            return rec.outcome;
        }
    }

    if (read) {
        for (std::size_t i = 0; i < count; ++i) {
            data[i] = regs_[static_cast<std::uint8_t>(first + i)];
        }
        actual = count;
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            writeRegister(static_cast<std::uint8_t>(first + i), data[i]);
        }
    }
    rec.bytes.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    registerLog_.push_back(std::move(rec));
    return Outcome::Ok;
}

// --- Register file --------------------------------------------------------------------------

void Kt735Device::writeRegister(std::uint8_t index, std::uint8_t value) {
    switch (index) {
    case reg::kEepromControl:
        // The done bit belongs to the chip; a host write clears it.
        regs_[index] = static_cast<std::uint8_t>(value & ~bits::kEepromDone);
        if (value & bits::kEepromRead) {
            startEepromRead();
        }
        return;
    case reg::kMiiControl:
        regs_[index] = static_cast<std::uint8_t>(value & ~bits::kMiiDone);
        if (value & (bits::kMiiRead | bits::kMiiWrite)) {
            startMiiCommand(value);
        }
        return;
    case reg::kRevision:
        return; // read-only
    default:
        regs_[index] = value;
        return;
    }
}

void Kt735Device::startEepromRead() {
    std::uint8_t address = regs_[reg::kEepromAddress];
    eepromTimer_.start(eepromDelay_, [this, address] {
        std::uint16_t word = eeprom_[address % kEepromWords];
        regs_[reg::kEepromData] = static_cast<std::uint8_t>(word & 0xFF);
        regs_[reg::kEepromData + 1] = static_cast<std::uint8_t>(word >> 8);
        regs_[reg::kEepromControl] |= bits::kEepromDone;
    });
}

Phy* Kt735Device::phyAt(std::uint8_t address) {
    switch (address & 0x1F) {
    case 1:
        return &ethernetPhy_;
    case 2:
        return &phonePhy_;
    default:
        return nullptr;
    }
}

void Kt735Device::startMiiCommand(std::uint8_t command) {
    // The management frame is sent with the address and data latched when the command is
    // written; a new command abandons one still running.
    std::uint8_t address = regs_[reg::kMiiPhyAddress];
    std::uint8_t phyReg = command & 0x1F;
    bool isRead = (command & bits::kMiiRead) != 0;
    std::uint16_t value =
        static_cast<std::uint16_t>(regs_[reg::kMiiData] | (regs_[reg::kMiiData + 1] << 8));
    miiTimer_.start(miiDelay_, [this, address, phyReg, isRead, value] {
        Phy* phy = phyAt(address);
        if (isRead) {
            // Nobody drives MDIO for an empty address: the pull-up reads as all ones.
            std::uint16_t v = phy != nullptr ? phy->read(phyReg) : 0xFFFF;
            regs_[reg::kMiiData] = static_cast<std::uint8_t>(v & 0xFF);
            regs_[reg::kMiiData + 1] = static_cast<std::uint8_t>(v >> 8);
        } else if (phy != nullptr) {
            phy->write(phyReg, value);
        }
        regs_[reg::kMiiControl] |= bits::kMiiDone;
    });
}

// --- Transmit -------------------------------------------------------------------------------

Outcome Kt735Device::bulkOut(std::uint8_t ep, std::span<const std::uint8_t> data) {
    const EndpointDescriptor* desc = endpoint(ep);
    if (configuration_ == 0 || desc == nullptr || (ep & 0x80) != 0) {
        return Outcome::Stall;
    }
    if (halted(ep)) {
        return Outcome::Stall;
    }
    if (auto fault = takeBulkFault(ep)) {
        return *fault == Outcome::Ok ? Outcome::Stall : *fault;
    }
    if (ep != bulkOutEp_) {
        return Outcome::Ok; // an endpoint with nothing behind it swallows the data
    }
    ++counters_.bulkOutTransfers;
    if (data.empty()) {
        ++counters_.zeroLengthTransfers;
    }
    // The chip sees packets: a transfer ends with a short (or zero-length) packet. A transfer
    // that is a whole number of full packets stays open and runs on into the next one.
    std::size_t maxPacket = desc->maxPacket != 0 ? desc->maxPacket : 64;
    bool ends = data.empty() || (data.size() % maxPacket) != 0;
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

void Kt735Device::transmit(const std::vector<std::uint8_t>& transfer) {
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
    Phy& phy = medium == Medium::Ethernet ? static_cast<Phy&>(ethernetPhy_) : phonePhy_;
    if (!phy.carriesFrames()) {
        ++counters_.txDroppedNoLink;
        return;
    }
    // Everything after the frame (the padding to 60 and any further bytes) is ignored. The
    // chip's transmit buffer keeps its capacity from frame to frame.
    std::vector<std::uint8_t>& frame = txFrame_;
    frame.assign(transfer.begin() + 2, transfer.begin() + 2 + static_cast<std::ptrdiff_t>(length));
    if (autoPad_ && frame.size() < kMinFrame) {
        frame.resize(kMinFrame, 0);
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
    if (regs_[reg::kControl2] & bits::kControl2Promiscuous) {
        return true;
    }
    auto dest = frame.first(6);
    if (std::equal(dest.begin(), dest.end(), regs_.begin() + reg::kStation)) {
        return true;
    }
    if (std::all_of(dest.begin(), dest.end(), [](std::uint8_t b) { return b == 0xFF; })) {
        return true;
    }
    if (dest[0] & 0x01) {
        if (regs_[reg::kControl0] & bits::kControl0AllMulticast) {
            return true;
        }
        // 64-bit hash: the top six bits of the destination's frame check sequence.
        unsigned bit = crc32Ethernet(dest) >> 26;
        return (regs_[reg::kMulticast + bit / 8] >> (bit % 8)) & 1;
    }
    return false;
}

bool Kt735Device::receiveFromWire(Medium medium, const WireFrame& wf) {
    Phy& phy = medium == Medium::Ethernet ? static_cast<Phy&>(ethernetPhy_) : phonePhy_;
    if (!phy.carriesFrames() || activeMedium() != medium) {
        return false;
    }
    const auto& frame = wf.bytes;
    ++counters_.rxFromWire;
    if (frame.size() < 6) {
        ++counters_.rxRunt;
        return true;
    }
    checkWake(frame);
    if ((regs_[reg::kControl0] & bits::kControl0RxEnable) == 0) {
        ++counters_.rxDroppedDisabled;
        return true;
    }
    if (!addressed(frame)) {
        ++counters_.rxFiltered;
        return true;
    }
    if (frame.size() + kTrailer > kMaxBulkIn) {
        ++counters_.rxOversize;
        return true;
    }
    std::size_t queued = static_cast<std::size_t>(
        std::count_if(rxFifo_.begin(), rxFifo_.end(), [](const RxEntry& e) { return !e.raw; }));
    if (queued >= rxFifoFrames_) {
        ++counters_.rxOverflow;
        return true;
    }
    // Transfer: the frame, its four FCS bytes, two reserved bytes, the status word. The buffer
    // comes from the FIFO's spare buffers when one is left from a delivered transfer.
    std::vector<std::uint8_t> t;
    if (!rxSpare_.empty()) {
        t = std::move(rxSpare_.back());
        rxSpare_.pop_back();
    }
    t.assign(frame.begin(), frame.end());
    std::uint32_t fcs = crc32Ethernet(frame);
    if (wf.status & 0x08) {
        fcs = ~fcs;
    }
    for (int i = 0; i < 4; ++i) {
        t.push_back(static_cast<std::uint8_t>(fcs >> (8 * i)));
    }
    t.insert(t.end(), {0, 0, static_cast<std::uint8_t>(wf.status & 0xFF),
                       static_cast<std::uint8_t>(wf.status >> 8)});
    rxFifo_.push_back(RxEntry{std::move(t), false});
    kickBulkIn();
    return true;
}

void Kt735Device::injectBulkIn(std::vector<std::uint8_t> transfer) {
    rxFifo_.push_back(RxEntry{std::move(transfer), true});
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
void Kt735Device::kickBulkIn() {
    while (clock_.port != nullptr && !rxFifo_.empty() && bulkInEp_ != 0 && !halted(bulkInEp_) &&
           clock_.port->pendingIn(bulkInEp_) != 0) {
        RxEntry entry = std::move(rxFifo_.front());
        rxFifo_.pop_front();
        ++counters_.bulkInTransfers;
        clock_.port->completeIn(bulkInEp_, entry.bytes);
        if (rxSpare_.size() < rxFifoFrames_) {
            rxSpare_.push_back(std::move(entry.bytes));
        }
    }
}

void Kt735Device::inPosted(const InRequest& request) {
    if (clock_.port == nullptr) {
        return;
    }
    std::uint8_t ep = request.endpoint;
    if (configuration_ == 0 || !endpointDeclared(ep) || (ep & 0x80) == 0 || halted(ep)) {
        clock_.port->completeIn(ep, {}, Outcome::Stall);
        return;
    }
    if (auto fault = takeBulkFault(ep)) {
        clock_.port->completeIn(ep, {}, *fault == Outcome::Ok ? Outcome::Stall : *fault);
        return;
    }
    if (ep == bulkInEp_) {
        kickBulkIn();
    } else if (ep == interruptEp_ && !interruptData_.empty()) {
        auto d = std::move(interruptData_.front());
        interruptData_.pop_front();
        clock_.port->completeIn(ep, d);
    }
}

// --- Wake-up --------------------------------------------------------------------------------

bool Kt735Device::magicPacket(std::span<const std::uint8_t> frame) const {
    // Six bytes of 0xFF followed by sixteen copies of the station address, anywhere.
    const std::size_t need = 6 + 16 * 6;
    if (frame.size() < need) {
        return false;
    }
    for (std::size_t start = 0; start + need <= frame.size(); ++start) {
        bool ok = std::all_of(frame.begin() + static_cast<std::ptrdiff_t>(start),
                              frame.begin() + static_cast<std::ptrdiff_t>(start + 6),
                              [](std::uint8_t b) { return b == 0xFF; });
        for (std::size_t rep = 0; ok && rep < 16; ++rep) {
            ok = std::equal(regs_.begin() + reg::kStation, regs_.begin() + reg::kStation + 6,
                            frame.begin() + static_cast<std::ptrdiff_t>(start + 6 + 6 * rep));
        }
        if (ok) {
            return true;
        }
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
    if (!remoteWakeup_ || !addressed(frame)) {
        return;
    }
    std::uint8_t wc = regs_[reg::kWakeControl];
    if ((wc & bits::kWakeMagic) && magicPacket(frame)) {
        raiseWake(WakeReason::Magic);
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
