// The link watch state machine. A pass writes an MII read command for the active PHY (register
// 0x05, the partner ability, of the Ethernet PHY; register 0x01, the status, of the phone-line
// PHY), reads the 16-bit result from MiiData, and decides: end the pass, note a link change,
// switch the medium with a short chain of medium-select and PHY control writes, or take a new
// Ethernet partner ability. Every step is issued from the completion routine of the step before.
//
// A pass is started by the hang check, and by a pass that found no link on the phone line in
// automatic mode, which looks at the Ethernet PHY at once. The completion routines do not look
// at the IRP's status: a failed write still advances the chain, and a failed read is decided on
// what LinkWatchReadBuffer held before. Only a cancelled request (halt cancels one the device
// never answers) ends the pass.
//
// Locks: none. LinkWatchBusy is the only guard, taken with an interlocked compare-exchange, so
// that a kick from the hang check and one from a completion on another processor cannot both
// start a pass. The fields the link watch changes (MediaState, ActiveMedium, LinkSpeed, Duplex,
// Control1Shadow, PartnerAbility) are written without a lock (MediaState and LinkSpeed, which a
// query reads on another processor, with StoreShared); the rest of the driver only reads
// them, except Control1Shadow, which the packet-filter path also reads to write Control1 (and
// writes again when the link watch changed it meanwhile, see ApplyPacketFilter).
#include "linkwatch/linkwatch.h"
#include "usb/registers.h"
#include "usb/usb.h"

// Bytes of the MII data read back from MiiData, and of a Control1 write.
#define MII_DATA_LENGTH 2

// PHY control values of the medium-switch chains.
#define PHY_CONTROL_100_NEGOTIATE (MII_CONTROL_100_MBITS | MII_CONTROL_NEGOTIATION_ENABLE)
#define PHY_CONTROL_100_NEGOTIATE_ISOLATED (PHY_CONTROL_100_NEGOTIATE | MII_CONTROL_ISOLATE)
#define PHY_CONTROL_RESET_100 (MII_CONTROL_RESET | MII_CONTROL_100_MBITS)

// Control1 bits the partner ability decides, and the rest kept (AND 0xCB).
#define CONTROL1_PARTNER_BITS_KEPT 0xCB

// Gives the pass up: the next kick may start another.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
VOID EndLinkWatchPass(Adapter* adapter) {
    InterlockedExchange(&adapter->LinkWatchBusy, 0);
}

// Writes the MII command in PhyCommandBuffer: PHY control register 0x00 of a PHY := value. The
// next state is stored before the request goes out.
// IRQL: up to DISPATCH_LEVEL. Locks: none (the pass in flight owns PhyCommandBuffer).
static VOID WritePhyControl(Adapter* adapter, UCHAR phy, USHORT value, USHORT nextState) {
    adapter->PhyCommandBuffer[0] = phy;
    adapter->PhyCommandBuffer[1] = (UCHAR)(value & 0xFF);
    adapter->PhyCommandBuffer[2] = (UCHAR)(value >> 8);
    adapter->PhyCommandBuffer[3] = MII_WINDOW_WRITE | MII_CONTROL;
    adapter->LinkWatchState = nextState;
    AsyncWriteRegisters(adapter, MII_WINDOW_COMMAND_LENGTH, MiiPhyAddress,
                        adapter->PhyCommandBuffer);
}

// Writes count medium-select bytes from PhyCommandBuffer and enters the first state of a chain.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID WriteMediumSelect(Adapter* adapter, UCHAR first, UCHAR third, USHORT count,
                              USHORT chain) {
    adapter->PhyCommandBuffer[0] = first;
    adapter->PhyCommandBuffer[1] = 0x00;
    adapter->PhyCommandBuffer[2] = third;
    adapter->LinkWatchState = chain;
    AsyncWriteRegisters(adapter, count, MediumSelect, adapter->PhyCommandBuffer);
}

