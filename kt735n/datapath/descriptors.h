// Transfer descriptors and packet slots: the units the transmit and receive paths work with.
//
// All descriptors, their URB areas and their data buffers are carved out of one tracked block at
// bring-up: N descriptor slots, then N URB areas, then N data buffers, N being the transmit plus
// the receive descriptor count, transmit descriptors first. Descriptor i owns URB area i and
// data buffer i for the life of the adapter.
#pragma once

#include "adapter/adapter.h"

// One transmit or receive unit. Linked into at most one DescriptorList at a time (free
// transmit, free receive or received list); completion routines get it as their context.
struct TransferDescriptor {
    TransferDescriptor* Next;
    TransferDescriptor* Prev;
    PVOID PacketSlot;      // TxPacketSlot or RxPacketSlot of this descriptor
    Adapter* OwnerAdapter; // reached from completion routines through the descriptor
    ULONG TransferLength;  // bytes to send; or received frame length, 0 meaning nothing
    PURB Urb;              // this descriptor's URB area
    PUCHAR DataBuffer;     // this descriptor's data buffer
    ULONG Reserved;        // the slot's eighth word; never read
};

// Room for the bulk transfer URB built in a descriptor's URB area. 96 bytes on the 32-bit
// target, sizeof(URB) wherever the platform's URB is larger.
#define KT735N_URB_AREA_SIZE (sizeof(URB) > 96 ? sizeof(URB) : 96)
#define KT735N_DATA_BUFFER_SIZE 1536
// Bytes of the descriptor block per descriptor: 1664 on the 32-bit target.
#define KT735N_DESCRIPTOR_FOOTPRINT                                                                \
    (sizeof(TransferDescriptor) + KT735N_URB_AREA_SIZE + KT735N_DATA_BUFFER_SIZE)

// Length of a receive packet's buffer, and its Ethernet header.
#define KT735N_RX_BUFFER_LENGTH 1514
#define KT735N_ETHERNET_HEADER_LENGTH 14

// The NDIS packet being sent from a transmit descriptor.
struct TxPacketSlot {
    PNDIS_PACKET Packet;
};

// A receive descriptor's own packet and the buffer describing its data buffer. Packet comes
// first, so the slot's address is a one-element packet array for NdisMIndicateReceivePacket.
struct RxPacketSlot {
    PNDIS_PACKET Packet;
    PNDIS_BUFFER Buffer;
};

// ---- descriptor lists ---------------------------------------------------------------------------
// The three lists (FreeTxList, FreeRxList, ReceivedList) share these operations. The caller
// holds the list's lock (TxLock or RxLock), or the adapter is not running yet.

// Whether the descriptor is on the list: a walk, for the assertions that a descriptor is never
// put on a list twice (checked builds only; the list routines themselves never walk).
// IRQL: up to DISPATCH_LEVEL. Locks: the caller holds the list's lock.
BOOLEAN DescriptorListHolds(const DescriptorList* list, const TransferDescriptor* descriptor);
// Unlinks and returns the head of the list, or NULL when it is empty.
// IRQL: up to DISPATCH_LEVEL. Locks: the caller holds the list's lock.
TransferDescriptor* DescriptorListTakeHead(DescriptorList* list);
// Appends a descriptor at the tail.
// IRQL: up to DISPATCH_LEVEL. Locks: the caller holds the list's lock.
VOID DescriptorListAppend(DescriptorList* list, TransferDescriptor* descriptor);
// Pushes a descriptor at the head, so that it is the next one taken.
// IRQL: up to DISPATCH_LEVEL. Locks: the caller holds the list's lock.
VOID DescriptorListPush(DescriptorList* list, TransferDescriptor* descriptor);

// ---- the pools (datapath/descriptor_pool.cpp) ---------------------------------------------------

// The size of the descriptor block for these counts, in *length. KT735N_FAILED when the block
// would not fit in 32 bits (the counts come from the registry as read).
// IRQL: any. Locks: none.
KT735N_RESULT DescriptorBlockLength(ULONG txCount, ULONG rxCount, PULONG length);
// Allocates the descriptor block, carves it into FreeTxList and FreeRxList and gives every
// descriptor its packet slot (bring-up).
// IRQL: PASSIVE_LEVEL. Locks: none (nothing else can reach the lists yet).
KT735N_RESULT AllocateDescriptorPools(Adapter* adapter);
// Gives the receive packets and buffers back to their pools (halt, or a failed bring-up).
// IRQL: PASSIVE_LEVEL. Locks: none; no receive may be in flight.
VOID ReleaseReceivePackets(Adapter* adapter);
