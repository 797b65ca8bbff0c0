// The receive path: one bulk-in transfer with the USB stack at a time, each into the data buffer
// of a receive descriptor; completed frames wait on ReceivedList for the receive-indicate
// timer, which indicates them to NDIS one packet per call with NDIS_STATUS_RESOURCES, so NDIS
// copies each frame at once and the descriptor can go back to FreeRxList right after the call.
//
// A receive descriptor is on FreeRxList, on the pipe, on ReceivedList or inside a running
// indication. After a failed transfer, or a completion once the adapter has left the running
// state, it goes back to FreeRxList, so that a reset finds every descriptor to start again.
//
// RxLock guards FreeRxList, ReceivedList, RxIrpsInFlight and ReceiveIndicateQueued. It is never
// held across IoCallDriver (a completion may run inside the call and take it) nor across
// NdisMIndicateReceivePacket, and no transmit lock is ever taken with it. A transfer is counted
// in RxIrpsInFlight, and the timer armed, only in a hold of RxLock that found the adapter
// running; StopReception leaves the running state in a hold of its own, so after it nothing
// new is counted or armed, and whatever was shows in BulkInIdle until it is done.
#include "datapath/datapath.h"
#include "usb/usb.h"

// The last act of a bulk-in completion routine: from here on it no longer touches the Adapter
// or the descriptor, so halt may release both once the count reaches 0. A descriptor given is
// put back on FreeRxList in the same hold of the lock.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock.
static VOID BulkInRequestDone(Adapter* adapter, TransferDescriptor* unused) {
    NdisAcquireSpinLock(&adapter->RxLock);
    if (unused != NULL) {
        DescriptorListAppend(&adapter->FreeRxList, unused);
        ASSERT(adapter->FreeRxList.Count + adapter->ReceivedList.Count <=
               adapter->RxDescriptorCount);
    }
    adapter->RxIrpsInFlight--;
    NdisReleaseSpinLock(&adapter->RxLock);
}

// Takes the head of FreeRxList for the pipe and counts its transfer in RxIrpsInFlight, in the
// caller's hold of RxLock, when the adapter is running. NULL when it is not, or none is free.
// IRQL: DISPATCH_LEVEL. Locks: the caller holds RxLock.
static TransferDescriptor* TakeFreeRxForPipe(Adapter* adapter) {
    if (ReadShared(&adapter->DeviceState) != KT735N_DEVICE_RUNNING) {
        return NULL;
    }
    TransferDescriptor* descriptor = DescriptorListTakeHead(&adapter->FreeRxList);
    if (descriptor != NULL) {
        adapter->RxIrpsInFlight++;
    }
    return descriptor;
}

// Builds the bulk-in transfer in the descriptor's URB area (the whole 1536-byte data buffer,
// short transfers allowed) and hands it to the USB stack with BulkInComplete as its completion
// routine, called on success, error and cancel. The caller has counted the transfer in
// RxIrpsInFlight. Whatever IoCallDriver returns, the IRP and the descriptor then belong to
// BulkInComplete. When no IRP can be had the descriptor goes back to the tail of FreeRxList,
// so that it is not lost, the count drops again, and the result is KT735N_FAILED.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock on failure only; none across IoCallDriver.
static KT735N_RESULT PassBulkInDown(Adapter* adapter, TransferDescriptor* descriptor) {
    PURB urb = descriptor->Urb;
    NdisZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(
        urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
        adapter->InterfaceInfo->Pipes[PIPE_BULK_IN].PipeHandle, descriptor->DataBuffer, NULL,
        KT735N_DATA_BUFFER_SIZE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);

    PIRP irp = AllocateUrbIrp(adapter, urb, BulkInComplete, descriptor);
    if (irp == NULL) {
        NdisAcquireSpinLock(&adapter->RxLock);
        DescriptorListAppend(&adapter->FreeRxList, descriptor);
        adapter->RxIrpsInFlight--;
        NdisReleaseSpinLock(&adapter->RxLock);
        return KT735N_FAILED;
    }
    IoCallDriver(adapter->NextDeviceObject, irp);
    return KT735N_OK;
}

