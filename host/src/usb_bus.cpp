// The simulated USB bus: plugging a device, the port it sees, URBs submitted and their
// transfers run on the device, completed, cancelled and aborted, the request log and its capture.
#include "host/usb_bus.h"

#include <algorithm>

#include "host/io.h"
#include "host/kernel.h"
#include "host/usbmon.h"
#include "host/world.h"
#include "host/smp.h"

namespace host::usb {

namespace {

NTSTATUS irpStatusFor(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) {
        return STATUS_SUCCESS;
    }
    if (status == USBD_STATUS_CANCELED) {
        return STATUS_CANCELLED;
    }
    if (status == USBD_STATUS_DEVICE_GONE) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    return STATUS_UNSUCCESSFUL;
}

} // namespace

// ---- the bus ---------------------------------------------------------------------------------

Bus::Bus() {
    driver_ = createDriverObject(L"\\Driver\\usbhub");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternal;
    driver_->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = dispatchPower;
    IoCreateDevice(driver_, sizeof(Bus*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
    *static_cast<Bus**>(pdo_->DeviceExtension) = this;
    pdo_->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
}

Bus::~Bus() {
    if (World::exists()) {
        for (Transfer* t = oldest_; t != nullptr; t = t->next) {
            if (t->event != 0) {
                world().scheduler().cancel(t->event);
            }
        }
        world().scheduler().disarm(frameEvent_);
    }
    if (device_ != nullptr) {
        device_->detach();
    }
    deleteDriverObject(driver_);
}

Bus* Bus::fromDevice(PDEVICE_OBJECT device) {
    return *static_cast<Bus**>(device->DeviceExtension);
}

void Bus::plug(UsbDevice& device) {
    if (device_ != nullptr) {
        unplug();
    }
    device_ = &device;
    gone_ = false;
    device.attach(*this);
    // The hub reads the device descriptor while enumerating the new device.
    std::vector<std::uint8_t> descriptor(sizeof(USB_DEVICE_DESCRIPTOR));
    std::size_t actual = 0;
    SetupPacket get{0x80, ch9::kGetDescriptor, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0,
                    sizeof(USB_DEVICE_DESCRIPTOR)};
    if (device.control(get, descriptor, actual) == Outcome::Ok) {
        descriptor.resize(std::min(actual, descriptor.size()));
        deviceDescriptor_ = descriptor;
    } else {
        deviceDescriptor_.clear();
    }
}

void Bus::unplug() {
    if (device_ == nullptr) {
        return;
    }
    completeAllWith(USBD_STATUS_DEVICE_GONE, nullptr, false);
    UsbDevice* device = device_;
    device_ = nullptr;
    gone_ = true;
    configuration_ = 0;
    livePipes_.clear();
    halted_.reset();
    remoteWakeupEnabled_ = false;
    device->detach();
}

std::size_t Bus::addFault(const Fault& fault) {
    faults_.push_back({fault, {}});
    return faults_.size() - 1;
}

std::uint32_t Bus::faultHits(std::size_t id) const {
    return id < faults_.size() ? faults_[id].count.hits() : 0;
}

// ---- UsbPort -----------------------------------------------------------------------------------

Time Bus::now() const {
    return world().now();
}

std::uint64_t Bus::schedule(Time delay, Callback fn) {
    return world().scheduler().after(delay, std::move(fn), "usb device");
}

void Bus::cancelScheduled(std::uint64_t handle) {
    world().scheduler().cancel(handle);
}

std::size_t Bus::pendingIn(std::uint8_t endpoint) const {
    std::size_t n = 0;
    for (const Transfer* t = oldest_; t != nullptr; t = t->next) {
        n += t->state == State::Queued && t->endpoint == endpoint ? 1 : 0;
    }
    return n;
}

bool Bus::completeIn(std::uint8_t endpoint, std::span<const std::uint8_t> data, Outcome outcome) {
    return fillIn(endpoint, data, {}, outcome);
}

bool Bus::completeInParts(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                          std::span<const std::uint8_t> more) {
    return fillIn(endpoint, data, more, Outcome::Ok);
}

bool Bus::fillIn(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                 std::span<const std::uint8_t> more, Outcome outcome) {
    // The list is in submission order: the first queued one is the oldest.
    Transfer* q = oldest_;
    while (q != nullptr && !(q->state == State::Queued && q->endpoint == endpoint)) {
        q = q->next;
    }
    if (q == nullptr) {
        return false;
    }
    Transfer& t = *q;
    t.state = State::Scheduled;
    switch (outcome) {
    case Outcome::Ok: {
        // Into the caller's buffer, as the controller's DMA puts it there.
        const std::size_t supplied = data.size() + more.size();
        t.moved = std::min(supplied, t.requested);
        const std::size_t first = std::min(data.size(), t.moved);
        if (first != 0) {
            std::memcpy(t.buffer, data.data(), first);
        }
        if (t.moved != first) {
            std::memcpy(t.buffer + first, more.data(), t.moved - first);
        }
        if (supplied > t.requested) {
            t.result = USBD_STATUS_BUFFER_OVERRUN;
        } else if (supplied < t.requested && !t.shortOk) {
            t.result = USBD_STATUS_DATA_UNDERRUN;
        } else {
            t.result = USBD_STATUS_SUCCESS;
        }
        break;
    }
    case Outcome::Stall:
        t.result = USBD_STATUS_STALL_PID;
        halted_.set(endpoint);
        break;
    case Outcome::NoAnswer:
        t.result = USBD_STATUS_DEV_NOT_RESPONDING;
        break;
    }
    if (!timing_.fixed()) {
        // The data packets, and the zero-length packet that ends a transfer short of its buffer
        // on a packet boundary; a handshake alone (STALL, no answer) takes one slot.
        t.packetsLeft =
            !USBD_SUCCESS(*t.result) ? 1
            : t.moved < t.requested
                ? packetsFor(t.moved + 1, t.maxPacket) // its full packets and the short one
                : std::max<std::uint32_t>(1, packetsFor(t.moved, t.maxPacket));
        putOnBus(t);
    } else if (t.inDispatch && timing_.inlineCompletion && t.extraDelay == 0) {
        t.state = State::Ready; // the dispatch routine completes it before it returns
    } else {
        scheduleCompletion(t, timing_.bulkIn + t.extraDelay);
    }
    return true;
}

void Bus::remoteWakeup() {
    wakeups_.push_back({now(), remoteWakeupEnabled_});
    if (onRemoteWakeup) {
        onRemoteWakeup();
    }
}

// ---- requests ----------------------------------------------------------------------------------

NTSTATUS NTAPI Bus::dispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    HostLock::Hold hold;
    Bus* bus = fromDevice(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return bus->submitUrb(irp, static_cast<PURB>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return bus->cyclePort(irp);
    default:
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

void Bus::applyFault(Transfer& t) {
    const Fault* chosen = nullptr;
    for (FaultSlot& slot : faults_) {
        const Fault& f = slot.fault;
        const Match& m = f.match;
        if (slot.count.spent(f.times)) {
            continue;
        }
        // The default pipe is endpoint 0 in either direction; a port cycle has no endpoint.
        bool endpointMatches = !m.endpoint || (t.setup ? (*m.endpoint & 0x7F) == 0
                                                       : t.function != kFunctionCyclePort &&
                                                             *m.endpoint == t.endpoint);
        bool matches = (!m.function || *m.function == t.function) && endpointMatches &&
                       (!m.bRequest || (t.setup && t.setup->bRequest == *m.bRequest)) &&
                       (!m.wValue || (t.setup && t.setup->wValue == *m.wValue)) &&
                       (!m.wIndex || (t.setup && t.setup->wIndex == *m.wIndex));
        if (!matches) {
            continue;
        }
        // One fault acts on a request; the others that match count it all the same.
        if (slot.count.take(m.nth, f.times, chosen == nullptr)) {
            chosen = &f;
            if (onFault) {
                onFault(f, pendingRequest(t));
            }
        }
    }
    if (chosen == nullptr) {
        return;
    }
    if (chosen->action == Fault::Action::Delay) {
        t.extraDelay = chosen->delay;
    } else {
        t.fault = chosen->action;
        t.faultStatus = chosen->status;
    }
}

NTSTATUS Bus::submitUrb(PIRP irp, PURB urb) {
    if (urb == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    Transfer& t = newTransfer(irp);
    t.urb = urb;
    const bool bulk = urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    if (bulk && !logging_ && capture_ == nullptr && faults_.empty() && !timing_.fixed() &&
        device_ != nullptr) {
        // The data path's usual transfer, with nothing to log, capture or act on it: when it is
        // well formed on a live pipe that is not halted, what describeBulk(), start() and
        // launch() would do, in one pass. An IN transfer waits for the device's data, an OUT
        // transfer takes the next frame.
        const auto& r = urb->UrbBulkOrInterruptTransfer;
        const Pipe* p = findPipe(r.PipeHandle);
        if (p != nullptr && (r.TransferBufferLength == 0 || r.TransferBuffer != nullptr) &&
            !halted_.test(p->endpoint)) {
            takeBulk(r, *p, t);
            if (t.in) {
                t.state = State::Queued;
                device_->inPosted(InRequest{t.id, t.endpoint, t.requested});
            } else {
                t.packetsLeft = std::max<std::uint32_t>(1, packetsFor(t.requested, t.maxPacket));
                putOnBus(t);
            }
            return pend(t);
        }
    }
    USBD_STATUS invalid = bulk ? describeBulk(urb, t) : describe(urb, t);
    if (logging_) {
        record(t);
    }
    if (!USBD_SUCCESS(invalid)) {
        // Rejected before it reaches the bus.
        t.result = invalid;
        return complete(t);
    }
    if (device_ == nullptr) {
        t.fault = Fault::Action::Fail;
        t.faultStatus = USBD_STATUS_DEVICE_GONE;
    } else if (bulk && halted_.test(t.endpoint)) {
        t.fault = Fault::Action::Fail;
        t.faultStatus = USBD_STATUS_ENDPOINT_HALTED;
    } else if (!faults_.empty()) {
        applyFault(t);
    }
    return start(t);
}

void Bus::takeBulk(const _URB_BULK_OR_INTERRUPT_TRANSFER& r, const Pipe& pipe, Transfer& t) {
    t.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.endpoint = pipe.endpoint;
    t.pipeType = pipe.type;
    t.interval = pipe.interval;
    t.maxPacket = pipe.packetSize();
    t.in = (pipe.endpoint & 0x80) != 0;
    t.requested = r.TransferBufferLength;
    t.shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    t.buffer = static_cast<std::uint8_t*>(r.TransferBuffer);
}

NTSTATUS Bus::cyclePort(PIRP irp) {
    Transfer& t = newTransfer(irp);
    t.function = kFunctionCyclePort;
    record(t);
    applyFault(t);
    return start(t);
}

// Puts a transfer on its way: queued for the device's data, on the bus, scheduled, or (inline
// completion) executed and Ready for its caller to complete. Runs at the submitter's IRQL (or
// the test's, for a released transfer); takes no lock.
void Bus::launch(Transfer& t, bool inlineOk) {
    bool postIn = t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && t.in && !t.fault;
    if (t.function == URB_FUNCTION_ABORT_PIPE && !t.fault) {
        abortPipe(t, inlineOk);
    }
    if (postIn) {
        t.state = State::Queued;
        device_->inPosted(InRequest{t.id, t.endpoint, t.requested});
    } else if (!timing_.fixed()) {
        if (t.setup) {
            t.stagesLeft = t.requested != 0 ? 3 : 2; // setup, [data,] status
        } else if (t.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            t.stagesLeft = 1; // ABORT_PIPE, CYCLE_PORT: one frame, no packets
        } else {
            t.packetsLeft =
                t.fault == Fault::Action::Stall
                    ? 1
                    : std::max<std::uint32_t>(1, packetsFor(t.out().size(), t.maxPacket));
        }
        putOnBus(t);
    } else if (inlineOk) {
        execute(t);
        t.state = State::Ready;
    } else {
        t.state = State::Scheduled;
        TransferRef ref{&t, t.id};
        t.event = world().scheduler().after(
            latencyOf(t) + t.extraDelay,
            [this, ref] {
                Transfer* found = ref.get();
                if (found == nullptr) {
                    return;
                }
                found->event = 0;
                execute(*found);
                complete(*found);
            },
            "usb transfer");
    }
}

NTSTATUS Bus::start(Transfer& t) {
    if (capture_ != nullptr) {
        captureSubmit(t);
    }
    t.inDispatch = true;
    bool inlineOk = timing_.fixed() && timing_.inlineCompletion && t.extraDelay == 0;
    if (t.fault == Fault::Action::Hold) {
        t.state = State::Held;
    } else {
        launch(t, inlineOk);
    }
    t.inDispatch = false;
    if (t.state == State::Ready) {
        return complete(t);
    }
    return pend(t);
}

NTSTATUS Bus::pend(Transfer& t) {
    PIRP irp = t.irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the cancel routine was in place.
        forget(t);
        t.result = USBD_STATUS_CANCELED;
        complete(t);
    }
    return STATUS_PENDING;
}

void Bus::execute(Transfer& t) {
    if (t.result) {
        return;
    }
    if (t.fault == Fault::Action::Fail) {
        t.result = t.faultStatus;
        return;
    }
    if (device_ == nullptr) {
        t.result = USBD_STATUS_DEVICE_GONE;
        return;
    }
    if (t.fault == Fault::Action::Stall) {
        t.result = USBD_STATUS_STALL_PID;
        if (t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            halted_.set(t.endpoint);
        }
        return;
    }
    if (t.function == kFunctionCyclePort) {
        cycle(t);
        return;
    }
    if (t.function == URB_FUNCTION_ABORT_PIPE) {
        t.result = USBD_STATUS_SUCCESS;
        return;
    }
    if (t.setup) {
        executeControl(t);
        return;
    }
    switch (device_->bulkOut(t.endpoint, t.out())) {
    case Outcome::Ok:
        t.moved = t.requested;
        t.result = USBD_STATUS_SUCCESS;
        break;
    case Outcome::Stall:
        t.result = USBD_STATUS_STALL_PID;
        halted_.set(t.endpoint);
        break;
    case Outcome::NoAnswer:
        t.result = USBD_STATUS_DEV_NOT_RESPONDING;
        break;
    }
}

void Bus::executeControl(Transfer& t) {
    const SetupPacket& s = *t.setup;
    // IN: the device fills the caller's buffer; OUT: it reads the data stage from it.
    std::size_t actual = 0;
    Outcome outcome = device_->control(s, {t.buffer, t.requested}, actual);
    if (outcome == Outcome::Stall) {
        t.result = USBD_STATUS_STALL_PID; // a protocol stall: the default pipe does not halt
        return;
    }
    if (outcome == Outcome::NoAnswer) {
        t.result = USBD_STATUS_DEV_NOT_RESPONDING;
        return;
    }
    if (t.in) {
        t.moved = std::min<std::size_t>(actual, s.wLength);
        if (t.moved < t.requested && !t.shortOk) {
            t.result = USBD_STATUS_DATA_UNDERRUN;
            return;
        }
    } else {
        t.moved = t.requested;
    }
    t.result = USBD_STATUS_SUCCESS;
    // What a successful standard request changes on the host side.
    if (t.function == URB_FUNCTION_SELECT_CONFIGURATION) {
        selectConfiguration(t);
    } else if (t.function == URB_FUNCTION_RESET_PIPE) {
        halted_.reset(t.target);
    } else if ((t.function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ||
                t.function == URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE) &&
               s.wValue == ch9::kFeatureRemoteWakeup) {
        remoteWakeupEnabled_ = t.function == URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    }
}

void Bus::abortPipe(Transfer& abort, bool inlineCompletion) {
    endTransfers(
        [&abort](const Transfer& t) {
            return &t != &abort && t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                   t.endpoint == abort.target;
        },
        USBD_STATUS_CANCELED, true, inlineCompletion);
}

void Bus::cycle(Transfer& t) {
    ++portCycles_;
    completeAllWith(USBD_STATUS_DEVICE_GONE, &t, true);
    configuration_ = 0;
    livePipes_.clear();
    halted_.reset();
    remoteWakeupEnabled_ = false;
    device_->portReset();
    t.result = USBD_STATUS_SUCCESS;
}

void Bus::completeAllWith(USBD_STATUS status, const Transfer* except, bool immediately) {
    endTransfers([except](const Transfer& t) { return &t != except; }, status, false, immediately);
}

template <class Which>
void Bus::endTransfers(const Which& which, USBD_STATUS status, bool aborted, bool immediately) {
    // Oldest first, as they were queued (the list is in submission order).
    std::vector<TransferRef> ending;
    for (Transfer* t = oldest_; t != nullptr; t = t->next) {
        if (!t->result && which(*t)) {
            ending.push_back({t, t->id});
        }
    }
    for (TransferRef ref : ending) {
        Transfer* t = ref.transfer;
        forget(*t);
        t->result = status;
        t->aborted = aborted;
        if (!immediately) {
            scheduleCompletion(*t, 0);
        }
    }
    if (immediately) {
        // Completion routines run in between: check each transfer is still the one named.
        for (TransferRef ref : ending) {
            if (Transfer* t = ref.get()) {
                complete(*t);
            }
        }
    }
}

void Bus::growPool() {
    pool_.push_back(std::make_unique<Transfer>());
    pool_.back()->next = free_;
    free_ = pool_.back().get();
}

Bus::Transfer& Bus::newTransfer(PIRP irp) {
    if (free_ == nullptr) {
        growPool();
    }
    Transfer& t = *free_;
    free_ = t.next;
    t.next = nullptr;
    t.begin(irp, nextId_++);
    t.prev = newest_;
    (newest_ != nullptr ? newest_->next : oldest_) = &t;
    newest_ = &t;
    ++outstanding_;
    return t;
}

void Bus::release(Transfer& t) {
    (t.prev != nullptr ? t.prev->next : oldest_) = t.next;
    (t.next != nullptr ? t.next->prev : newest_) = t.prev;
    --outstanding_;
    t.id = 0; // no TransferRef names it any more
    t.next = free_;
    free_ = &t;
}

void Bus::forget(Transfer& t) {
    if (t.state == State::OnBus) {
        onBus_.erase(std::find(onBus_.begin(), onBus_.end(), &t));
    }
    if (t.event != 0) {
        world().scheduler().cancel(t.event);
        t.event = 0;
    }
    t.state = State::Scheduled;
}

bool Bus::releaseHeld() {
    Transfer* held = oldest_;
    while (held != nullptr && held->state != State::Held) {
        held = held->next;
    }
    if (held == nullptr) {
        return false;
    }
    Transfer& t = *held;
    t.fault.reset();
    callHostAt(DISPATCH_LEVEL, "usb transfer release", [&] {
        launch(t, timing_.fixed() && timing_.inlineCompletion);
        if (t.state == State::Ready) {
            complete(t);
        }
    });
    return true;
}

VOID NTAPI Bus::cancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    HostLock::Hold hold;
    Bus* bus = fromDevice(device);
    Transfer* t = bus->oldest_;
    while (t != nullptr && t->irp != irp) {
        t = t->next;
    }
    if (t == nullptr) {
        return;
    }
    bus->forget(*t);
    t->result = USBD_STATUS_CANCELED;
    t->moved = 0;
    bus->complete(*t);
}

NTSTATUS Bus::complete(Transfer& t) {
    if (t.state == State::OnBus || t.event != 0) {
        forget(t);
    }

    USBD_STATUS status = t.result.value_or(USBD_STATUS_ERROR);
    NTSTATUS irpStatus = irpStatusFor(status);
    if (PURB urb = t.urb) {
        urb->UrbHeader.Status = status;
        bool data = t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
                    (t.setup && t.function != URB_FUNCTION_SELECT_CONFIGURATION &&
                     t.function != URB_FUNCTION_RESET_PIPE && t.requested != 0);
        if (data) {
            // The layouts of the control and bulk URBs agree on these two fields.
            auto& r = urb->UrbControlTransfer;
            r.TransferBufferLength = static_cast<ULONG>(t.moved);
        }
    }
    // Transfers submitted after the last logged one (logging off) have no entry to look up.
    if (Request* r = log_.empty() || t.id > log_.back().id ? nullptr : logEntry(t)) {
        r->completed = now();
        r->status = status;
        r->irpStatus = irpStatus;
        if (t.in) {
            std::span<const std::uint8_t> in = t.received();
            r->data.assign(in.begin(), in.end());
        }
    }
    if (t.captured) {
        captureComplete(t);
    }

    PIRP irp = t.irp;
    irp->IoStatus.Status = irpStatus;
    irp->IoStatus.Information = 0;
    IoSetCancelRoutine(irp, nullptr);
    release(t);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return irpStatus;
}
} // namespace host::usb
