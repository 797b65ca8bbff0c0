// The two PHYs on the KT735's MII management bus: an IEEE 802.3 10/100 PHY at address 1 and a
// phone-line network PHY at address 2.
#pragma once

#include "clock.h"
#include "wire.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kt735::model {

// Clause 22 register bits shared by both PHYs.
namespace mii {
constexpr std::uint16_t kControlReset = 0x8000;
constexpr std::uint16_t kControlSpeed100 = 0x2000;
constexpr std::uint16_t kControlAnEnable = 0x1000;
constexpr std::uint16_t kControlPowerDown = 0x0800;
constexpr std::uint16_t kControlIsolate = 0x0400;
constexpr std::uint16_t kControlAnRestart = 0x0200;
constexpr std::uint16_t kControlFullDuplex = 0x0100;
constexpr std::uint16_t kStatusAnComplete = 0x0020;
constexpr std::uint16_t kStatusLink = 0x0004;
constexpr std::uint16_t kAbility10Half = 0x0020;
constexpr std::uint16_t kAbility10Full = 0x0040;
constexpr std::uint16_t kAbility100Half = 0x0080;
constexpr std::uint16_t kAbility100Full = 0x0100;
constexpr std::uint16_t kAbilityTechnology = 0x01E0;
} // namespace mii

struct MiiWrite {
    Time time = 0;
    std::uint8_t reg = 0;
    std::uint16_t value = 0;
    std::uint8_t page = 0; // phone-line PHY: the register page (register 0x1F) at the time
};

class Phy {
  public:
    virtual ~Phy() = default;
    // Management frames as they arrive on MDIO. Reads may have side effects (latched bits).
    virtual std::uint16_t read(std::uint8_t reg) = 0;
    virtual void write(std::uint8_t reg, std::uint16_t value) = 0;
    // The register's current content, without side effects.
    virtual std::uint16_t peek(std::uint8_t reg) const = 0;
    virtual void powerUp() = 0;
    virtual void stop() = 0;
    // Whether the PHY passes frames between the MAC and its wire right now.
    virtual bool carriesFrames() const = 0;
    virtual bool link() const = 0;

    void bindClock(Clock* clock);
    void setLinkListener(std::function<void(bool)> listener) { onLink_ = std::move(listener); }
    const std::vector<MiiWrite>& writes() const { return writes_; }
    void clearWrites() { writes_.clear(); }

    // A PHY that is not fitted (or does not answer): every read returns `readValue` (0xFFFF is
    // the MDIO pull-up, 0x0000 a PHY held in reset) and writes are lost.
    void setAbsent(std::uint16_t readValue = 0xFFFF) { absent_ = readValue; }
    void setPresent() { absent_.reset(); }
    bool present() const { return !absent_.has_value(); }

  protected:
    void record(std::uint8_t reg, std::uint16_t value, std::uint8_t page = 0);
    void notifyLink(bool up);
    Clock* clock_ = nullptr;
    std::optional<std::uint16_t> absent_;

  private:
    std::function<void(bool)> onLink_;
    std::vector<MiiWrite> writes_;
};

// 10/100 PHY: clause 22 registers 0-5 and clause 28 auto-negotiation against the link partner
// at the other end of the Ethernet segment.
class EthernetPhy final : public Phy {
  public:
    static constexpr std::uint16_t kDefaultId1 = 0x0E7A;
    static constexpr std::uint16_t kDefaultId2 = 0x5C31;

    explicit EthernetPhy(EthernetSegment& wire);

    std::uint16_t read(std::uint8_t reg) override;
    void write(std::uint8_t reg, std::uint16_t value) override;
    std::uint16_t peek(std::uint8_t reg) const override;
    void powerUp() override;
    void stop() override;
    bool carriesFrames() const override {
        return !absent_ && link_ &&
               (control_ & (mii::kControlIsolate | mii::kControlPowerDown)) == 0;
    }
    bool link() const override { return link_; }

    void setIdentifier(std::uint16_t id1, std::uint16_t id2);
    // Time from (re)start of negotiation, or plugging the cable, to link.
    void setNegotiationTime(Time t) { negotiationTime_ = t; }
    Time negotiationTime() const { return negotiationTime_; }
    // Time for a forced-speed link (negotiation off) to come up.
    void setForcedLinkTime(Time t) { forcedLinkTime_ = t; }

    bool negotiating() const { return timer_.pending(); }
    // The technology the link runs at (one of the mii::kAbility bits), 0 without link.
    std::uint16_t resolved() const { return resolved_; }
    bool speed100() const {
        return (resolved_ & (mii::kAbility100Half | mii::kAbility100Full)) != 0;
    }
    bool fullDuplex() const {
        return (resolved_ & (mii::kAbility10Full | mii::kAbility100Full)) != 0;
    }

  private:
    void wireChanged();
    void restart();
    void linkDown();
    void negotiationDone();
    void forcedLinkUp();

    EthernetSegment& wire_;
    Timer timer_;
    Time negotiationTime_ = 100 * host::usb::kMillisecond;
    Time forcedLinkTime_ = 20 * host::usb::kMillisecond;
    std::uint16_t id1_ = kDefaultId1;
    std::uint16_t id2_ = kDefaultId2;
    std::uint16_t control_ = 0;
    std::uint16_t advertisement_ = 0;
    std::uint16_t partner_ = 0;
    std::array<std::uint16_t, 32> other_{};
    bool link_ = false;
    bool latchedLow_ = true;
    bool anComplete_ = false;
    std::uint16_t resolved_ = 0;
};

// Phone-line PHY: identifier in register 3 (the fitted variant), a status register whose link
// bit follows the phone line, a control register, and paged vendor registers (0x1F selects the
// page) that the chip only stores.
class PhoneLinePhy final : public Phy {
  public:
    static constexpr std::uint16_t kDefaultId1 = 0x0E7A;
    static constexpr std::uint16_t kDefaultId2 = 0x5C20;

    explicit PhoneLinePhy(PhoneLineSegment& wire);

    std::uint16_t read(std::uint8_t reg) override;
    void write(std::uint8_t reg, std::uint16_t value) override;
    std::uint16_t peek(std::uint8_t reg) const override;
    void powerUp() override;
    void stop() override {}
    bool carriesFrames() const override {
        return present() && link_ &&
               (control_ & (mii::kControlIsolate | mii::kControlPowerDown)) == 0;
    }
    bool link() const override { return link_; }

    void setIdentifier(std::uint16_t id2) { id2_ = id2; }
    void setIdentifier1(std::uint16_t id1) { id1_ = id1; }
    // Off by default: the status register shows the line as it is. On: the link bit latches
    // low after a loss until read, as clause 22 has it.
    void setLatchingLinkStatus(bool on) { latching_ = on; }
    // Register content of a page (0 or 1), without side effects.
    std::uint16_t peekPaged(std::uint8_t page, std::uint8_t reg) const;

  private:
    void update();

    PhoneLineSegment& wire_;
    std::uint16_t id1_ = kDefaultId1;
    std::uint16_t id2_ = kDefaultId2;
    std::uint16_t control_ = 0;
    std::array<std::array<std::uint16_t, 32>, 2> pages_{};
    bool link_ = false;
    bool latchedLow_ = true;
    bool latching_ = false;
};

} // namespace kt735::model
