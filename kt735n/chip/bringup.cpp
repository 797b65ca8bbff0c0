// Chip bring-up: the hardware half of MiniportInitialize.
//
// One fixed sequence configures the USB device, reads the permanent address, applies the
// registry, programs the station address and multicast table, prepares and probes the PHYs,
// identifies the PHY in use and sets the control registers; then the data path's descriptor
// pools are allocated for the descriptor counts the registry settled.
#include "chip/chip.h"
#include "datapath/descriptors.h"
#include "usb/registers.h"
#include "usb/usb.h"

// Register 0x7E: two values written 60 ms apart.
#define REGISTER_7E_FIRST 0x24
#define REGISTER_7E_SECOND 0x26
#define REGISTER_7E_PAUSES 60
// Control0 as the bring-up leaves it: receive/transmit not yet enabled.
#define CONTROL0_AT_BRING_UP 0x19
// The phone-line PHY's register 0x19 before identification.
#define PHONE_LINE_REGISTER_19_INITIAL 0x7F05
// The phone-line PHY identifier (register 3) with its low two bits cleared.
#define PHONE_LINE_ID_MASK 0xFFFC
#define PHONE_LINE_ID_5C20 0x5C20
#define ONE_MILLISECOND_US 1000

// AliveControl for the keep-alive settings AlivePara 1 to 4; any other non-zero setting gets the
// value of setting 1.
static const UCHAR AliveControlValues[] = {0x81, 0x84, 0x90, 0x9F};

// Medium auto-detection, for MediaSelect 0: advertise everything on the Ethernet PHY and read the
// advertisement back; read the phone-line PHY's identifier. An Ethernet PHY that keeps the IEEE
// 802.3 selector alone picks Ethernet, a phone-line PHY of the 0x5C2x family alone picks the phone
// line; both or neither leave the choice to IdentifyPhy. Returns KT735N_OK, or KT735N_FAILED when
// either read failed (nothing is then decided).
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT DetectMedium(Adapter* adapter) {
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

// Brings the chip up, from a configured USB device to an adapter whose chip and descriptor pools
// are ready for the media start. The order matters:
// - the transmit submission locks and list and the IRP cancel lock, before anything can use
//   them;
// - the USB configuration, then a read of the station address: the first register request,
//   which proves the device answers before anything is decided on its registers (the value
//   itself is not used);
// - the permanent address from the EEPROM as CurrentAddress, then the registry, which may
//   override it and the descriptor counts (the counts get their floors here, before the
//   pools are sized by them);
// - the station address and an all-ones multicast table, so that the chip accepts the
//   adapter's own frames and every multicast frame until NDIS sets a filter;
// - the PHY reset through register 0x7E (0x24, 60 ms, 0x26), the phone-line PHY's register
//   0x19 to its starting value, and, when MediaSelect leaves the medium open, the detection
//   that may settle it; IdentifyPhy then decides the PHY and medium in use;
// - an MII read of the Ethernet PHY's status that is started and not waited for, and a read of
//   register 0x7A, both part of the chip's start-up sequence (their values are not used);
// - Control0 with receive and transmit still off (the media start switches them on once the
//   medium is set), Control1 cleared, and AliveControl from the keep-alive setting;
// - last the descriptor pools, whose size the registry has settled.
//
// Returns KT735N_OK, or KT735N_FAILED at the first failure of the USB configuration, the
// station-address read or write, the multicast write, the registry, a PHY read of the medium
// detection or identification, the medium-select write, the block size (descriptor counts too
// large for 32 bits) or an allocation. Whatever was allocated is in the ledger; receive packets
// and buffers already taken have been given back to their pools.
// IRQL: PASSIVE_LEVEL. Locks: none; TxLock and RxLock are not needed since nothing else can
// reach the adapter yet.
KT735N_RESULT BringUpChip(Adapter* adapter) {
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
    adapter->RegisterWriteBuffer[3] = MII_WINDOW_READ | MII_STATUS;
    WriteRegisters(adapter, MII_WINDOW_COMMAND_LENGTH, MiiPhyAddress);
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
        ULONG setting = adapter->AliveParameter;
        if (setting > RTL_NUMBER_OF(AliveControlValues)) {
            setting = 1;
        }
        adapter->RegisterWriteBuffer[0] = AliveControlValues[setting - 1];
        adapter->RegisterWriteBuffer[1] = 0x00;
        WriteRegisters(adapter, 2, AliveControl);
    }

    if (AllocateDescriptorPools(adapter) != KT735N_OK) {
        return KT735N_FAILED;
    }

    adapter->MediaState = KT735N_MEDIA_CONNECTED;
    adapter->TxCompletedSinceCheck = 1;
    adapter->SendingKeepAlive = 0;
    return KT735N_OK;
}
