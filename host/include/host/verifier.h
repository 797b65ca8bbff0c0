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

// Rule names: short stable identifiers that reports print and tests match. What each means and
// which calls check it is in the catalogue (verifier.cpp); a report of a rule missing there is a
// fault of the host and aborts.
namespace rule {
// IRQL
inline constexpr const char* kWaitAtRaisedIrql = "WAIT_AT_RAISED_IRQL";
inline constexpr const char* kWaitNeverSatisfied = "WAIT_NEVER_SATISFIED";
inline constexpr const char* kCallHung = "CALL_HUNG";
inline constexpr const char* kIrqlRaiseLower = "IRQL_RAISE_LOWER_MISUSE";
inline constexpr const char* kIrqlNotRestored = "IRQL_NOT_RESTORED";
inline constexpr const char* kIrqlBelowEntry = "IRQL_LOWERED_BELOW_ENTRY_LEVEL";
inline constexpr const char* kCallAboveMaxIrql = "CALL_ABOVE_MAXIMUM_IRQL";
inline constexpr const char* kSyncRequestAtRaisedIrql = "SYNCHRONOUS_REQUEST_AT_RAISED_IRQL";
inline constexpr const char* kPagedCodeAtRaisedIrql = "PAGED_CODE_AT_RAISED_IRQL";
// Spin locks
inline constexpr const char* kSpinLockIrql = "SPIN_LOCK_WRONG_IRQL";
inline constexpr const char* kSpinLockRecursive = "SPIN_LOCK_RECURSIVE_ACQUIRE";
inline constexpr const char* kSpinLockNotOwner = "SPIN_LOCK_RELEASED_BY_NON_OWNER";
inline constexpr const char* kSpinLockHeldTooLong = "SPIN_LOCK_HELD_TOO_LONG";
inline constexpr const char* kLockOrderInversion = "LOCK_ORDER_INVERSION";
inline constexpr const char* kSpinLockHeldOnReturn = "SPIN_LOCK_HELD_ON_RETURN";
inline constexpr const char* kSpinLockFreedHeld = "SPIN_LOCK_FREED_WHILE_HELD";
inline constexpr const char* kLockHeldAcrossCall = "LOCK_HELD_ACROSS_CALL";
// IRPs
inline constexpr const char* kIrpDoubleFree = "IRP_DOUBLE_FREE";
inline constexpr const char* kIrpUseAfterFree = "IRP_USE_AFTER_FREE";
inline constexpr const char* kIrpUnknown = "IRP_UNKNOWN";
inline constexpr const char* kIrpFreedInFlight = "IRP_FREED_WHILE_IN_FLIGHT";
inline constexpr const char* kIrpNoStackLocation = "IRP_NO_STACK_LOCATION";
inline constexpr const char* kIrpCompletedTwice = "IRP_COMPLETED_TWICE";
inline constexpr const char* kIrpCompletedPending = "IRP_COMPLETED_WITH_STATUS_PENDING";
inline constexpr const char* kCompletionMustReturnMpr = "COMPLETION_MUST_RETURN_MORE_PROCESSING";
inline constexpr const char* kIrpLeak = "IRP_LEAK";
// Memory
inline constexpr const char* kPoolFreeUnknown = "POOL_FREE_UNKNOWN";
inline constexpr const char* kPoolFreeMismatch = "POOL_FREE_MISMATCH";
inline constexpr const char* kPoolLeak = "POOL_LEAK";
inline constexpr const char* kNdisMemoryLeak = "NDIS_MEMORY_LEAK";
// NDIS handles, packets and buffers
inline constexpr const char* kNdisHandleInvalid = "NDIS_HANDLE_INVALID";
inline constexpr const char* kAdapterNotRunning = "CALL_FOR_ADAPTER_NOT_RUNNING";
inline constexpr const char* kPacketNotFromPool = "PACKET_OR_BUFFER_NOT_FROM_POOL";
inline constexpr const char* kPacketIndicatedTwice = "PACKET_INDICATED_BEFORE_RETURN";
inline constexpr const char* kBufferChainUnterminated = "BUFFER_CHAIN_NOT_TERMINATED";
inline constexpr const char* kIndicateWithoutReturnHandler = "INDICATE_WITHOUT_RETURN_HANDLER";
inline constexpr const char* kPoolFreedWithItemsOut = "NDIS_POOL_FREED_WITH_ITEMS_OUTSTANDING";
inline constexpr const char* kNdisResourceLeak = "NDIS_RESOURCE_LEAK";
inline constexpr const char* kUnclaimedResourceReleased = "RELEASE_OF_UNCLAIMED_RESOURCE";
// Miniport registration, initialisation and reset
inline constexpr const char* kMiniportNotRegistered = "MINIPORT_NOT_REGISTERED";
inline constexpr const char* kCallOutsideInitialize = "CALL_OUTSIDE_INITIALIZE";
inline constexpr const char* kInitializeWithoutAttributes = "INITIALIZE_WITHOUT_ATTRIBUTES";
inline constexpr const char* kMediumOutOfRange = "INITIALIZE_MEDIUM_OUT_OF_RANGE";
inline constexpr const char* kResetNeverCompleted = "RESET_NEVER_COMPLETED";
inline constexpr const char* kResetCompleteUnpended = "RESET_COMPLETE_WITHOUT_PENDING_RESET";
// Sends and requests
inline constexpr const char* kSendCompleteUnpended = "SEND_COMPLETE_FOR_UNPENDED_PACKET";
inline constexpr const char* kSendCompleteTwice = "SEND_COMPLETE_TWICE";
inline constexpr const char* kSendNeverCompleted = "SEND_NEVER_COMPLETED";
inline constexpr const char* kRequestNeverCompleted = "REQUEST_NEVER_COMPLETED";
inline constexpr const char* kRequestCompleteUnpended = "REQUEST_COMPLETE_WITHOUT_PENDING_REQUEST";
inline constexpr const char* kRequestCompletedPending = "REQUEST_COMPLETED_WITH_STATUS_PENDING";
inline constexpr const char* kRequestBytesBeyondBuffer = "REQUEST_BYTES_BEYOND_BUFFER";
// Timers and work items
inline constexpr const char* kTimerNotInitialized = "TIMER_NOT_INITIALIZED";
inline constexpr const char* kTimerReinitializedSet = "TIMER_REINITIALIZED_WHILE_SET";
inline constexpr const char* kTimerPendingAtHalt = "TIMER_PENDING_AT_HALT";
inline constexpr const char* kTimerFreedPending = "TIMER_MEMORY_FREED_WHILE_PENDING";
inline constexpr const char* kWorkItemPendingAtHalt = "WORK_ITEM_PENDING_AT_HALT";
inline constexpr const char* kWorkItemFreedQueued = "WORK_ITEM_MEMORY_FREED_WHILE_QUEUED";
inline constexpr const char* kWorkItemRequeued = "WORK_ITEM_QUEUED_TWICE";
// The driver's own checks
inline constexpr const char* kDriverAssertion = "DRIVER_ASSERTION_FAILED";
} // namespace rule

// One row of the catalogue: a rule, what breaking it means, and the calls that check it.
struct RuleEntry {
    const char* name;
    const char* meaning;
    const char* checkedBy;
};

// Every rule the verifier knows; nullptr when `name` is not one of them.
const RuleEntry* findRule(const std::string& name);

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
