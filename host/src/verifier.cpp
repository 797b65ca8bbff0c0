#include "host/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace host {

namespace {

// The catalogue: every rule, what breaking it means, and the calls that check it.
constexpr RuleEntry kCatalogue[] = {
    {rule::kWaitAtRaisedIrql, "a wait, sleep or pageable allocation above the IRQL it allows",
     "KeWaitForSingleObject, KeDelayExecutionThread, NdisMSleep, ExAllocatePoolWithTag"},
    {rule::kWaitNeverSatisfied, "an unbounded wait still unsatisfied after an hour of virtual time",
     "KeWaitForSingleObject"},
    {rule::kCallHung, "a driver routine did not return within its bound of virtual time",
     "the hang watch around halt, removal and the other waited calls"},
    {rule::kIrqlRaiseLower, "KfRaiseIrql to a lower IRQL, or KfLowerIrql to a higher one",
     "KfRaiseIrql, KfLowerIrql"},
    {rule::kIrqlNotRestored, "a driver routine returned at another IRQL than it was called at",
     "every call into the driver"},
    {rule::kIrqlBelowEntry, "the IRQL lowered below the level the routine was entered at",
     "KfLowerIrql, KfReleaseSpinLock"},
    {rule::kCallAboveMaxIrql, "a platform routine called above the highest IRQL it allows",
     "IofCallDriver, NdisMIndicateReceivePacket, NdisMSendComplete, NdisMResetComplete, "
     "NdisM(Set|Query)InformationComplete, NdisAllocateMemoryWithTag, NdisScheduleWorkItem"},
    {rule::kSyncRequestAtRaisedIrql, "a synchronous request built or sent above PASSIVE_LEVEL",
     "IoBuildDeviceIoControlRequest, IofCallDriver"},
    {rule::kPagedCodeAtRaisedIrql, "pageable code entered above APC_LEVEL", "PAGED_CODE"},
    {rule::kSpinLockIrql, "a spin lock routine called at an IRQL its kind does not allow",
     "KfAcquireSpinLock, KfReleaseSpinLock, KefAcquireSpinLockAtDpcLevel, "
     "KefReleaseSpinLockFromDpcLevel"},
    {rule::kSpinLockRecursive, "a spin lock acquired by the processor that holds it (deadlock)",
     "the spin lock acquires"},
    {rule::kSpinLockNotOwner, "a spin lock released by a processor that does not hold it",
     "the spin lock releases"},
    {rule::kSpinLockHeldTooLong,
     "a spin lock held longer than the bound (threaded mode; 500 ms of real time by default)",
     "the spin lock releases"},
    {rule::kLockOrderInversion,
     "two spin locks taken in both orders by the processors (a possible deadlock)",
     "the spin lock acquires"},
    {rule::kSpinLockHeldOnReturn, "a driver routine returned holding a spin lock",
     "every call into the driver"},
    {rule::kSpinLockFreedHeld, "a spin lock freed while held, or never initialised",
     "NdisFreeSpinLock"},
    {rule::kLockHeldAcrossCall, "a spin lock held across a call down the stack or an indication",
     "IofCallDriver, NdisMIndicateReceivePacket"},
    {rule::kIrpDoubleFree, "an IRP freed twice", "IoFreeIrp"},
    {rule::kIrpUseAfterFree, "an IRP used after it was freed",
     "IofCallDriver, IofCompleteRequest, IoCancelIrp, IoSetCancelRoutine"},
    {rule::kIrpUnknown, "an IRP the I/O manager never allocated", "the IRP routines"},
    {rule::kIrpFreedInFlight, "an IRP freed while a lower driver still holds it", "IoFreeIrp"},
    {rule::kIrpNoStackLocation, "an IRP sent down with no stack location left", "IofCallDriver"},
    {rule::kIrpCompletedTwice, "an IRP completed when no driver is left to complete it",
     "IofCompleteRequest"},
    {rule::kIrpCompletedPending, "an IRP completed with STATUS_PENDING", "IofCompleteRequest"},
    {rule::kCompletionMustReturnMpr,
     "a completion routine freed or kept its IRP without returning "
     "STATUS_MORE_PROCESSING_REQUIRED",
     "IofCompleteRequest"},
    {rule::kIrpLeak, "IRPs the driver allocated were never freed", "unload"},
    {rule::kPoolFreeUnknown, "memory freed that was never allocated (or freed twice)",
     "ExFreePool(WithTag), NdisFreeMemory"},
    {rule::kPoolFreeMismatch,
     "memory freed by another allocator, length or tag than it was got with",
     "ExFreePoolWithTag, NdisFreeMemory"},
    {rule::kPoolLeak, "pool still allocated when the driver unloads", "unload"},
    {rule::kNdisMemoryLeak, "NDIS memory still allocated when the driver unloads", "unload"},
    {rule::kNdisHandleInvalid,
     "a handle NDIS never gave out, or already closed: wrapper, adapter, configuration, "
     "packet or buffer pool, configuration context, device object",
     "NdisMRegisterMiniport, NdisTerminateWrapper, the adapter's calls, NdisOpenConfiguration, "
     "NdisReadConfiguration, NdisReadNetworkAddress, NdisCloseConfiguration, "
     "NdisAllocatePacket, NdisFreePacketPool, NdisAllocateBuffer, NdisFreeBufferPool, "
     "NDIS's PnP dispatch"},
    {rule::kAdapterNotRunning, "a call for an adapter that is halted or never started",
     "NdisMSendComplete, NdisMSendResourcesAvailable, NdisMIndicateReceivePacket, "
     "NdisMIndicateStatus, NdisMIndicateStatusComplete"},
    {rule::kPacketNotFromPool, "a packet or buffer that no pool of this miniport allocated",
     "NdisMIndicateReceivePacket, NdisFreePacket, NdisFreeBuffer"},
    {rule::kPacketIndicatedTwice, "a packet indicated again before NDIS returned it",
     "NdisMIndicateReceivePacket"},
    {rule::kBufferChainUnterminated, "a packet's buffer chain that does not end",
     "NdisMIndicateReceivePacket"},
    {rule::kIndicateWithoutReturnHandler,
     "a packet indicated for NDIS to keep by a miniport with no ReturnPacketHandler",
     "NdisMIndicateReceivePacket"},
    {rule::kPoolFreedWithItemsOut, "a packet or buffer pool freed while items of it are allocated",
     "NdisFreePacketPool, NdisFreeBufferPool"},
    {rule::kNdisResourceLeak,
     "an NDIS resource left at halt or unload: pools, configuration handles, the shutdown handler",
     "MiniportHalt, unload"},
    {rule::kUnclaimedResourceReleased, "a hardware resource released that was never claimed",
     "NdisMFreeSharedMemory, NdisMDeregisterIoPortRange, NdisMDeregisterInterrupt, "
     "NdisMFreeMapRegisters"},
    {rule::kMiniportNotRegistered, "a device added for a driver with no registered miniport",
     "AddDevice"},
    {rule::kCallOutsideInitialize, "a call allowed only inside MiniportInitialize made outside it",
     "NdisMSetAttributesEx"},
    {rule::kInitializeWithoutAttributes,
     "MiniportInitialize succeeded without calling NdisMSetAttributesEx", "MiniportInitialize"},
    {rule::kMediumOutOfRange, "MiniportInitialize selected a medium outside the array it was given",
     "MiniportInitialize"},
    {rule::kResetNeverCompleted, "the adapter halted while a reset it pended was never completed",
     "MiniportHalt"},
    {rule::kResetCompleteUnpended, "NdisMResetComplete with no reset waiting for completion",
     "NdisMResetComplete"},
    {rule::kSendCompleteUnpended, "a send completed that was never pended to this adapter",
     "NdisMSendComplete"},
    {rule::kSendCompleteTwice, "a send completed twice", "NdisMSendComplete"},
    {rule::kSendNeverCompleted, "a pended send never completed by halt", "MiniportHalt"},
    {rule::kRequestNeverCompleted, "an OID request pended and never completed",
     "MiniportHalt, the request's bound"},
    {rule::kRequestCompleteUnpended, "an OID request completed when none is pending",
     "NdisMSetInformationComplete, NdisMQueryInformationComplete"},
    {rule::kRequestCompletedPending, "an OID request completed with NDIS_STATUS_PENDING",
     "NdisMSetInformationComplete, NdisMQueryInformationComplete"},
    {rule::kRequestBytesBeyondBuffer,
     "an OID request reports more bytes read or written than its buffer holds",
     "MiniportQueryInformation, MiniportSetInformation and their completions"},
    {rule::kTimerNotInitialized, "a timer set or cancelled before NdisMInitializeTimer",
     "NdisMSetTimer, NdisMSetPeriodicTimer, NdisMCancelTimer"},
    {rule::kTimerReinitializedSet, "a timer initialised again while it is set",
     "NdisMInitializeTimer"},
    {rule::kTimerPendingAtHalt, "a timer still set after the adapter stopped",
     "MiniportHalt, unload"},
    {rule::kTimerFreedPending, "the memory of a set timer freed", "the memory frees"},
    {rule::kWorkItemPendingAtHalt, "a work item still queued after the adapter stopped",
     "MiniportHalt, unload"},
    {rule::kWorkItemFreedQueued, "the memory of a queued work item freed", "the memory frees"},
    {rule::kWorkItemRequeued, "a work item queued while it is already queued",
     "NdisScheduleWorkItem"},
    {rule::kDriverAssertion, "an ASSERT of the driver found its condition false", "RtlAssert"},
};

} // namespace

const RuleEntry* findRule(const std::string& name) {
    for (const RuleEntry& entry : kCatalogue) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

std::string Violation::text() const {
    return "verifier: rule " + rule + " broken in " + call + ": " + message;
}

Verifier::Verifier()
    : handler_([](const Violation& v) {
          std::fprintf(stderr, "%s\n", v.text().c_str());
          std::abort();
      }) {}

void Verifier::report(const char* rule, std::string call, std::string message) {
    if (findRule(rule) == nullptr) {
        std::fprintf(stderr, "verifier: rule %s is not in the catalogue\n", rule);
        std::abort();
    }
    Violation v{rule, std::move(call), std::move(message)};
    std::lock_guard lock(mutex_);
    history_.push_back(v);
    if (handler_) {
        handler_(v);
    }
}

Verifier::Handler Verifier::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    std::swap(handler, handler_);
    return handler;
}

std::size_t Verifier::count(const std::string& rule) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& v : history_) {
        n += v.rule == rule ? 1 : 0;
    }
    return n;
}

} // namespace host
