// MiniportReset: clears the statistics and, when the data path has stopped (a bulk transfer
// failed, or reception could not be restarted), brings it back at PASSIVE_LEVEL in a work item:
// both bulk pipes are aborted and reset, which clears an endpoint's halt, reception is put back
// on the pipe and the adapter runs again; the link watch and the sends follow. The reset then
// finishes with NdisMResetComplete. When the device does not answer, NDIS hears that the medium
// is disconnected, the reset fails and the adapter stays failed for the next hang check to try
// again (not more often than it allows, see lifecycle/hang_check.cpp).
#include "adapter/adapter.h"
#include "datapath/datapath.h"
#include "lifecycle/lifecycle.h"
#include "linkwatch/linkwatch.h"
#include "usb/usb.h"

// Pause between looks at the transfers still with the stack, and the number of looks.
#define RESET_WAIT_PAUSE_US 10000
#define RESET_WAIT_LOOKS 100

// Whether reception has stopped: no bulk-in transfer with the stack and every receive descriptor
// free, so nothing will put one on the pipe again by itself.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock.
static BOOLEAN ReceptionStopped(Adapter* adapter) {
    NdisAcquireSpinLock(&adapter->RxLock);
    BOOLEAN stopped = (BOOLEAN)(adapter->RxIrpsInFlight == 0 &&
                                adapter->FreeRxList.Count == adapter->RxDescriptorCount);
    NdisReleaseSpinLock(&adapter->RxLock);
    return stopped;
}

// Aborts a bulk pipe, cancelling whatever the stack still holds on it, and resets it, which
// clears a halted endpoint (CLEAR_FEATURE(ENDPOINT_HALT) on the device). TRUE when both requests
// were done in time and the stack reported success for both.
// IRQL: PASSIVE_LEVEL. Locks: none.
static BOOLEAN AbortAndResetPipe(Adapter* adapter, PURB urb, ULONG pipe) {
    const USHORT functions[2] = {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_RESET_PIPE};
    for (ULONG i = 0; i < 2; ++i) {
        NdisZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
        if (!PipeRequest(adapter, urb, functions[i], pipe) ||
            !USBD_SUCCESS(urb->UrbHeader.Status)) {
            return FALSE;
        }
    }
    return TRUE;
}

// Brings the data path back: both bulk pipes aborted and reset, bulk-out first; then, once every
// bulk transfer has come back from the stack, the adapter running again and reception restarted. A
// pause of one look follows, so that a device that fails the new transfer at once counts as not
// answering. Returns NDIS_STATUS_SUCCESS, or NDIS_STATUS_HARD_ERRORS when the device did not
// answer; DeviceState is then KT735N_DEVICE_TRANSFER_FAILED (unless shutdown or halt has set it
// meanwhile).
// IRQL: PASSIVE_LEVEL. Locks: none held; RxLock and TxSubmitLock are taken to look.
static NDIS_STATUS RecoverDataPath(Adapter* adapter) {
    URB urb;
    BOOLEAN answered = (BOOLEAN)(AbortAndResetPipe(adapter, &urb, PIPE_BULK_OUT) &&
                                 AbortAndResetPipe(adapter, &urb, PIPE_BULK_IN));
    for (ULONG looks = 0; answered && (!BulkInIdle(adapter) || !BulkOutIdle(adapter)); ++looks) {
        if (looks == RESET_WAIT_LOOKS) {
            answered = FALSE;
            break;
        }
        SleepMicroseconds(RESET_WAIT_PAUSE_US);
    }
    if (answered &&
        InterlockedCompareExchange((PLONG)&adapter->DeviceState, KT735N_DEVICE_RUNNING,
                                   KT735N_DEVICE_RESETTING) == KT735N_DEVICE_RESETTING) {
        if (RestartReception(adapter) == KT735N_OK) {
            SleepMicroseconds(RESET_WAIT_PAUSE_US);
        }
        if (ReadShared(&adapter->DeviceState) == KT735N_DEVICE_RUNNING &&
            !ReceptionStopped(adapter)) {
            return NDIS_STATUS_SUCCESS;
        }
        NoteTransferFailed(adapter);
    }
    InterlockedCompareExchange((PLONG)&adapter->DeviceState, KT735N_DEVICE_TRANSFER_FAILED,
                               KT735N_DEVICE_RESETTING);
    return NDIS_STATUS_HARD_ERRORS;
}

