// The I/O manager: IRPs and their stack locations, calling and completing drivers, cancel,
// device-control requests built for the caller, and device objects.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sanitizer/asan_interface.h>

#include "host/io.h"
#include "host/kernel.h"
#include "host/world.h"
#include "host/smp.h"
#include "report.h"

namespace host {

namespace {

std::size_t irpBytes(CCHAR stackSize) {
    return sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

// The I/O manager's default for every major function a driver leaves unset.
NTSTATUS NTAPI invalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    HostLock::Hold hold;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

// Bytes of the guard gap after each IRP slot.
constexpr std::size_t kGuardBytes = 32;
// Slots of a registry's first chunk for a stack size; each further chunk doubles, up to the last.
constexpr std::size_t kFirstChunkSlots = 32;
constexpr std::size_t kLargestChunkSlots = 4096;

IrpRegistry::~IrpRegistry() {
    for (Chunk* chunk : byAddress_) {
        ASAN_UNPOISON_MEMORY_REGION(chunk->base, chunk->slots << chunk->slotShift);
        std::free(chunk->base);
        delete chunk;
    }
}

IrpRegistry::Chunk* IrpRegistry::chunkOf(const unsigned char* at) const {
    // The chunk with the greatest base not above the address.
    auto it = std::upper_bound(byAddress_.begin(), byAddress_.end(), at,
                               [](const unsigned char* a, const Chunk* c) { return a < c->base; });
    return it == byAddress_.begin() ? nullptr : *(it - 1);
}

// Every IRP routine looks its IRP up: the chunk of the IRP looked up before it is tried in line.
inline IrpRegistry::Info* IrpRegistry::slotOf(PIRP irp) {
    Chunk* chunk = lastChunk_;
    if (chunk == nullptr) [[unlikely]] {
        return slotInAnyChunk(irp);
    }
    // Below the chunk's base the offset wraps round to a huge one.
    const std::uintptr_t offset =
        reinterpret_cast<std::uintptr_t>(irp) - reinterpret_cast<std::uintptr_t>(chunk->base);
    if (offset >= (chunk->slots << chunk->slotShift)) [[unlikely]] {
        return slotInAnyChunk(irp);
    }
    const std::size_t slotMask = (std::size_t{1} << chunk->slotShift) - 1;
    if (offset >= (chunk->carved << chunk->slotShift) || (offset & slotMask) != 0) {
        return nullptr;
    }
    return &chunk->info[offset >> chunk->slotShift];
}

// The search among the chunks when the IRP is not in the last one looked up.
[[gnu::noinline]] IrpRegistry::Info* IrpRegistry::slotInAnyChunk(PIRP irp) {
    auto* at = reinterpret_cast<unsigned char*>(irp);
    Chunk* chunk = chunkOf(at);
    if (chunk == nullptr || at >= chunk->base + (chunk->slots << chunk->slotShift)) {
        return nullptr; // below every chunk, or past the end of the one below it
    }
    lastChunk_ = chunk;
    return slotOf(irp);
}

IrpRegistry::Slot IrpRegistry::carve(CCHAR stackSize) {
    Size& size = sizes_[static_cast<std::size_t>(stackSize)];
    Chunk* chunk = size.chunks.empty() ? nullptr : size.chunks.back();
    if (chunk == nullptr || chunk->carved == chunk->slots) {
        auto* grown = new Chunk;
        // Slots of a power of two bytes: an address becomes a slot with a shift and a mask.
        while ((std::size_t{1} << grown->slotShift) < irpBytes(stackSize) + kGuardBytes) {
            ++grown->slotShift;
        }
        grown->slots =
            chunk == nullptr ? kFirstChunkSlots : std::min(chunk->slots * 2, kLargestChunkSlots);
        grown->base = static_cast<unsigned char*>(std::malloc(grown->slots << grown->slotShift));
        grown->info.resize(grown->slots);
        size.chunks.push_back(grown);
        byAddress_.insert(
            std::upper_bound(byAddress_.begin(), byAddress_.end(), grown,
                             [](const Chunk* a, const Chunk* b) { return a->base < b->base; }),
            grown);
        chunk = grown;
    }
    const std::size_t slotBytes = std::size_t{1} << chunk->slotShift;
    unsigned char* slot = chunk->base + chunk->carved * slotBytes;
    Info* info = &chunk->info[chunk->carved];
    ++chunk->carved;
    ++carved_;
    ASAN_POISON_MEMORY_REGION(slot + irpBytes(stackSize), slotBytes - irpBytes(stackSize));
    return {reinterpret_cast<PIRP>(slot), info};
}

void IrpRegistry::pushFree(Size& size, Slot slot) {
    if (size.freeCount == size.free.size()) [[unlikely]] {
        growFree(size);
    }
    size.free[(size.freeHead + size.freeCount) & (size.free.size() - 1)] = slot;
    ++size.freeCount;
}

// Grows a full ring (a power of two), unrolled oldest first.
[[gnu::noinline]] void IrpRegistry::growFree(Size& size) {
    std::vector<Slot> grown;
    grown.reserve(std::max<std::size_t>(kQuarantine * 2, size.free.size() * 2));
    for (std::size_t i = 0; i < size.freeCount; ++i) {
        grown.push_back(size.free[(size.freeHead + i) & (size.free.size() - 1)]);
    }
    grown.resize(grown.capacity());
    size.free = std::move(grown);
    size.freeHead = 0;
}

IrpRegistry::Slot IrpRegistry::popFree(Size& size) {
    if (size.freeCount <= kQuarantine) {
        return {};
    }
    Slot slot = size.free[size.freeHead];
    size.freeHead = (size.freeHead + 1) & (size.free.size() - 1);
    --size.freeCount;
    return slot;
}

PIRP IrpRegistry::allocate(CCHAR stackSize, Origin origin) {
    if (sizes_.size() <= static_cast<std::size_t>(stackSize)) [[unlikely]] {
        sizes_.resize(static_cast<std::size_t>(stackSize) + 1);
    }
    Slot slot = popFree(sizes_[static_cast<std::size_t>(stackSize)]);
    if (slot.irp == nullptr) {
        slot = carve(stackSize);
    }
    IoInitializeIrp(slot.irp, static_cast<USHORT>(irpBytes(stackSize)), stackSize);
    *slot.info = Info{origin, false, ++serial_, true, stackSize};
    ++live_;
    return slot.irp;
}

namespace {
// A report of the IRP routines, its message built out of line: the routines run at every IRP.
template <class Message>
[[gnu::noinline, gnu::cold]] void reportIrpRule(const char* broken, const char* call,
                                                Message message) {
    world().verifier().report(broken, call, message());
}

// The registry's reports, out of line: the lookups around them run at every IRP routine.
[[gnu::noinline, gnu::cold]] void reportIrp(const char* broken, const char* call, PIRP irp,
                                            const char* what) {
    world().verifier().report(broken, call, "IRP " + pointer(irp) + what);
}
} // namespace

void IrpRegistry::free(PIRP irp, const char* call) {
    Info* info = slotOf(irp);
    if (info == nullptr || !info->live) [[unlikely]] {
        reportIrp(info != nullptr ? rule::kIrpDoubleFree : rule::kIrpUnknown, call, irp,
                  info != nullptr ? " was already freed" : " was never allocated");
        return;
    }
    if (info->inFlight) [[unlikely]] {
        reportIrp(rule::kIrpFreedInFlight, call, irp,
                  " is still with a lower driver (not completed)");
        return;
    }
    info->live = false;
    --live_;
    std::memset(irp, 0xDF, irpBytes(info->stackSize));
    pushFree(sizes_[static_cast<std::size_t>(info->stackSize)], {irp, info});
}

IrpRegistry::Info* IrpRegistry::find(PIRP irp) {
    Info* info = slotOf(irp);
    return info == nullptr || !info->live ? nullptr : info;
}

IrpRegistry::Info* IrpRegistry::check(PIRP irp, const char* call) {
    Info* info = slotOf(irp);
    if (info != nullptr && info->live) [[likely]] {
        return info;
    }
    reportIrp(info != nullptr ? rule::kIrpUseAfterFree : rule::kIrpUnknown, call, irp,
              info != nullptr ? " was freed" : " was never allocated");
    return nullptr;
}

std::size_t IrpRegistry::liveCount(Origin origin) const {
    std::size_t n = 0;
    for (const Chunk* chunk : byAddress_) {
        for (std::size_t i = 0; i < chunk->carved; ++i) {
            n += chunk->info[i].live && chunk->info[i].origin == origin ? 1 : 0;
        }
    }
    return n;
}

PDRIVER_OBJECT createDriverObject(const wchar_t* name) {
    auto* driver = new DRIVER_OBJECT{};
    auto* extension = new DRIVER_EXTENSION{};
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = const_cast<PWSTR>(name);
    driver->DriverName.Length = static_cast<USHORT>(std::wcslen(name) * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto& entry : driver->MajorFunction) {
        entry = invalidDeviceRequest;
    }
    return driver;
}

void deleteDriverObject(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
    delete driver->DriverExtension;
    delete driver;
}

PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

} // namespace host

using namespace host;

extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    HostLock::Hold hold;
    std::memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CCHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kWaitAtRaisedIrql, "IoAllocateIrp",
                                  "called above DISPATCH_LEVEL");
    }
    if (StackSize < 1 || world().memory().attemptFails(Memory::Kind::Irp, StackSize)) {
        return nullptr;
    }
    return world().irps().allocate(StackSize, IrpRegistry::Origin::Driver);
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
    HostLock::Hold hold;
    world().irps().free(Irp, "IoFreeIrp");
}