// Puts a descriptor the caller holds (on no list) on the pipe: counted in RxIrpsInFlight in one
// hold of RxLock with the test that the adapter runs, then handed down. Once the adapter has
// left the running state the descriptor goes back to FreeRxList instead, and nothing is sent.
// KT735N_FAILED only when no IRP could be had (see PassBulkInDown).
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock, released before IoCallDriver.
KT735N_RESULT SubmitBulkIn(Adapter* adapter, TransferDescriptor* descriptor) {
    NdisAcquireSpinLock(&adapter->RxLock);
    BOOLEAN running = (BOOLEAN)(ReadShared(&adapter->DeviceState) == KT735N_DEVICE_RUNNING);
    if (running) {
        adapter->RxIrpsInFlight++;
    } else {
        DescriptorListAppend(&adapter->FreeRxList, descriptor);
    }
    NdisReleaseSpinLock(&adapter->RxLock);
    return running ? PassBulkInDown(adapter, descriptor) : KT735N_OK;
}

// Applies the acceptance rules to a bulk-in transfer of n bytes (2 to 1536) and returns the
// frame length to indicate, 0 for none, counting good frames and CRC errors on the way.
//
// The frame length is (n AND 0x0FFF) - 8 as a 16-bit value; of the status word only the bits
// 0x02, 0x04, 0x08 and 0x10 of its low byte count. With none of them set the frame is taken as
// it is. Otherwise 0x02 accepts a frame of at most 1514 bytes, 0x04 one of at least 60 bytes,
// each counting a good frame of its own, and 0x08 counts a CRC error. A frame longer than the
// 1514 bytes the receive packet's buffer describes is never taken, and counts as nothing
// received: transfers of 2 to 7 bytes (whose length wraps to 65530 and more) and transfers of
// 1523 bytes and more would otherwise have NDIS read past the buffer. The counts are interlocked,
// so that a reset clearing them on another processor loses none after it and keeps none before.
// IRQL: up to DISPATCH_LEVEL. Locks: none (one bulk-in completion runs at a time).
static ULONG AcceptFrame(Adapter* adapter, TransferDescriptor* descriptor, ULONG n) {
    UCHAR status = descriptor->DataBuffer[n - 2];
    USHORT length = (USHORT)((n & 0x0FFF) - KT735N_RX_TRAILER_LENGTH);
    BOOLEAN fits = (BOOLEAN)(length <= KT735N_RX_BUFFER_LENGTH);

    if ((status & RX_STATUS_EXAMINED) == 0) {
        if (!fits) {
            return 0;
        }
        InterlockedIncrement((PLONG)&adapter->Statistics.RxOkCount);
        return length;
    }

    ULONG accepted = 0;
    if ((status & RX_STATUS_ACCEPT_UP_TO_MAX) != 0 && fits) {
        accepted = length;
        InterlockedIncrement((PLONG)&adapter->Statistics.RxOkCount);
    }
    if ((status & RX_STATUS_ACCEPT_FROM_MIN) != 0 && length >= KT735N_MIN_RX_FRAME && fits) {
        accepted = length;
        InterlockedIncrement((PLONG)&adapter->Statistics.RxOkCount);
    }
    if ((status & RX_STATUS_CRC_ERROR) != 0) {
        InterlockedIncrement((PLONG)&adapter->Statistics.RxCrcErrorCount);
    }
    return accepted;
}