// The reset's work item. Recovers the data path; when the device did not answer, tells NDIS the
// medium is disconnected (once: not when it already was). Then completes the reset and, as its
// last act on the Adapter, lets halt go on.
// IRQL: PASSIVE_LEVEL (an NDIS work item). Locks: none.
static VOID NTAPI ResetWork(PNDIS_WORK_ITEM workItem, PVOID context) {
    UNREFERENCED_PARAMETER(workItem);
    Adapter* adapter = (Adapter*)context;
    NDIS_STATUS status = RecoverDataPath(adapter);
    if (status != NDIS_STATUS_SUCCESS &&
        ReadShared(&adapter->MediaState) != KT735N_MEDIA_DISCONNECTED) {
        StoreShared(&adapter->MediaState, KT735N_MEDIA_DISCONNECTED);
        IndicateMediaState(adapter, KT735N_MEDIA_DISCONNECTED);
    }
    NdisMResetComplete(adapter->MiniportAdapterHandle, status, FALSE);
    InterlockedExchange(&adapter->ResetInProgress, 0);
}

// Clears every statistics counter, each with an interlocked exchange: the completions that count
// them may run on other processors meanwhile and count with interlocked increments, so each of
// their counts lands wholly before or after the clearing and none is lost or brought back.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID ClearStatistics(Adapter* adapter) {
    PLONG counter = (PLONG)&adapter->Statistics;
    for (ULONG i = 0; i < sizeof(adapter->Statistics) / sizeof(LONG); ++i) {
        InterlockedExchange(&counter[i], 0);
    }
}

// NDIS's reset handler. Tells NDIS no addresses or filters need restoring (the chip keeps them),
// clears the statistics and completes the sends waiting for descriptors with
// NDIS_STATUS_REQUEST_ABORTED, as NDIS expects of a deserialized miniport that resets. When the
// data path runs, that is all, and the reset completes at once. When a transfer failed or
// reception stopped, the adapter leaves the running state (nothing is submitted meanwhile), the
// recovery is queued as a work item and the result is NDIS_STATUS_PENDING; the work item ends
// it with NdisMResetComplete. NDIS_STATUS_RESET_IN_PROGRESS while one is still running, and
// NDIS_STATUS_FAILURE when the work item could not be queued (the adapter stays failed).
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock and RxLock, one at a time.
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN addressingReset, NDIS_HANDLE miniportAdapterContext) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;
    *addressingReset = FALSE;
    ClearStatistics(adapter);
    if (InterlockedCompareExchange(&adapter->ResetInProgress, 1, 0) != 0) {
        return NDIS_STATUS_RESET_IN_PROGRESS;
    }
    CompleteWaitingSends(adapter, NDIS_STATUS_REQUEST_ABORTED);

    LONG from = KT735N_DEVICE_TRANSFER_FAILED;
    if (ReadShared(&adapter->DeviceState) == KT735N_DEVICE_RUNNING && ReceptionStopped(adapter)) {
        from = KT735N_DEVICE_RUNNING;
    }
    if (InterlockedCompareExchange((PLONG)&adapter->DeviceState, KT735N_DEVICE_RESETTING, from) !=
        from) {
        InterlockedExchange(&adapter->ResetInProgress, 0);
        return NDIS_STATUS_SUCCESS;
    }
    NdisInitializeWorkItem(&adapter->ResetWorkItem, ResetWork, adapter);
    if (NdisScheduleWorkItem(&adapter->ResetWorkItem) != NDIS_STATUS_SUCCESS) {
        StoreShared(&adapter->DeviceState, KT735N_DEVICE_TRANSFER_FAILED);
        InterlockedExchange(&adapter->ResetInProgress, 0);
        return NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_PENDING;
}

// Waits until no reset is in progress, so that halt does not stop the adapter under a running
// recovery. The recovery's own requests are each bounded by the 5-second timeout of the
// synchronous channel, so the wait ends.
// IRQL: PASSIVE_LEVEL. Locks: none.
VOID WaitForReset(Adapter* adapter) {
    while (InterlockedCompareExchange(&adapter->ResetInProgress, 0, 0) != 0) {
        SleepMicroseconds(RESET_WAIT_PAUSE_US);
    }
}