namespace {
// IofCallDriver's checks and its move to the next stack location: the dispatch routine of
// `DeviceObject`'s driver for the IRP, or null when a check failed (reported). The caller holds
// the host lock (or runs on one processor, where it is off).
inline PDRIVER_DISPATCH passDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    checkNoLocksHeld("IofCallDriver");
    IrpRegistry::Info* info = world().irps().check(Irp, "IofCallDriver");
    if (info == nullptr) {
        return nullptr;
    }
    KIRQL irql = currentIrql();
    if (irql > DISPATCH_LEVEL) {
        reportIrpRule(rule::kCallAboveMaxIrql, "IofCallDriver", [=] {
            return "called at IRQL " + std::to_string(irql) + "; at most DISPATCH_LEVEL";
        });
    } else if (irql != PASSIVE_LEVEL && info->origin == IrpRegistry::Origin::Threaded) {
        reportIrpRule(rule::kSyncRequestAtRaisedIrql, "IofCallDriver", [=] {
            return "synchronous request IRP " + pointer(Irp) + " sent at IRQL " +
                   std::to_string(irql) + "; only at PASSIVE_LEVEL";
        });
    }
    if (Irp->CurrentLocation <= 1) {
        reportIrpRule(rule::kIrpNoStackLocation, "IofCallDriver", [=] {
            return "IRP " + pointer(Irp) + " has no stack location left for " +
                   pointer(DeviceObject);
        });
        return nullptr;
    }
    info->inFlight = true;
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    return DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
}

