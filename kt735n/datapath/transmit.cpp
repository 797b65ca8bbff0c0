// The transmit path: frames from NDIS, and the hang check's keep-alive frame, copied behind a
// 2-byte length header into a transmit descriptor's data buffer and sent as one bulk-out
// transfer each.
//
// One bulk-out IRP is with the USB stack at a time; the others wait on PendingTxIrpList in
// submission order, so frames reach the pipe in the order they were submitted. A transfer whose
// length is a multiple of 64 bytes ends on a packet boundary, and the chip only sees the end of
// a transfer at a short packet, so such a transfer is followed by a zero-length one. That pair
// is secured (two descriptors, two IRPs, queue entries) before anything is handed over, and is
// queued under one hold of TxSubmitLock, so no other transfer can come between the two.
//
// Waiting IRPs are passed down from a loop (HandOverLoop) rather than from inside the previous
// IRP's completion. A stack that completes inside IoCallDriver then leaves the loop a note
// (TxHandOverDue) instead of calling down again from deeper in the same stack.
//
// A send that finds too few free descriptors waits in the driver: NDIS hands a deserialized
// miniport each packet once and never resubmits it. Waiting packets are linked through their
// MiniportReserved area (nothing is allocated per packet) and go out in order, each as soon as
// the admission rule lets it, whenever a descriptor comes back; a later send never passes them.
//
// Locks: TxLock (NDIS spin lock) guards FreeTxList, FreeTxCount and the waiting sends. TxSubmitLock
// (kernel spin lock, at DISPATCH_LEVEL) guards TxIrpsInFlight, TxHandOverActive, TxHandOverDue
// and the choice between passing an IRP down and queueing it; PendingIrpListLock is taken inside
// it by the interlocked list calls. TxLock and TxSubmitLock are never held together, and no lock
// is held across IoCallDriver or NdisMSendComplete.
#include "adapter/adapter.h"
#include "datapath/descriptors.h"
#include "datapath/datapath.h"
#include "usb/usb.h"

const UCHAR KeepAliveFrame[KT735N_KEEP_ALIVE_FRAME_LENGTH] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // destination address
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // source address
    0x00, 0x2E,                         // 802.3 length: 46, high byte first
    0x00,                               // DSAP
    0x00,                               // SSAP
    0xF3,                               // LLC control: TEST command, poll bit set
    // 43 bytes of 0x00 follow.
};

// A transfer whose length is a multiple of this ends on a packet boundary.
#define BULK_OUT_PACKET_SIZE 64

// ---- the free transmit list ---------------------------------------------------------------------

// Puts a descriptor back at the head of FreeTxList, so that it is the next one taken. The
// packet it was to carry is forgotten. FreeTxCount is the caller's.
// IRQL: DISPATCH_LEVEL. Locks: the caller holds TxLock.
static VOID PushFreeTxHead(Adapter* adapter, TransferDescriptor* descriptor) {
    ((TxPacketSlot*)descriptor->PacketSlot)->Packet = NULL;
    DescriptorListPush(&adapter->FreeTxList, descriptor);
}

// Appends a descriptor at the tail of FreeTxList, forgetting the packet it carried. FreeTxCount
// is the caller's.
// IRQL: DISPATCH_LEVEL. Locks: the caller holds TxLock.
static VOID AppendFreeTxTail(Adapter* adapter, TransferDescriptor* descriptor) {
    ((TxPacketSlot*)descriptor->PacketSlot)->Packet = NULL;
    DescriptorListAppend(&adapter->FreeTxList, descriptor);
}

// Puts the descriptors of a send that handed nothing over back at the head of FreeTxList, in
// the order they were taken, and restores FreeTxCount.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock.
static VOID UntakeTxDescriptors(Adapter* adapter, TransferDescriptor* descriptor,
                                TransferDescriptor* zeroLength) {
    NdisAcquireSpinLock(&adapter->TxLock);
    if (zeroLength != NULL) {
        PushFreeTxHead(adapter, zeroLength);
        adapter->FreeTxCount++;
    }
    PushFreeTxHead(adapter, descriptor);
    adapter->FreeTxCount++;
    NdisReleaseSpinLock(&adapter->TxLock);
}

