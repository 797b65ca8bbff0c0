// Media start: the last step of initialization. Reserves the first receive descriptor, isolates
// the PHY not in use, sets speed and duplex on the Ethernet PHY, reads the link, programs the
// wake control, flow control and control registers, arms remote wake-up on the device and puts
// the first bulk-in transfer on the pipe.
//
// Everything here runs inside MiniportInitialize at PASSIVE_LEVEL, before anything else of the
// adapter is active; the register sequences own RegisterReadBuffer and RegisterWriteBuffer.
#include "chip/chip.h"
#include "datapath/datapath.h"
#include "usb/registers.h"
#include "usb/usb.h"

// Pauses of the media start and the negotiation wait, in microseconds.
#define CONTROL_WRITE_PAUSE_US 1000
#define NEGOTIATION_START_PAUSE_US 10000
#define NEGOTIATION_POLL_PAUSE_US 1000
// Readings of the PHY status while waiting for negotiation to complete.
#define NEGOTIATION_POLL_LIMIT 251

// Control1 while the PHYs are set up: neither speed nor duplex bit, 0x08 set.
#define CONTROL1_DURING_MEDIA_START 0x08

// WakeControl: 0x80 unless magic-packet wake-up is asked for, 0x40 unless link-change wake-up
// is, 0x04 always.
#define WAKE_CONTROL_BASE 0x04
#define WAKE_CONTROL_NO_MAGIC_PACKET 0x80
#define WAKE_CONTROL_NO_LINK_CHANGE 0x40

// Speed, duplex and the advertisement word of the forced media types 1 to 4.
struct FixedMedium {
    ULONG LinkSpeed;
    ULONG Duplex;
    USHORT Advertisement;
};

static const FixedMedium FixedMedia[4] = {
    {KT735N_LINK_SPEED_10, KT735N_DUPLEX_HALF, MII_ABILITY_10_HALF | MII_SELECTOR_802_3},
    {KT735N_LINK_SPEED_10, KT735N_DUPLEX_FULL, MII_ABILITY_10_FULL | MII_SELECTOR_802_3},
    {KT735N_LINK_SPEED_100, KT735N_DUPLEX_HALF, MII_ABILITY_100_HALF | MII_SELECTOR_802_3},
    {KT735N_LINK_SPEED_100, KT735N_DUPLEX_FULL, MII_ABILITY_100_FULL | MII_SELECTOR_802_3},
};

// Writes a PHY register through the MII window in one 4-byte register write (PHY address,
// data low, data high, write command), without waiting for the window to finish.
// IRQL: PASSIVE_LEVEL. Locks: none.
static VOID RawPhyWrite(Adapter* adapter, UCHAR phyAddress, UCHAR registerNumber, USHORT value) {
    adapter->RegisterWriteBuffer[0] = phyAddress;
    adapter->RegisterWriteBuffer[1] = (UCHAR)(value & 0xFF);
    adapter->RegisterWriteBuffer[2] = (UCHAR)(value >> 8);
    adapter->RegisterWriteBuffer[3] = (UCHAR)(MII_WINDOW_WRITE | registerNumber);
    WriteRegisters(adapter, 4, MiiPhyAddress);
}

// Writes two bytes at a chip register. Returns the write's result.
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT WriteTwo(Adapter* adapter, USHORT firstRegister, UCHAR first, UCHAR second) {
    adapter->RegisterWriteBuffer[0] = first;
    adapter->RegisterWriteBuffer[1] = second;
    return WriteRegisters(adapter, 2, firstRegister);
}

// Reads the PHY status until negotiation is complete: at most 251 readings, each one without
// the complete bit followed by a 1 ms pause. Whether it completed is not looked at.
// IRQL: PASSIVE_LEVEL. Locks: none.
static VOID WaitForNegotiation(Adapter* adapter) {
    for (ULONG i = 0; i < NEGOTIATION_POLL_LIMIT; ++i) {
        USHORT status = 0;
        MiiRead(adapter, adapter->PhyAddress, MII_STATUS, &status);
        if ((status & MII_STATUS_NEGOTIATION_COMPLETE) != 0) {
            return;
        }
        SleepMicroseconds(NEGOTIATION_POLL_PAUSE_US);
    }
}

