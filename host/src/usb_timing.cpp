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
    return timing_.bulkOut + timing_.perByte * static_cast<Time>(t.out.size());
}

void Bus::scheduleCompletion(Transfer& t, Time delay) {
    forget(t);
    PIRP irp = t.irp;
    std::uint64_t id = t.id;
    t.event = world().scheduler().after(
        delay,
        [this, irp, id] {
            if (Transfer* t = findTransfer(irp, id)) {
                t->event = 0;
                complete(*t);
            }
        },
        "usb completion");
}

void Bus::putOnBus(Transfer& t) {
    t.state = State::OnBus;
    t.readyAt = now();
    if (!(t.in && t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
        // A delayed request reaches the bus (and the device) that much later; a delayed IN
        // transfer completes that much after its last packet.
        t.readyAt += t.extraDelay;
        t.extraDelay = 0;
    }
    onBus_.push_back(&t);
    armFrame();
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
    earliest = std::max(earliest, now()); // frames that have begun are spoken for
    constexpr Time frame = Timing::kFrame;
    Time end = (earliest + frame - 1) / frame * frame + frame;
    if (frameEvent_ != 0) {
        if (frameEventAt_ <= end) {
            return;
        }
        world().scheduler().cancel(frameEvent_);
    }
    frameEventAt_ = end;
    frameEvent_ = world().scheduler().at(
        end, [this] { endOfFrame(); }, "usb frame");
}

// The end of a 1 ms frame: gives the frame's packet slots to the transfers that were ready when
// it started (control stages, then interrupt transfers, then bulk transfers in turn) and
// completes those that finished in it. Runs at DISPATCH_LEVEL from the scheduler.
void Bus::endOfFrame() {
    frameEvent_ = 0;
    Time start = now() - Timing::kFrame;
    unsigned budget = Timing::kPacketsPerFrame;
    finished_.clear();
    auto ready = [start](const Transfer* t) { return t->readyAt <= start; };
    auto take = [&budget](unsigned packets) { budget -= std::min(budget, packets); };
    for (Transfer* t : onBus_) {
        if (!ready(t) || t->stagesLeft == 0) {
            continue;
        }
        if (t->setup) {
            bool dataStage = t->requested != 0 && t->stagesLeft == 2;
            take(dataStage ? static_cast<unsigned>((t->requested + t->maxPacket - 1) / t->maxPacket)
                           : 1);
        }
        --t->stagesLeft;
    }
    for (Transfer* t : onBus_) {
        if (ready(t) && t->pipeType == UsbdPipeTypeInterrupt && t->packetsLeft != 0) {
            unsigned n = std::min(budget, t->packetsLeft);
            t->packetsLeft -= n;
            take(n);
        }
    }
    for (bool moved = true; moved && budget != 0;) {
        moved = false;
        for (Transfer* t : onBus_) {
            if (budget != 0 && ready(t) && t->packetsLeft != 0) {
                --t->packetsLeft;
                --budget;
                moved = true;
            }
        }
    }
    std::erase_if(onBus_, [this, &ready](Transfer* t) {
        if (!ready(t) || t->stagesLeft != 0 || t->packetsLeft != 0) {
            return false;
        }
        t->state = State::Scheduled;
        finished_.emplace_back(t->irp, t->id);
        return true;
    });
    // Completion routines run in between (and may submit, cancel or cycle): look each up again.
    for (std::size_t i = 0; i < finished_.size(); ++i) {
        Transfer* t = findTransfer(finished_[i].first, finished_[i].second);
        if (t == nullptr || t->state != State::Scheduled || t->event != 0) {
            continue;
        }
        execute(*t);
        if (t->extraDelay != 0) {
            scheduleCompletion(*t, t->extraDelay);
        } else {
            complete(*t);
        }
    }
    armFrame();
}

} // namespace host::usb