// Puts a descriptor back at the tail of FreeTxList, then sends what waits for it.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock (not held across the sends).
KT735N_RESULT ReturnTxDescriptor(Adapter* adapter, TransferDescriptor* descriptor) {
    NdisAcquireSpinLock(&adapter->TxLock);
    AppendFreeTxTail(adapter, descriptor);
    adapter->FreeTxCount++;
    ASSERT(adapter->FreeTxList.Count <= adapter->TxDescriptorCount &&
           (ULONG)adapter->FreeTxCount <= adapter->TxDescriptorCount);
    NdisReleaseSpinLock(&adapter->TxLock);
    SendWaitingPackets(adapter);
    return KT735N_OK;
}

// ---- sends waiting for descriptors --------------------------------------------------------------

// The link of a waiting packet: the first pointer of its MiniportReserved area.
#define WAITING_LINK(packet) (*(PNDIS_PACKET*)(PVOID)(packet)->MiniportReserved)

// Whether a packet's transfer is a multiple of 64 bytes and so needs a zero-length one behind it.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static BOOLEAN NeedsZeroLength(PNDIS_PACKET packet) {
    UINT totalLength = 0;
    NdisQueryPacket(packet, NULL, NULL, NULL, &totalLength);
    return (BOOLEAN)(((totalLength + KT735N_TX_HEADER_LENGTH) % BULK_OUT_PACKET_SIZE) == 0);
}

// Takes the descriptors a frame needs, one, or two when a zero-length transfer must follow it,
// when the admission rule lets it: at least two free by FreeTxCount, so that the last one is kept
// back for a zero-length transfer. FALSE, with nothing taken, when they cannot be had.
// IRQL: DISPATCH_LEVEL. Locks: the caller holds TxLock.
static BOOLEAN TakeTxDescriptors(Adapter* adapter, BOOLEAN needsZeroLength,
                                 TransferDescriptor** descriptor, TransferDescriptor** zeroLength) {
    *descriptor = NULL;
    *zeroLength = NULL;
    if (adapter->FreeTxCount < 2 || adapter->FreeTxList.Count < (ULONG)(needsZeroLength ? 2 : 1)) {
        return FALSE;
    }
    *descriptor = DescriptorListTakeHead(&adapter->FreeTxList);
    if (needsZeroLength) {
        *zeroLength = DescriptorListTakeHead(&adapter->FreeTxList);
    }
    adapter->FreeTxCount -= needsZeroLength ? 2 : 1;
    return TRUE;
}

