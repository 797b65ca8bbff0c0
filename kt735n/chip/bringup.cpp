// Chip bring-up and the descriptor pools: the hardware half of MiniportInitialize.
//
// One fixed sequence configures the USB device, reads the permanent address, applies the
// registry, programs the station address and multicast table, prepares and probes the PHYs,
// identifies the PHY in use and sets the control registers. Then every transmit and receive
// descriptor, with its URB area and data buffer, is carved from one tracked block, and the
// receive descriptors get the NDIS packets they are indicated with.
//
// Block layout, N being the transmit plus the receive descriptor count, transmit first:
//   N descriptors | N URB areas | N data buffers of 1536 bytes
// descriptor i owning URB area i and data buffer i for the life of the adapter.
#include "chip/chip.h"
#include "datapath/descriptors.h"
#include "usb/registers.h"
#include "usb/usb.h"

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

// Register 0x7E: two values written 60 ms apart.
#define REGISTER_7E_FIRST 0x24
#define REGISTER_7E_SECOND 0x26
#define REGISTER_7E_PAUSES 60
// Control0 as the bring-up leaves it: receive/transmit not yet enabled.
#define CONTROL0_AT_BRING_UP 0x19
// The phone-line PHY's register 0x19 before identification.
#define PHONE_LINE_REGISTER_19 0x19
#define PHONE_LINE_REGISTER_19_INITIAL 0x7F05
// The phone-line PHY identifier (register 3) with its low two bits cleared.
#define PHONE_LINE_ID_MASK 0xFFFC
#define PHONE_LINE_ID_5C20 0x5C20
#define ONE_MILLISECOND_US 1000
// The largest 32-bit byte count.
#define LARGEST_ULONG ((ULONG)0xFFFFFFFF)