// Completion routine of every bulk-in IRP; the context is the receive descriptor. Once the
// adapter has left the running state (shut down, resetting, or a transfer failed) the IRP is
// freed and the descriptor goes back to FreeRxList. A failed or cancelled transfer of a running
// adapter sets DeviceState to KT735N_DEVICE_TRANSFER_FAILED, which stops reception and transmission
// until a reset brings them back. Otherwise the frame is checked: an accepted one goes to
// ReceivedList, anything else puts the same descriptor straight back on the pipe. Always
// returns STATUS_MORE_PROCESSING_REQUIRED: the IRP is the driver's and is freed here.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock (through the routines it calls).
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    TransferDescriptor* descriptor = (TransferDescriptor*)context;
    Adapter* adapter = descriptor->OwnerAdapter;

    descriptor->TransferLength = 0;
    if (ReadShared(&adapter->DeviceState) != KT735N_DEVICE_RUNNING ||
        irp->IoStatus.Status != STATUS_SUCCESS) {
        if (irp->IoStatus.Status != STATUS_SUCCESS) {
            NoteTransferFailed(adapter);
        }
        IoFreeIrp(irp);
        BulkInRequestDone(adapter, descriptor);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    ULONG received = descriptor->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    // 0 or 1 byte carries no frame; more than the buffer cannot come from the stack.
    if (received >= 2 && received <= KT735N_DATA_BUFFER_SIZE) {
        descriptor->TransferLength = AcceptFrame(adapter, descriptor, received);
    }
    IoFreeIrp(irp);

    if (descriptor->TransferLength == 0) {
        SubmitBulkIn(adapter, descriptor);
    } else {
        QueueReceivedFrame(adapter, descriptor);
    }
    BulkInRequestDone(adapter, NULL);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Appends a descriptor that holds an accepted frame to ReceivedList, puts the head of
// FreeRxList on the pipe if there is one (else reception pauses until IndicateReceivedFrames
// finds every descriptor free), and sets the receive-indicate timer to 0 ms unless a run it
// set is still to come or running (ReceiveIndicateQueued): that run indicates this frame too,
// and no second run can start beside it and pass it. All of this in one hold of RxLock that
// found the adapter running; once it is not, the frame is dropped and its descriptor goes back
// to FreeRxList, so that nothing re-arms the timer after StopReception has cancelled it.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock, released before the submission.
KT735N_RESULT QueueReceivedFrame(Adapter* adapter, TransferDescriptor* descriptor) {
    TransferDescriptor* free = NULL;
    NdisAcquireSpinLock(&adapter->RxLock);
    if (ReadShared(&adapter->DeviceState) != KT735N_DEVICE_RUNNING) {
        DescriptorListAppend(&adapter->FreeRxList, descriptor);
    } else {
        DescriptorListAppend(&adapter->ReceivedList, descriptor);
        free = TakeFreeRxForPipe(adapter);
        if (!adapter->ReceiveIndicateQueued) {
            adapter->ReceiveIndicateQueued = 1;
            NdisSetTimer((PNDIS_TIMER)&adapter->ReceiveIndicateTimer, 0);
        }
    }
    NdisReleaseSpinLock(&adapter->RxLock);

    if (free != NULL) {
        PassBulkInDown(adapter, free);
    }
    return KT735N_OK;
}

// The receive-indicate timer function; the function context is the Adapter. Indicates every
// frame on ReceivedList, oldest first, each as a one-packet array with the packet status
// NDIS_STATUS_RESOURCES, and puts each descriptor back on FreeRxList only after its indication
// has returned, so its buffer is never on the pipe while NDIS reads it. Frames queued while it
// runs are indicated by it too: it clears ReceiveIndicateQueued only in the hold that finds
// ReceivedList empty, so runs never overlap and frames reach NDIS in arrival order. When every
// receive descriptor is then free, no transfer is on the pipe (a burst used them all up): one
// is put back on it, counted in the same hold, if the adapter is running.
// IRQL: DISPATCH_LEVEL. Locks: takes RxLock, released around each indication and before the
// submission.
VOID NTAPI IndicateReceivedFrames(PVOID systemSpecific1, PVOID functionContext,
                                  PVOID systemSpecific2, PVOID systemSpecific3) {
    UNREFERENCED_PARAMETER(systemSpecific1);
    UNREFERENCED_PARAMETER(systemSpecific2);
    UNREFERENCED_PARAMETER(systemSpecific3);
    Adapter* adapter = (Adapter*)functionContext;

    NdisAcquireSpinLock(&adapter->RxLock);
    for (;;) {
        TransferDescriptor* descriptor = DescriptorListTakeHead(&adapter->ReceivedList);
        if (descriptor == NULL) {
            break;
        }
        RxPacketSlot* slot = (RxPacketSlot*)descriptor->PacketSlot;
        NdisAdjustBufferLength(slot->Buffer, descriptor->TransferLength);
        NDIS_SET_PACKET_STATUS(slot->Packet, NDIS_STATUS_RESOURCES);
        NdisReleaseSpinLock(&adapter->RxLock);

        NdisMIndicateReceivePacket(adapter->MiniportAdapterHandle, &slot->Packet, 1);

        NdisAcquireSpinLock(&adapter->RxLock);
        DescriptorListAppend(&adapter->FreeRxList, descriptor);
        ASSERT(adapter->FreeRxList.Count + adapter->ReceivedList.Count <=
               adapter->RxDescriptorCount);
    }
    adapter->ReceiveIndicateQueued = 0;
    TransferDescriptor* restart = NULL;
    if (adapter->FreeRxList.Count >= adapter->RxDescriptorCount) {
        restart = TakeFreeRxForPipe(adapter);
    }
    NdisReleaseSpinLock(&adapter->RxLock);

    if (restart != NULL) {
        PassBulkInDown(adapter, restart);
    }
}

// Takes the adapter out of the running state and cancels the receive-indicate timer, in that
// order: the state is set in a hold of RxLock, so no bulk-in completion re-arms the timer or
// puts a transfer on the pipe after it, and a run the cancellation came too late for (already
// due or running) clears ReceiveIndicateQueued itself when it ends, which BulkInIdle waits for.
// IRQL: PASSIVE_LEVEL (the stop sequence). Locks: takes RxLock, twice at most.
VOID StopReception(Adapter* adapter) {
    NdisAcquireSpinLock(&adapter->RxLock);
    InterlockedExchange((PLONG)&adapter->DeviceState, KT735N_DEVICE_SHUT_DOWN);
    NdisReleaseSpinLock(&adapter->RxLock);

    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&adapter->ReceiveIndicateTimer, &cancelled);
    if (cancelled) {
        NdisAcquireSpinLock(&adapter->RxLock);
        adapter->ReceiveIndicateQueued = 0;
        NdisReleaseSpinLock(&adapter->RxLock);
    }
}

