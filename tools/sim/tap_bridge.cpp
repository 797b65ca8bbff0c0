#include "tap_bridge.h"

#include <algorithm>
#include <cstdio>

#include "format.h"

namespace kt735sim {

namespace {

using kt735::model::Direction;
using kt735::model::Medium;
using kt735::model::Segment;
using kt735::model::WireFrame;
using kt735::model::WirePeer;

// The longest frame HOST_IF's MTU of 1500 allows: header and payload, without the FCS.
constexpr std::size_t kMaxFrame = 1514;
// Frames in flight on the wire each way: a peer sending faster than the wire waits in the
// kernel beyond this; frames the adapter sends faster than the wire carries are dropped.
constexpr std::size_t kWireQueue = 64;
// Sends NDIS holds in the miniport at most before HOST_IF's input is left in the kernel.
constexpr std::size_t kSendsOutstanding = 1024;
// Frames taken from one interface at a time, so that the other and the clock are not starved.
constexpr int kBatch = 64;

constexpr ULONG kFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;

// Hands the frames the adapter puts on a wire to the bridge.
class WireOut : public WirePeer {
  public:
    explicit WireOut(std::function<void(std::span<const std::uint8_t>)> out)
        : out_(std::move(out)) {}
    void onFrame(Segment&, const WireFrame& frame) override {
        if (frame.direction == Direction::FromAdapter) {
            out_(frame.bytes);
        }
    }