// Starts a pass: the read command for the active PHY's link register. Bytes 2 and 3 of
// PhyCommandBuffer are left as they are. The caller holds LinkWatchBusy.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID StartPass(Adapter* adapter) {
    if (adapter->ActiveMedium == KT735N_MEDIUM_ETHERNET) {
        adapter->PhyCommandBuffer[0] = PHY_ADDRESS_ETHERNET;
        adapter->PhyCommandBuffer[3] = MII_WINDOW_READ | MII_PARTNER_ABILITY;
    } else {
        adapter->PhyCommandBuffer[0] = PHY_ADDRESS_PHONE_LINE;
        adapter->PhyCommandBuffer[3] = MII_WINDOW_READ | MII_STATUS;
    }
    adapter->LinkWatchState = LINK_WATCH_COMMAND_WRITTEN;
    AsyncWriteRegisters(adapter, MII_WINDOW_COMMAND_LENGTH, MiiPhyAddress,
                        adapter->PhyCommandBuffer);
}

// Starts one pass when the adapter is running and LinkWatchBusy could be taken from 0 to 1 in one
// interlocked step; otherwise does nothing. The kick counts itself in LinkWatchRequestsInFlight
// before it reads the state, and drops that count only once the pass's first request is counted
// on its own: halt sets the shut-down state before it waits for the count, so either the kick
// sees the adapter stopped, or halt sees the kick (halt's state change and the kick's count are
// both interlocked operations, full barriers).
// IRQL: up to DISPATCH_LEVEL (the hang check, or a link-watch completion). Locks: none.
VOID KickLinkWatch(Adapter* adapter) {
    InterlockedIncrement(&adapter->LinkWatchRequestsInFlight);
    if (ReadShared(&adapter->DeviceState) == KT735N_DEVICE_RUNNING &&
        InterlockedCompareExchange(&adapter->LinkWatchBusy, 1, 0) == 0) {
        StartPass(adapter);
    }
    InterlockedDecrement(&adapter->LinkWatchRequestsInFlight);
}

// Tells NDIS the media state: NdisMIndicateStatus with NDIS_STATUS_MEDIA_DISCONNECT for 6 and
// NDIS_STATUS_MEDIA_CONNECT otherwise, only once initialization has finished (InitDone);
// NdisMIndicateStatusComplete in every case. Returns KT735N_OK.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
KT735N_RESULT IndicateMediaState(Adapter* adapter, ULONG mediaState) {
    if (adapter->InitDone == 1) {
        NDIS_STATUS status = mediaState == KT735N_MEDIA_DISCONNECTED ? NDIS_STATUS_MEDIA_DISCONNECT
                                                                     : NDIS_STATUS_MEDIA_CONNECT;
        NdisMIndicateStatus(adapter->MiniportAdapterHandle, status, NULL, 0);
    }
    NdisMIndicateStatusComplete(adapter->MiniportAdapterHandle);
    return KT735N_OK;
}

// Speed and duplex from a partner ability, best first: 100 full, 100 half, then 10 full or half.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID ResolvePartnerAbility(Adapter* adapter, USHORT ability) {
    if ((ability & (MII_ABILITY_100_FULL | MII_ABILITY_100_HALF)) != 0) {
        StoreShared(&adapter->LinkSpeed, KT735N_LINK_SPEED_100);
        adapter->Duplex =
            (ability & MII_ABILITY_100_FULL) != 0 ? KT735N_DUPLEX_FULL : KT735N_DUPLEX_HALF;
    } else {
        StoreShared(&adapter->LinkSpeed, KT735N_LINK_SPEED_10);
        adapter->Duplex =
            (ability & MII_ABILITY_10_FULL) != 0 ? KT735N_DUPLEX_FULL : KT735N_DUPLEX_HALF;
    }
}

