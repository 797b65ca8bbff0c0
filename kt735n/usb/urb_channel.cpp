// The synchronous URB channel: one request at a time handed to the USB stack below the adapter
// and waited for, at most 5 seconds.
#include "usb/usb.h"

// 5 seconds, relative, in 100 ns units.
#define SYNC_REQUEST_TIMEOUT (-50000000LL)
// 1 second, relative: the pause before a port request.
#define PORT_REQUEST_PAUSE (-10000000LL)

// Builds an internal device-control request for NextDeviceObject, passes it down and waits for it.
// The event and the I/O status block the request completes into live in this frame, so the routine
// never returns while the request is still with the stack: after a timeout it cancels the request
// and then waits, without a limit, for the completion the cancel brings. Returns KT735N_OK when the
// request completed with a success status (and, with a URB, the URB's own status is a success too:
// a device that is gone or an endpoint that stalled fails the URB), KT735N_TIMED_OUT after a
// timeout, KT735N_FAILED otherwise.
// IRQL: PASSIVE_LEVEL. Locks: none (none may be held: the wait blocks and a completion may run
// inside IoCallDriver).
static KT735N_RESULT SubmitAndWait(Adapter* adapter, ULONG ioControlCode, PURB urb,
                                   BOOLEAN pauseFirst) {
    PDEVICE_OBJECT target = adapter->NextDeviceObject;
    // A request needs a lower device with a stack location for it.
    if (target == NULL || target->StackSize < 1) {
        return KT735N_FAILED;
    }

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NdisZeroMemory(&ioStatus, sizeof(ioStatus));

    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, target, NULL, 0, NULL, 0, TRUE, &event,
                                             &ioStatus);
    if (irp == NULL) {
        return KT735N_FAILED;
    }
    if (urb != NULL) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    }
    if (pauseFirst) {
        LARGE_INTEGER pause;
        pause.QuadPart = PORT_REQUEST_PAUSE;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }

    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = SYNC_REQUEST_TIMEOUT;
        status = KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout);
        if (status == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
            return KT735N_TIMED_OUT;
        }
        status = ioStatus.Status;
    }
    if (!NT_SUCCESS(status)) {
        return KT735N_FAILED;
    }
    if (urb != NULL && !USBD_SUCCESS(urb->UrbHeader.Status)) {
        return KT735N_FAILED;
    }
    return KT735N_OK;
}

// Passes one URB to the USB stack and waits for it. The request counts as done only when both
// the IRP and the URB completed with a success status.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT SubmitUrbSync(Adapter* adapter, PURB urb) {
    return SubmitAndWait(adapter, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, FALSE);
}

// Passes a port request that carries no URB (the port cycle) to the USB stack, one second
// after building it, and waits for it.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT SubmitPortRequestSync(Adapter* adapter, ULONG ioControlCode) {
    return SubmitAndWait(adapter, ioControlCode, NULL, TRUE);
}

// Pauses the calling thread.
// IRQL: PASSIVE_LEVEL. Locks: none.
VOID SleepMicroseconds(ULONG microseconds) {
    NdisMSleep(microseconds);
}

// Fetches the physical, functional and next-lower device objects of the adapter from NDIS.
// IRQL: PASSIVE_LEVEL. Locks: none.
VOID GetDeviceObjects(Adapter* adapter, PDEVICE_OBJECT* physicalDeviceObject,
                      PDEVICE_OBJECT* functionalDeviceObject, PDEVICE_OBJECT* nextDeviceObject) {
    NdisMGetDeviceProperty(adapter->MiniportAdapterHandle, physicalDeviceObject,
                           functionalDeviceObject, nextDeviceObject, NULL, NULL);
}

PIRP AllocateUrbIrp(Adapter* adapter, PURB urb, PIO_COMPLETION_ROUTINE completion, PVOID context) {
    PIRP irp = IoAllocateIrp((CCHAR)adapter->IrpStackSize, FALSE);
    if (irp == NULL) {
        return NULL;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
    return irp;
}

// Records the IRP about to be passed down as the slot's, so that CancelTrackedIrp can reach it.
// The bulk-out slot also counts the IRPs passed down, for the hang check's look at how long one
// stays with the stack.
// IRQL: up to DISPATCH_LEVEL. Locks: takes IrpCancelLock.
VOID TrackIrp(Adapter* adapter, CancellableIrp* slot, PIRP irp) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&adapter->IrpCancelLock, &oldIrql);
    slot->Irp = irp;
    if (slot == &adapter->TxIrpWithStack) {
        adapter->TxHandOverSerial++;
    }
    KeReleaseSpinLock(&adapter->IrpCancelLock, oldIrql);
}

// Called by a tracked IRP's completion routine in place of IoFreeIrp. The IRP is forgotten and
// freed, unless a canceller is inside IoCancelIrp with this very IRP right now: it is then left
// to that canceller, which frees it once IoCancelIrp has returned. (The next IRP of the slot,
// passed down and completed on another processor while the canceller is still inside, is not
// the canceller's: it is freed here.)
// IRQL: up to DISPATCH_LEVEL. Locks: takes IrpCancelLock.
VOID ReleaseTrackedIrp(Adapter* adapter, CancellableIrp* slot, PIRP irp) {
    BOOLEAN free = TRUE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&adapter->IrpCancelLock, &oldIrql);
    if (slot->Irp == irp) {
        slot->Irp = NULL;
        if (slot->Cancelling == irp) {
            slot->FreeDeferred = 1;
            free = FALSE;
        }
    }
    KeReleaseSpinLock(&adapter->IrpCancelLock, oldIrql);
    if (free) {
        IoFreeIrp(irp);
    }
}

// Cancels the slot's IRP, if one is with the stack. Its completion routine runs as usual (here
// inside IoCancelIrp, or later); the IRP stays valid meanwhile because the completion leaves
// its freeing to this routine while Cancelling holds it. Returns TRUE when there was one.
// IRQL: up to DISPATCH_LEVEL. Locks: takes IrpCancelLock, released around IoCancelIrp.
BOOLEAN CancelTrackedIrp(Adapter* adapter, CancellableIrp* slot) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&adapter->IrpCancelLock, &oldIrql);
    PIRP irp = slot->Cancelling != NULL ? NULL : slot->Irp;
    if (irp != NULL) {
        slot->Cancelling = irp;
    }
    KeReleaseSpinLock(&adapter->IrpCancelLock, oldIrql);
    if (irp == NULL) {
        return FALSE;
    }

    IoCancelIrp(irp);

    KeAcquireSpinLock(&adapter->IrpCancelLock, &oldIrql);
    BOOLEAN free = slot->FreeDeferred;
    slot->Cancelling = NULL;
    slot->FreeDeferred = 0;
    KeReleaseSpinLock(&adapter->IrpCancelLock, oldIrql);
    if (free) {
        IoFreeIrp(irp);
    }
    return TRUE;
}
