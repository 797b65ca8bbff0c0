// The verifier: rules every driver call must keep, checked on every call in every test.
//
// A broken rule is reported as a Violation naming the rule and the call. By default a violation
// prints and aborts; tests install a handler that fails the test (host/testing.h), and the
// verifier's own tests capture violations to prove each rule fires.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace host {

// Rule names. Each is a short stable identifier tests can match.
namespace rule {
inline constexpr const char* kWaitAtRaisedIrql = "WAIT_AT_RAISED_IRQL";
inline constexpr const char* kWaitNeverSatisfied = "WAIT_NEVER_SATISFIED";
inline constexpr const char* kCallHung = "CALL_HUNG";
inline constexpr const char* kIrqlRaiseLower = "IRQL_RAISE_LOWER_MISUSE";
inline constexpr const char* kIrqlNotRestored = "IRQL_NOT_RESTORED";
inline constexpr const char* kIrqlBelowEntry = "IRQL_LOWERED_BELOW_ENTRY_LEVEL";
inline constexpr const char* kCallAboveMaxIrql = "CALL_ABOVE_MAXIMUM_IRQL";
inline constexpr const char* kSyncRequestAtRaisedIrql = "SYNCHRONOUS_REQUEST_AT_RAISED_IRQL";
inline constexpr const char* kPagedCodeAtRaisedIrql = "PAGED_CODE_AT_RAISED_IRQL";
inline constexpr const char* kSpinLockIrql = "SPIN_LOCK_WRONG_IRQL";
inline constexpr const char* kSpinLockRecursive = "SPIN_LOCK_RECURSIVE_ACQUIRE";
inline constexpr const char* kSpinLockNotOwner = "SPIN_LOCK_RELEASED_BY_NON_OWNER";
inline constexpr const char* kSpinLockHeldTooLong = "SPIN_LOCK_HELD_TOO_LONG";
inline constexpr const char* kLockOrderInversion = "LOCK_ORDER_INVERSION";
inline constexpr const char* kSpinLockHeldOnReturn = "SPIN_LOCK_HELD_ON_RETURN";
inline constexpr const char* kLockHeldAcrossCall = "LOCK_HELD_ACROSS_CALL";
inline constexpr const char* kIrpDoubleFree = "IRP_DOUBLE_FREE";
inline constexpr const char* kIrpUseAfterFree = "IRP_USE_AFTER_FREE";
inline constexpr const char* kIrpUnknown = "IRP_UNKNOWN";
inline constexpr const char* kIrpFreedInFlight = "IRP_FREED_WHILE_IN_FLIGHT";
inline constexpr const char* kIrpNoStackLocation = "IRP_NO_STACK_LOCATION";
inline constexpr const char* kIrpCompletedTwice = "IRP_COMPLETED_TWICE";
inline constexpr const char* kIrpCompletedPending = "IRP_COMPLETED_WITH_STATUS_PENDING";
inline constexpr const char* kCompletionMustReturnMpr = "COMPLETION_MUST_RETURN_MORE_PROCESSING";
inline constexpr const char* kIrpLeak = "IRP_LEAK";
inline constexpr const char* kPoolFreeUnknown = "POOL_FREE_UNKNOWN";
inline constexpr const char* kPoolFreeMismatch = "POOL_FREE_MISMATCH";
inline constexpr const char* kPoolLeak = "POOL_LEAK";
inline constexpr const char* kNdisMemoryLeak = "NDIS_MEMORY_LEAK";
inline constexpr const char* kSendCompleteUnpended = "SEND_COMPLETE_FOR_UNPENDED_PACKET";
inline constexpr const char* kSendCompleteTwice = "SEND_COMPLETE_TWICE";
inline constexpr const char* kSendNeverCompleted = "SEND_NEVER_COMPLETED";
inline constexpr const char* kTimerNotInitialized = "TIMER_NOT_INITIALIZED";
inline constexpr const char* kTimerPendingAtHalt = "TIMER_PENDING_AT_HALT";
inline constexpr const char* kTimerFreedPending = "TIMER_MEMORY_FREED_WHILE_PENDING";
inline constexpr const char* kWorkItemPendingAtHalt = "WORK_ITEM_PENDING_AT_HALT";
inline constexpr const char* kWorkItemFreedQueued = "WORK_ITEM_MEMORY_FREED_WHILE_QUEUED";
inline constexpr const char* kWorkItemRequeued = "WORK_ITEM_QUEUED_TWICE";
inline constexpr const char* kNdisResourceLeak = "NDIS_RESOURCE_LEAK";
inline constexpr const char* kNdisMisuse = "NDIS_MISUSE";
inline constexpr const char* kRequestNeverCompleted = "REQUEST_NEVER_COMPLETED";
inline constexpr const char* kRequestCompleteUnpended = "REQUEST_COMPLETE_WITHOUT_PENDING_REQUEST";
inline constexpr const char* kPacketMisuse = "PACKET_MISUSE";
// An ASSERT of the driver found its condition false.
inline constexpr const char* kDriverAssertion = "DRIVER_ASSERTION_FAILED";
} // namespace rule

struct Violation {
    std::string rule;
    std::string call;    // the platform call that found it
    std::string message; // what happened, with the values involved

    std::string text() const;
};

class Verifier {
  public:
    using Handler = std::function<void(const Violation&)>;

    Verifier();

    // Reports a violation to the current handler.
    void report(const char* rule, std::string call, std::string message);

    // Replaces the handler; returns the previous one.
    Handler setHandler(Handler handler);

    // Read when no processor runs.
    const std::vector<Violation>& history() const { return history_; }
    std::size_t count(const std::string& rule) const;

  private:
    Handler handler_;
    std::vector<Violation> history_;
    // Reports come from every processor in the threaded mode.
    mutable std::recursive_mutex mutex_;
};

} // namespace host
