// The host kernel on its own: every verifier rule of the kernel layer shown firing on a
// deliberate violation. (Virtual time, timed waits, pended completion at DISPATCH_LEVEL, the
// interlocked lists, cancel, the synchronous device-control request, the pool's fill pattern,
// leak report and failures are shown through the driver's own channel and data path in
// tests/driver.)
#include <gtest/gtest.h>

#include <functional>

#include "host/io.h"
#include "host/testing.h"

namespace host::testing {
namespace {

using host::testing::ExpectViolation;

// A lower driver for IRP tests: completes each request inline with `status`, or (with `delay`
// set) pends it with a cancel routine until cancelled.
struct LowerDriver {
    static inline NTSTATUS status = STATUS_SUCCESS;
    static inline host::Time delay = -1; // < 0: inline

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;

    LowerDriver() {
        status = STATUS_SUCCESS;
        delay = -1;
        driver = host::createDriverObject(L"\\Driver\\lower");
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    ~LowerDriver() { host::deleteDriverObject(driver); }

    static VOID NTAPI cancel(PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT, PIRP irp) {
        if (delay < 0) {
            irp->IoStatus.Status = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel);
        return STATUS_PENDING;
    }
};

// What a completion routine does with the IRP: frees it or not, and what it returns.
struct CompletionRecord {
    bool freeIrp = true;
    NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;
};

NTSTATUS NTAPI recordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* record = static_cast<CompletionRecord*>(context);
    if (record->freeIrp) {
        IoFreeIrp(irp);
    }
    return record->result;
}

class KernelTest : public host::testing::WorldTest {
  protected:
    LowerDriver lower;

    // Sends a driver-allocated IRP down at DISPATCH_LEVEL with a completion routine.
    NTSTATUS sendDriverIrp(CompletionRecord& record, PIRP* sent = nullptr) {
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower.device->StackSize + 1), FALSE);
        IoSetNextIrpStackLocation(irp); // our own location
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, recordCompletion, &record, TRUE, TRUE, TRUE);
        if (sent != nullptr) {
            *sent = irp;
        }
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        NTSTATUS status = IofCallDriver(lower.device, irp);
        KfLowerIrql(old);
        return status;
    }
};

// ---- each verifier rule of the kernel layer, broken on purpose ---------------------------------

// A driver ASSERT that holds is silent; one that does not is reported with its condition.
TEST_F(KernelTest, VerifierReportsAFalseDriverAssertion) {
#if defined(NDEBUG)
    GTEST_SKIP() << "ASSERT is empty in a free (optimised) build, as in the DDK";
#endif
    ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    ExpectViolation v(host::rule::kDriverAssertion);
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
}