// Takes a changed partner ability: speed and duplex from its best technology (100 full, 100 half,
// then 10 full or half), Control1Shadow with the 0x04, 0x10 and 0x20 bits made to match, and
// then Control1 and Control2 written with [Control1Shadow, 0x00] in LINK_WATCH_CONTROL1_WRITTEN.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
VOID ApplyPartnerAbility(Adapter* adapter, USHORT ability) {
    adapter->PartnerAbility = ability;
    ResolvePartnerAbility(adapter, ability);
    UCHAR control1 = (UCHAR)(adapter->Control1Shadow & CONTROL1_PARTNER_BITS_KEPT);
    if (ReadShared(&adapter->LinkSpeed) == KT735N_LINK_SPEED_100) {
        control1 |= CONTROL1_100_MBITS;
    }
    if (adapter->Duplex == KT735N_DUPLEX_FULL) {
        control1 |= CONTROL1_FULL_DUPLEX;
    }
    adapter->Control1Shadow = control1;
    adapter->LinkWatchState = LINK_WATCH_CONTROL1_WRITTEN;
    adapter->PhyCommandBuffer[0] = control1;
    adapter->PhyCommandBuffer[1] = 0x00;
    AsyncWriteRegisters(adapter, MII_DATA_LENGTH, Control1, adapter->PhyCommandBuffer);
}

// The speed and duplex of the Ethernet medium on the return to it, as the media start resolves
// them: from the partner's ability with automatic speed (MediaType 0), from the fixed setting
// otherwise. PartnerAbility and Control1 are left alone: a later pass that finds the ability
// changed applies it as usual.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID ResolveEthernetSpeed(Adapter* adapter, USHORT ability) {
    if (adapter->MediaType == 0) {
        ResolvePartnerAbility(adapter, ability);
    } else if (adapter->MediaType <= 4) {
        StoreShared(&adapter->LinkSpeed,
                    adapter->MediaType >= 3 ? KT735N_LINK_SPEED_100 : KT735N_LINK_SPEED_10);
        adapter->Duplex = adapter->MediaType % 2 == 0 ? KT735N_DUPLEX_FULL : KT735N_DUPLEX_HALF;
    }
}

// Records a link change without a medium switch, ends the pass and tells NDIS.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID NoteLinkChange(Adapter* adapter, ULONG mediaState) {
    StoreShared(&adapter->MediaState, mediaState);
    EndLinkWatchPass(adapter);
    IndicateMediaState(adapter, mediaState);
}

// Records a link change that starts a chain: the medium-select write goes out first, the new
// medium and media state are recorded, and NDIS is told last. The fields are set before the
// write, so that a chain completing inside IoCallDriver (and ending the pass) never leaves them
// behind for the next pass.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID SwitchMedium(Adapter* adapter, UCHAR medium, ULONG mediaState, UCHAR first, UCHAR third,
                         USHORT count, USHORT chain) {
    adapter->ActiveMedium = medium;
    StoreShared(&adapter->MediaState, mediaState);
    WriteMediumSelect(adapter, first, third, count, chain);
    IndicateMediaState(adapter, mediaState);
}

// Decides on an Ethernet partner ability: a link appearing is noted, or in automatic mode
// switches to Ethernet; an unchanged or forced ability ends the pass, a changed one is applied;
// a link lost is noted, or in automatic mode switches away; no link in automatic mode leaves the
// phone line to be looked at next.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID DecideEthernet(Adapter* adapter, USHORT value) {
    BOOLEAN automatic = (BOOLEAN)(adapter->MediaSelect == 0);
    if ((value & MII_ABILITY_TECHNOLOGIES) != 0) {
        if (ReadShared(&adapter->MediaState) == KT735N_MEDIA_DISCONNECTED) {
            if (!automatic) {
                NoteLinkChange(adapter, KT735N_MEDIA_CONNECTED);
            } else {
                ResolveEthernetSpeed(adapter, value);
                SwitchMedium(adapter, KT735N_MEDIUM_ETHERNET, KT735N_MEDIA_CONNECTED,
                             MEDIUM_SELECT_ETHERNET_BACK, 0, 2, LINK_WATCH_TO_ETHERNET);
            }
        } else if (value == adapter->PartnerAbility || adapter->MediaType != 0) {
            EndLinkWatchPass(adapter);
        } else {
            ApplyPartnerAbility(adapter, value);
        }
        return;
    }
    if (ReadShared(&adapter->MediaState) == KT735N_MEDIA_CONNECTED) {
        if (!automatic) {
            NoteLinkChange(adapter, KT735N_MEDIA_DISCONNECTED);
        } else {
            SwitchMedium(adapter, KT735N_MEDIUM_ETHERNET, KT735N_MEDIA_DISCONNECTED,
                         MEDIUM_SELECT_ETHERNET, MEDIUM_SELECT_ETHERNET_THIRD, MEDIUM_SELECT_LENGTH,
                         LINK_WATCH_ETHERNET_LOST);
        }
        return;
    }
    if (automatic) {
        adapter->ActiveMedium = KT735N_MEDIUM_PHONE_LINE;
    }
    EndLinkWatchPass(adapter);
}

