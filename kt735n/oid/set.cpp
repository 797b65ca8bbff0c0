// MiniportSetInformation: applies NDIS's information sets, and the receive filter behind the
// packet filter OID.
//
// Only two objects reach the chip: the packet filter, as the all-multicast bit of Control0 and
// the promiscuous bit of Control2, and the wake-up patterns (chip/wake.cpp). The multicast list
// is accepted without being programmed: the multicast table keeps the all-ones value of
// bring-up.
//
// NDIS calls MiniportSetInformation at DISPATCH_LEVEL, where nothing may wait, and the chip's
// registers are written with synchronous USB requests. A set that reaches the chip is therefore
// checked and copied at once and returns NDIS_STATUS_PENDING; SetWorkRoutine writes the
// registers at PASSIVE_LEVEL in an NDIS work item and completes the request with
// NdisMSetInformationComplete. Every refusal, and every object that does not reach the chip,
// completes synchronously. NDIS hands the miniport one request at a time, so at most one set is
// pending.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "oid/oid.h"
#include "usb/registers.h"
#include "usb/usb.h"

// Packet types the chip cannot filter for; a filter with any of them is refused.
#define UNSUPPORTED_PACKET_TYPES                                                                   \
    (NDIS_PACKET_TYPE_SOURCE_ROUTING | NDIS_PACKET_TYPE_SMT | NDIS_PACKET_TYPE_ALL_LOCAL |         \
     NDIS_PACKET_TYPE_GROUP | NDIS_PACKET_TYPE_ALL_FUNCTIONAL | NDIS_PACKET_TYPE_FUNCTIONAL |      \
     NDIS_PACKET_TYPE_MAC_FRAME)

// Pause after the control register write, to let the receive mode settle.
#define RECEIVE_MODE_PAUSE_US 1000
// Writes of the receive mode at most, when the link watch keeps changing Control1 under them.
#define RECEIVE_MODE_WRITES 4

// Writes the receive mode to Control0-Control2: Control0 from its shadow with the all-multicast
// bit set or cleared by RX_MODE_ALL_MULTICAST, Control1 unchanged from its shadow, Control2 with
// only the promiscuous bit, by RX_MODE_PROMISCUOUS. Then pauses 1 ms. The result of the write is
// not examined; always returns KT735N_OK.
//
// The link watch may change Control1Shadow on another processor and write Control1 itself
// while this write is on its way; should this write land last, the chip would keep the old
// speed and duplex, and the link watch, having taken the new partner ability already, would
// never write them again. So when the shadow differs after the write from the value written,
// the three registers are written again with the new one (up to RECEIVE_MODE_WRITES writes):
// whichever write lands last then carries the current shadow.
// IRQL: PASSIVE_LEVEL. Locks: none; NDIS serialises set requests.
KT735N_RESULT ApplyPacketFilter(Adapter* adapter, UCHAR rxModeBits) {
    if (rxModeBits & RX_MODE_ALL_MULTICAST) {
        adapter->Control0Shadow |= CONTROL0_ALL_MULTICAST;
    } else {
        adapter->Control0Shadow &= (UCHAR)~CONTROL0_ALL_MULTICAST;
    }
    UCHAR control2 = (rxModeBits & RX_MODE_PROMISCUOUS) ? CONTROL2_PROMISCUOUS : 0x00;

    volatile UCHAR* control1Shadow = &adapter->Control1Shadow;
    UCHAR control1 = *control1Shadow;
    for (ULONG writes = 1;; ++writes) {
        adapter->RegisterWriteBuffer[0] = adapter->Control0Shadow;
        adapter->RegisterWriteBuffer[1] = control1;
        adapter->RegisterWriteBuffer[2] = control2;
        WriteRegisters(adapter, 3, Control0);
        SleepMicroseconds(RECEIVE_MODE_PAUSE_US);
        if (*control1Shadow == control1 || writes == RECEIVE_MODE_WRITES) {
            break;
        }
        control1 = *control1Shadow;
    }
    return KT735N_OK;
}

// Pause between two looks at a set still pending while the adapter halts.
#define PENDING_SET_PAUSE_US 10000

