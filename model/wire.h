// The two media behind the adapter: an Ethernet segment (a cable to a link partner) and a
// phone-line segment. Each carries frames between the adapter's PHY and the peers attached to
// the segment: scripted stations, recorders and capture writers.
#pragma once

#include "clock.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kt735::model {

enum class Direction {
    FromAdapter, // transmitted by the KT735
    ToAdapter,   // sent by a station on the segment towards the KT735
};

struct WireFrame {
    Time time = 0;
    Direction direction = Direction::FromAdapter;
    std::vector<std::uint8_t> bytes;
    // For frames towards the adapter: the receive status the chip will report in the bulk-in
    // trailer (low byte 0x08: CRC error). Zero for a clean frame.
    std::uint16_t status = 0;
};

class Segment;

class WirePeer {
  public:
    virtual ~WirePeer() = default;
    // Every frame on the segment, in both directions.
    virtual void onFrame(Segment& segment, const WireFrame& frame) = 0;
    virtual void onLinkChange(Segment& /*segment*/, bool /*carrier*/) {}
};

class Segment {
  public:
    explicit Segment(std::string name) : name_(std::move(name)) {}
    virtual ~Segment() = default;
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    const std::string& name() const { return name_; }

    // Peers are owned by the segment and live as long as it does (or until detached).
    template <class T, class... Args>
    T& attach(Args&&... args) {
        auto peer = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *peer;
        peers_.push_back(std::move(peer));
        return ref;
    }
    void detach(WirePeer& peer);

    // The cable (or phone cord) between the adapter and the segment.
    void plug();
    void pull();
    bool plugged() const { return plugged_; }

    // A station on the segment sends a frame to the adapter. It reaches the adapter's PHY only
    // while the cord is plugged; the PHY decides whether it has the link to receive it.
    void sendToAdapter(std::span<const std::uint8_t> frame, std::uint16_t status = 0);
    void sendToAdapterAfter(Time delay, std::vector<std::uint8_t> frame, std::uint16_t status = 0);

    // Frames lost because the cord was out or the adapter's PHY could not take them.
    std::uint64_t framesLostToAdapter() const { return lostToAdapter_; }

    // --- Adapter side, used by the PHY of this medium ---------------------------------------
    void bindClock(Clock* clock) { clock_ = clock; }
    Time now() const { return clock_ != nullptr ? clock_->now() : 0; }
    // Where frames towards the adapter go: a plain function and its context, called with the
    // frame's bytes and receive status; it returns whether the adapter's PHY took the frame.
    using AdapterSink = bool (*)(void* context, std::span<const std::uint8_t> frame,
                                 std::uint16_t status);
    void setAdapterSink(AdapterSink sink, void* context) {
        sink_ = sink;
        sinkContext_ = context;
    }
    // Physical changes (cord, link partner) for the PHY to react to.
    void setChangeListener(std::function<void()> listener) { onChange_ = std::move(listener); }
    void transmitFromAdapter(std::span<const std::uint8_t> frame);
    // Drops frames still on their way to the adapter (the device left the bus).
    void cancelPending() {
        delayed_.clear();
        sweptSize_ = 0;
    }

  protected:
    void changed();

  private:
    void deliver(const WireFrame& frame);
    // Builds the frame the peers see and hands it to them (only called when there are peers).
    [[gnu::noinline]] void carry(Direction direction, std::span<const std::uint8_t> bytes,
                                 std::uint16_t status);

    std::string name_;
    std::vector<std::unique_ptr<WirePeer>> peers_;
    Clock* clock_ = nullptr;
    AdapterSink sink_ = nullptr;
    void* sinkContext_ = nullptr;
    std::function<void()> onChange_;
    bool plugged_ = false;
    std::uint64_t lostToAdapter_ = 0;
    std::vector<std::unique_ptr<Timer>> delayed_;
    std::size_t sweptSize_ = 0; // delayed_.size() after the last sweep of fired timers
    WireFrame carried_;
    bool carrying_ = false;
    std::vector<WirePeer*> peerList_;
    bool delivering_ = false;
};

// An Ethernet cable to a link partner that auto-negotiates with the clause 28 base page
// `partnerAbility` (e.g. 0x01E1 for 10/100 half and full). An ability of 0 means no partner.
class EthernetSegment : public Segment {
  public:
    EthernetSegment() : Segment("ethernet") {}
    void setPartnerAbility(std::uint16_t ability);
    std::uint16_t partnerAbility() const { return partnerAbility_; }

  private:
    std::uint16_t partnerAbility_ = 0x01E1;
};

// The phone-line network: a link exists while the cord is plugged into a line that carries
// other stations.
class PhoneLineSegment : public Segment {
  public:
    PhoneLineSegment() : Segment("phone-line") {}
    void setStationsPresent(bool present);
    bool stationsPresent() const { return stationsPresent_; }
    bool carrier() const { return plugged() && stationsPresent_; }

  private:
    bool stationsPresent_ = true;
};

// Keeps every frame seen on the segment.
class Recorder : public WirePeer {
  public:
    void onFrame(Segment&, const WireFrame& frame) override { frames_.push_back(frame); }
    const std::vector<WireFrame>& frames() const { return frames_; }
    std::vector<WireFrame> sentByAdapter() const;
    void clear() { frames_.clear(); }

  private:
    std::vector<WireFrame> frames_;
};

// Writes the traffic of several segments as one pcapng file: one Ethernet interface per segment,
// named after it, stamped with virtual time to 100 ns; each frame carries its direction
// (outbound: sent by the adapter). Attach the one writer to every segment it names.
class PcapngWriter : public WirePeer {
  public:
    PcapngWriter(const std::string& path, const std::vector<std::string>& segments,
                 const std::string& comment = {});
    void onFrame(Segment& segment, const WireFrame& frame) override;
    bool ok() const { return out_.good(); }

  private:
    std::ofstream out_;
    std::vector<std::string> segments_;
};

} // namespace kt735::model