// Copies a packet into the descriptors taken for it and hands the transfers over. Returns the
// status the packet is completed with: NDIS_STATUS_SUCCESS once the frame is handed over, or
// NDIS_STATUS_FAILURE when nothing could be (the descriptors are then free again).
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxSubmitLock, and TxLock on failure.
static NDIS_STATUS SendTaken(Adapter* adapter, PNDIS_PACKET packet, TransferDescriptor* descriptor,
                             TransferDescriptor* zeroLength) {
    ((TxPacketSlot*)descriptor->PacketSlot)->Packet = packet;
    if (SubmitBulkOutPair(adapter, descriptor, zeroLength) != KT735N_OK) {
        UntakeTxDescriptors(adapter, descriptor, zeroLength);
        // A send that started waiting meanwhile may need exactly these.
        SendWaitingPackets(adapter);
        return NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_SUCCESS;
}

// Sends waiting packets, oldest first, as long as descriptors for the next one can be had, and
// completes each with the outcome of its submission. One routine does this at a time
// (WaitingSendsDraining); a call while another runs returns at once, and the running one looks
// again under TxLock before it stops, so a descriptor returned meanwhile is not missed.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock, released around each send and completion.
VOID SendWaitingPackets(Adapter* adapter) {
    NdisAcquireSpinLock(&adapter->TxLock);
    if (adapter->WaitingSendsDraining || adapter->WaitingSendHead == NULL) {
        NdisReleaseSpinLock(&adapter->TxLock);
        return;
    }
    adapter->WaitingSendsDraining = 1;
    for (;;) {
        PNDIS_PACKET packet = adapter->WaitingSendHead;
        TransferDescriptor* descriptor = NULL;
        TransferDescriptor* zeroLength = NULL;
        if (packet == NULL ||
            !TakeTxDescriptors(adapter, NeedsZeroLength(packet), &descriptor, &zeroLength)) {
            break;
        }
        adapter->WaitingSendHead = WAITING_LINK(packet);
        if (adapter->WaitingSendHead == NULL) {
            adapter->WaitingSendTail = NULL;
        }
        adapter->WaitingSendCount--;
        NdisReleaseSpinLock(&adapter->TxLock);

        NDIS_STATUS status = SendTaken(adapter, packet, descriptor, zeroLength);
        NdisMSendComplete(adapter->MiniportAdapterHandle, packet, status);

        NdisAcquireSpinLock(&adapter->TxLock);
    }
    adapter->WaitingSendsDraining = 0;
    NdisReleaseSpinLock(&adapter->TxLock);
}

// Completes every waiting packet with `status` and forgets it: at halt, at a reset and after a
// failed transfer. A packet a running SendWaitingPackets has already taken off the list is
// completed by that routine.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock, not held across NdisMSendComplete.
VOID CompleteWaitingSends(Adapter* adapter, NDIS_STATUS status) {
    NdisAcquireSpinLock(&adapter->TxLock);
    PNDIS_PACKET packet = adapter->WaitingSendHead;
    adapter->WaitingSendHead = NULL;
    adapter->WaitingSendTail = NULL;
    adapter->WaitingSendCount = 0;
    NdisReleaseSpinLock(&adapter->TxLock);
    while (packet != NULL) {
        PNDIS_PACKET next = WAITING_LINK(packet);
        NdisMSendComplete(adapter->MiniportAdapterHandle, packet, status);
        packet = next;
    }
}

// Marks the adapter failed after a bulk transfer that did not succeed while it was running, and
// completes the waiting sends with NDIS_STATUS_FAILURE. A transfer cancelled once shutdown, halt
// or a reset has moved DeviceState away from KT735N_DEVICE_RUNNING changes nothing.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock (in CompleteWaitingSends).
VOID NoteTransferFailed(Adapter* adapter) {
    if (InterlockedCompareExchange((PLONG)&adapter->DeviceState, KT735N_DEVICE_TRANSFER_FAILED,
                                   KT735N_DEVICE_RUNNING) == KT735N_DEVICE_RUNNING) {
        CompleteWaitingSends(adapter, NDIS_STATUS_FAILURE);
    }
}

// ---- building transfers -------------------------------------------------------------------------

// Copies the frame behind the 2-byte little-endian length header in DataBuffer and sets
// TransferLength to the frame length plus 2 (before any raise to the 60-byte minimum). The
// keep-alive frame is built when the descriptor's transmit slot holds no packet: the hang check
// submits such a descriptor with SendingKeepAlive set, and a send running at the same time on
// another processor, whose slot holds its packet, is not turned into a keep-alive by the flag.
// A packet's buffers are copied in chain order; the header is the packet's total length. The
// copy never runs past the data buffer: MiniportSend refuses longer packets beforehand.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
KT735N_RESULT BuildTxFrame(Adapter* adapter, TransferDescriptor* descriptor) {
    UNREFERENCED_PARAMETER(adapter);
    PUCHAR data = descriptor->DataBuffer;
    PNDIS_PACKET packet = ((TxPacketSlot*)descriptor->PacketSlot)->Packet;

    if (packet == NULL) {
        NdisMoveMemory(data + KT735N_TX_HEADER_LENGTH, KeepAliveFrame,
                       KT735N_KEEP_ALIVE_FRAME_LENGTH);
        data[0] = (UCHAR)KT735N_KEEP_ALIVE_FRAME_LENGTH;
        data[1] = 0;
        descriptor->TransferLength = KT735N_KEEP_ALIVE_FRAME_LENGTH + KT735N_TX_HEADER_LENGTH;
        return KT735N_OK;
    }

    PNDIS_BUFFER buffer = NULL;
    UINT totalLength = 0;
    NdisQueryPacket(packet, NULL, NULL, &buffer, &totalLength);

    ULONG room = KT735N_DATA_BUFFER_SIZE - KT735N_TX_HEADER_LENGTH;
    PUCHAR next = data + KT735N_TX_HEADER_LENGTH;
    while (buffer != NULL && room > 0) {
        PVOID address = NULL;
        UINT length = 0;
        NdisQueryBuffer(buffer, &address, &length);
        if (length > room) {
            length = room;
        }
        if (address != NULL && length > 0) {
            NdisMoveMemory(next, address, length);
            next += length;
            room -= length;
        }
        NdisGetNextBuffer(buffer, &buffer);
    }

    data[0] = (UCHAR)(totalLength & 0xFF);
    data[1] = (UCHAR)((totalLength >> 8) & 0xFF);
    descriptor->TransferLength = totalLength + KT735N_TX_HEADER_LENGTH;
    return KT735N_OK;
}

// Builds the bulk-out URB in the descriptor's URB area: host to device, short transfers not
// allowed, TransferLength bytes of DataBuffer, no MDL, no link.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID BuildBulkOutUrb(Adapter* adapter, TransferDescriptor* descriptor) {
    PURB urb = descriptor->Urb;
    NdisZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           adapter->InterfaceInfo->Pipes[PIPE_BULK_OUT].PipeHandle,
                                           descriptor->DataBuffer, NULL, descriptor->TransferLength,
                                           0, NULL);
}

