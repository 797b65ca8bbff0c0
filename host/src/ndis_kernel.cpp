// NDIS memory, spin locks, miniport timers and NdisMSleep, on top of the host kernel.
#include "host/kernel.h"
#include "host/ndis.h"
#include "host/world.h"
#include "host/smp.h"
#include "ndis_internal.h"

namespace host::ndis {

using namespace internal;

namespace {

// The book entry of a timer other than the one last looked up, or null (reported) for one never
// initialised: out of line, so that setting the same timer again is a short call.
[[gnu::noinline]] Library::Timer* lookUpTimer(Library& library, const void* address,
                                              const char* call) {
    Library::Timer* t = library.timer(address);
    if (t == nullptr) {
        world().verifier().report(rule::kTimerNotInitialized, call,
                                  "timer " + pointer(address) +
                                      " was never initialised with NdisMInitializeTimer");
    }
    return t;
}

} // namespace

void Library::setTimer(const void* address, UINT milliseconds, const char* call) {
    Timer* t = address == lastTimerAddress_ && lastTimer_ != nullptr
                   ? lastTimer_
                   : lookUpTimer(*this, address, call);
    if (t == nullptr) {
        return;
    }
    Scheduler& scheduler = world_.scheduler();
    t->pending = true;
    // Arming the timer's event again takes it off the queue first.
    t->event =
        scheduler.arm(t->due, scheduler.now() + static_cast<Time>(milliseconds) * kMillisecond);
}

// A set timer's event: calls the timer function at DISPATCH_LEVEL. The event is the timer
// record's own, and a record goes only with its memory (a set timer's event is cancelled
// before that); the driver call is its only entry.
void Library::runTimer(void* timer) {
    Timer* t = static_cast<Timer*>(timer);
    if (!t->pending) {
        return;
    }
    t->pending = false;
    t->event = 0;
    ++t->runs;
    PNDIS_TIMER_FUNCTION function = t->function;
    PVOID context = t->context;
    callDriverAt(DISPATCH_LEVEL, "NDIS timer function",
                 [&] { function(nullptr, context, nullptr, nullptr); });
}

bool Library::cancelTimer(const void* address) {
    Timer* t = timer(address);
    if (t == nullptr || !t->pending) {
        return false;
    }
    world_.scheduler().cancel(t->event);
    t->pending = false;
    t->event = 0;
    return true;
}

NDIS_STATUS Library::scheduleWorkItem(PNDIS_WORK_ITEM item) {
    if (workItems_.count(item) != 0) {
        world_.verifier().report(rule::kWorkItemRequeued, "NdisScheduleWorkItem",
                                 "work item " + pointer(item) + " is already queued");
        return NDIS_STATUS_FAILURE;
    }
    workItems_[item] = world_.scheduler().after(
        0,
        [this, item] {
            workItems_.erase(item);
            // The worker thread reads the routine and context when it runs the item; the item
            // belongs to the routine from then on (it may free or requeue it).
            NDIS_PROC routine = item->Routine;
            PVOID context = item->Context;
            callDriverAt(PASSIVE_LEVEL, "NDIS work item", [&] { routine(item, context); });
        },
        "NDIS work item", Scheduler::Level::Passive);
    return NDIS_STATUS_SUCCESS;
}

void Library::onMemoryFreed(void* p, std::size_t size) {
    auto* begin = static_cast<const char*>(p);
    auto* end = begin + size;
    for (auto it = workItems_.lower_bound(reinterpret_cast<PNDIS_WORK_ITEM>(p));
         it != workItems_.end() && reinterpret_cast<const char*>(it->first) < end;) {
        world_.verifier().report(rule::kWorkItemFreedQueued, "memory free",
                                 "memory " + pointer(p) + " holds work item " + pointer(it->first) +
                                     ", which is still queued");
        world_.scheduler().cancel(it->second);
        it = workItems_.erase(it);
    }
    for (auto it = timers_.lower_bound(begin); it != timers_.end() && it->first < end;) {
        if (it->second.pending) {
            world_.verifier().report(rule::kTimerFreedPending, "memory free",
                                     "memory " + pointer(p) + " (" + std::to_string(size) +
                                         " bytes) holds timer " + pointer(it->first) +
                                         ", which is still set");
            world_.scheduler().cancel(it->second.event);
        }
        lastTimer_ = nullptr;
        it = timers_.erase(it);
    }
}

} // namespace host::ndis

