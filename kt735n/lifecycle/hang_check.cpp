// MiniportCheckForHang: NDIS's periodic check, every 2 seconds (the driver declares no interval
// of its own). It is the driver's only periodic tick, and its way to ask NDIS for a reset:
// - on an idle phone line it sends the fixed keep-alive frame, once ten checks in a row found no
//   bulk-out transfer completed, and then every second check while the line stays idle;
// - it starts one pass of the link watch;
// - it puts a bulk-in transfer back on the pipe when reception stopped because none could be
//   submitted (no IRP was available), so that the adapter does not stay deaf until it is
//   initialized again;
// - it cancels a bulk-out transfer the USB stack has held too long, and asks NDIS for a reset
//   (MiniportReset) when a transfer failed or reception cannot be restarted.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "datapath/descriptors.h"
#include "datapath/datapath.h"
#include "lifecycle/lifecycle.h"
#include "linkwatch/linkwatch.h"
#include "usb/usb.h"

// Idle checks before the first keep-alive; IdleCheckCount stays there afterwards.
#define IDLE_CHECKS_FOR_KEEP_ALIVE 10
// Checks in a row that find the same bulk-out IRP with the stack before it is cancelled.
#define STUCK_TRANSFER_LOOKS 4
// Checks after a reset request that ask for no other.
#define RESET_HOLD_OFF_CHECKS 2

// Sends the keep-alive frame from a free transmit descriptor. The descriptor is taken from the
// head of FreeTxList like a send takes one, but without a send's reserve: the last free one may
// go. With FreeTxList empty nothing is sent this time. When nothing could be handed over (the
// adapter left the running state, or no IRP was available), the descriptor goes back to the head
// of FreeTxList with FreeTxCount restored. No NDIS packet is involved: the descriptor's slot
// holds none, which makes BuildTxFrame build the keep-alive frame; its completion only counts
// the transfer and returns the descriptor.
//
// NDIS's timer may run the check on one processor while MiniportHalt runs on another. The
// keep-alive counts itself in KeepAliveActive before the submission tests DeviceState and
// until its last touch of the Adapter; halt sets the shut-down state before it waits in
// BulkOutIdle, so either the submission sees the adapter stopped, or halt sees the keep-alive
// (both steps are interlocked operations, full barriers).
// IRQL: DISPATCH_LEVEL. Locks: takes TxLock (twice at most, not held across the submission).
static VOID SendKeepAlive(Adapter* adapter) {
    InterlockedIncrement(&adapter->KeepAliveActive);
    NdisAcquireSpinLock(&adapter->TxLock);
    TransferDescriptor* descriptor = DescriptorListTakeHead(&adapter->FreeTxList);
    if (descriptor != NULL) {
        adapter->FreeTxCount--;
    }
    NdisReleaseSpinLock(&adapter->TxLock);

    if (descriptor != NULL) {
        ((TxPacketSlot*)descriptor->PacketSlot)->Packet = NULL;
        adapter->SendingKeepAlive = 1;
        ULONG result = SubmitBulkOut(adapter, descriptor);
        adapter->SendingKeepAlive = 0;
        if (result != KT735N_OK) {
            NdisAcquireSpinLock(&adapter->TxLock);
            DescriptorListPush(&adapter->FreeTxList, descriptor);
            adapter->FreeTxCount++;
            NdisReleaseSpinLock(&adapter->TxLock);
        }
    }
    InterlockedDecrement(&adapter->KeepAliveActive);
}