// Allocates the IRP that carries a descriptor's URB to the stack below, with BulkOutComplete
// called on success, error and cancel. NULL when no IRP is available.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static PIRP BuildBulkOutIrp(Adapter* adapter, TransferDescriptor* descriptor) {
    return AllocateUrbIrp(adapter, descriptor->Urb, BulkOutComplete, descriptor);
}

// ---- passing IRPs to the stack ------------------------------------------------------------------

// Takes TxSubmitLock from any IRQL up to DISPATCH_LEVEL: raises to DISPATCH_LEVEL, then takes
// the lock at that level. Returns the IRQL that ReleaseTxSubmitLock gives back.
// IRQL: up to DISPATCH_LEVEL; DISPATCH_LEVEL on return. Locks: takes TxSubmitLock.
static KIRQL AcquireTxSubmitLock(Adapter* adapter) {
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    KeAcquireSpinLockAtDpcLevel(&adapter->TxSubmitLock);
    return oldIrql;
}

// Gives TxSubmitLock back and returns to the IRQL AcquireTxSubmitLock found.
// IRQL: DISPATCH_LEVEL; oldIrql on return. Locks: releases TxSubmitLock.
static VOID ReleaseTxSubmitLock(Adapter* adapter, KIRQL oldIrql) {
    KeReleaseSpinLockFromDpcLevel(&adapter->TxSubmitLock);
    KeLowerIrql(oldIrql);
}

// Takes the oldest waiting IRP off PendingTxIrpList and frees its entry; NULL when none waits.
// IRQL: DISPATCH_LEVEL. Locks: the caller holds TxSubmitLock; takes PendingIrpListLock.
static PIRP TakePendingTxIrp(Adapter* adapter) {
    PLIST_ENTRY link =
        ExInterlockedRemoveHeadList(&adapter->PendingTxIrpList, &adapter->PendingIrpListLock);
    if (link == NULL) {
        return NULL;
    }
    PendingTxIrpEntry* entry = CONTAINING_RECORD(link, PendingTxIrpEntry, Link);
    PIRP irp = entry->Irp;
    ExFreePool(entry);
    return irp;
}

