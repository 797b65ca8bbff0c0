// What a run arms and watches: the faults of --fault and the script (USB ones on the bus,
// allocation ones in the host's memory), the chip's medium, speed, duplex and links recorded as
// they change, and the watchdog on a driver routine that keeps its caller waiting.
#include "simulation_run.h"

namespace kt735sim {

namespace {

// How long a driver routine may keep the caller waiting, in virtual time.
constexpr Time kWatchdog = 300 * kSecond;

// The allocation targets and the kind of allocation each fails.
constexpr std::pair<FaultTarget, host::Memory::Kind> kAllocationTargets[] = {
    {FaultTarget::Pool, host::Memory::Kind::Pool},
    {FaultTarget::Ndis, host::Memory::Kind::Ndis},
    {FaultTarget::Irp, host::Memory::Kind::Irp},
};

host::Memory::Kind allocationKind(FaultTarget target) {
    for (const auto& [t, kind] : kAllocationTargets) {
        if (t == target) {
            return kind;
        }
    }
    return host::Memory::Kind::Pool;
}

} // namespace

void Simulation::arm(const FaultSpec& entry) {
    using host::usb::Fault;
    run_.faultsArmed++;
    if (!isUsbTarget(entry.target)) {
        world_->memory().failNth(allocationKind(entry.target), entry.nth, entry.times);
        return;
    }
    host::usb::Match match;
    match.nth = entry.nth;
    switch (entry.target) {
    case FaultTarget::BulkIn:
    case FaultTarget::BulkOut:
        match.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        match.endpoint = entry.target == FaultTarget::BulkIn ? 0x81 : 0x02;
        break;
    case FaultTarget::VendorRead:
    case FaultTarget::VendorWrite:
        match.function = URB_FUNCTION_VENDOR_DEVICE;
        match.bRequest = entry.target == FaultTarget::VendorRead ? 0xF0 : 0xF1;
        break;
    default:
        match.endpoint = 0;
        break;
    }
    Fault fault = entry.effect == FaultEffect::Stall ? Fault::stalling(match, entry.times)
                  : entry.effect == FaultEffect::Hang
                      ? Fault::holding(match, entry.times)
                      : Fault::failing(match, USBD_STATUS_DEV_NOT_RESPONDING, entry.times);
    fault.label = faultTargetName(entry.target);
    bus_->addFault(fault);
}

void Simulation::allocationFailed(const host::Memory::Allocation& allocation) {
    for (const auto& [target, kind] : kAllocationTargets) {
        if (kind == allocation.kind) {
            fired(faultTargetName(target), "fail", "");
        }
    }
}

void Simulation::fired(const char* target, const char* effect, const std::string& request) {
    run_.faultsFired++;
    Json fields = {{"target", target}, {"effect", effect}};
    if (!request.empty()) {
        fields["request"] = request;
    }
    record("fault", std::move(fields),
           std::string("fault: ") + target + " " + effect +
               (request.empty() ? std::string() : " on " + request));
}

ChipState Simulation::chipState() const {
    std::uint8_t control1 = device_->reg(kt735::model::reg::kControl1);
    return {device_->activeMedium(), (control1 & 0x10) != 0, (control1 & 0x20) != 0,
            device_->ethernetPhy().link(), device_->phoneLinePhy().link()};
}

// Records the chip's medium, speed, duplex and both links.
void Simulation::recordChip(const char* kind) {
    chip_ = chipState();
    bool phone = chip_.medium == Medium::PhoneLine;
    bool link = phone ? chip_.phoneLineLink : chip_.ethernetLink;
    std::string text = phone ? std::string("phone line, 1 Mbit/s")
                             : std::string("Ethernet, ") + (chip_.fast ? "100" : "10") +
                                   " Mbit/s " + (chip_.full ? "full" : "half") + " duplex";
    record(kind,
           {{"medium", phone ? "phone-line" : "ethernet"},
            {"mbps", phone ? 1 : (chip_.fast ? 100 : 10)},
            {"duplex", phone || !chip_.full ? "half" : "full"},
            {"link", link},
            {"ethernet_link", chip_.ethernetLink},
            {"phone_line_link", chip_.phoneLineLink}},
           "chip on " + text + ", link " + (link ? "up" : "down") + " (Ethernet link " +
               (chip_.ethernetLink ? "up" : "down") + ", phone line " +
               (chip_.phoneLineLink ? "up" : "down") + ")");
}

// Every period, in virtual time: a change of the chip's medium, speed, duplex or links is
// recorded as it happens, and so are frames the chip dropped and resets NDIS made on its own.
void Simulation::watchChip() {
    if (halted_ || adapter_ == nullptr || !adapter_->running()) {
        return;
    }
    // The model logs every register access and control request for the tests that read them;
    // nothing here does, and a long run would keep them all.
    device_->clearLogs();
    if (!(chipState() == chip_)) {
        recordChip("medium");
    }
    const kt735::model::Counters& c = device_->counters();
    const std::pair<std::uint64_t kt735::model::Counters::*, const char*> reasons[] = {
        {&kt735::model::Counters::txDroppedNoLink, "send: no link"},
        {&kt735::model::Counters::txDroppedDisabled, "send: transmitter off"},
        {&kt735::model::Counters::txSpeedMismatch, "send: speed or duplex mismatch"},
        {&kt735::model::Counters::txOversize, "send: oversize"},
        {&kt735::model::Counters::txMalformed, "send: malformed transfer"},
        {&kt735::model::Counters::rxFiltered, "receive: not addressed"},
        {&kt735::model::Counters::rxOverflow, "receive: FIFO full"},
        {&kt735::model::Counters::rxDroppedDisabled, "receive: receiver off"},
        {&kt735::model::Counters::rxOversize, "receive: oversize"},
        {&kt735::model::Counters::rxRunt, "receive: runt"},
    };
    for (auto [member, why] : reasons) {
        if (c.*member != drops_.*member) {
            std::uint64_t n = c.*member - drops_.*member;
            drops_.*member = c.*member;
            record("drop", {{"reason", why}, {"count", n}},
                   "chip dropped " + count(n, "frame") + " (" + why + ")");
        }
    }
    if (adapter_->resets() != resetsSeen_) {
        resetsSeen_ = adapter_->resets();
        record("reset", {{"by", "ndis"}}, "NDIS reset the adapter (MiniportCheckForHang)");
    }
    world_->scheduler().after(
        kWatchPeriod, [this] { watchChip(); }, "kt735sim chip watch",
        host::Scheduler::Level::Dispatch, true);
}

void Simulation::guard(const char* what) {
    std::string name = what;
    watchdog_ = world_->scheduler().after(
        kWatchdog,
        [this, name] {
            run_.violations.push_back(name + " has not returned after " + seconds(kWatchdog) +
                                      " s of virtual time");
            flush();
            line("kt735sim: " + run_.violations.back() + "; the run is abandoned");
            out_.flush();
            for (const std::string& v : run_.violations) {
                std::cerr << "kt735sim: verifier: " << v << "\n";
            }
            run_.end = rel();
            writeOutputs(std::cerr, 1);
            std::_Exit(1);
        },
        "kt735sim watchdog", host::Scheduler::Level::Dispatch, true);
}

void Simulation::unguard() {
    if (watchdog_ != 0) {
        world_->scheduler().cancel(watchdog_);
        watchdog_ = 0;
    }
}
} // namespace kt735sim
