// The KT735's face on USB: its device and configuration descriptors, the endpoints it declares
// and their halt state, and the control transfers it answers (the standard requests, and the
// vendor register read and write that reach the register file).
#include "kt735_device.h"

#include <algorithm>

namespace kt735::model {

namespace {

using namespace host::usb::ch9;

constexpr std::uint8_t kVendorRead = 0xF0;
constexpr std::uint8_t kVendorWrite = 0xF1;

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
    ++counters_.controlTransfers;
    ControlRecord rec{clock_.now(), setup, {}, Outcome::Ok};
    if (!setup.isIn() && logging_) {
        std::size_t n = std::min(data.size(), static_cast<std::size_t>(setup.wLength));
        rec.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    }

    Outcome outcome;
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
    if (outcome != Outcome::Ok) {
        actual = 0;
    }
    if (logging_) {
        if (setup.isIn()) {
            rec.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(actual));
        }
        rec.outcome = outcome;
        controlLog_.push_back(std::move(rec));
    }
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
    // One fault acts on a request; the others that match count it all the same. A fault that
    // has acted its times is dropped.
    bool acted = false;
    for (auto it = registerFaults_.begin(); it != registerFaults_.end();) {
        const RegisterFault& f = it->fault;
        bool matches =
            (f.access != AccessKind::Read || read) && (f.access != AccessKind::Write || write) &&
            (f.covering
                 ? static_cast<std::uint8_t>(f.index - first) < std::max<std::size_t>(count, 1)
                 : f.index == first);
        if (matches && it->count.take(f.nth, f.times, !acted)) {
            rec.outcome = f.outcome == Outcome::Ok ? Outcome::Stall : f.outcome;
            acted = true;
        }
        it = it->count.spent(f.times) ? registerFaults_.erase(it) : it + 1;
    }
    if (acted) {
        if (logging_) {
            if (write) {
                rec.bytes.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
            }
            registerLog_.push_back(rec);
        }
        return rec.outcome;
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
    if (logging_) {
        rec.bytes.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
        registerLog_.push_back(std::move(rec));
    }
    return Outcome::Ok;
}

} // namespace kt735::model