// The IRQL rules Windows 2000 holds driver code to, each broken once inside a driver entry: the
// IRQL lowered below the entry level (directly or by a spin lock release), a sleep and a timed
// wait at DISPATCH_LEVEL, pageable code above APC_LEVEL, a synchronous request built above
// PASSIVE_LEVEL and a driver called above DISPATCH_LEVEL. A raise and a lowering back to the
// entry level, pageable code at APC_LEVEL and a wait with a zero timeout (a poll) at
// DISPATCH_LEVEL are legal.
TEST_F(KernelTest, VerifierCatchesIrqlRulesOfDriverEntries) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10;
    PIRP irp = IoAllocateIrp(lower.device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    CompletionRecord record; // frees the IRP
    IoSetCompletionRoutine(irp, recordCompletion, &record, TRUE, TRUE, TRUE);
    PIRP built = nullptr;
    IO_STATUS_BLOCK iosb;
    struct Case {
        const char* rule; // null: legal
        KIRQL entry;
        std::function<void()> body;
    } cases[] = {
        {host::rule::kIrqlBelowEntry, DISPATCH_LEVEL,
         [] {
             KfLowerIrql(PASSIVE_LEVEL);
             KfRaiseIrql(DISPATCH_LEVEL);
         }},
        {host::rule::kIrqlBelowEntry, DISPATCH_LEVEL,
         [&] {
             KfAcquireSpinLock(&lock);
             KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
             KfRaiseIrql(DISPATCH_LEVEL);
         }},
        {host::rule::kWaitAtRaisedIrql, DISPATCH_LEVEL, [] { NdisMSleep(10); }},
        {host::rule::kWaitAtRaisedIrql, DISPATCH_LEVEL,
         [&] { KeDelayExecutionThread(KernelMode, FALSE, &timeout); }},
        {host::rule::kWaitAtRaisedIrql, DISPATCH_LEVEL,
         [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout); }},
        {host::rule::kPagedCodeAtRaisedIrql, DISPATCH_LEVEL, [] { PAGED_CODE(); }},
        {host::rule::kSyncRequestAtRaisedIrql, DISPATCH_LEVEL,
         [&] {
             built = IoBuildDeviceIoControlRequest(0, lower.device, nullptr, 0, nullptr, 0, TRUE,
                                                   &event, &iosb);
         }},
        {host::rule::kCallAboveMaxIrql, HIGH_LEVEL, [&] { IofCallDriver(lower.device, irp); }},
        {nullptr, PASSIVE_LEVEL,
         [] {
             KfRaiseIrql(DISPATCH_LEVEL);
             KfLowerIrql(PASSIVE_LEVEL);
         }},
        {nullptr, APC_LEVEL, [] { PAGED_CODE(); }},
        {nullptr, DISPATCH_LEVEL,
         [&] {
             LARGE_INTEGER poll{};
             KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
             EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
                       STATUS_SUCCESS);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule != nullptr ? c.rule : "legal");
        ExpectViolation v(c.rule != nullptr ? c.rule : "none", c.rule != nullptr);
        host::callDriverAt(c.entry, "driver entry", c.body);
        EXPECT_EQ(v.count(), c.rule != nullptr ? 1u : 0u);
    }
    IofCallDriver(lower.device, built); // completed and freed by the I/O manager
}

TEST_F(KernelTest, VerifierCatchesAnUnboundedWaitNothingSatisfies) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ExpectViolation v(host::rule::kWaitNeverSatisfied);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(KernelTest, VerifierCatchesSpinLockMisuse) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
        ExpectViolation v(host::rule::kSpinLockIrql);
        KefAcquireSpinLockAtDpcLevel(&lock); // at PASSIVE_LEVEL
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        KefReleaseSpinLockFromDpcLevel(&lock);
    }
    {
        ExpectViolation v(host::rule::kSpinLockNotOwner);
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        KefReleaseSpinLockFromDpcLevel(&lock); // not held
    }
    {
        ExpectViolation v(host::rule::kSpinLockRecursive);
        KIRQL old = KfAcquireSpinLock(&lock);
        KfAcquireSpinLock(&lock);
        KfReleaseSpinLock(&lock, old);
    }
    {
        ExpectViolation v(host::rule::kIrqlRaiseLower);
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        KfRaiseIrql(PASSIVE_LEVEL);
    }
}

TEST_F(KernelTest, VerifierCatchesDriverCodeReturningAtAnotherIrqlOrHoldingALockAcrossACall) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
        ExpectViolation v(host::rule::kIrqlNotRestored);
        scheduler().after(0, [] { KfRaiseIrql(HIGH_LEVEL); });
        scheduler().runUntilIdle();
    }
    {
        ExpectViolation v(host::rule::kSpinLockHeldOnReturn);
        scheduler().after(0, [&] { KefAcquireSpinLockAtDpcLevel(&lock); });
        scheduler().runUntilIdle();
    }
    {
        KeInitializeSpinLock(&lock); // the driver code above left it marked held
        CompletionRecord record;
        ExpectViolation v(host::rule::kLockHeldAcrossCall);
        KIRQL old = KfAcquireSpinLock(&lock);
        sendDriverIrp(record);
        KfReleaseSpinLock(&lock, old);
        EXPECT_EQ(v.seen().front().call, "IofCallDriver");
    }
    EXPECT_EQ(host::heldSpinLockCount(), 0u);
}

