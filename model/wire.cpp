#include "wire.h"

#include <algorithm>
#include <cstring>

namespace kt735::model {

void Segment::detach(WirePeer& peer) {
    std::erase_if(peers_, [&](const auto& p) { return p.get() == &peer; });
}

void Segment::plug() {
    if (!plugged_) {
        plugged_ = true;
        changed();
    }
}

void Segment::pull() {
    if (plugged_) {
        plugged_ = false;
        changed();
    }
}

void Segment::changed() {
    if (onChange_) {
        onChange_();
    }
    bool carrier = plugged_;
    // Copy: a peer may attach or detach others from its callback.
    std::vector<WirePeer*> peers;
    for (auto& p : peers_) {
        peers.push_back(p.get());
    }
    for (auto* p : peers) {
        p->onLinkChange(*this, carrier);
    }
}

// Hands the frame to every peer attached when it went on the wire (a peer may attach or detach
// others meanwhile). The outermost delivery reuses one list; nested ones make their own.
void Segment::deliver(const WireFrame& frame) {
    std::vector<WirePeer*> nested;
    std::vector<WirePeer*>& peers = delivering_ ? nested : peerList_;
    bool outermost = !delivering_;
    delivering_ = true;
    peers.clear();
    for (auto& p : peers_) {
        peers.push_back(p.get());
    }
    for (auto* p : peers) {
        p->onFrame(*this, frame);
    }
    if (outermost) {
        delivering_ = false;
    }
}

// The frame the peers see is built in a buffer of the segment that keeps its capacity, so a
// stream of frames costs no allocation; a frame sent while another is being delivered gets its
// own.
void Segment::carry(Direction direction, std::span<const std::uint8_t> bytes,
                    std::uint16_t status) {
    WireFrame nested;
    WireFrame& frame = carrying_ ? nested : carried_;
    bool outermost = !carrying_;
    carrying_ = true;
    frame.time = now();
    frame.direction = direction;
    frame.bytes.assign(bytes.begin(), bytes.end());
    frame.status = status;
    deliver(frame);
    if (outermost) {
        carrying_ = false;
    }
}

// The adapter takes the frame from the caller's bytes; the peers, if any, see it too.
void Segment::sendToAdapter(std::span<const std::uint8_t> bytes, std::uint16_t status) {
    if (!(plugged_ && sink_ != nullptr && sink_(sinkContext_, bytes, status))) {
        ++lostToAdapter_;
    }
    if (!peers_.empty()) {
        carry(Direction::ToAdapter, bytes, status);
    }
}

void Segment::sendToAdapterAfter(Time delay, std::vector<std::uint8_t> frame,
                                 std::uint16_t status) {
    // Timers that fired are dropped when the list has doubled since the last sweep, so a burst
    // of n delayed frames costs O(n), not a rescan of every pending frame per frame.
    if (delayed_.size() >= 2 * sweptSize_ + 16) {
        std::erase_if(delayed_, [](const auto& t) { return !t->pending(); });
        sweptSize_ = delayed_.size();
    }
    if (clock_ == nullptr || !clock_->running()) {
        sendToAdapter(std::move(frame), status);
        return;
    }
    auto timer = std::make_unique<Timer>();
    timer->bind(clock_);
    timer->start(delay, [this, frame = std::move(frame), status]() mutable {
        sendToAdapter(std::move(frame), status);
    });
    delayed_.push_back(std::move(timer));
}

void Segment::transmitFromAdapter(std::span<const std::uint8_t> bytes) {
    if (!peers_.empty()) {
        carry(Direction::FromAdapter, bytes, 0);
    }
}

void EthernetSegment::setPartnerAbility(std::uint16_t ability) {
    if (ability != partnerAbility_) {
        partnerAbility_ = ability;
        changed();
    }
}

void PhoneLineSegment::setStationsPresent(bool present) {
    if (present != stationsPresent_) {
        stationsPresent_ = present;
        changed();
    }
}

std::vector<WireFrame> Recorder::sentByAdapter() const {
    std::vector<WireFrame> out;
    for (const auto& f : frames_) {
        if (f.direction == Direction::FromAdapter) {
            out.push_back(f);
        }
    }
    return out;
}

namespace {

// One pcapng option: code, length, value padded to four bytes.
void putOption(std::string& block, std::uint16_t code, std::string_view value) {
    auto put16s = [&](std::uint16_t v) {
        block += static_cast<char>(v & 0xFF);
        block += static_cast<char>(v >> 8);
    };
    put16s(code);
    put16s(static_cast<std::uint16_t>(value.size()));
    block += value;
    block.append((4 - value.size() % 4) % 4, '\0');
}

std::string le(std::uint64_t v, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; i++) {
        text += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    return text;
}

// A block: type, total length, body, total length again.
void putBlock(std::ofstream& out, std::uint32_t type, const std::string& body) {
    auto length = static_cast<std::uint32_t>(body.size() + 12);
    out << le(type, 4) << le(length, 4) << body << le(length, 4);
}

} // namespace

PcapngWriter::PcapngWriter(const std::string& path, const std::vector<std::string>& segments,
                           const std::string& comment)
    : out_(path, std::ios::binary | std::ios::trunc), segments_(segments) {
    std::string header = le(0x1A2B3C4D, 4) + le(1, 2) + le(0, 2) + le(~0ull, 8);
    if (!comment.empty()) {
        putOption(header, 1, comment); // opt_comment
    }
    putOption(header, 4, "KT735 model"); // shb_userappl
    putOption(header, 0, {});
    putBlock(out_, 0x0A0D0D0A, header);
    for (const std::string& name : segments_) {
        std::string idb = le(1, 2) + le(0, 2) + le(65535, 4); // LINKTYPE_ETHERNET
        putOption(idb, 2, name);                              // if_name
        putOption(idb, 9, std::string(1, '\x07'));            // if_tsresol: 100 ns
        putOption(idb, 0, {});
        putBlock(out_, 1, idb);
    }
    out_.flush();
}

void PcapngWriter::onFrame(Segment& segment, const WireFrame& frame) {
    auto it = std::find(segments_.begin(), segments_.end(), segment.name());
    if (it == segments_.end()) {
        return;
    }
    auto t = static_cast<std::uint64_t>(std::max<Time>(frame.time, 0)); // in 100 ns units
    auto length = static_cast<std::uint32_t>(frame.bytes.size());
    std::string epb = le(static_cast<std::uint32_t>(it - segments_.begin()), 4) + le(t >> 32, 4) +
                      le(t & 0xFFFFFFFF, 4) + le(length, 4) + le(length, 4);
    epb.append(frame.bytes.begin(), frame.bytes.end());
    epb.append((4 - length % 4) % 4, '\0');
    // epb_flags: direction 1 inbound (towards the adapter), 2 outbound.
    putOption(epb, 2, le(frame.direction == Direction::FromAdapter ? 2 : 1, 4));
    putOption(epb, 0, {});
    putBlock(out_, 6, epb);
    out_.flush();
}

} // namespace kt735::model
