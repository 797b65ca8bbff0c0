// The frame path: transmit over the bulk-out pipe (datapath/transmit.cpp) and receive over the
// bulk-in pipe (datapath/receive.cpp). Both work on the TransferDescriptors of
// datapath/descriptors.h.
#pragma once

#include "adapter/adapter.h"
#include "datapath/descriptors.h"

// ---- transmit (datapath/transmit.cpp) -----------------------------------------------------------

// Largest frame MiniportSend takes: destination address to the end of the data, without CRC.
// A longer packet is refused before anything is taken or sent.
#define KT735N_MAX_TX_FRAME 1514
// Every bulk-out transfer is at least this long; the header still carries the true length.
#define KT735N_MIN_TX_TRANSFER 60
// The bytes of the length header in front of every frame.
#define KT735N_TX_HEADER_LENGTH 2

// The fixed keep-alive frame the hang check sends on an idle phone line: zero addresses, an
// 802.3 length of 46 and an LLC TEST command with the poll bit.
#define KT735N_KEEP_ALIVE_FRAME_LENGTH 60
extern const UCHAR KeepAliveFrame[KT735N_KEEP_ALIVE_FRAME_LENGTH];

// A bulk-out IRP waiting on PendingTxIrpList for the one with the USB stack. From nonpaged pool
// with KT735N_POOL_TAG; freed when its IRP comes off the list.
struct PendingTxIrpEntry {
    LIST_ENTRY Link;
    PIRP Irp;
};

// Sends one descriptor's frame: a keep-alive frame when its transmit slot holds no packet (the
// hang check sets SendingKeepAlive around the call and takes a descriptor whose slot is empty),
// otherwise the packet in its slot. Returns KT735N_OK when the transfer was handed to the USB
// stack or queued behind the one there; the descriptor then comes back through the completion.
// Returns KT735N_FAILED when nothing was handed over: the adapter is not running, no IRP or
// queue entry could be had, or the frame's transfer is a multiple of 64 bytes and so needs a
// zero-length transfer behind it (MiniportSend sends those with SubmitBulkOutPair).
KT735N_RESULT SubmitBulkOut(Adapter* adapter, TransferDescriptor* descriptor);
// The same for a frame and, when zeroLength is not NULL, the zero-length transfer that must
// follow it directly on the pipe. Either both are handed over or queued, one straight behind
// the other, or neither is (KT735N_FAILED).
KT735N_RESULT SubmitBulkOutPair(Adapter* adapter, TransferDescriptor* descriptor,
                                TransferDescriptor* zeroLength);
// Fills DataBuffer (length header and frame) and TransferLength. Always KT735N_OK.
KT735N_RESULT BuildTxFrame(Adapter* adapter, TransferDescriptor* descriptor);
// Puts a transmit descriptor back at the tail of FreeTxList and sends the waiting packets that
// can go now.
KT735N_RESULT ReturnTxDescriptor(Adapter* adapter, TransferDescriptor* descriptor);
// Sends waiting packets, in order, while the admission rule lets the next one go; each is
// completed with the outcome of its submission.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock, not held across sends and completions.
VOID SendWaitingPackets(Adapter* adapter);
// Completes every waiting packet with `status` (halt, reset, failed transfer).
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock, not held across NdisMSendComplete.
VOID CompleteWaitingSends(Adapter* adapter, NDIS_STATUS status);
// After a bulk transfer failed: a running adapter becomes KT735N_DEVICE_TRANSFER_FAILED and the
// waiting sends fail. Any other DeviceState (shut down, resetting, already failed) is left alone.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxLock.
VOID NoteTransferFailed(Adapter* adapter);
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
// TRUE when no bulk-out IRP is with the USB stack or waiting for it, and no routine is still
// passing one down; from then on the transmit path no longer touches the Adapter on its own.
// MiniportHalt waits for this (after aborting the bulk-out pipe) before releasing the Adapter.
// IRQL: up to DISPATCH_LEVEL. Locks: takes TxSubmitLock.
BOOLEAN BulkOutIdle(Adapter* adapter);

// ---- receive (datapath/receive.cpp) -------------------------------------------------------------

// Bytes behind the frame in every bulk-in transfer: 6 bytes not read, then the status word.
#define KT735N_RX_TRAILER_LENGTH 8

// Bits of the bulk-in status word's low byte that the acceptance rules look at.
#define RX_STATUS_ACCEPT_UP_TO_MAX 0x02 // accepted when the frame is at most 1514 bytes
#define RX_STATUS_ACCEPT_FROM_MIN 0x04  // accepted when the frame is at least 60 bytes
#define RX_STATUS_CRC_ERROR 0x08        // counted as a CRC error
#define RX_STATUS_DROP 0x10             // no effect of its own: dropped unless accepted
#define RX_STATUS_EXAMINED                                                                         \
    (RX_STATUS_ACCEPT_UP_TO_MAX | RX_STATUS_ACCEPT_FROM_MIN | RX_STATUS_CRC_ERROR | RX_STATUS_DROP)
#define KT735N_MIN_RX_FRAME 60

// Hands a bulk-in transfer into the descriptor's data buffer to the USB stack, counted in
// RxIrpsInFlight in one hold of RxLock with the test that the adapter runs. Returns KT735N_OK
// when it was handed over (it then belongs to BulkInComplete) or the adapter no longer runs (the
// descriptor is then put back on FreeRxList), KT735N_FAILED when no IRP could be had (likewise).
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock, released before IoCallDriver.
KT735N_RESULT SubmitBulkIn(Adapter* adapter, TransferDescriptor* descriptor);
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
// Appends a descriptor holding a frame to ReceivedList, puts a free one on the pipe and arms
// the receive-indicate timer unless a run is already due; drops the frame once the adapter no
// longer runs. Always KT735N_OK.
KT735N_RESULT QueueReceivedFrame(Adapter* adapter, TransferDescriptor* descriptor);
// The function of ReceiveIndicateTimer: indicates every queued frame, one packet per call.
VOID NTAPI IndicateReceivedFrames(PVOID systemSpecific1, PVOID functionContext,
                                  PVOID systemSpecific2, PVOID systemSpecific3);
// Takes the adapter out of the running state (KT735N_DEVICE_SHUT_DOWN) under RxLock, then
// cancels the receive-indicate timer; from then on reception submits and arms nothing.
// IRQL: PASSIVE_LEVEL. Locks: takes RxLock.
VOID StopReception(Adapter* adapter);
// TRUE when no bulk-in IRP is with the USB stack, no bulk-in completion routine is still
// working on the Adapter and no receive-indicate run is due or running. MiniportHalt waits for
// this (after StopReception and the abort of the bulk-in pipe).
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock.
BOOLEAN BulkInIdle(Adapter* adapter);
// Puts a bulk-in transfer on the pipe when the adapter is running and reception has stopped (no
// transfer on the pipe, every receive descriptor free). KT735N_FAILED only when that submission
// found no IRP; reception then stays stopped.
// IRQL: up to DISPATCH_LEVEL. Locks: takes RxLock, released before the submission.
KT735N_RESULT RestartReception(Adapter* adapter);

// ---- the handlers
// ---------------------------------------------------------------------------------

// datapath/transmit.cpp
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet, UINT flags);

// datapath/receive.cpp
NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET packet, PUINT bytesTransferred,
                                       NDIS_HANDLE miniportAdapterContext,
                                       NDIS_HANDLE miniportReceiveContext, UINT byteOffset,
                                       UINT bytesToTransfer);
