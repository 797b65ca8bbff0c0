// MiniportCheckForHang: NDIS's periodic check, every 2 seconds (the driver declares no interval
// of its own). The driver never reports a hang; it uses the call as its only periodic tick:
// - on an idle phone line it sends the fixed keep-alive frame, once ten checks in a row found no
//   bulk-out transfer completed, and then every second check while the line stays idle;
// - it starts one pass of the link watch;
// - it puts a bulk-in transfer back on the pipe when reception stopped because none could be
//   submitted (no IRP was available), so that the adapter does not stay deaf until it is
//   initialized again.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "chip/descriptors.h"
#include "datapath/datapath.h"
#include "driver/handlers.h"
#include "linkwatch/linkwatch.h"

// Idle checks before the first keep-alive; IdleCheckCount stays there afterwards.
#define IDLE_CHECKS_FOR_KEEP_ALIVE 10

// Sends the keep-alive frame from a free transmit descriptor. The descriptor is taken from the
// head of FreeTxList like a send takes one, but without a send's reserve: the last free one may
// go. With FreeTxList empty nothing is sent this time. When nothing could be handed over (the
// adapter left the running state, or no IRP was available), the descriptor goes back to the head
// of FreeTxList with FreeTxCount restored. No NDIS packet is involved: the descriptor's slot
// holds none, which makes BuildTxFrame build the keep-alive frame; its completion only counts
// the transfer and returns the descriptor.
// IRQL: DISPATCH_LEVEL. Locks: takes TxLock (twice at most, not held across the submission).
static VOID SendKeepAlive(Adapter* adapter) {
    NdisAcquireSpinLock(&adapter->TxLock);
    TransferDescriptor* descriptor = DescriptorListTakeHead(&adapter->FreeTxList);
    if (descriptor != NULL) {
        adapter->FreeTxCount--;
    }
    NdisReleaseSpinLock(&adapter->TxLock);
    if (descriptor == NULL) {
        return;
    }

    ((TxPacketSlot*)descriptor->PacketSlot)->Packet = NULL;
    adapter->SendingKeepAlive = 1;
    ULONG result = SubmitBulkOut(adapter, descriptor);
    adapter->SendingKeepAlive = 0;
    if (result == KT735N_OK) {
        return;
    }

    NdisAcquireSpinLock(&adapter->TxLock);
    DescriptorListPush(&adapter->FreeTxList, descriptor);
    adapter->FreeTxCount++;
    NdisReleaseSpinLock(&adapter->TxLock);
}

// Puts a bulk-in transfer on the pipe when the adapter is running, no bulk-in IRP is with the
// USB stack and every receive descriptor is on FreeRxList. That happens only when a submission
// found no IRP and gave its descriptor back: nothing else restarts reception then. The test and
// the taking of the descriptor are one hold of RxLock, so a receive-indicate timer doing the same
// restart sees one descriptor short and leaves it alone.
// IRQL: DISPATCH_LEVEL. Locks: takes RxLock, released before the submission.
static VOID RestartReception(Adapter* adapter) {
    if (adapter->DeviceState != KT735N_DEVICE_RUNNING) {
        return;
    }
    TransferDescriptor* descriptor = NULL;
    NdisAcquireSpinLock(&adapter->RxLock);
    if (adapter->RxIrpsInFlight == 0 && adapter->FreeRxList.Count == adapter->RxDescriptorCount &&
        adapter->FreeRxList.Head != NULL) {
        descriptor = adapter->FreeRxList.Head;
        adapter->FreeRxList.Head = descriptor->Next;
        if (descriptor->Next != NULL) {
            descriptor->Next->Prev = NULL;
        } else {
            adapter->FreeRxList.Tail = NULL;
        }
        adapter->FreeRxList.Count--;
        descriptor->Next = NULL;
        descriptor->Prev = NULL;
    }
    NdisReleaseSpinLock(&adapter->RxLock);
    if (descriptor != NULL) {
        SubmitBulkIn(adapter, descriptor);
    }
}

// Counts an idle check on the running phone line (no bulk-out transfer completed since the
// previous check) up to 10 and, from 10 on, sends a keep-alive unless the phone-line PHY is of
// type 3. Then starts a link-watch pass, restarts stopped reception and clears
// TxCompletedSinceCheck. Returns FALSE: NDIS never resets the adapter because of this check.
// IRQL: DISPATCH_LEVEL (NDIS's timer). Locks: takes TxLock and RxLock, one at a time.
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE miniportAdapterContext) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;

    if (adapter->TxCompletedSinceCheck == 0 && adapter->DeviceState == KT735N_DEVICE_RUNNING &&
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
    RestartReception(adapter);
    adapter->TxCompletedSinceCheck = 0;
    return FALSE;
}
