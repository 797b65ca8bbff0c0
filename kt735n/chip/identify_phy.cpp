// PHY identification: which PHY is in use, which medium is active, which phone-line PHY variant
// is fitted; the phone-line PHY's programming for its variant; the medium-select registers.
#include "chip/chip.h"
#include "usb/registers.h"
#include "usb/usb.h"

// The settle before an automatic choice: 200 pauses of 10 ms.
#define AUTOMATIC_SETTLE_PAUSES 200
#define AUTOMATIC_SETTLE_PAUSE_US 10000

// The variant of a phone-line PHY from its identifier register 3, by exact match.
// IRQL: any. Locks: none.
static UCHAR PhoneLinePhyType(USHORT identifier) {
    switch (identifier) {
    case 0x6B93:
        return PHY_TYPE_6B93;
    case 0x5C20:
        return PHY_TYPE_5C20;
    case 0x5C21:
        return PHY_TYPE_5C21;
    case 0x5C22:
        return PHY_TYPE_5C22;
    default:
        return PHY_TYPE_UNKNOWN;
    }
}

// A PHY register reading of 0x0000 or 0xFFFF means no PHY answered.
// IRQL: any. Locks: none.
static BOOLEAN PhyReadingValid(USHORT value) {
    return (BOOLEAN)(value != 0x0000 && value != 0xFFFF);
}

// Programs the phone-line PHY for the variant in PhyType. Variants 0 and unknown need nothing.
// IRQL: PASSIVE_LEVEL. Locks: none.
static VOID ProgramPhoneLinePhy(Adapter* adapter) {
    switch (adapter->PhyType) {
    case PHY_TYPE_5C20:
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, MII_CONTROL, MII_CONTROL_100_MBITS);
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_REGISTER_19, 0x7F07);
        break;
    case PHY_TYPE_5C21:
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, MII_CONTROL, MII_CONTROL_100_MBITS);
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_REGISTER_19, 0x7F05);
        break;
    case PHY_TYPE_5C22:
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, MII_CONTROL, MII_CONTROL_100_MBITS);
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_REGISTER_19, 0x7F02);
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_PAGE_SELECT, 0x0001);
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_REGISTER_07, 0x0008);
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_REGISTER_06, 0x0038);
        MiiWrite(adapter, PHY_ADDRESS_PHONE_LINE, PHONE_LINE_PAGE_SELECT, 0x0000);
        break;
    default:
        break;
    }
}

// The link status of a PHY: register 1 read twice, the second reading counting. Returns KT735N_OK,
// or KT735N_FAILED when either read failed (*status is then not a reading).
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT ReadPhyStatus(Adapter* adapter, UCHAR phyAddress, PUSHORT status) {
    if (MiiRead(adapter, phyAddress, MII_STATUS, status) != KT735N_OK) {
        return KT735N_FAILED;
    }
    return MiiRead(adapter, phyAddress, MII_STATUS, status);
}

// Writes the three medium-select registers 0x7F-0x81 for a medium. Returns the write's result:
// without it the chip moves no frame on the medium chosen.
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT WriteMediumSelect(Adapter* adapter, UCHAR medium) {
    if (medium == KT735N_MEDIUM_PHONE_LINE) {
        adapter->RegisterWriteBuffer[0] = MEDIUM_SELECT_PHONE_LINE;
        adapter->RegisterWriteBuffer[1] = 0x00;
        adapter->RegisterWriteBuffer[2] = MEDIUM_SELECT_PHONE_LINE_THIRD;
    } else {
        adapter->RegisterWriteBuffer[0] = MEDIUM_SELECT_ETHERNET;
        adapter->RegisterWriteBuffer[1] = 0x00;
        adapter->RegisterWriteBuffer[2] = MEDIUM_SELECT_ETHERNET_THIRD;
    }
    return WriteRegisters(adapter, MEDIUM_SELECT_LENGTH, MediumSelect);
}