TEST_F(KernelTest, VerifierCatchesIrpAndPoolLifetimeErrors) {
    {
        ExpectViolation v(host::rule::kIrpDoubleFree);
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
    }
    {
        ExpectViolation v(host::rule::kIrpUseAfterFree);
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoCancelIrp(irp);
    }
    {
        ExpectViolation v(host::rule::kIrpFreedInFlight);
        LowerDriver::delay = host::kForever;
        CompletionRecord record;
        PIRP irp = nullptr;
        sendDriverIrp(record, &irp);
        IoFreeIrp(irp);
        IoCancelIrp(irp); // still live: collect it
        LowerDriver::delay = -1;
    }
    {
        ExpectViolation v(host::rule::kIrpNoStackLocation);
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp); // uses the only location itself
        IofCallDriver(lower.device, irp);
        IoFreeIrp(irp);
    }
    {
        ExpectViolation v(host::rule::kIrpUnknown);
        IRP onStack{};
        IoFreeIrp(&onStack);
    }
    {
        // An IRP whose only stack location was already completed has nobody left to complete.
        ExpectViolation v(host::rule::kIrpCompletedTwice);
        CompletionRecord record;
        record.freeIrp = false;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, recordCompletion, &record, TRUE, TRUE, TRUE);
        IofCallDriver(lower.device, irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IoFreeIrp(irp);
    }
    {
        ExpectViolation v(host::rule::kIrpCompletedPending);
        LowerDriver::status = STATUS_PENDING;
        CompletionRecord record;
        sendDriverIrp(record);
        LowerDriver::status = STATUS_SUCCESS;
    }
    {
        ExpectViolation v(host::rule::kPoolFreeUnknown);
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
        ExFreePool(p);
        ExFreePool(p);
    }
    {
        // The pool hands a freed block out again only after eight more frees of its size, so a
        // driver's use after free meets the freed pattern, not another owner's data.
        void* freed = ExAllocatePoolWithTag(NonPagedPool, 40, 1);
        ExFreePool(freed);
        for (int i = 0; i < 8; ++i) {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 40, 1);
            EXPECT_NE(p, freed) << i;
            EXPECT_EQ(static_cast<unsigned char*>(p)[39], host::Memory::kFillPattern);
            ExFreePool(p);
        }
    }
    // Nothing larger than Windows 2000's whole nonpaged pool is ever given.
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, host::Memory::kLargestAllocation + 1, 1),
              nullptr);
}

// What a completion routine does with a driver-allocated IRP, the routine set in the IRP's top
// location (the one-location IRP of the driver's data path) or below a location of the
// driver's own: keeping it (STATUS_MORE_PROCESSING_REQUIRED, freed or not) is silent; handing it
// on is reported once, whether the routine freed it or not, since the I/O manager cannot
// complete an IRP it did not build.
TEST_F(KernelTest, ACompletionRoutineMustKeepTheDriverAllocatedIrp) {
    struct Case {
        bool ownLocation;
        bool freeIrp;
        NTSTATUS result;
    } cases[] = {
        {false, true, STATUS_MORE_PROCESSING_REQUIRED},
        {false, false, STATUS_SUCCESS},
        {false, true, STATUS_SUCCESS},
        {true, true, STATUS_MORE_PROCESSING_REQUIRED},
        {true, false, STATUS_SUCCESS},
        {true, true, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "own location " << c.ownLocation << ", freed "
                                          << c.freeIrp << ", result " << std::hex << c.result);
        CompletionRecord record{c.freeIrp, c.result};
        const bool legal = c.result == STATUS_MORE_PROCESSING_REQUIRED;
        ExpectViolation v(host::rule::kCompletionMustReturnMpr, !legal);
        PIRP irp = IoAllocateIrp(
            static_cast<CCHAR>(lower.device->StackSize + (c.ownLocation ? 1 : 0)), FALSE);
        if (c.ownLocation) {
            IoSetNextIrpStackLocation(irp);
        }
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, recordCompletion, &record, TRUE, TRUE, TRUE);
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        IofCallDriver(lower.device, irp);
        KfLowerIrql(old);
        EXPECT_EQ(v.count(), legal ? 0u : 1u);
        if (!c.freeIrp) {
            IoFreeIrp(irp);
        }
    }
    EXPECT_EQ(world().irps().liveCount(), 0u);
}

} // namespace
} // namespace host::testing