// Applies the pending set at PASSIVE_LEVEL: the receive mode or the wake-up pattern already
// copied into the Adapter, with the same register writes in the same order as the object asks.
// Fills BytesRead and BytesNeeded where NDIS asked for them, marks the set done and completes it
// with NdisMSetInformationComplete. SetPending is cleared before the completion, since NDIS may
// hand over its next request from inside NdisMSetInformationComplete; the handle is read first,
// because a halt waiting for the set may release the Adapter once SetPending is 0.
// IRQL: PASSIVE_LEVEL, in a system worker thread. Locks: none; owns RegisterWriteBuffer.
static VOID NTAPI SetWorkRoutine(PNDIS_WORK_ITEM workItem, PVOID context) {
    UNREFERENCED_PARAMETER(workItem);
    Adapter* adapter = (Adapter*)context;
    switch (adapter->PendingSetOid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
        ApplyPacketFilter(adapter, adapter->PendingRxModeBits);
        *adapter->PendingSetBytesRead = sizeof(ULONG);
        break;
    default: // OID_PNP_ADD_WAKE_UP_PATTERN, OID_PNP_REMOVE_WAKE_UP_PATTERN
        if (adapter->PendingSetOid == OID_PNP_ADD_WAKE_UP_PATTERN) {
            AddWakePattern(adapter);
        } else {
            RemoveWakePattern(adapter);
        }
        *adapter->PendingSetBytesRead = adapter->PendingSetLength;
        *adapter->PendingSetBytesNeeded = 0;
        break;
    }
    NDIS_HANDLE handle = adapter->MiniportAdapterHandle;
    InterlockedExchange(&adapter->SetPending, 0);
    NdisMSetInformationComplete(handle, NDIS_STATUS_SUCCESS);
}

// Queues SetWorkRoutine for a checked and copied set, keeping NDIS's two count pointers for it.
// Returns NDIS_STATUS_PENDING, or the failure of NdisScheduleWorkItem, in which case nothing is
// written and the set is refused synchronously.
// IRQL: up to DISPATCH_LEVEL. Locks: none; NDIS serialises set requests.
static NDIS_STATUS PendSet(Adapter* adapter, NDIS_OID oid, ULONG length, PULONG bytesRead,
                           PULONG bytesNeeded) {
    adapter->PendingSetOid = oid;
    adapter->PendingSetLength = length;
    adapter->PendingSetBytesRead = bytesRead;
    adapter->PendingSetBytesNeeded = bytesNeeded;
    InterlockedExchange(&adapter->SetPending, 1);
    NdisInitializeWorkItem(&adapter->SetWorkItem, SetWorkRoutine, adapter);
    NDIS_STATUS status = NdisScheduleWorkItem(&adapter->SetWorkItem);
    if (status != NDIS_STATUS_SUCCESS) {
        InterlockedExchange(&adapter->SetPending, 0);
        return status;
    }
    return NDIS_STATUS_PENDING;
}

// Waits until no set is pending any more, so that halt neither writes registers under a running
// work item nor releases the Adapter it uses. The work item's writes end within their USB
// timeouts, so the wait is bounded.
// IRQL: PASSIVE_LEVEL. Locks: none.
VOID WaitForPendingSet(Adapter* adapter) {
    while (InterlockedCompareExchange(&adapter->SetPending, 0, 0) != 0) {
        SleepMicroseconds(PENDING_SET_PAUSE_US);
    }
}