// TRUE when no bulk-in IRP is with the USB stack, no bulk-in completion routine still works
// on the Adapter, and no receive-indicate run is due or running.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock.
BOOLEAN BulkInIdle(Adapter* adapter) {
    NdisAcquireSpinLock(&adapter->RxLock);
    BOOLEAN idle = (BOOLEAN)(adapter->RxIrpsInFlight == 0 && !adapter->ReceiveIndicateQueued);
    NdisReleaseSpinLock(&adapter->RxLock);
    return idle;
}

// Puts a bulk-in transfer on the pipe when the adapter is running, no bulk-in IRP is with the
// USB stack and every receive descriptor is on FreeRxList: reception stopped because a
// submission found no IRP, or a reset is bringing it back. The test, the taking of the
// descriptor and its count are one hold of RxLock, so a receive-indicate timer doing the same
// restart sees one descriptor short and leaves it alone. KT735N_FAILED only when the submission
// found no IRP.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock, released before the submission.
KT735N_RESULT RestartReception(Adapter* adapter) {
    NdisAcquireSpinLock(&adapter->RxLock);
    TransferDescriptor* descriptor = NULL;
    if (adapter->RxIrpsInFlight == 0 && adapter->FreeRxList.Count == adapter->RxDescriptorCount) {
        descriptor = TakeFreeRxForPipe(adapter);
    }
    NdisReleaseSpinLock(&adapter->RxLock);
    return descriptor != NULL ? PassBulkInDown(adapter, descriptor) : KT735N_OK;
}

// NDIS's transfer-data handler. The receive context is taken as the address of a frame's first
// byte; the copy starts byteOffset bytes behind its 14-byte Ethernet header and fills the
// packet's buffers in chain order until bytesToTransfer bytes are copied or the chain ends.
// Receive indications carry whole packets, so NDIS has no reason to call it; it never pends.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET packet, PUINT bytesTransferred,
                                       NDIS_HANDLE miniportAdapterContext,
                                       NDIS_HANDLE miniportReceiveContext, UINT byteOffset,
                                       UINT bytesToTransfer) {
    UNREFERENCED_PARAMETER(miniportAdapterContext);
    *bytesTransferred = 0;
    PUCHAR source = (PUCHAR)miniportReceiveContext + KT735N_ETHERNET_HEADER_LENGTH + byteOffset;
    if (bytesToTransfer == 0) {
        return NDIS_STATUS_SUCCESS;
    }

    PNDIS_BUFFER buffer = NULL;
    NdisQueryPacket(packet, NULL, NULL, &buffer, NULL);
    UINT remaining = bytesToTransfer;
    while (buffer != NULL && remaining != 0) {
        PVOID address = NULL;
        UINT length = 0;
        NdisQueryBuffer(buffer, &address, &length);
        UINT amount = length < remaining ? length : remaining;
        NdisMoveMemory(address, source, amount);
        source += amount;
        *bytesTransferred += amount;
        remaining -= amount;
        NdisGetNextBuffer(buffer, &buffer);
    }
    return NDIS_STATUS_SUCCESS;
}
