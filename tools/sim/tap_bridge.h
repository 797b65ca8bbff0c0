// kt735sim's TAP mode: two Linux interfaces joined to the run. HOST_IF stands for the protocol
// stack above NDIS (what Linux sends on it goes to MiniportSend, what the driver indicates is
// written to it); PEER_IF stands for the station at the far end of the active wire.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <host/ndis.h>
#include <kt735_device.h>

#include "realtime.h"
#include "tap.h"

namespace kt735sim {

class TapBridge {
  public:
    struct Counts {
        std::uint64_t hostRead = 0;     // frames Linux sent on HOST_IF
        std::uint64_t hostOversize = 0; // of those, longer than 1514 bytes: dropped
        std::uint64_t hostRefused = 0;  // of those, refused by NDIS or the miniport
        std::uint64_t hostFiltered = 0; // indicated frames the binding's filter does not select
        std::uint64_t hostWritten = 0;  // indicated frames Linux took on HOST_IF
        std::uint64_t hostNotTaken = 0; // indicated frames Linux did not take (interface down)
        std::uint64_t peerRead = 0;     // frames Linux sent on PEER_IF, onto the wire
        std::uint64_t peerWritten = 0;  // frames the adapter put on the wire, out of PEER_IF
        std::uint64_t peerDropped = 0;  // of those, dropped: the wire's queue was full
    };
    // Passes a frame from HOST_IF to NDIS; returns what MiniportSend returned.
    using Send = std::function<NDIS_STATUS(std::span<const std::uint8_t>)>;
    // A line for the run's timeline.
    using Note = std::function<void(const std::string&)>;

    TapBridge(Tap host, Tap peer, kt735::model::Kt735Device& device, host::Scheduler& scheduler,
              Send send, Note note);
    ~TapBridge();
    TapBridge(const TapBridge&) = delete;
    TapBridge& operator=(const TapBridge&) = delete;

    // Binds as Windows TCP/IP would once the adapter is initialized: HOST_IF takes the adapter's
    // current address, MTU 1500 and its carrier from the media connect status; the packet
    // filter and the multicast list are set. Then both interfaces are watched by `loop`.
    void bind(host::ndis::Adapter& adapter, RealTimeLoop& loop);
    // What the driver indicated: a received frame, a status.
    void indicated(std::span<const std::uint8_t> frame);
    void status(NDIS_STATUS status);

    const Counts& counts() const { return counts_; }
    const std::string& hostName() const { return host_.name(); }
    const std::string& peerName() const { return peer_.name(); }

  private:
    bool selected(std::span<const std::uint8_t> frame) const;
    void fromHost();
    void fromPeer();
    void toPeer(std::span<const std::uint8_t> frame);
    void keepCurrent();
    void applyMulticast(const std::optional<std::vector<Tap::Address>>& groups);
    host::Time frameTime(std::size_t bytes) const;

    Tap host_;
    Tap peer_;
    kt735::model::WirePeer* outs_[2] = {}; // on the Ethernet and phone-line wires
    kt735::model::Kt735Device& device_;
    host::Scheduler& scheduler_;
    Send send_;
    Note note_;
    host::ndis::Adapter* adapter_ = nullptr;
    Counts counts_;
    std::vector<std::uint8_t> buffer_;
    std::size_t toAdapterQueued_ = 0;
    host::Time toAdapterFree_ = 0;
    std::size_t fromAdapterQueued_ = 0;
    host::Time fromAdapterFree_ = 0;
    std::optional<bool> peerCarrier_;
    ULONG maxListSize_ = 0;
    Tap::Address address_{};
    bool multicastApplied_ = false;
    bool allMulticast_ = true;
    std::optional<std::vector<Tap::Address>> groups_; // as set; nullopt: all multicast
};

} // namespace kt735sim