// Decides on a phone-line PHY status: a link appearing is noted, or in automatic mode switches
// to the phone line; a link lost is noted, or in automatic mode switches back to Ethernet.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static VOID DecidePhoneLine(Adapter* adapter, USHORT value) {
    BOOLEAN automatic = (BOOLEAN)(adapter->MediaSelect == 0);
    if ((value & MII_STATUS_LINK) != 0) {
        if (ReadShared(&adapter->MediaState) != KT735N_MEDIA_DISCONNECTED) {
            EndLinkWatchPass(adapter);
        } else if (!automatic) {
            NoteLinkChange(adapter, KT735N_MEDIA_CONNECTED);
        } else {
            // The 1 Mbit/s phone line reports 10 Mbit/s, as when it is chosen at start.
            StoreShared(&adapter->LinkSpeed, KT735N_LINK_SPEED_10);
            adapter->Duplex = KT735N_DUPLEX_HALF;
            SwitchMedium(adapter, KT735N_MEDIUM_PHONE_LINE, KT735N_MEDIA_CONNECTED,
                         MEDIUM_SELECT_PHONE_LINE, MEDIUM_SELECT_PHONE_LINE_THIRD,
                         MEDIUM_SELECT_LENGTH, LINK_WATCH_TO_PHONE_LINE);
        }
        return;
    }
    if (ReadShared(&adapter->MediaState) == KT735N_MEDIA_CONNECTED) {
        if (!automatic) {
            NoteLinkChange(adapter, KT735N_MEDIA_DISCONNECTED);
        } else {
            SwitchMedium(adapter, KT735N_MEDIUM_ETHERNET, KT735N_MEDIA_DISCONNECTED,
                         MEDIUM_SELECT_PHONE_LINE, MEDIUM_SELECT_PHONE_LINE_THIRD,
                         MEDIUM_SELECT_LENGTH, LINK_WATCH_PHONE_LINE_LOST);
        }
        return;
    }
    if (!automatic) {
        EndLinkWatchPass(adapter);
        return;
    }
    // No link on either medium so far: look at the Ethernet PHY at once.
    adapter->ActiveMedium = KT735N_MEDIUM_ETHERNET;
    EndLinkWatchPass(adapter);
    KickLinkWatch(adapter);
}

// The first act of both completion routines: frees the request block and the IRP. A request
// halt cancelled because the device never answered it ends the pass and is done with the
// Adapter (FALSE); otherwise the completion goes on (TRUE).
// IRQL: up to DISPATCH_LEVEL. Locks: takes IrpCancelLock (in ReleaseTrackedIrp).
static BOOLEAN ReleaseRequest(Adapter* adapter, PURB* urbField, PIRP irp) {
    ExFreePool(*urbField);
    *urbField = NULL;
    BOOLEAN cancelled = (BOOLEAN)(irp->IoStatus.Status == STATUS_CANCELLED);
    ReleaseTrackedIrp(adapter, &adapter->LinkWatchIrp, irp);
    if (cancelled) {
        EndLinkWatchPass(adapter);
        InterlockedDecrement(&adapter->LinkWatchRequestsInFlight);
        return FALSE;
    }
    return TRUE;
}

