// MiniportHalt: stops the adapter and gives back everything it took.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "datapath/datapath.h"
#include "lifecycle/lifecycle.h"
#include "platform/placement.h"
#include "linkwatch/linkwatch.h"
#include "oid/oid.h"
#include "usb/usb.h"

// The pause between two looks at the requests still with the USB stack, the number of looks
// after which both bulk pipes are aborted again, and the number after which a link-watch request
// still unanswered is cancelled (3 seconds: a register request takes milliseconds).
#define REQUEST_WAIT_PAUSE_US 10000
#define REQUEST_WAIT_LOOKS_PER_ABORT 100
#define REQUEST_WAIT_LOOKS_BEFORE_CANCEL 300

// Sends ABORT_PIPE for the bulk-out pipe, then the bulk-in pipe; results are not looked at.
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_PAGED_CODE VOID AbortBulkPipes(Adapter* adapter) {
    PAGED_CODE();
    URB urb;
    const ULONG pipes[2] = {PIPE_BULK_OUT, PIPE_BULK_IN};
    for (ULONG i = 0; i < 2; ++i) {
        NdisZeroMemory(&urb, sizeof(urb));
        urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb.UrbPipeRequest.PipeHandle = adapter->InterfaceInfo->Pipes[pipes[i]].PipeHandle;
        SubmitUrbSync(adapter, &urb);
    }
}

// Waits until no bulk-in, bulk-out or link-watch IRP of the adapter is with the USB stack any
// more and no completion routine still works on the Adapter, which would otherwise touch released
// memory. The pipe aborts of the stop sequence have normally cancelled every transfer by then. When
// they could not be sent (a pipe request timed out), or a transfer reached the stack after
// them, the transfers still there are cancelled by aborting both pipes again, once a second. A
// link-watch request on the default pipe, which no pipe abort reaches, is cancelled once it has
// gone unanswered for 3 seconds of the wait, and again every second after that: the driver
// allocated the IRP and may cancel it.
// IRQL: PASSIVE_LEVEL. Locks: takes RxLock, TxSubmitLock and IrpCancelLock, one at a time.
static KT735N_PAGED_CODE VOID WaitForUsbRequests(Adapter* adapter) {
    PAGED_CODE();
    ULONG looks = 0;
    while (!BulkInIdle(adapter) || !BulkOutIdle(adapter) || !LinkWatchIdle(adapter)) {
        if (looks != 0 && looks % REQUEST_WAIT_LOOKS_PER_ABORT == 0) {
            if (!BulkInIdle(adapter) || !BulkOutIdle(adapter)) {
                AbortBulkPipes(adapter);
            }
            if (looks >= REQUEST_WAIT_LOOKS_BEFORE_CANCEL) {
                CancelTrackedIrp(adapter, &adapter->LinkWatchIrp);
            }
        }
        SleepMicroseconds(REQUEST_WAIT_PAUSE_US);
        looks++;
    }
}

// Waits for a set request still pending and lets a reset in progress finish, runs the shutdown
// sequence (timer cancelled, the adapter shut down, remote wake-up armed, both bulk pipes aborted
// and reset, one second's pause), waits for every request still with the USB stack, completes the
// sends still waiting for a descriptor with NDIS_STATUS_FAILURE, deregisters the shutdown
// handler, frees TxLock and RxLock, gives the receive packets back to their pool and releases
// every tracked allocation through the ledger, the Adapter last. Nothing of the adapter may be
// used once this returns.
// IRQL: PASSIVE_LEVEL. Locks: none held; RxLock, TxSubmitLock and IrpCancelLock are taken
// while waiting, TxLock to take the waiting sends.
KT735N_PAGED_CODE VOID NTAPI MiniportHalt(NDIS_HANDLE miniportAdapterContext) {
    PAGED_CODE();
    Adapter* adapter = (Adapter*)miniportAdapterContext;

    WaitForPendingSet(adapter);
    WaitForReset(adapter);
    MiniportShutdown(adapter);
    WaitForUsbRequests(adapter);
    CompleteWaitingSends(adapter, NDIS_STATUS_FAILURE);

    NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
    NdisFreeSpinLock(&adapter->TxLock);
    NdisFreeSpinLock(&adapter->RxLock);
    ReleaseReceivePackets(adapter);
    LedgerReleaseAll(adapter);
}