  private:
    std::function<void(std::span<const std::uint8_t>)> out_;
};

} // namespace

TapBridge::TapBridge(Tap host, Tap peer, kt735::model::Kt735Device& device,
                     host::Scheduler& scheduler, Send send, Note note)
    : host_(std::move(host)), peer_(std::move(peer)), device_(device), scheduler_(scheduler),
      send_(std::move(send)), note_(std::move(note)) {
    auto out = [this](std::span<const std::uint8_t> frame) { toPeer(frame); };
    outs_[0] = &device_.ethernet().attach<WireOut>(out);
    outs_[1] = &device_.phoneLine().attach<WireOut>(out);
}

TapBridge::~TapBridge() {
    device_.ethernet().detach(*outs_[0]);
    device_.phoneLine().detach(*outs_[1]);
}

// How long the active wire takes to carry a frame of `bytes` (preamble, padding to the
// minimum, FCS and the gap after it included), in 100 ns units.
host::Time TapBridge::frameTime(std::size_t bytes) const {
    host::Time bits = static_cast<host::Time>(std::max<std::size_t>(bytes, 60) + 24) * 8;
    if (device_.activeMedium() == Medium::PhoneLine) {
        return bits * 10; // 1 Mbit/s
    }
    bool fast =
        (device_.reg(kt735::model::reg::kControl1) & kt735::model::bits::kControl1Speed100) != 0;
    return fast ? bits / 10 : bits;
}

void TapBridge::bind(host::ndis::Adapter& adapter, RealTimeLoop& loop) {
    adapter_ = &adapter;
    host::ndis::Adapter::Request address = adapter.query(OID_802_3_CURRENT_ADDRESS, 6);
    if (address.status == NDIS_STATUS_SUCCESS && address.data.size() >= 6) {
        std::copy_n(address.data.begin(), 6, address_.begin());
        host_.setAddress(address_);
    }
    host_.setMtuAndUp(1500);
    peer_.setMtuAndUp(1500);
    adapter.queryUlong(OID_802_3_MAXIMUM_LIST_SIZE, maxListSize_);
    ULONG connect = NdisMediaStateDisconnected;
    adapter.queryUlong(OID_GEN_MEDIA_CONNECT_STATUS, connect);
    host_.setCarrier(connect == NdisMediaStateConnected);
    note_("tap: " + host_.name() + " is the protocol above NDIS, address " +
          macText(address_.data()) + ", carrier " +
          (connect == NdisMediaStateConnected ? "on" : "off"));
    note_("tap: " + peer_.name() + " is the station on the active wire; real time from here");
    keepCurrent();
    loop.watch(
        host_.fd(), [this] { return adapter_->running() && !adapter_->resetInProgress(); },
        [this] { fromHost(); });
    loop.watch(
        peer_.fd(), [this] { return toAdapterQueued_ < kWireQueue; }, [this] { fromPeer(); });
    loop.every(std::chrono::milliseconds(100), [this] { keepCurrent(); });
}

void TapBridge::fromHost() {
    std::size_t outstanding = adapter_->sendsOutstanding();
    for (int i = 0; i < kBatch && outstanding < kSendsOutstanding; i++) {
        std::span<const std::uint8_t> frame = host_.read(buffer_);
        if (frame.empty()) {
            return;
        }
        counts_.hostRead++;
        if (frame.size() > kMaxFrame) {
            counts_.hostOversize++;
            continue;
        }
        NDIS_STATUS status = send_(frame);
        if (status == NDIS_STATUS_PENDING) {
            outstanding++;
        } else if (status != NDIS_STATUS_SUCCESS) {
            counts_.hostRefused++;
        }
    }
}

// A frame from the peer goes on the active wire once the wire has carried the ones before it.
void TapBridge::fromPeer() {
    for (int i = 0; i < kBatch && toAdapterQueued_ < kWireQueue; i++) {
        std::span<const std::uint8_t> frame = peer_.read(buffer_);
        if (frame.empty()) {
            return;
        }
        counts_.peerRead++;
        toAdapterFree_ = std::max(toAdapterFree_, scheduler_.now()) + frameTime(frame.size());
        toAdapterQueued_++;
        scheduler_.at(
            toAdapterFree_,
            [this, bytes = std::vector<std::uint8_t>(frame.begin(), frame.end())] {
                toAdapterQueued_--;
                Segment& wire = device_.activeMedium() == Medium::PhoneLine
                                    ? static_cast<Segment&>(device_.phoneLine())
                                    : device_.ethernet();
                wire.sendToAdapter(bytes);
            },
            "kt735sim tap: frame from the peer");
    }
}

// A frame the adapter put on the wire reaches the peer once the wire has carried it.
void TapBridge::toPeer(std::span<const std::uint8_t> frame) {
    if (fromAdapterQueued_ >= kWireQueue) {
        counts_.peerDropped++;
        return;
    }
    fromAdapterFree_ = std::max(fromAdapterFree_, scheduler_.now()) + frameTime(frame.size());
    fromAdapterQueued_++;
    scheduler_.at(
        fromAdapterFree_,
        [this, bytes = std::vector<std::uint8_t>(frame.begin(), frame.end())] {
            fromAdapterQueued_--;
            counts_.peerWritten += peer_.write(bytes) ? 1 : 0;
        },
        "kt735sim tap: frame to the peer");
}

// NDIS hands a binding only the frames its packet filter and multicast list select, whatever
// the chip let through: its own address, broadcast, and the multicast groups it set.
bool TapBridge::selected(std::span<const std::uint8_t> frame) const {
    if (frame.size() < 6) {
        return false;
    }
    Tap::Address to;
    std::copy_n(frame.begin(), 6, to.begin());
    if (to == address_ || to == Tap::Address{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) {
        return true;
    }
    return (to[0] & 1) != 0 &&
           (allMulticast_ || std::find(groups_->begin(), groups_->end(), to) != groups_->end());
}

void TapBridge::indicated(std::span<const std::uint8_t> frame) {
    if (!selected(frame)) {
        counts_.hostFiltered++;
    } else if (host_.write(frame)) {
        counts_.hostWritten++;
    } else {
        counts_.hostNotTaken++;
    }
}

void TapBridge::status(NDIS_STATUS status) {
    if (status == NDIS_STATUS_MEDIA_CONNECT || status == NDIS_STATUS_MEDIA_DISCONNECT) {
        host_.setCarrier(status == NDIS_STATUS_MEDIA_CONNECT);
    }
}

// Every 100 ms: PEER_IF's carrier follows the active wire, and the multicast list follows the
// groups HOST_IF has joined.
void TapBridge::keepCurrent() {
    bool carrier = device_.activeMedium() == Medium::PhoneLine
                       ? device_.phoneLine().carrier()
                       : device_.ethernet().plugged() && device_.ethernet().partnerAbility() != 0;
    if (peerCarrier_ != carrier) {
        peerCarrier_ = carrier;
        peer_.setCarrier(carrier);
    }
    auto groups = host_.multicastGroups();
    if (groups) {
        std::sort(groups->begin(), groups->end());
    }
    if (adapter_->running() && !adapter_->resetInProgress() &&
        (!multicastApplied_ || groups != groups_)) {
        applyMulticast(groups);
    }
}

// The groups go in the multicast list; when they do not fit (or HOST_IF left kt735sim's
// namespace and its groups cannot be read) the filter takes all multicast frames instead.
void TapBridge::applyMulticast(const std::optional<std::vector<Tap::Address>>& groups) {
    bool all = !groups || groups->size() > maxListSize_;
    if (!all) {
        std::vector<std::uint8_t> list;
        for (const Tap::Address& a : *groups) {
            list.insert(list.end(), a.begin(), a.end());
        }
        all = adapter_->set(OID_802_3_MULTICAST_LIST, list).status != NDIS_STATUS_SUCCESS;
    }
    ULONG filter = kFilter | (all ? NDIS_PACKET_TYPE_ALL_MULTICAST : 0);
    std::vector<std::uint8_t> bytes(4);
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<std::uint8_t>(filter >> (8 * i));
    }
    NDIS_STATUS status = adapter_->set(OID_GEN_CURRENT_PACKET_FILTER, bytes).status;
    multicastApplied_ = true;
    groups_ = groups;
    allMulticast_ = all;
    char text[160];
    std::snprintf(text, sizeof(text), "tap: packet filter 0x%08lX, %s: %s",
                  static_cast<unsigned long>(filter),
                  all ? "all multicast"
                      : (std::to_string(groups->size()) + " multicast groups").c_str(),
                  status == NDIS_STATUS_SUCCESS ? "set" : "refused");
    note_(text);
}

} // namespace kt735sim