// IofCallDriver in the threaded mode: the checks under the host lock, the dispatch routine
// (driver code) without it, whether the caller held it or not.
[[gnu::noinline]] NTSTATUS callDriverThreaded(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDRIVER_DISPATCH dispatch;
    {
        HostLock::Hold hold;
        dispatch = passDown(DeviceObject, Irp);
    }
    if (dispatch == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HostLock::Drop drop; // a caller in host code holds the lock
    return dispatch(DeviceObject, Irp);
}
} // namespace

// From the checks on the IRP belongs to the lower driver, so nothing is left to do after its
// dispatch routine: on one processor the call is the routine's tail call.
extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (HostLock::threaded()) [[unlikely]] {
        return callDriverThreaded(DeviceObject, Irp);
    }
    PDRIVER_DISPATCH dispatch = passDown(DeviceObject, Irp);
    if (dispatch == nullptr) [[unlikely]] {
        return STATUS_INVALID_PARAMETER;
    }
    return dispatch(DeviceObject, Irp);
}

namespace {
// Whether the I/O manager calls the completion routine set in `location` for the IRP as it is.
inline bool invokes(const IO_STACK_LOCATION* location, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    return location->CompletionRoutine != nullptr &&
           ((NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_SUCCESS)) ||
            (!NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_ERROR)) ||
            (irp->Cancel && (location->Control & SL_INVOKE_ON_CANCEL)));
}

