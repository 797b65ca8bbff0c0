// How long requests take on the bus: a fixed latency per request, or full-speed 1 ms frames
// whose packet slots the transfers on the bus share.
#include <algorithm>

#include "host/usb_bus.h"
#include "host/world.h"

namespace host::usb {

Time Bus::latencyOf(const Transfer& t) const {
    if (t.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        return timing_.control;
    }
    if (t.in) {
        return timing_.bulkIn;
    }
    return timing_.bulkOut + timing_.perByte * static_cast<Time>(t.out().size());
}

void Bus::scheduleCompletion(Transfer& t, Time delay) {
    forget(t);
    TransferRef ref{&t, t.id};
    t.event = world().scheduler().after(
        delay,
        [this, ref] {
            if (Transfer* t = ref.get()) {
                t->event = 0;
                complete(*t);
            }
        },
        "usb completion");
}

namespace {

// The end of the first frame that starts at or after `t`.
Time endOfFrameFrom(Time t) {
    constexpr Time frame = Timing::kFrame;
    return (t + frame - 1) / frame * frame + frame;
}

} // namespace

void Bus::putOnBus(Transfer& t) {
    t.state = State::OnBus;
    t.readyAt = world().now();
    if (!(t.in && t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
        // A delayed request reaches the bus (and the device) that much later; a delayed IN
        // transfer completes that much after its last packet.
        t.readyAt += t.extraDelay;
        t.extraDelay = 0;
    }
    onBus_.push_back(&t);
    // The transfers already on the bus have their frame end armed: only this one may need an
    // earlier one.
    armFrameBy(endOfFrameFrom(t.readyAt));
}

// Schedules the end of the first frame that one of the transfers on the bus may use, unless
// an earlier frame end is already scheduled.
void Bus::armFrame() {
    if (onBus_.empty()) {
        return;
    }
    Time earliest = kForever;
    for (const Transfer* t : onBus_) {
        earliest = std::min(earliest, t->readyAt);
    }
    earliest = std::max(earliest, world().now()); // frames that have begun are spoken for
    armFrameBy(endOfFrameFrom(earliest));
}

void Bus::armFrameBy(Time end) {
    if (frameEvent_.armed() && frameEvent_.due() <= end) {
        return;
    }
    world().scheduler().arm(frameEvent_, end);
}

// The end of a 1 ms frame: gives the frame's packet slots to the transfers that were ready when
// it started (control stages, then interrupt transfers, then bulk transfers in turn) and
// completes those that finished in it. Runs at DISPATCH_LEVEL from the scheduler.
void Bus::endOfFrame() {
    const Time start = world().now() - Timing::kFrame;
    if (onBus_.size() == 1) {
        // The usual frame: one transfer, ready, past its control stages and with no more
        // packets than the frame carries. It finishes in this frame whatever its kind: no
        // sharing, and no completion routine runs before it leaves the bus.
        Transfer* t = onBus_.front();
        if (t->readyAt <= start && t->stagesLeft == 0 &&
            t->packetsLeft <= Timing::kPacketsPerFrame) {
            onBus_.clear();
            t->packetsLeft = 0;
            t->state = State::Scheduled;
            finish(*t);
            armFrame();
            return;
        }
    }
    unsigned budget = Timing::kPacketsPerFrame;
    auto take = [&budget](unsigned packets) { budget -= std::min(budget, packets); };
    // Control stages, in submission order; note whether interrupt data waits, and how many bulk
    // transfers wait with how few packets at least.
    bool interrupt = false;
    unsigned bulk = 0;
    std::uint32_t fewest = UINT32_MAX;
    std::uint64_t wanted = 0; // packets the waiting bulk transfers still need in all
    for (Transfer* t : onBus_) {
        if (t->readyAt > start) {
            continue;
        }
        if (t->stagesLeft != 0) {
            if (t->setup) {
                bool dataStage = t->requested != 0 && t->stagesLeft == 2;
                take(dataStage ? packetsFor(t->requested, t->maxPacket) : 1);
            }
            --t->stagesLeft;
        } else if (t->packetsLeft != 0 && t->pipeType == UsbdPipeTypeInterrupt) {
            interrupt = true;
        } else if (t->packetsLeft != 0) {
            ++bulk;
            fewest = std::min(fewest, t->packetsLeft);
            wanted += t->packetsLeft;
        }
    }
    if (interrupt) {
        for (Transfer* t : onBus_) {
            if (t->readyAt <= start && t->pipeType == UsbdPipeTypeInterrupt &&
                t->packetsLeft != 0) {
                unsigned n = std::min(budget, t->packetsLeft);
                t->packetsLeft -= n;
                take(n);
            }
        }
    }
    // One packet to each ready bulk transfer in turn while the frame has room: as many whole
    // rounds at once as the budget and the transfer with the fewest packets left allow, and of
    // a round the budget cannot complete, one packet each to the first ones. When the frame has
    // room for all they need, every one of them finishes in it (the pass below sees to that).
    const bool allFit = wanted <= budget;
    while (!allFit && bulk != 0 && budget != 0) {
        std::uint32_t rounds = std::min<std::uint32_t>(fewest, budget / bulk);
        bool partial = rounds == 0;
        rounds = partial ? 1 : rounds;
        bulk = 0;
        fewest = UINT32_MAX;
        for (Transfer* t : onBus_) {
            if (budget == 0 || t->readyAt > start || t->packetsLeft == 0) {
                continue;
            }
            t->packetsLeft -= rounds;
            budget -= rounds;
            if (t->packetsLeft != 0) {
                ++bulk;
                fewest = std::min(fewest, t->packetsLeft);
            }
        }
    }
    finished_.clear();
    std::erase_if(onBus_, [this, start, allFit](Transfer* t) {
        if (t->readyAt > start) {
            return false;
        }
        if (allFit && t->pipeType != UsbdPipeTypeInterrupt) {
            t->packetsLeft = 0;
        }
        if (t->stagesLeft != 0 || t->packetsLeft != 0) {
            return false;
        }
        t->state = State::Scheduled;
        finished_.push_back({t, t->id});
        return true;
    });
    // Completion routines run in between (and may submit, cancel or cycle): check each is still
    // the transfer it was.
    for (std::size_t i = 0; i < finished_.size(); ++i) {
        Transfer* t = finished_[i].get();
        if (t == nullptr || t->state != State::Scheduled || t->event != 0) {
            continue;
        }
        finish(*t);
    }
    armFrame();
}

void Bus::finish(Transfer& t) {
    execute(t);
    if (t.extraDelay != 0) {
        scheduleCompletion(t, t.extraDelay);
    } else {
        complete(t);
    }
}

} // namespace host::usb
