// The host NDIS library: miniport registration and wrappers, NDIS's routines in a registered
// driver object (AddDevice, plug and play, create/close, the requests passed down), the adapters
// it made and their lookup by handle, configuration contexts, injected resource failures, and
// the checks at unload.
#include <algorithm>

#include "host/io.h"
#include "host/kernel.h"
#include "host/ndis.h"
#include "host/smp.h"
#include "host/world.h"
#include "ndis_internal.h"

namespace host::ndis {

using namespace internal;

namespace {

constexpr std::uint32_t kConfigMagic = 0x4E434647; // "NCFG"

// ---- NDIS's routines in a registered driver object ------------------------------------------

NTSTATUS NTAPI ndisAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    HostLock::Hold hold;
    return host::world().ndis().addDevice(driver, pdo);
}

NTSTATUS NTAPI ndisPnpDispatch(PDEVICE_OBJECT device, PIRP irp) {
    HostLock::Hold hold;
    return host::world().ndis().dispatchPnp(device, irp);
}

NTSTATUS NTAPI ndisCreateClose(PDEVICE_OBJECT, PIRP irp) {
    HostLock::Hold hold;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ndisDeviceControl(PDEVICE_OBJECT, PIRP irp) {
    HostLock::Hold hold;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Power and WMI requests: NDIS passes them to the device below.
NTSTATUS NTAPI ndisPassDown(PDEVICE_OBJECT device, PIRP irp) {
    HostLock::Hold hold;
    Adapter* adapter = host::world().ndis().adapterForDevice(device);
    if (adapter == nullptr || adapter->lower() == nullptr) {
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(adapter->lower(), irp);
}

NTSTATUS NTAPI signalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    HostLock::Hold hold;
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP to the device below and waits until it has finished there; the IRP is ours
// again afterwards.
NTSTATUS forwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

} // namespace

// ---- the library ----------------------------------------------------------------------------

Library::Library(World& world) : world_(world) {
    previousOnFree_ = world.memory().onFree;
    world.memory().onFree = [this](void* p, std::size_t size) {
        onMemoryFreed(p, size);
        if (previousOnFree_) {
            previousOnFree_(p, size);
        }
    };
}

Library::~Library() {
    world_.memory().onFree = previousOnFree_;
    for (auto& [address, timer] : timers_) {
        if (timer.pending) {
            world_.scheduler().cancel(timer.event);
        }
    }
    for (auto& [packet, pool] : packets_) {
        std::free(packet);
    }
    for (auto& [buffer, pool] : buffers_) {
        delete buffer;
    }
    for (auto& adapter : adapters_) {
        adapter->stopHangCheck();
        for (auto& [packet, event] : adapter->heldPackets_) {
            world_.scheduler().cancel(event);
        }
    }
}

PDRIVER_ADD_DEVICE Library::addDeviceRoutine() {
    return ndisAddDevice;
}

PDRIVER_DISPATCH Library::pnpDispatchRoutine() {
    return ndisPnpDispatch;
}

std::size_t Library::wrappersOpen() const {
    return static_cast<std::size_t>(
        std::count_if(wrappers_.begin(), wrappers_.end(), [](auto& w) { return w->open; }));
}

const NDIS_MINIPORT_CHARACTERISTICS* Library::characteristics(PDRIVER_OBJECT driver) const {
    auto it = miniports_.find(driver);
    return it == miniports_.end() ? nullptr : &it->second.chars;
}

Library::Miniport* Library::miniport(PDRIVER_OBJECT driver) {
    auto it = miniports_.find(driver);
    return it == miniports_.end() ? nullptr : &it->second;
}

Library::Wrapper* Library::wrapper(NDIS_HANDLE handle) {
    for (auto& w : wrappers_) {
        if (w.get() == handle) {
            return w.get();
        }
    }
    return nullptr;
}

NDIS_HANDLE Library::newWrapper(PDRIVER_OBJECT driver) {
    wrappers_.push_back(std::make_unique<Wrapper>(Wrapper{driver, true}));
    return wrappers_.back().get();
}

NDIS_STATUS Library::registerMiniport(Wrapper& wrapper, const NDIS_MINIPORT_CHARACTERISTICS& chars,
                                      UINT length) {
    if (failRegistration_ != NDIS_STATUS_SUCCESS) {
        NDIS_STATUS status = failRegistration_;
        failRegistration_ = NDIS_STATUS_SUCCESS;
        return status;
    }
    const NDIS30_MINIPORT_CHARACTERISTICS& head = base(chars);
    std::size_t needed = 0;
    if (head.MajorNdisVersion == 5 && head.MinorNdisVersion == 0) {
        needed = sizeof(NDIS50_MINIPORT_CHARACTERISTICS);
    } else if (head.MajorNdisVersion == 4 && head.MinorNdisVersion == 0) {
        needed = sizeof(NDIS40_MINIPORT_CHARACTERISTICS);
    } else {
        return NDIS_STATUS_BAD_VERSION;
    }
    if (length < needed) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    Miniport miniport;
    std::memcpy(&miniport.chars, &chars, needed);
    miniport.majorVersion = head.MajorNdisVersion;
    miniports_[wrapper.driver] = miniport;

    PDRIVER_OBJECT driver = wrapper.driver;
    driver->DriverExtension->AddDevice = ndisAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = ndisPnpDispatch;
    driver->MajorFunction[IRP_MJ_CREATE] = ndisCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = ndisCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ndisDeviceControl;
    driver->MajorFunction[IRP_MJ_POWER] = ndisPassDown;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ndisPassDown;
    return NDIS_STATUS_SUCCESS;
}

NTSTATUS Library::addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (miniport(driver) == nullptr) {
        report(rule::kMiniportNotRegistered, "AddDevice",
               "the driver object has no registered miniport");
        return STATUS_UNSUCCESSFUL;
    }
    auto adapter = std::make_unique<Adapter>(*this, driver, pdo);
    adapter->chars_ = &miniport(driver)->chars;
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Adapter*), nullptr,
                                     FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Adapter* raw = adapter.get();
    std::memcpy(fdo->DeviceExtension, &raw, sizeof(raw));
    adapter->fdo_ = fdo;
    adapter->lower_ = IoAttachDeviceToDeviceStack(fdo, pdo);
    adapter->parameters_ = defaultParameters_;
    adapter->media_ = defaultMedia_;
    fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    adapters_.push_back(std::move(adapter));
    return STATUS_SUCCESS;
}

NTSTATUS Library::dispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Adapter* adapter = adapterForDevice(fdo);
    if (adapter == nullptr) {
        report(rule::kNdisHandleInvalid, "NDIS PnP dispatch",
               "device object " + pointer(fdo) + " is not one of NDIS's adapters");
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    PDEVICE_OBJECT lower = adapter->lower_;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = forwardAndWait(lower, irp);
        if (NT_SUCCESS(status) && !adapter->running()) {
            NDIS_STATUS result = adapter->initialize();
            if (result != NDIS_STATUS_SUCCESS) {
                status = NT_SUCCESS(result) ? STATUS_UNSUCCESSFUL : result;
            }
        }
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_STOP_DEVICE:
        if (adapter->running()) {
            adapter->halt();
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (adapter->running()) {
            adapter->halt();
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = passDown(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        adapter->fdo_ = nullptr;
        adapter->lower_ = nullptr;
        adapter->state_ = Adapter::State::Removed;
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        adapter->surpriseRemoved_ = true;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(lower, irp);
    default:
        return passDown(lower, irp);
    }
}

std::vector<Adapter*> Library::adapters() const {
    std::vector<Adapter*> out;
    for (const auto& a : adapters_) {
        out.push_back(a.get());
    }
    return out;
}

Adapter* Library::lastAdapter() const {
    return adapters_.empty() ? nullptr : adapters_.back().get();
}

Adapter* Library::adapterForDevice(PDEVICE_OBJECT fdo) const {
    if (fdo == nullptr) {
        return nullptr;
    }
    for (const auto& a : adapters_) {
        if (a->fdo_ == fdo) {
            return a.get();
        }
    }
    return nullptr;
}

Adapter* Library::notAnAdapter(NDIS_HANDLE handle, const char* call, bool reportIt) const {
    if (reportIt) {
        report(rule::kNdisHandleInvalid, call,
               "handle " + pointer(handle) + " is not a miniport adapter handle");
    }
    return nullptr;
}

Adapter* Library::notRunning(const char* call) const {
    report(rule::kAdapterNotRunning, call, "the adapter is not running (halted or never started)");
    return nullptr;
}

std::size_t Library::adaptersRunning() const {
    return static_cast<std::size_t>(
        std::count_if(adapters_.begin(), adapters_.end(), [](const auto& a) {
            return a->state_ == Adapter::State::Running ||
                   a->state_ == Adapter::State::Initializing;
        }));
}

Library::ConfigContext* Library::configContext(NDIS_HANDLE context) const {
    for (const auto& [adapter, c] : configContexts_) {
        if (c.get() == context) {
            return c.get();
        }
    }
    return nullptr;
}

NDIS_HANDLE Library::configContextFor(Adapter* adapter) {
    auto& slot = configContexts_[adapter];
    if (!slot) {
        slot = std::make_unique<ConfigContext>(ConfigContext{kConfigMagic, adapter});
    }
    return slot.get();
}

void Library::failNth(Resource resource, std::uint64_t nth, std::uint32_t times) {
    resourceFaults_.push_back({resource, nth, times, {}});
}

std::uint64_t Library::attempts(Resource resource) const {
    auto it = resourceAttempts_.find(resource);
    return it == resourceAttempts_.end() ? 0 : it->second;
}

bool Library::attemptFails(Resource resource) {
    ++resourceAttempts_[resource];
    // One fault acts on an attempt; the others on the resource count it all the same.
    bool fails = false;
    for (ResourceFault& fault : resourceFaults_) {
        if (fault.resource == resource && fault.count.take(fault.nth, fault.times, !fails)) {
            fails = true;
        }
    }
    return fails;
}

void Library::clearFaults() {
    resourceFaults_.clear();
    world_.memory().clearFaults();
}

void Library::noteUnclaimedRelease(const char* call) {
    unclaimedReleases_.emplace_back(call);
    report(rule::kUnclaimedResourceReleased, call,
           "releases a resource this miniport never claimed (no shared memory, I/O ports, "
           "interrupt or map registers were given to it)");
}

std::size_t Library::timersPending(const Adapter* adapter) const {
    std::size_t n = 0;
    for (const auto& [address, timer] : timers_) {
        n += timer.pending && (adapter == nullptr || timer.adapter == adapter) ? 1 : 0;
    }
    return n;
}

std::size_t Library::checkUnload(const char* when) {
    std::size_t problems = 0;
    Memory& memory = world_.memory();
    std::string ndisLeaks = memory.leakReport(Memory::Kind::Ndis);
    if (!ndisLeaks.empty()) {
        report(rule::kNdisMemoryLeak, when, "NDIS memory still allocated:\n" + ndisLeaks);
        ++problems;
    }
    std::string poolLeaks = memory.leakReport(Memory::Kind::Pool);
    if (!poolLeaks.empty()) {
        report(rule::kPoolLeak, when, "pool still allocated:\n" + poolLeaks);
        ++problems;
    }
    for (const auto& [handle, pool] : packetPools_) {
        report(rule::kNdisResourceLeak, when,
               "packet pool " + pointer(handle) + " was never freed (" +
                   std::to_string(pool->outstanding.size()) + " packet(s) still allocated)");
        ++problems;
    }
    for (const auto& [handle, pool] : bufferPools_) {
        report(rule::kNdisResourceLeak, when,
               "buffer pool " + pointer(handle) + " was never freed (" +
                   std::to_string(pool->outstanding.size()) + " buffer(s) still allocated)");
        ++problems;
    }
    for (const auto& [handle, config] : configs_) {
        report(rule::kNdisResourceLeak, when,
               "configuration handle " + pointer(handle) + " was never closed");
        ++problems;
    }
    for (const auto& [address, timer] : timers_) {
        if (timer.pending) {
            report(rule::kTimerPendingAtHalt, when, "timer " + pointer(address) + " is still set");
            ++problems;
        }
    }
    for (const auto& [item, event] : workItems_) {
        report(rule::kWorkItemPendingAtHalt, when,
               "work item " + pointer(item) + " is still queued");
        ++problems;
    }
    std::size_t irps = world_.irps().liveCount(IrpRegistry::Origin::Driver);
    if (irps != 0) {
        report(rule::kIrpLeak, when,
               std::to_string(irps) + " IRP(s) allocated by the driver were never freed");
        ++problems;
    }
    return problems;
}

} // namespace host::ndis
