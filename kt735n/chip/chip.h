// Chip control: the MII and EEPROM windows, PHY identification, and the bring-up that turns a
// configured USB device into an adapter ready for its media start.
//
// Everything declared here runs at PASSIVE_LEVEL, inside MiniportInitialize (and, for the MII
// routines, the media start), one register sequence at a time: the routines share the adapter's
// RegisterReadBuffer and RegisterWriteBuffer and take no lock.
#pragma once

#include "adapter/adapter.h"
#include "usb/mii.h"

// ---- MII and EEPROM windows (chip/mii_eeprom.cpp) -----------------------------------------------

// Polling bounds and pauses of the two windows.
#define MII_POLL_LIMIT 4
#define MII_POLL_PAUSE_US 100
#define EEPROM_POLL_LIMIT 100
#define EEPROM_POLL_PAUSE_US 500

VOID MiiWrite(Adapter* adapter, UCHAR phyAddress, UCHAR registerNumber, USHORT value);
KT735N_RESULT MiiRead(Adapter* adapter, UCHAR phyAddress, UCHAR registerNumber, PUSHORT value);
KT735N_RESULT EepromReadWord(Adapter* adapter, UCHAR wordAddress, PUSHORT word);
KT735N_RESULT ReadPermanentAddress(Adapter* adapter);

// ---- PHY identification (chip/identify_phy.cpp) -------------------------------------------------

// Phone-line PHY variants (Adapter.PhyType), from PHY 2's identifier register 3.
#define PHY_TYPE_6B93 0
#define PHY_TYPE_5C20 1
#define PHY_TYPE_5C21 2
#define PHY_TYPE_5C22 3
#define PHY_TYPE_UNKNOWN 255

KT735N_RESULT IdentifyPhy(Adapter* adapter);

// ---- wake-up patterns (chip/wake.cpp) -----------------------------------------------------------
//
// The request check runs in the set handler, up to DISPATCH_LEVEL. The add and remove routines
// run in the set work item at PASSIVE_LEVEL, for their synchronous register writes.

USHORT WakePatternCrc(const UCHAR* bytes, ULONG length);
NDIS_STATUS CheckWakePatternRequest(const UCHAR* request, ULONG length, BOOLEAN usesPattern,
                                    PULONG shortfall);
VOID AddWakePattern(Adapter* adapter);
VOID RemoveWakePattern(Adapter* adapter);

// ---- bring-up (chip/bringup.cpp) ---------------------------------------------------------------

KT735N_RESULT BringUpChip(Adapter* adapter);

// ---- media start (chip/media.cpp) ---------------------------------------------------------------

KT735N_RESULT StartMedia(Adapter* adapter);
KT735N_RESULT SelectSpeedDuplex(Adapter* adapter);