// OID_GEN_CURRENT_PACKET_FILTER with a 4-byte buffer. The filter is stored first, so that a
// refused one still reads back through the query handler; a refused filter leaves the chip
// alone. Directed, multicast and broadcast reception need no chip setting. A supported filter
// is pended for SetWorkRoutine with its receive-mode bits.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static NDIS_STATUS SetPacketFilter(Adapter* adapter, PVOID informationBuffer, PULONG bytesRead,
                                   PULONG bytesNeeded) {
    ULONG filter;
    NdisMoveMemory(&filter, informationBuffer, sizeof(filter));
    adapter->PacketFilter = filter;
    if (filter & UNSUPPORTED_PACKET_TYPES) {
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    UCHAR rxModeBits = 0;
    if (filter & NDIS_PACKET_TYPE_ALL_MULTICAST) {
        rxModeBits |= RX_MODE_ALL_MULTICAST;
    }
    if (filter & NDIS_PACKET_TYPE_PROMISCUOUS) {
        rxModeBits |= RX_MODE_ALL_MULTICAST | RX_MODE_PROMISCUOUS;
    }
    adapter->PendingRxModeBits = rxModeBits;
    return PendSet(adapter, OID_GEN_CURRENT_PACKET_FILTER, sizeof(ULONG), bytesRead, bytesNeeded);
}

// OID_PNP_ADD_WAKE_UP_PATTERN and OID_PNP_REMOVE_WAKE_UP_PATTERN. The request is checked in the
// caller's buffer first: one that would not fit WakePatternBuffer, or whose mask or selected
// pattern bytes lie outside it, is refused before anything is copied, stored or written. A
// checked one is copied into WakePatternBuffer and pended for SetWorkRoutine.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static NDIS_STATUS SetWakePattern(Adapter* adapter, NDIS_OID oid, PVOID informationBuffer,
                                  ULONG informationBufferLength, PULONG bytesRead,
                                  PULONG bytesNeeded) {
    ULONG shortfall = 0;
    NDIS_STATUS status =
        CheckWakePatternRequest((const UCHAR*)informationBuffer, informationBufferLength,
                                oid == OID_PNP_ADD_WAKE_UP_PATTERN, &shortfall);
    if (status != NDIS_STATUS_SUCCESS) {
        if (shortfall != 0) {
            *bytesNeeded = shortfall;
        }
        return status;
    }
    NdisMoveMemory(adapter->WakePatternBuffer, informationBuffer, informationBufferLength);
    return PendSet(adapter, oid, informationBufferLength, bytesRead, bytesNeeded);
}

// Takes one set request. Wrong lengths give NDIS_STATUS_INVALID_LENGTH with *bytesNeeded the
// length wanted (6 for the multicast list, whose length must be a multiple of 6; 4 for the
// packet filter and the lookahead; the shortfall to the pattern header for a wake-up pattern).
// Otherwise a refusal writes neither count. The packet filter and the wake-up patterns return
// NDIS_STATUS_PENDING and are completed by SetWorkRoutine; a register write that fails there
// goes unnoticed.
// IRQL: DISPATCH_LEVEL (NDIS's request path), or lower. Locks: none; NDIS serialises set
// requests.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                         PVOID informationBuffer, ULONG informationBufferLength,
                                         PULONG bytesRead, PULONG bytesNeeded) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;

    switch (oid) {
    case OID_802_3_MULTICAST_LIST:
        if (informationBufferLength % STATION_ADDRESS_LENGTH != 0) {
            *bytesNeeded = STATION_ADDRESS_LENGTH;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        *bytesRead = informationBufferLength;
        return NDIS_STATUS_SUCCESS;

    case OID_GEN_CURRENT_PACKET_FILTER:
        if (informationBufferLength != sizeof(ULONG)) {
            *bytesNeeded = sizeof(ULONG);
            return NDIS_STATUS_INVALID_LENGTH;
        }
        return SetPacketFilter(adapter, informationBuffer, bytesRead, bytesNeeded);

    case OID_GEN_CURRENT_LOOKAHEAD:
        // The whole frame is always indicated; the value is not read, but only a buffer that
        // holds one is taken.
        if (informationBufferLength < sizeof(ULONG)) {
            *bytesNeeded = sizeof(ULONG);
            return NDIS_STATUS_INVALID_LENGTH;
        }
        *bytesRead = sizeof(ULONG);
        return NDIS_STATUS_SUCCESS;

    case OID_PNP_SET_POWER:
        return NDIS_STATUS_NOT_SUPPORTED;

    case OID_PNP_ADD_WAKE_UP_PATTERN:
    case OID_PNP_REMOVE_WAKE_UP_PATTERN:
        return SetWakePattern(adapter, oid, informationBuffer, informationBufferLength, bytesRead,
                              bytesNeeded);

    case OID_PNP_ENABLE_WAKE_UP:
        // The wake-up sources are fixed at media start; the flags are not read.
        *bytesRead = informationBufferLength;
        *bytesNeeded = 0;
        return NDIS_STATUS_SUCCESS;

    default:
        return NDIS_STATUS_INVALID_OID;
    }
}
