// The descriptor pools of the data path: the descriptor block carved into the transmit and
// receive descriptors (layout in datapath/descriptors.h), and the receive descriptors' NDIS
// packets. All of it runs once, at the end of the bring-up, and is given back at halt.
#include "datapath/descriptors.h"

#if defined(KT735N_WINDOWS)
// The 32-bit layout: 32-byte descriptors, 96-byte URB areas, 1664 bytes per descriptor, so the
// default 40 + 20 descriptors take 99,840 bytes; 4-byte transmit and 8-byte receive slots.
static_assert(sizeof(TransferDescriptor) == 32, "descriptor slot");
static_assert(KT735N_URB_AREA_SIZE == 96, "URB area");
static_assert(KT735N_DESCRIPTOR_FOOTPRINT == 1664, "bytes per descriptor");
static_assert((KT735N_DEFAULT_TX_DESCRIPTORS + KT735N_DEFAULT_RX_DESCRIPTORS) *
                      KT735N_DESCRIPTOR_FOOTPRINT ==
                  99840,
              "default descriptor block");
static_assert(sizeof(TxPacketSlot) == 4 && sizeof(RxPacketSlot) == 8, "packet slots");
#endif

// The largest 32-bit byte count.
#define LARGEST_ULONG ((ULONG)0xFFFFFFFF)

// The size of the descriptor block for these counts, in *length. Returns KT735N_OK, or
// KT735N_FAILED when the block would not fit in 32 bits (the counts come from the registry as
// read).
// IRQL: any. Locks: none.
KT735N_RESULT DescriptorBlockLength(ULONG txCount, ULONG rxCount, PULONG length) {
    const ULONG footprint = (ULONG)KT735N_DESCRIPTOR_FOOTPRINT;
    *length = 0;
    if (txCount > LARGEST_ULONG - rxCount) {
        return KT735N_FAILED;
    }
    ULONG count = txCount + rxCount;
    if (count > LARGEST_ULONG / footprint) {
        return KT735N_FAILED;
    }
    *length = count * footprint;
    return KT735N_OK;
}

// Carves the descriptor block into the transmit descriptors, appended to FreeTxList in block
// order, and the receive descriptors, each pushed at the head of FreeRxList (which then runs
// from the last receive descriptor back to the first).
// IRQL: PASSIVE_LEVEL. Locks: none (nothing else can reach the lists yet).
static VOID CarveDescriptors(Adapter* adapter, PUCHAR block) {
    const ULONG count = adapter->TxDescriptorCount + adapter->RxDescriptorCount;
    TransferDescriptor* descriptors = (TransferDescriptor*)block;
    PUCHAR urbAreas = block + count * sizeof(TransferDescriptor);
    PUCHAR dataBuffers = urbAreas + count * KT735N_URB_AREA_SIZE;

    for (ULONG i = 0; i < count; ++i) {
        TransferDescriptor* descriptor = &descriptors[i];
        descriptor->OwnerAdapter = adapter;
        descriptor->Urb = (PURB)(urbAreas + i * KT735N_URB_AREA_SIZE);
        descriptor->DataBuffer = dataBuffers + i * KT735N_DATA_BUFFER_SIZE;
        if (i < adapter->TxDescriptorCount) {
            DescriptorListAppend(&adapter->FreeTxList, descriptor);
        } else {
            DescriptorListPush(&adapter->FreeRxList, descriptor);
        }
    }
}

// Gives every receive packet and buffer taken so far back to its pool and clears its slot, so
// that the pools can be freed by the ledger. Safe to call more than once and on an adapter
// whose slots were never taken.
// IRQL: PASSIVE_LEVEL (halt, or a failed bring-up). Locks: none; no receive may be in flight.
VOID ReleaseReceivePackets(Adapter* adapter) {
    RxPacketSlot* slots = adapter->ReceiveSlots;
    if (slots == NULL) {
        return;
    }
    for (ULONG i = 0; i < adapter->RxDescriptorCount; ++i) {
        if (slots[i].Buffer != NULL) {
            NdisFreeBuffer(slots[i].Buffer);
            slots[i].Buffer = NULL;
        }
        if (slots[i].Packet != NULL) {
            NdisFreePacket(slots[i].Packet);
            slots[i].Packet = NULL;
        }
    }
}