// Moves the IRP up to the location above `location` and takes the routine set in `location`
// out of it; returns the routine, its context in `context`.
inline PIO_COMPLETION_ROUTINE stepUp(PIRP Irp, PIO_STACK_LOCATION location, PVOID& context) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    context = location->Context;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
    location->Control = 0;
    return routine;
}

// After a completion routine that did not return STATUS_MORE_PROCESSING_REQUIRED the IRP goes on
// up: the routine must not have freed it, and an IRP the I/O manager did not build must not go
// past its top location (`top`: the routine was the originator's). The IRP's record, or null
// (reported) when the completion stops here.
[[gnu::noinline]] IrpRegistry::Info* handedOn(PIRP Irp, NTSTATUS result, bool top,
                                              IrpRegistry::Origin origin) {
    IrpRegistry::Info* info = world().irps().find(Irp);
    if (info == nullptr) {
        reportIrpRule(rule::kCompletionMustReturnMpr, "IofCompleteRequest", [=] {
            return "a completion routine freed IRP " + pointer(Irp) +
                   " but did not return STATUS_MORE_PROCESSING_REQUIRED";
        });
        return nullptr;
    }
    if (top && origin == IrpRegistry::Origin::Driver) {
        reportIrpRule(rule::kCompletionMustReturnMpr, "IofCompleteRequest", [=] {
            return "the completion routine of driver-allocated IRP " + pointer(Irp) + " returned " +
                   hexValue(static_cast<ULONG>(result)) +
                   "; the I/O manager cannot complete an IRP it did not build";
        });
        return nullptr;
    }
    return info;
}

// The IRP is back at its originator with no routine keeping it.
[[gnu::noinline]] void backAtOriginator(PIRP Irp, const IrpRegistry::Info* info) {
    switch (info->origin) {
    case IrpRegistry::Origin::Threaded:
        // A request built by IoBuildDeviceIoControlRequest: report its status to the caller's
        // block, signal its event and free it.
        if (Irp->UserIosb != nullptr) {
            *Irp->UserIosb = Irp->IoStatus;
        }
        if (Irp->UserEvent != nullptr) {
            KeSetEvent(Irp->UserEvent, 0, FALSE);
        }
        world().irps().free(Irp, "IofCompleteRequest");
        break;
    case IrpRegistry::Origin::Driver:
        reportIrpRule(rule::kCompletionMustReturnMpr, "IofCompleteRequest", [=] {
            return "driver-allocated IRP " + pointer(Irp) +
                   " came back to the I/O manager without a completion "
                   "routine returning STATUS_MORE_PROCESSING_REQUIRED";
        });
        break;
    case IrpRegistry::Origin::Platform:
        // The host's own requests (PnP) are collected by their issuer.
        break;
    }
}

// Runs the completion routines from the current location up, each where the driver above set
// it, until one keeps the IRP or it is back at its originator. The routine of the top location
// (the originator's) gets no device object.
[[gnu::noinline]] void completeUpward(PIRP Irp, IrpRegistry::Info* info) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    do {
        const bool top = Irp->CurrentLocation == Irp->StackCount; // the originator's location
        if (invokes(location, Irp)) {
            PVOID context;
            PIO_COMPLETION_ROUTINE routine = stepUp(Irp, location, context);
            PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            IrpRegistry::Origin origin = info->origin;
            NTSTATUS result;
            {
                HostLock::Drop drop;
                result = routine(device, Irp, context);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return; // the routine owns it now, and may have sent it down again
            }
            info = handedOn(Irp, result, top, origin);
            if (info == nullptr) {
                return;
            }
        } else {
            PVOID context;
            stepUp(Irp, location, context);
            if (Irp->PendingReturned && !top) {
                IoMarkIrpPending(Irp);
            }
        }
        location++;
    } while (Irp->CurrentLocation <= Irp->StackCount);
    backAtOriginator(Irp, info);
}