// One flow-control byte from a registry value: 0 for 0, else (1 << (value mod 32)) | 0x01 taken
// as 8 bits, so 1 to 7 give 0x03 to 0x81 and every other value 0x01.
// IRQL: any. Locks: none.
static UCHAR FlowControlByte(ULONG value) {
    if (value == 0) {
        return 0;
    }
    return (UCHAR)(((1UL << (value % 32)) | 0x01) & 0xFF);
}

// Applies MediaType to the Ethernet PHY at PhyAddress, always through auto-negotiation.
// Automatic (0): advertises all four abilities, restarts negotiation, waits for it and takes
// speed and duplex from the partner's abilities, best first, keeping them in PartnerAbility.
// Forced (1 to 4): advertises only that ability (the register is left alone, and negotiation
// is not restarted, when it already holds exactly that word); speed and duplex are the forced
// ones whatever the partner offers. A MediaType above 4 has no ability to advertise and is
// taken as automatic. Sets MediaState to connected. Returns KT735N_OK.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT SelectSpeedDuplex(Adapter* adapter) {
    adapter->MediaState = KT735N_MEDIA_CONNECTED;
    adapter->LinkSpeed = KT735N_LINK_UNKNOWN;
    adapter->Duplex = KT735N_LINK_UNKNOWN;
    const UCHAR phy = adapter->PhyAddress;

    if (adapter->MediaType >= 1 && adapter->MediaType <= 4) {
        const FixedMedium* fixed = &FixedMedia[adapter->MediaType - 1];
        adapter->LinkSpeed = fixed->LinkSpeed;
        adapter->Duplex = fixed->Duplex;

        USHORT advertisement = 0;
        MiiRead(adapter, phy, MII_ADVERTISEMENT, &advertisement);
        if (advertisement == fixed->Advertisement) {
            return KT735N_OK;
        }
        MiiWrite(adapter, phy, MII_ADVERTISEMENT,
                 (USHORT)((advertisement & ~MII_ABILITY_TECHNOLOGIES) | fixed->Advertisement));
        MiiWrite(adapter, phy, MII_CONTROL,
                 MII_CONTROL_NEGOTIATION_ENABLE | MII_CONTROL_RESTART_NEGOTIATION);
        WaitForNegotiation(adapter);
        return KT735N_OK;
    }

    MiiWrite(adapter, phy, MII_ADVERTISEMENT, MII_ADVERTISE_ALL_802_3);
    MiiWrite(adapter, phy, MII_CONTROL,
             MII_CONTROL_NEGOTIATION_ENABLE | MII_CONTROL_RESTART_NEGOTIATION);
    SleepMicroseconds(NEGOTIATION_START_PAUSE_US);
    WaitForNegotiation(adapter);

    USHORT partner = 0;
    MiiRead(adapter, phy, MII_PARTNER_ABILITY, &partner);
    adapter->PartnerAbility = partner;
    if ((partner & MII_ABILITY_100_FULL) != 0) {
        adapter->LinkSpeed = KT735N_LINK_SPEED_100;
        adapter->Duplex = KT735N_DUPLEX_FULL;
    } else if ((partner & MII_ABILITY_100_HALF) != 0) {
        adapter->LinkSpeed = KT735N_LINK_SPEED_100;
        adapter->Duplex = KT735N_DUPLEX_HALF;
    } else {
        adapter->LinkSpeed = KT735N_LINK_SPEED_10;
        adapter->Duplex =
            (partner & MII_ABILITY_10_FULL) != 0 ? KT735N_DUPLEX_FULL : KT735N_DUPLEX_HALF;
    }
    return KT735N_OK;
}