// Looks at the bulk-out IRP with the USB stack. One that the stack has held through
// STUCK_TRANSFER_LOOKS checks in a row (more than 6 seconds at NDIS's 2-second interval, so more
// than the 5 seconds any transfer may take) is cancelled; its completion marks the adapter failed
// and a reset brings transmission back.
// IRQL: DISPATCH_LEVEL. Locks: takes IrpCancelLock, not held across the cancellation.
static VOID CancelStuckBulkOut(Adapter* adapter) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&adapter->IrpCancelLock, &oldIrql);
    BOOLEAN stuck = FALSE;
    if (adapter->TxIrpWithStack.Irp == NULL ||
        adapter->TxHandOverSerial != adapter->TxSerialAtCheck) {
        adapter->TxSerialAtCheck = adapter->TxHandOverSerial;
        adapter->TxSameIrpChecks = adapter->TxIrpWithStack.Irp != NULL ? 1 : 0;
    } else if (++adapter->TxSameIrpChecks >= STUCK_TRANSFER_LOOKS) {
        adapter->TxSameIrpChecks = 0;
        stuck = TRUE;
    }
    KeReleaseSpinLock(&adapter->IrpCancelLock, oldIrql);
    if (stuck) {
        CancelTrackedIrp(adapter, &adapter->TxIrpWithStack);
    }
}

// Whether NDIS should reset the adapter: a bulk transfer failed (KT735N_DEVICE_TRANSFER_FAILED;
// transfers cancelled by shutdown or halt leave DeviceState alone), or reception is stopped and
// could not be restarted. After a reset was asked for, the next RESET_HOLD_OFF_CHECKS checks ask
// for none, so a device that keeps failing (or is gone) is reset once every 6 seconds at most.
// IRQL: DISPATCH_LEVEL. Locks: none.
static BOOLEAN NeedsReset(Adapter* adapter, BOOLEAN receptionStopped) {
    if (adapter->ResetHoldOffChecks > 0) {
        adapter->ResetHoldOffChecks--;
        return FALSE;
    }
    const ULONG state = ReadShared(&adapter->DeviceState);
    BOOLEAN failed = (BOOLEAN)(state == KT735N_DEVICE_TRANSFER_FAILED ||
                               (state == KT735N_DEVICE_RUNNING && receptionStopped));
    if (!failed || InterlockedCompareExchange(&adapter->ResetInProgress, 0, 0) != 0) {
        return FALSE;
    }
    adapter->ResetHoldOffChecks = RESET_HOLD_OFF_CHECKS;
    return TRUE;
}

// Takes TxCompletedSinceCheck (read and cleared in one interlocked step, so that a bulk-out
// completion on another processor while the check runs counts for the next check instead of
// being cleared unseen). Counts an idle check on the running phone line (no bulk-out transfer
// completed since the previous check) up to 10 and, from 10 on, sends a keep-alive unless the
// phone-line PHY is of type 3; the keep-alive's own completion thus makes the next check busy.
// Then starts a link-watch pass, restarts stopped reception and cancels a bulk-out transfer the
// stack holds too long. Returns TRUE, so that NDIS calls MiniportReset, when a transfer failed or
// reception could not be restarted (see NeedsReset).
// IRQL: DISPATCH_LEVEL (NDIS's timer). Locks: takes TxLock, RxLock and IrpCancelLock, one at a
// time.
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE miniportAdapterContext) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;

    LONG completed = InterlockedExchange(&adapter->TxCompletedSinceCheck, 0);
    if (completed == 0 && ReadShared(&adapter->DeviceState) == KT735N_DEVICE_RUNNING &&
        adapter->ActiveMedium == KT735N_MEDIUM_PHONE_LINE) {
        adapter->IdleCheckCount++;
        if (adapter->IdleCheckCount >= IDLE_CHECKS_FOR_KEEP_ALIVE) {
            adapter->IdleCheckCount = IDLE_CHECKS_FOR_KEEP_ALIVE;
            if (adapter->PhyType != PHY_TYPE_5C22) {
                SendKeepAlive(adapter);
            }
        }
    }

    KickLinkWatch(adapter);
    BOOLEAN receptionStopped = (BOOLEAN)(RestartReception(adapter) != KT735N_OK);
    CancelStuckBulkOut(adapter);
    return NeedsReset(adapter, receptionStopped);
}