// IofCompleteRequest's checks: the IRP's record with the IRP taken back from the lower driver,
// or null (reported) when there is nothing to complete.
inline IrpRegistry::Info* takeBackCompleted(PIRP Irp) {
    IrpRegistry::Info* info = world().irps().check(Irp, "IofCompleteRequest");
    if (info == nullptr) {
        return nullptr;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        reportIrpRule(rule::kIrpCompletedTwice, "IofCompleteRequest",
                      [=] { return "IRP " + pointer(Irp) + " has no driver left to complete it"; });
        return nullptr;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        reportIrpRule(rule::kIrpCompletedPending, "IofCompleteRequest",
                      [=] { return "IRP " + pointer(Irp) + " completed with STATUS_PENDING"; });
    }
    // From here on no lower driver has the IRP; a completion routine may send it down again.
    info->inFlight = false;
    return info;
}

// IofCompleteRequest in the threaded mode: the checks and the walk under the host lock, which
// each routine (driver code) runs without.
[[gnu::noinline]] void completeThreaded(PIRP Irp) {
    HostLock::Hold hold;
    if (IrpRegistry::Info* info = takeBackCompleted(Irp)) {
        completeUpward(Irp, info);
    }
}
} // namespace

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
    if (HostLock::threaded()) [[unlikely]] {
        completeThreaded(Irp);
        return;
    }
    IrpRegistry::Info* info = takeBackCompleted(Irp);
    if (info == nullptr) {
        return;
    }
    // The common case: the top location is the only one left, and the routine set in it by the
    // driver that built the IRP keeps the IRP. It runs with no device object, and on one
    // processor with no host lock to give up.
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (Irp->CurrentLocation == Irp->StackCount && invokes(location, Irp)) [[likely]] {
        const IrpRegistry::Origin origin = info->origin;
        PVOID context;
        PIO_COMPLETION_ROUTINE routine = stepUp(Irp, location, context);
        const NTSTATUS result = routine(nullptr, Irp, context);
        if (result != STATUS_MORE_PROCESSING_REQUIRED) [[unlikely]] {
            if (IrpRegistry::Info* on = handedOn(Irp, result, true, origin)) {
                backAtOriginator(Irp, on);
            }
        }
        return;
    }
    completeUpward(Irp, info);
}

extern "C" PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_ACQ_REL);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    HostLock::Hold hold;
    if (world().irps().check(Irp, "IoCancelIrp") == nullptr) {
        return FALSE;
    }
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        return FALSE;
    }
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    Irp->CancelIrql = old;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    // Only the bus sets cancel routines here; it runs under the host lock like all host code,
    // so the transfer cannot complete between the routine's removal above and its run.
    routine(device, Irp);
    KfLowerIrql(old);
    return TRUE;
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                                    PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                                    ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        world().verifier().report(rule::kSyncRequestAtRaisedIrql, "IoBuildDeviceIoControlRequest",
                                  "must be called at PASSIVE_LEVEL");
    }
    if (world().memory().attemptFails(Memory::Kind::Irp, DeviceObject->StackSize)) {
        return nullptr;
    }
    PIRP irp = world().irps().allocate(DeviceObject->StackSize, IrpRegistry::Origin::Threaded);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->UserBuffer = OutputBuffer;
    irp->AssociatedIrp.SystemBuffer = InputBuffer;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    return irp;
}

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING, ULONG DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN,
                                         PDEVICE_OBJECT* DeviceObject) {
    HostLock::Hold hold;
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT)));
    device->Type = 3;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = DriverObject;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->DeviceExtension = DeviceExtensionSize ? std::calloc(1, DeviceExtensionSize) : nullptr;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    HostLock::Hold hold;
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) {
        link = &(*link)->NextDevice;
    }
    if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
    }
    std::free(DeviceObject->DeviceExtension);
    std::free(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
    HostLock::Hold hold;
    PDEVICE_OBJECT top = topOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    HostLock::Hold hold;
    TargetDevice->AttachedDevice = nullptr;
}