// Passes an IRP to the stack and then, as long as the one passed down has completed and left
// TxHandOverDue set, the next waiting one. The caller has set TxHandOverActive; the loop clears
// it when nothing more is due, and after that touches the Adapter no more. A completion that
// runs inside IoCallDriver therefore returns to this loop instead of calling down itself, and
// the stack depth stays the same however many IRPs wait.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxSubmitLock between the calls; none is held across
// IoCallDriver.
static VOID HandOverLoop(Adapter* adapter, PIRP irp) {
    while (irp != NULL) {
        // The IRP belongs to its completion from here on, whatever the stack returns.
        TrackIrp(adapter, &adapter->TxIrpWithStack, irp);
        IoCallDriver(adapter->NextDeviceObject, irp);
        irp = NULL;

        KIRQL oldIrql = AcquireTxSubmitLock(adapter);
        if (adapter->TxHandOverDue) {
            adapter->TxHandOverDue = 0;
            irp = TakePendingTxIrp(adapter);
        }
        if (irp == NULL) {
            adapter->TxHandOverActive = 0;
        }
        ReleaseTxSubmitLock(adapter, oldIrql);
    }
}

// Appends an IRP to PendingTxIrpList through its entry.
// IRQL: DISPATCH_LEVEL. Locks: the caller holds TxSubmitLock; takes PendingIrpListLock.
static VOID QueuePendingTxIrp(Adapter* adapter, PendingTxIrpEntry* entry, PIRP irp) {
    entry->Irp = irp;
    ExInterlockedInsertTailList(&adapter->PendingTxIrpList, &entry->Link,
                                &adapter->PendingIrpListLock);
}

// Passes an IRP (and the zero-length IRP that must follow it, when given) to the stack now, if
// nothing else is in flight or being passed down, or queues it behind the others. Both IRPs are
// counted and queued under one hold of TxSubmitLock, so they stay next to each other. The queue
// entries are allocated before anything is counted or queued; when one cannot be had, both IRPs
// are freed and nothing has been handed over.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxSubmitLock (PendingIrpListLock inside it); none
// is held across IoCallDriver.
static KT735N_RESULT HandOverOrQueue(Adapter* adapter, PIRP irp, PIRP zeroLengthIrp) {
    PendingTxIrpEntry* entries[2] = {NULL, NULL};
    ULONG needed = 0;
    BOOLEAN now = FALSE;
    BOOLEAN allocated = TRUE;

    KIRQL oldIrql = AcquireTxSubmitLock(adapter);
    now = adapter->TxIrpsInFlight == 0 && !adapter->TxHandOverActive;
    needed = (now ? 0 : 1) + (zeroLengthIrp != NULL ? 1 : 0);
    for (ULONG i = 0; i < needed; i++) {
        entries[i] = (PendingTxIrpEntry*)ExAllocatePoolWithTag(
            NonPagedPool, sizeof(PendingTxIrpEntry), KT735N_POOL_TAG);
        if (entries[i] == NULL) {
            allocated = FALSE;
        }
    }
    if (allocated) {
        ULONG used = 0;
        if (now) {
            adapter->TxHandOverActive = 1;
        } else {
            QueuePendingTxIrp(adapter, entries[used++], irp);
            // Nothing is with the stack, but a loop is still running: it takes this one.
            if (adapter->TxIrpsInFlight == 0) {
                adapter->TxHandOverDue = 1;
            }
        }
        adapter->TxIrpsInFlight++;
        if (zeroLengthIrp != NULL) {
            QueuePendingTxIrp(adapter, entries[used++], zeroLengthIrp);
            adapter->TxIrpsInFlight++;
        }
    }
    ReleaseTxSubmitLock(adapter, oldIrql);

    if (!allocated) {
        for (ULONG i = 0; i < needed; i++) {
            if (entries[i] != NULL) {
                ExFreePool(entries[i]);
            }
        }
        IoFreeIrp(irp);
        if (zeroLengthIrp != NULL) {
            IoFreeIrp(zeroLengthIrp);
        }
        return KT735N_FAILED;
    }
    if (now) {
        HandOverLoop(adapter, irp);
    }
    return KT735N_OK;
}

