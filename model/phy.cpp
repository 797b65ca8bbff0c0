#include "phy.h"

namespace kt735::model {

using namespace mii;

void Phy::bindClock(Clock* clock) {
    clock_ = clock;
}

void Phy::record(std::uint8_t reg, std::uint16_t value, std::uint8_t page) {
    writes_.push_back(MiiWrite{clock_ != nullptr ? clock_->now() : 0, reg, value, page});
}

void Phy::notifyLink(bool up) {
    if (onLink_) {
        onLink_(up);
    }
}

// --- Ethernet PHY ---------------------------------------------------------------------------

namespace {
// Power-up strap: negotiation enabled, 100 Mbit/s full duplex when forced.
constexpr std::uint16_t kControlDefault = kControlSpeed100 | kControlAnEnable | kControlFullDuplex;
// 10/100 half and full duplex, IEEE 802.3 selector.
constexpr std::uint16_t kAdvertisementDefault = 0x01E1;
// 100BASE-TX full/half, 10BASE-T full/half, negotiation ability, extended capability.
constexpr std::uint16_t kStatusBase = 0x7809;
} // namespace

EthernetPhy::EthernetPhy(EthernetSegment& wire) : wire_(wire) {
    wire_.setChangeListener([this] { wireChanged(); });
    control_ = kControlDefault;
    advertisement_ = kAdvertisementDefault;
}

void EthernetPhy::setIdentifier(std::uint16_t id1, std::uint16_t id2) {
    id1_ = id1;
    id2_ = id2;
}

void EthernetPhy::powerUp() {
    control_ = kControlDefault;
    advertisement_ = kAdvertisementDefault;
    other_.fill(0);
    partner_ = 0;
    anComplete_ = false;
    latchedLow_ = true;
    restart();
}

void EthernetPhy::stop() {
    timer_.cancel();
    link_ = false;
    resolved_ = 0;
}

std::uint16_t EthernetPhy::peek(std::uint8_t reg) const {
    if (absent_) {
        return *absent_;
    }
    switch (reg & 0x1F) {
    case 0:
        return control_;
    case 1:
        return static_cast<std::uint16_t>(kStatusBase | (anComplete_ ? kStatusAnComplete : 0) |
                                          (link_ && !latchedLow_ ? kStatusLink : 0));
    case 2:
        return id1_;
    case 3:
        return id2_;
    case 4:
        return advertisement_;
    case 5:
        return partner_;
    default:
        return other_[reg & 0x1F];
    }
}

std::uint16_t EthernetPhy::read(std::uint8_t reg) {
    std::uint16_t value = peek(reg);
    if (!absent_ && (reg & 0x1F) == 1) {
        // Reading the status register releases the latched-low link bit.
        latchedLow_ = false;
    }
    return value;
}

void EthernetPhy::write(std::uint8_t reg, std::uint16_t value) {
    if (absent_) {
        return;
    }
    reg &= 0x1F;
    record(reg, value);
    switch (reg) {
    case 0: {
        if (value & kControlReset) {
            // Self-clearing reset: registers to their power-up values, negotiation restarts.
            control_ = kControlDefault;
            advertisement_ = kAdvertisementDefault;
            other_.fill(0);
            restart();
            return;
        }
        std::uint16_t old = control_;
        control_ = static_cast<std::uint16_t>(value & ~kControlAnRestart);
        bool anNow = (control_ & kControlAnEnable) != 0;
        bool anWas = (old & kControlAnEnable) != 0;
        bool powerChange = ((old ^ control_) & kControlPowerDown) != 0;
        if (powerChange || (anNow && (!anWas || (value & kControlAnRestart))) ||
            (!anNow && (anWas || ((old ^ control_) & (kControlSpeed100 | kControlFullDuplex))))) {
            restart();
        }
        return;
    }
    case 1:
    case 2:
    case 3:
    case 5:
        return; // read-only
    case 4:
        advertisement_ = value;
        return;
    default:
        other_[reg] = value;
        return;
    }
}

void EthernetPhy::linkDown() {
    resolved_ = 0;
    if (link_) {
        link_ = false;
        latchedLow_ = true;
        notifyLink(false);
    }
}

void EthernetPhy::restart() {
    timer_.bind(clock_);
    timer_.cancel();
    linkDown();
    anComplete_ = false;
    if (!wire_.plugged() || wire_.partnerAbility() == 0) {
        // Nobody at the other end: no pages, no link. The partner register empties.
        partner_ = 0;
        return;
    }
    if (control_ & kControlPowerDown) {
        return;
    }
    if (control_ & kControlAnEnable) {
        timer_.start(negotiationTime_, [this] { negotiationDone(); });
    } else {
        timer_.start(forcedLinkTime_, [this] { forcedLinkUp(); });
    }
}

void EthernetPhy::wireChanged() {
    if (!wire_.plugged()) {
        timer_.cancel();
        linkDown();
        anComplete_ = false;
        partner_ = 0;
        return;
    }
    // Plugging in, or the partner changed what it offers: it renegotiates, which breaks the
    // link on our side too.
    restart();
}

void EthernetPhy::negotiationDone() {
    std::uint16_t offered = wire_.partnerAbility();
    if (!wire_.plugged() || offered == 0) {
        partner_ = 0;
        return;
    }
    partner_ = offered;
    std::uint16_t common = advertisement_ & offered & kAbilityTechnology;
    if (common == 0) {
        // No common technology: the arbitration ends without a link.
        return;
    }
    // Clause 28 priority: 100BASE-TX full, 100BASE-TX half, 10BASE-T full, 10BASE-T half.
    for (std::uint16_t bit : {kAbility100Full, kAbility100Half, kAbility10Full, kAbility10Half}) {
        if (common & bit) {
            resolved_ = bit;
            break;
        }
    }
    anComplete_ = true;
    link_ = true;
    notifyLink(true);
}

void EthernetPhy::forcedLinkUp() {
    // The partner finds our forced signalling by parallel detection: it links at half duplex
    // if it can run that speed at all. No pages are exchanged.
    std::uint16_t offered = wire_.partnerAbility();
    bool is100 = (control_ & kControlSpeed100) != 0;
    std::uint16_t need =
        is100 ? (kAbility100Half | kAbility100Full) : (kAbility10Half | kAbility10Full);
    partner_ = 0;
    if (!wire_.plugged() || (offered & need) == 0) {
        return;
    }
    resolved_ = is100 ? ((control_ & kControlFullDuplex) ? kAbility100Full : kAbility100Half)
                      : ((control_ & kControlFullDuplex) ? kAbility10Full : kAbility10Half);
    link_ = true;
    notifyLink(true);
}

// --- Phone-line PHY -------------------------------------------------------------------------

PhoneLinePhy::PhoneLinePhy(PhoneLineSegment& wire) : wire_(wire) {
    wire_.setChangeListener([this] { update(); });
}

void PhoneLinePhy::powerUp() {
    control_ = 0;
    for (auto& page : pages_) {
        page.fill(0);
    }
    latchedLow_ = true;
    link_ = false;
    update();
}

void PhoneLinePhy::update() {
    bool up = present() && wire_.carrier() && (control_ & kControlPowerDown) == 0;
    if (up == link_) {
        return;
    }
    link_ = up;
    if (!up) {
        latchedLow_ = true;
    }
    notifyLink(up);
}

std::uint16_t PhoneLinePhy::peekPaged(std::uint8_t page, std::uint8_t reg) const {
    return pages_[page & 1][reg & 0x1F];
}

std::uint16_t PhoneLinePhy::peek(std::uint8_t reg) const {
    if (absent_) {
        return *absent_;
    }
    reg &= 0x1F;
    switch (reg) {
    case 0:
        return control_;
    case 1: {
        bool shown = link_ && !(latching_ && latchedLow_);
        return shown ? kStatusLink : 0;
    }
    case 2:
        return id1_;
    case 3:
        return id2_;
    case 0x1F:
        return pages_[0][0x1F];
    default:
        return pages_[pages_[0][0x1F] & 1][reg];
    }
}

std::uint16_t PhoneLinePhy::read(std::uint8_t reg) {
    std::uint16_t value = peek(reg);
    if (!absent_ && (reg & 0x1F) == 1) {
        latchedLow_ = false;
    }
    return value;
}

void PhoneLinePhy::write(std::uint8_t reg, std::uint16_t value) {
    if (absent_) {
        return;
    }
    reg &= 0x1F;
    std::uint8_t page = static_cast<std::uint8_t>(pages_[0][0x1F] & 1);
    record(reg, value, reg == 0x1F ? 0 : page);
    switch (reg) {
    case 0:
        if (value & kControlReset) {
            // Self-clearing reset: control and vendor registers back to power-up values.
            control_ = 0;
            for (auto& p : pages_) {
                p.fill(0);
            }
        } else {
            control_ = value;
        }
        update();
        return;
    case 1:
    case 2:
    case 3:
        return;
    case 0x1F:
        pages_[0][0x1F] = value;
        return;
    default:
        pages_[page][reg] = value;
        return;
    }
}

} // namespace kt735::model