// Starts the medium chosen by the bring-up and marks the adapter running, in this order:
// Control1 0x08 and 1 ms; the first receive descriptor taken off FreeRxList (none: result
// KT735N_FAILED, nothing more done); the phone-line PHY told 100 Mbit/s; on Ethernet, speed and
// duplex selected, Control1 written with them and the phone-line PHY isolated, or on the phone
// line the Ethernet PHY isolated; MediaState from the active PHY's link bit; WakeControl;
// DeviceState KT735N_DEVICE_RUNNING; flow control unless FlowControl is set; Control0 with receive
// and transmit enabled, and 1 ms; SET_FEATURE(DEVICE_REMOTE_WAKEUP); the first bulk-in transfer.
// Returns KT735N_OK, or KT735N_FAILED when the Control0 write failed: receive and transmit
// would stay switched off, so nothing more is sent and the caller fails the start (the
// descriptor taken goes back with the descriptor block). Failures of the other register
// writes, of the feature request and of the submission are not looked at here.
// IRQL: PASSIVE_LEVEL. Locks: takes RxLock (taking the descriptor, and in SubmitBulkIn).
KT735N_RESULT StartMedia(Adapter* adapter) {
    WriteTwo(adapter, Control1, CONTROL1_DURING_MEDIA_START, 0x00);
    SleepMicroseconds(CONTROL_WRITE_PAUSE_US);

    NdisAcquireSpinLock(&adapter->RxLock);
    TransferDescriptor* descriptor = DescriptorListTakeHead(&adapter->FreeRxList);
    NdisReleaseSpinLock(&adapter->RxLock);
    if (descriptor == NULL) {
        return KT735N_FAILED;
    }

    RawPhyWrite(adapter, PHY_ADDRESS_PHONE_LINE, MII_CONTROL, MII_CONTROL_100_MBITS);
    if (adapter->ActiveMedium == KT735N_MEDIUM_ETHERNET) {
        SelectSpeedDuplex(adapter);
        UCHAR control1 = 0;
        if (adapter->LinkSpeed == KT735N_LINK_SPEED_100) {
            control1 |= CONTROL1_100_MBITS;
        }
        if (adapter->Duplex == KT735N_DUPLEX_FULL) {
            control1 |= CONTROL1_FULL_DUPLEX;
        }
        adapter->Control1Shadow = control1;
        WriteTwo(adapter, Control1, control1, 0x00);
        RawPhyWrite(adapter, PHY_ADDRESS_PHONE_LINE, MII_CONTROL, MII_CONTROL_ISOLATE);
    } else {
        RawPhyWrite(adapter, PHY_ADDRESS_ETHERNET, MII_CONTROL, MII_CONTROL_ISOLATE);
    }

    USHORT status = 0;
    MiiRead(adapter, adapter->PhyAddress, MII_STATUS, &status);
    adapter->MediaState =
        (status & MII_STATUS_LINK) != 0 ? KT735N_MEDIA_CONNECTED : KT735N_MEDIA_DISCONNECTED;

    UCHAR wake = WAKE_CONTROL_BASE;
    if (adapter->MagicPacketWake == 0) {
        wake |= WAKE_CONTROL_NO_MAGIC_PACKET;
    }
    if (adapter->LinkChangeWake == 0) {
        wake |= WAKE_CONTROL_NO_LINK_CHANGE;
    }
    adapter->WakeControlShadow = wake;
    WriteTwo(adapter, WakeControl, wake, 0x00);

    adapter->DeviceState = KT735N_DEVICE_RUNNING;

    if (adapter->FlowControl == 0) {
        adapter->Control0Shadow |= CONTROL0_NO_FLOW_CONTROL;
        UCHAR transmit = FlowControlByte(adapter->FlowControlTx);
        UCHAR receive = FlowControlByte(adapter->FlowControlRx);
        adapter->FlowControlBytes[0] = receive;
        adapter->FlowControlBytes[1] = transmit;
        WriteTwo(adapter, TxFlowControl, transmit, receive);
    }

    adapter->Control0Shadow |= CONTROL0_RECEIVE_TRANSMIT;
    if (WriteTwo(adapter, Control0, adapter->Control0Shadow, adapter->Control1Shadow) !=
        KT735N_OK) {
        return KT735N_FAILED;
    }
    SleepMicroseconds(CONTROL_WRITE_PAUSE_US);

    URB urb;
    NdisZeroMemory(&urb, sizeof(urb));
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           NULL);
    SubmitUrbSync(adapter, &urb);

    SubmitBulkIn(adapter, descriptor);
    return KT735N_OK;
}