// ---- submission ---------------------------------------------------------------------------------

// Builds the frame of a descriptor and, when zeroLength is given, the zero-length transfer that
// follows it, and hands both over or queues them. Nothing is handed over (KT735N_FAILED) when
// the adapter is not running, when the frame needs a zero-length transfer behind it and none was
// given (or one was given that it does not need), or when an IRP or queue entry is missing.
// After KT735N_OK the descriptors belong to their completions.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxSubmitLock (see HandOverOrQueue).
KT735N_RESULT SubmitBulkOutPair(Adapter* adapter, TransferDescriptor* descriptor,
                                TransferDescriptor* zeroLength) {
    if (ReadShared(&adapter->DeviceState) != KT735N_DEVICE_RUNNING) {
        return KT735N_FAILED;
    }

    BuildTxFrame(adapter, descriptor);
    // No transfer below 60 bytes other than an empty one is a multiple of 64, so the test
    // before the raise to 60 is the test of the transfer sent.
    BOOLEAN needsZeroLength = (descriptor->TransferLength % BULK_OUT_PACKET_SIZE) == 0;
    if (needsZeroLength != (zeroLength != NULL)) {
        return KT735N_FAILED;
    }
    if (descriptor->TransferLength < KT735N_MIN_TX_TRANSFER) {
        descriptor->TransferLength = KT735N_MIN_TX_TRANSFER;
    }
    BuildBulkOutUrb(adapter, descriptor);
    PIRP irp = BuildBulkOutIrp(adapter, descriptor);
    if (irp == NULL) {
        return KT735N_FAILED;
    }

    PIRP zeroLengthIrp = NULL;
    if (zeroLength != NULL) {
        zeroLength->TransferLength = 0;
        BuildBulkOutUrb(adapter, zeroLength);
        zeroLengthIrp = BuildBulkOutIrp(adapter, zeroLength);
        if (zeroLengthIrp == NULL) {
            IoFreeIrp(irp);
            return KT735N_FAILED;
        }
    }
    return HandOverOrQueue(adapter, irp, zeroLengthIrp);
}

// Sends one descriptor on its own: the keep-alive frame of the hang check, or a frame that
// needs no zero-length transfer behind it.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxSubmitLock (see HandOverOrQueue).
KT735N_RESULT SubmitBulkOut(Adapter* adapter, TransferDescriptor* descriptor) {
    return SubmitBulkOutPair(adapter, descriptor, NULL);
}