// The size of the descriptor block for these counts, in *length. Returns 1, or 2 when the
// block would not fit in 32 bits (the counts come from the registry as read).
// IRQL: any. Locks: none.
ULONG DescriptorBlockLength(ULONG txCount, ULONG rxCount, PULONG length) {
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

// Medium auto-detection, for MediaSelect 0: advertise everything on the Ethernet PHY and read
// the advertisement back; read the phone-line PHY's identifier. An Ethernet PHY that keeps the
// IEEE 802.3 selector alone picks Ethernet, a phone-line PHY of the 0x5C2x family alone picks
// the phone line; both or neither leave the choice to IdentifyPhy. Returns 1, or 2 when either
// read failed (nothing is then decided).
// IRQL: PASSIVE_LEVEL. Locks: none.
static ULONG DetectMedium(Adapter* adapter) {
    MiiWrite(adapter, PHY_ADDRESS_ETHERNET, MII_ADVERTISEMENT, MII_ADVERTISE_ALL_802_3);
    SleepMicroseconds(ONE_MILLISECOND_US);
    USHORT advertisement = 0;
    USHORT identifier = 0;
    if (MiiRead(adapter, PHY_ADDRESS_ETHERNET, MII_ADVERTISEMENT, &advertisement) != KT735N_OK ||
        MiiRead(adapter, PHY_ADDRESS_PHONE_LINE, MII_PHY_ID2, &identifier) != KT735N_OK) {
        return KT735N_FAILED;
    }

    BOOLEAN ethernet = (BOOLEAN)((advertisement & MII_SELECTOR_MASK) == MII_SELECTOR_802_3);
    BOOLEAN phoneLine = (BOOLEAN)((identifier & PHONE_LINE_ID_MASK) == PHONE_LINE_ID_5C20);
    if (phoneLine && !ethernet) {
        adapter->MediaSelect = 2;
    } else if (ethernet && !phoneLine) {
        adapter->MediaSelect = 1;
    }
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

// Brings the chip up, in this order: transmit submission locks and list; default descriptor
// counts; USB configuration; a station-address read (only its result counts); the permanent
// address from the EEPROM, copied to CurrentAddress; the registry (which may override
// CurrentAddress and the counts); the receive descriptor floor of 3; the station address and
// an all-ones multicast table; register 0x7E 0x24, 60 ms, 0x26; the phone-line PHY's register
// 0x19; medium auto-detection when MediaSelect is 0; IdentifyPhy; an unwaited MII read of the
// Ethernet PHY's status; Control0 0x19 and Control1 0; a read of 0x7A; AliveControl when
// AlivePara is set; then the descriptor block, the free lists and the packet slots.
//
// Returns 1, or 2 at the first failure of the USB configuration, the station-address read or
// write, the multicast write, the registry, a PHY read of the medium detection or
// identification, the medium-select write, the block size (descriptor counts too large for 32
// bits) or an allocation. Whatever was allocated is in the ledger; receive packets and buffers
// already taken have been given back to their pools.
// IRQL: PASSIVE_LEVEL. Locks: none; TxLock and RxLock are not needed since nothing else can
// reach the adapter yet.
ULONG BringUpChip(Adapter* adapter) {
    KeInitializeSpinLock(&adapter->TxSubmitLock);
    KeInitializeSpinLock(&adapter->PendingIrpListLock);
    InitializeListHead(&adapter->PendingTxIrpList);
    KeInitializeSpinLock(&adapter->IrpCancelLock);

    adapter->TxDescriptorCount = KT735N_DEFAULT_TX_DESCRIPTORS;
    adapter->RxDescriptorCount = KT735N_DEFAULT_RX_DESCRIPTORS;

    if (ConfigureUsbDevice(adapter) != KT735N_OK) {
        return KT735N_FAILED;
    }
    if (ReadRegisters(adapter, STATION_ADDRESS_LENGTH, StationAddress) != KT735N_OK) {
        return KT735N_FAILED;
    }
    if (ReadPermanentAddress(adapter) != KT735N_OK) {
        return KT735N_FAILED;
    }
    NdisMoveMemory(adapter->CurrentAddress, adapter->PermanentAddress, STATION_ADDRESS_LENGTH);

    if (ReadRegistryConfiguration(adapter) != KT735N_OK) {
        return KT735N_FAILED;
    }
    if (adapter->RxDescriptorCount < KT735N_MIN_RX_DESCRIPTORS) {
        adapter->RxDescriptorCount = KT735N_MIN_RX_DESCRIPTORS;
    }
    if (adapter->TxDescriptorCount < KT735N_MIN_TX_DESCRIPTORS) {
        adapter->TxDescriptorCount = KT735N_MIN_TX_DESCRIPTORS;
    }

    NdisMoveMemory(adapter->RegisterWriteBuffer, adapter->CurrentAddress, STATION_ADDRESS_LENGTH);
    if (WriteRegisters(adapter, STATION_ADDRESS_LENGTH, StationAddress) != KT735N_OK) {
        return KT735N_FAILED;
    }
    NdisFillMemory(adapter->RegisterWriteBuffer, MULTICAST_TABLE_LENGTH, 0xFF);
    if (WriteRegisters(adapter, MULTICAST_TABLE_LENGTH, MulticastTable) != KT735N_OK) {
        return KT735N_FAILED;
    }

    adapter->RegisterWriteBuffer[0] = REGISTER_7E_FIRST;
    adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(adapter, 2, Register7E);
    for (ULONG i = 0; i < REGISTER_7E_PAUSES; ++i) {
        SleepMicroseconds(ONE_MILLISECOND_US);
    }
    adapter->RegisterWriteBuffer[0] = REGISTER_7E_SECOND;
    adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(adapter, 2, Register7E);
    SleepMicroseconds(ONE_MILLISECOND_US);

    MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_REGISTER_19,
             PHONE_LINE_REGISTER_19_INITIAL);
    if (adapter->MediaSelect == 0 && DetectMedium(adapter) != KT735N_OK) {
        return KT735N_FAILED;
    }
    if (IdentifyPhy(adapter) != KT735N_OK) {
        return KT735N_FAILED;
    }

    // Starts a read of the Ethernet PHY's status without waiting for it; the value is unused.
    adapter->RegisterWriteBuffer[0] = PHY_ADDRESS_ETHERNET;
    adapter->RegisterWriteBuffer[1] = 0x00;
    adapter->RegisterWriteBuffer[2] = 0x00;
    adapter->RegisterWriteBuffer[3] = MII_CONTROL_READ | MII_STATUS;
    WriteRegisters(adapter, 4, MiiPhyAddress);
    SleepMicroseconds(2 * ONE_MILLISECOND_US);
    ReadRegisters(adapter, 3, MiiData);

    adapter->Control0Shadow = CONTROL0_AT_BRING_UP;
    adapter->RegisterWriteBuffer[0] = CONTROL0_AT_BRING_UP;
    adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(adapter, 2, Control0);
    SleepMicroseconds(ONE_MILLISECOND_US);

    ReadRegisters(adapter, 2, Register7A);
    SleepMicroseconds(ONE_MILLISECOND_US);

    if (adapter->AliveParameter != 0) {
        UCHAR alive;
        switch (adapter->AliveParameter) {
        case 2:
            alive = 0x84;
            break;
        case 3:
            alive = 0x90;
            break;
        case 4:
            alive = 0x9F;
            break;
        default:
            alive = 0x81;
            break;
        }
        adapter->RegisterWriteBuffer[0] = alive;
        adapter->RegisterWriteBuffer[1] = 0x00;
        WriteRegisters(adapter, 2, AliveControl);
    }

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

    if (AllocatePacketSlots(adapter) != KT735N_OK) {
        return KT735N_FAILED;
    }

    adapter->MediaState = KT735N_MEDIA_CONNECTED;
    adapter->TxCompletedSinceCheck = 1;
    adapter->SendingKeepAlive = 0;
    return KT735N_OK;
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

// Takes the transmit slots and gives them to FreeTxList's descriptors in order; takes a packet
// pool and a buffer pool of one entry per receive descriptor, each recorded in its ledger entry
// only when it was obtained; takes the receive slots; and gives each receive descriptor, in
// FreeRxList order, a packet with one 1514-byte buffer over its data buffer, a header size of
// 14, and the descriptor in the first pointer of its MiniportReserved area.
// Returns 1, or 2 when any allocation, pool, packet or buffer could not be had; a packet or
// buffer failing part-way gives back those already taken, so no receive packet is ever left
// without its buffer.
// IRQL: PASSIVE_LEVEL. Locks: none (nothing else can reach the lists yet).
ULONG AllocatePacketSlots(Adapter* adapter) {
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