// Reads a PHY's identifier register and, when it holds a valid reading, the PHY's status
// (programming the phone-line PHY in between when that is the one asked). *link is TRUE when
// the PHY answered and reports a link. Returns KT735N_OK, or KT735N_FAILED when a read failed.
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT ProbeLink(Adapter* adapter, UCHAR phyAddress, UCHAR identifierRegister,
                               BOOLEAN* link) {
    *link = FALSE;
    USHORT value = 0;
    if (MiiRead(adapter, phyAddress, identifierRegister, &value) != KT735N_OK) {
        return KT735N_FAILED;
    }
    if (!PhyReadingValid(value)) {
        return KT735N_OK;
    }
    if (phyAddress == PHY_ADDRESS_PHONE_LINE) {
        ProgramPhoneLinePhy(adapter);
    }
    USHORT status = 0;
    if (ReadPhyStatus(adapter, phyAddress, &status) != KT735N_OK) {
        return KT735N_FAILED;
    }
    *link = (BOOLEAN)((status & MII_STATUS_LINK) != 0);
    return KT735N_OK;
}

// Decides PhyAddress, ActiveMedium and PhyType from MediaSelect and the PHYs, programs the
// phone-line PHY for its variant when that medium is chosen, and writes the medium-select
// registers. MediaSelect 0 waits two seconds and takes the first PHY with a link, Ethernet first;
// with no link anywhere it leaves the Ethernet PHY in place and writes nothing. A MediaSelect above
// 2 is treated as Ethernet at 100 Mbit/s half duplex. Returns KT735N_OK, or KT735N_FAILED when a
// PHY read or the medium-select write failed: a medium decided on a stale reading, or never
// selected on the chip, would leave an adapter that moves no frame.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT IdentifyPhy(Adapter* adapter) {
    adapter->MediaState = KT735N_MEDIA_CONNECTED;

    if (adapter->MediaSelect == 0 || adapter->MediaSelect == 2) {
        adapter->PhyType = PHY_TYPE_UNKNOWN;
        USHORT identifier = 0;
        if (MiiRead(adapter, PHY_ADDRESS_PHONE_LINE, MII_PHY_ID2, &identifier) != KT735N_OK) {
            return KT735N_FAILED;
        }
        adapter->PhyType = PhoneLinePhyType(identifier);
    }

    UCHAR medium = KT735N_MEDIUM_ETHERNET;
    switch (adapter->MediaSelect) {
    case 1:
        adapter->PhyAddress = PHY_ADDRESS_ETHERNET;
        adapter->ActiveMedium = KT735N_MEDIUM_ETHERNET;
        break;

    case 2:
        adapter->PhyAddress = PHY_ADDRESS_PHONE_LINE;
        adapter->LinkSpeed = KT735N_LINK_SPEED_10;
        adapter->Duplex = KT735N_DUPLEX_HALF;
        adapter->ActiveMedium = KT735N_MEDIUM_PHONE_LINE;
        ProgramPhoneLinePhy(adapter);
        medium = KT735N_MEDIUM_PHONE_LINE;
        break;

    case 0: {
        adapter->ActiveMedium = KT735N_MEDIUM_ETHERNET;
        for (ULONG i = 0; i < AUTOMATIC_SETTLE_PAUSES; ++i) {
            SleepMicroseconds(AUTOMATIC_SETTLE_PAUSE_US);
        }

        BOOLEAN link = FALSE;
        adapter->PhyAddress = PHY_ADDRESS_ETHERNET;
        if (ProbeLink(adapter, PHY_ADDRESS_ETHERNET, MII_PHY_ID1, &link) != KT735N_OK) {
            return KT735N_FAILED;
        }
        if (link) {
            break;
        }

        adapter->PhyAddress = PHY_ADDRESS_PHONE_LINE;
        if (ProbeLink(adapter, PHY_ADDRESS_PHONE_LINE, MII_PHY_ID2, &link) != KT735N_OK) {
            return KT735N_FAILED;
        }
        if (link) {
            adapter->ActiveMedium = KT735N_MEDIUM_PHONE_LINE;
            adapter->LinkSpeed = KT735N_LINK_SPEED_10;
            adapter->Duplex = KT735N_DUPLEX_HALF;
            medium = KT735N_MEDIUM_PHONE_LINE;
            break;
        }

        // No link on either PHY: stay on Ethernet and leave the medium select as it is.
        adapter->PhyAddress = PHY_ADDRESS_ETHERNET;
        return KT735N_OK;
    }

    default:
        adapter->LinkSpeed = KT735N_LINK_SPEED_100;
        adapter->Duplex = KT735N_DUPLEX_HALF;
        adapter->PhyAddress = PHY_ADDRESS_ETHERNET;
        adapter->ActiveMedium = KT735N_MEDIUM_ETHERNET;
        break;
    }

    return WriteMediumSelect(adapter, medium);
}