// NDIS's send handler. When no earlier send waits and the admission rule gives the packet its
// descriptors (two, when a zero-length transfer must follow it), the packet is copied, its
// transfer handed over or queued, and the packet reported complete at once. Otherwise it waits
// in the driver and is completed when it has gone out (SendWaitingPackets). Either way the
// result is NDIS_STATUS_PENDING. NDIS_STATUS_FAILURE, with the packet not completed and nothing
// taken, when the packet is longer than 1514 bytes, the adapter is not running, or nothing could
// be handed over.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock, then (not nested) TxSubmitLock; none is held
// across NdisMSendComplete.
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet,
                               UINT flags) {
    UNREFERENCED_PARAMETER(flags);
    Adapter* adapter = (Adapter*)miniportAdapterContext;

    UINT totalLength = 0;
    NdisQueryPacket(packet, NULL, NULL, NULL, &totalLength);
    if (totalLength > KT735N_MAX_TX_FRAME ||
        ReadShared(&adapter->DeviceState) != KT735N_DEVICE_RUNNING) {
        return NDIS_STATUS_FAILURE;
    }

    TransferDescriptor* descriptor = NULL;
    TransferDescriptor* zeroLength = NULL;
    NdisAcquireSpinLock(&adapter->TxLock);
    if (adapter->WaitingSendHead != NULL || adapter->WaitingSendsDraining ||
        !TakeTxDescriptors(adapter, NeedsZeroLength(packet), &descriptor, &zeroLength)) {
        WAITING_LINK(packet) = NULL;
        if (adapter->WaitingSendTail != NULL) {
            WAITING_LINK(adapter->WaitingSendTail) = packet;
        } else {
            adapter->WaitingSendHead = packet;
        }
        adapter->WaitingSendTail = packet;
        adapter->WaitingSendCount++;
        NdisReleaseSpinLock(&adapter->TxLock);
        return NDIS_STATUS_PENDING;
    }
    NdisReleaseSpinLock(&adapter->TxLock);

    if (SendTaken(adapter, packet, descriptor, zeroLength) != NDIS_STATUS_SUCCESS) {
        return NDIS_STATUS_FAILURE;
    }
    // The frame has been copied; the packet is NDIS's again before its transfer finishes.
    NdisMSendComplete(adapter->MiniportAdapterHandle, packet, NDIS_STATUS_SUCCESS);
    return NDIS_STATUS_PENDING;
}

// Completion of a bulk-out IRP. Counts a good transfer (interlocked: a reset may clear the count
// on another processor), marks a running adapter failed on any other status (cancellation
// included), frees the IRP, returns the descriptor, which sends what waits for it, and sets
// TxCompletedSinceCheck for the hang check. Then, with the IRP
// no longer counted, the next waiting IRP is passed down: by the loop that passed this one down
// when one is still running (it is told through TxHandOverDue), otherwise from a loop here.
// Everything this routine does to the Adapter on its own is done before TxIrpsInFlight drops.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock (in ReturnTxDescriptor), then TxSubmitLock;
// none is held across IoCallDriver.
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    TransferDescriptor* descriptor = (TransferDescriptor*)context;
    Adapter* adapter = descriptor->OwnerAdapter;

    BOOLEAN good = (BOOLEAN)(irp->IoStatus.Status == STATUS_SUCCESS);
    ReleaseTrackedIrp(adapter, &adapter->TxIrpWithStack, irp);
    if (good) {
        InterlockedIncrement((PLONG)&adapter->Statistics.TxOkCount);
    } else {
        NoteTransferFailed(adapter);
    }
    ReturnTxDescriptor(adapter, descriptor);
    InterlockedExchange(&adapter->TxCompletedSinceCheck, 1);

    PIRP next = NULL;
    KIRQL oldIrql = AcquireTxSubmitLock(adapter);
    adapter->TxIrpsInFlight--;
    if (adapter->TxIrpsInFlight > 0) {
        if (adapter->TxHandOverActive) {
            adapter->TxHandOverDue = 1;
        } else {
            next = TakePendingTxIrp(adapter);
            if (next != NULL) {
                adapter->TxHandOverActive = 1;
            }
        }
    }
    ReleaseTxSubmitLock(adapter, oldIrql);

    if (next != NULL) {
        HandOverLoop(adapter, next);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Whether the transmit path is done with the stack: no bulk-out IRP with it or waiting, no loop
// still passing one down, and no keep-alive under way.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxSubmitLock.
BOOLEAN BulkOutIdle(Adapter* adapter) {
    KIRQL oldIrql = AcquireTxSubmitLock(adapter);
    BOOLEAN idle = adapter->TxIrpsInFlight == 0 && !adapter->TxHandOverActive &&
                   InterlockedCompareExchange(&adapter->KeepAliveActive, 0, 0) == 0;
    ReleaseTxSubmitLock(adapter, oldIrql);
    return idle;
}
