// The KT735's core: its construction from a USB identity, power-up and attachment to a port,
// the EEPROM, the injected register faults, and the register file with its EEPROM and MII command
// windows.
#include "kt735_device.h"

#include <algorithm>

namespace kt735::model {

namespace {

// Chip revision shown at 0x7A.
constexpr std::uint8_t kRevisionValue = 0x02;

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
            bulkOutMaxPacket_ = ep.maxPacket != 0 ? ep.maxPacket : 64;
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
        [](void* self, std::span<const std::uint8_t> frame, std::uint16_t status) {
            return static_cast<Kt735Device*>(self)->receiveFromWire(Medium::Ethernet, frame,
                                                                    status);
        },
        this);
    phoneWire_.setAdapterSink(
        [](void* self, std::span<const std::uint8_t> frame, std::uint16_t status) {
            return static_cast<Kt735Device*>(self)->receiveFromWire(Medium::PhoneLine, frame,
                                                                    status);
        },
        this);
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

void Kt735Device::addFault(const RegisterFault& fault) {
    registerFaults_.push_back({fault, {}});
}

void Kt735Device::clearFaults() {
    registerFaults_.clear();
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

} // namespace kt735::model