// Completion of every link-watch write. Frees the request block and the IRP, then takes the next
// step of the chain by LinkWatchState: the data read after the command
// (LINK_WATCH_COMMAND_WRITTEN), the next PHY control write of a chain, or the end of the pass after
// a chain's last write. Any other state changes nothing. The IRP's status is not looked at, except
// that a cancelled request ends the pass. Always STATUS_MORE_PROCESSING_REQUIRED.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NTSTATUS NTAPI LinkWatchWriteComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    Adapter* adapter = (Adapter*)context;
    if (!ReleaseRequest(adapter, &adapter->LinkWatchWriteUrb, irp)) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    switch (adapter->LinkWatchState) {
    case LINK_WATCH_COMMAND_WRITTEN:
        adapter->LinkWatchState = LINK_WATCH_DATA_REQUESTED;
        AsyncReadRegisters(adapter, MII_DATA_LENGTH, MiiData);
        break;
    case LINK_WATCH_TO_ETHERNET:
        WritePhyControl(adapter, PHY_ADDRESS_ETHERNET, PHY_CONTROL_100_NEGOTIATE,
                        LINK_WATCH_TO_ETHERNET + 1);
        break;
    case LINK_WATCH_ETHERNET_LOST:
    case LINK_WATCH_TO_PHONE_LINE:
    case LINK_WATCH_PHONE_LINE_LOST:
        WritePhyControl(adapter, PHY_ADDRESS_ETHERNET, PHY_CONTROL_100_NEGOTIATE_ISOLATED,
                        (USHORT)(adapter->LinkWatchState + 1));
        break;
    case LINK_WATCH_TO_ETHERNET + 1:
    case LINK_WATCH_ETHERNET_LOST + 1:
    case LINK_WATCH_PHONE_LINE_LOST + 1:
        WritePhyControl(adapter, PHY_ADDRESS_PHONE_LINE, MII_CONTROL_ISOLATE,
                        (USHORT)(adapter->LinkWatchState + 1));
        break;
    case LINK_WATCH_TO_PHONE_LINE + 1:
        WritePhyControl(adapter, PHY_ADDRESS_PHONE_LINE, PHY_CONTROL_RESET_100,
                        LINK_WATCH_TO_PHONE_LINE + 2);
        break;
    case LINK_WATCH_CONTROL1_WRITTEN:
    case LINK_WATCH_TO_ETHERNET + 2:
    case LINK_WATCH_ETHERNET_LOST + 2:
    case LINK_WATCH_TO_PHONE_LINE + 2:
    case LINK_WATCH_PHONE_LINE_LOST + 2:
        EndLinkWatchPass(adapter);
        break;
    default:
        break;
    }

    InterlockedDecrement(&adapter->LinkWatchRequestsInFlight);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion of the link-watch read. Frees the request block and the IRP and, in
// LINK_WATCH_DATA_REQUESTED, decides on the two bytes in LinkWatchReadBuffer (low byte first) by
// the active medium. The IRP's status is not looked at, except that a cancelled request ends the
// pass. Always STATUS_MORE_PROCESSING_REQUIRED.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NTSTATUS NTAPI LinkWatchReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    Adapter* adapter = (Adapter*)context;
    if (!ReleaseRequest(adapter, &adapter->LinkWatchReadUrb, irp)) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (adapter->LinkWatchState == LINK_WATCH_DATA_REQUESTED) {
        USHORT value =
            (USHORT)(adapter->LinkWatchReadBuffer[0] | (adapter->LinkWatchReadBuffer[1] << 8));
        if (adapter->ActiveMedium == KT735N_MEDIUM_ETHERNET) {
            DecideEthernet(adapter, value);
        } else {
            DecidePhoneLine(adapter, value);
        }
    }

    InterlockedDecrement(&adapter->LinkWatchRequestsInFlight);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Whether the link watch has no request with the USB stack and no completion still running.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
BOOLEAN LinkWatchIdle(Adapter* adapter) {
    return (BOOLEAN)(InterlockedCompareExchange(&adapter->LinkWatchRequestsInFlight, 0, 0) == 0);
}