// Takes the transmit slots and gives them to FreeTxList's descriptors in order; takes a packet pool
// and a buffer pool of one entry per receive descriptor, each recorded in its ledger entry only
// when it was obtained; takes the receive slots; and gives each receive descriptor, in FreeRxList
// order, a packet with one 1514-byte buffer over its data buffer, a header size of 14, and the
// descriptor in the first pointer of its MiniportReserved area. Returns KT735N_OK, or KT735N_FAILED
// when any allocation, pool, packet or buffer could not be had; a packet or buffer failing part-way
// gives back those already taken, so no receive packet is ever left without its buffer.
// IRQL: PASSIVE_LEVEL. Locks: none (nothing else can reach the lists yet).
static KT735N_RESULT AllocatePacketSlots(Adapter* adapter) {
    PVOID memory = NULL;
    if (AllocateTracked(adapter, &memory, adapter->TxDescriptorCount * sizeof(TxPacketSlot)) !=
        KT735N_OK) {
        return KT735N_FAILED;
    }
    TxPacketSlot* txSlots = (TxPacketSlot*)memory;
    ULONG index = 0;
    for (TransferDescriptor* d = adapter->FreeTxList.Head; d != NULL; d = d->Next) {
        d->PacketSlot = &txSlots[index++];
    }

    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    LedgerEntry* entry = LedgerTakeEntry(adapter);
    if (entry == NULL) {
        return KT735N_FAILED;
    }
    NDIS_HANDLE packetPool = NULL;
    NdisAllocatePacketPool(&status, &packetPool, adapter->RxDescriptorCount, 0);
    if (status != NDIS_STATUS_SUCCESS) {
        return KT735N_FAILED;
    }
    entry->Payload.PacketPool.PoolHandle = packetPool;
    entry->Kind = LEDGER_KIND_PACKET_POOL;

    entry = LedgerTakeEntry(adapter);
    if (entry == NULL) {
        return KT735N_FAILED;
    }
    NDIS_HANDLE bufferPool = NULL;
    NdisAllocateBufferPool(&status, &bufferPool, adapter->RxDescriptorCount);
    if (status != NDIS_STATUS_SUCCESS) {
        return KT735N_FAILED;
    }
    entry->Payload.BufferPool.PoolHandle = bufferPool;
    entry->Kind = LEDGER_KIND_BUFFER_POOL;

    memory = NULL;
    if (AllocateTracked(adapter, &memory, adapter->RxDescriptorCount * sizeof(RxPacketSlot)) !=
        KT735N_OK) {
        return KT735N_FAILED;
    }
    RxPacketSlot* rxSlots = (RxPacketSlot*)memory;
    adapter->ReceiveSlots = rxSlots;

    index = 0;
    for (TransferDescriptor* d = adapter->FreeRxList.Head; d != NULL; d = d->Next) {
        RxPacketSlot* slot = &rxSlots[index++];
        PNDIS_PACKET packet = NULL;
        NdisAllocatePacket(&status, &packet, packetPool);
        if (status != NDIS_STATUS_SUCCESS || packet == NULL) {
            ReleaseReceivePackets(adapter);
            return KT735N_FAILED;
        }
        slot->Packet = packet;
        PNDIS_BUFFER buffer = NULL;
        NdisAllocateBuffer(&status, &buffer, bufferPool, d->DataBuffer, KT735N_RX_BUFFER_LENGTH);
        if (status != NDIS_STATUS_SUCCESS || buffer == NULL) {
            ReleaseReceivePackets(adapter);
            return KT735N_FAILED;
        }
        slot->Buffer = buffer;
        NDIS_SET_PACKET_HEADER_SIZE(packet, KT735N_ETHERNET_HEADER_LENGTH);
        NdisChainBufferAtFront(packet, buffer);
        d->PacketSlot = slot;
        NdisMoveMemory(packet->MiniportReserved, &d, sizeof(d));
    }
    return KT735N_OK;
}

// Allocates the descriptor block for TxDescriptorCount and RxDescriptorCount, carves it into
// the free lists and gives the descriptors their packet slots. The last step of the bring-up:
// the counts are final by then (registry read, floors applied).
// Returns KT735N_OK, or KT735N_FAILED when the block would not fit in 32 bits or an allocation
// failed; whatever was allocated is in the ledger, and receive packets and buffers already
// taken have been given back to their pools.
// IRQL: PASSIVE_LEVEL. Locks: none (nothing else can reach the lists yet).
KT735N_RESULT AllocateDescriptorPools(Adapter* adapter) {
    ULONG length = 0;
    if (DescriptorBlockLength(adapter->TxDescriptorCount, adapter->RxDescriptorCount, &length) !=
        KT735N_OK) {
        return KT735N_FAILED;
    }
    PVOID block = NULL;
    if (AllocateTracked(adapter, &block, length) != KT735N_OK) {
        return KT735N_FAILED;
    }
    CarveDescriptors(adapter, (PUCHAR)block);

    return AllocatePacketSlots(adapter);
}