using namespace host;

// ---- memory -----------------------------------------------------------------------------------

extern "C" NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length,
                                                       ULONG Tag) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisAllocateMemoryWithTag",
                                  "called above DISPATCH_LEVEL");
    }
    *VirtualAddress = world().memory().allocate(Memory::Kind::Ndis, Length, Tag);
    return *VirtualAddress != nullptr ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}

extern "C" VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT) {
    HostLock::Hold hold;
    world().memory().free(Memory::Kind::Ndis, VirtualAddress, "NdisFreeMemory", Length, true);
}

// ---- spin locks ---------------------------------------------------------------------------------

extern "C" VOID NTAPI NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    KeInitializeSpinLock(&SpinLock->SpinLock);
    SpinLock->OldIrql = PASSIVE_LEVEL;
}

extern "C" VOID NTAPI NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    if (SpinLock->SpinLock != 0) {
        world().verifier().report(rule::kSpinLockFreedHeld, "NdisFreeSpinLock",
                                  "spin lock is still held (or was never initialised)");
    }
}

// NdisAcquireSpinLock and the other three are in kernel.cpp, beside the kernel's own.

// ---- timers -------------------------------------------------------------------------------------

extern "C" VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer,
                                           NDIS_HANDLE MiniportAdapterHandle,
                                           PNDIS_TIMER_FUNCTION TimerFunction,
                                           PVOID FunctionContext) {
    HostLock::Hold hold;
    ndis::Library& ndis = world().ndis();
    ndis::Adapter* adapter = ndis.adapterFromHandle(MiniportAdapterHandle, "NdisMInitializeTimer");
    if (ndis.cancelTimer(Timer)) {
        world().verifier().report(rule::kTimerReinitializedSet, "NdisMInitializeTimer",
                                  "the timer was initialised again while it was set");
    }
    Timer->MiniportTimerFunction = TimerFunction;
    Timer->MiniportTimerContext = FunctionContext;
    Timer->Miniport = adapter;
    Timer->NextDeferredTimer = nullptr;
    ndis::Library::Timer& t = ndis.timers()[Timer];
    t.function = TimerFunction;
    t.context = FunctionContext;
    t.adapter = adapter;
    t.event = 0;
    t.pending = false;
    t.runs = 0;
    t.due.bind(ndis::Library::runTimer, &t, "NDIS timer", Scheduler::Level::Driver);
}

extern "C" VOID NTAPI NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay) {
    HostLock::Hold hold;
    world().ndis().setTimer(Timer, MillisecondsToDelay, "NdisSetTimer");
}

extern "C" VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
    HostLock::Hold hold;
    world().ndis().setTimer(Timer, MillisecondsToDelay, "NdisMSetTimer");
}

extern "C" VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
    HostLock::Hold hold;
    ndis::Library& ndis = world().ndis();
    if (ndis.timer(Timer) == nullptr) {
        world().verifier().report(rule::kTimerNotInitialized, "NdisMCancelTimer",
                                  "the timer was never initialised with NdisMInitializeTimer");
        *TimerCancelled = FALSE;
        return;
    }
    *TimerCancelled = ndis.cancelTimer(Timer) ? TRUE : FALSE;
}

extern "C" NDIS_STATUS NTAPI NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisScheduleWorkItem",
                                  "called above DISPATCH_LEVEL");
    }
    return world().ndis().scheduleWorkItem(WorkItem);
}

extern "C" VOID NTAPI NdisMSleep(ULONG MicrosecondsToSleep) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        world().verifier().report(rule::kWaitAtRaisedIrql, "NdisMSleep",
                                  "sleep at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                      "; must be PASSIVE_LEVEL");
    }
    Scheduler& scheduler = world().scheduler();
    scheduler.advanceTo(scheduler.now() + static_cast<Time>(MicrosecondsToSleep) * kMicrosecond);
}
