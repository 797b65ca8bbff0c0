// MiniportSetInformation: applies NDIS's information sets, and the receive filter behind the
// packet filter OID.
//
// Only two objects reach the chip: the packet filter, as the all-multicast bit of Control0 and
// the promiscuous bit of Control2, and the wake-up patterns (chip/wake.cpp). The multicast list
// is accepted without being programmed: the multicast table keeps the all-ones value of
// bring-up. Every request completes here; none is pended.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "driver/handlers.h"
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

// Writes the receive mode to Control0-Control2: Control0 from its shadow with the all-multicast
// bit set or cleared by RX_MODE_ALL_MULTICAST, Control1 unchanged from its shadow, Control2 with
// only the promiscuous bit, by RX_MODE_PROMISCUOUS. Then pauses 1 ms. The result of the write is
// not examined; always returns KT735N_OK.
// IRQL: up to DISPATCH_LEVEL on entry; PASSIVE_LEVEL for the write and the pause, the entry
// level restored. Locks: none; NDIS serialises set requests. Control1Shadow may meanwhile be
// changed by the link watch.
ULONG ApplyPacketFilter(Adapter* adapter, UCHAR rxModeBits) {
    if (rxModeBits & RX_MODE_ALL_MULTICAST) {
        adapter->Control0Shadow |= CONTROL0_ALL_MULTICAST;
    } else {
        adapter->Control0Shadow &= (UCHAR)~CONTROL0_ALL_MULTICAST;
    }
    UCHAR control2 = (rxModeBits & RX_MODE_PROMISCUOUS) ? CONTROL2_PROMISCUOUS : 0x00;

    KIRQL irql = LowerForRegisterWrites();
    adapter->RegisterWriteBuffer[0] = adapter->Control0Shadow;
    adapter->RegisterWriteBuffer[1] = adapter->Control1Shadow;
    adapter->RegisterWriteBuffer[2] = control2;
    WriteRegisters(adapter, 3, Control0);
    SleepMicroseconds(RECEIVE_MODE_PAUSE_US);
    RestoreAfterRegisterWrites(irql);
    return KT735N_OK;
}

// OID_GEN_CURRENT_PACKET_FILTER with a 4-byte buffer. The filter is stored first, so that a
// refused one still reads back through the query handler; a refused filter leaves the chip
// alone. Directed, multicast and broadcast reception need no chip setting.
// IRQL: up to DISPATCH_LEVEL (see ApplyPacketFilter). Locks: none.
static NDIS_STATUS SetPacketFilter(Adapter* adapter, PVOID informationBuffer) {
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
    ApplyPacketFilter(adapter, rxModeBits);
    return NDIS_STATUS_SUCCESS;
}

// OID_PNP_ADD_WAKE_UP_PATTERN and OID_PNP_REMOVE_WAKE_UP_PATTERN. The request is checked in the
// caller's buffer first: one that would not fit WakePatternBuffer, or whose mask or selected
// pattern bytes lie outside it, is refused before anything is copied, stored or written.
// IRQL: up to DISPATCH_LEVEL (see AddWakePattern, RemoveWakePattern). Locks: none.
static NDIS_STATUS SetWakePattern(Adapter* adapter, BOOLEAN add, PVOID informationBuffer,
                                  ULONG informationBufferLength, PULONG bytesRead,
                                  PULONG bytesNeeded) {
    ULONG shortfall = 0;
    NDIS_STATUS status = CheckWakePatternRequest((const UCHAR*)informationBuffer,
                                                 informationBufferLength, add, &shortfall);
    if (status != NDIS_STATUS_SUCCESS) {
        if (shortfall != 0) {
            *bytesNeeded = shortfall;
        }
        return status;
    }
    NdisMoveMemory(adapter->WakePatternBuffer, informationBuffer, informationBufferLength);
    if (add) {
        AddWakePattern(adapter);
    } else {
        RemoveWakePattern(adapter);
    }
    *bytesRead = informationBufferLength;
    *bytesNeeded = 0;
    return NDIS_STATUS_SUCCESS;
}

// Applies one set request. Wrong lengths give NDIS_STATUS_INVALID_LENGTH with *bytesNeeded the
// length wanted (6 for the multicast list, whose length must be a multiple of 6; 4 for the
// packet filter; the shortfall to the pattern header for a wake-up pattern). Otherwise a refusal
// writes neither count. A register write that fails goes unnoticed.
// IRQL: up to DISPATCH_LEVEL; the packet filter and wake-up pattern writes run at PASSIVE_LEVEL
// and the entry level is restored before returning. Locks: none; NDIS serialises set requests.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                         PVOID informationBuffer, ULONG informationBufferLength,
                                         PULONG bytesRead, PULONG bytesNeeded) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;
    NDIS_STATUS status;

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
        status = SetPacketFilter(adapter, informationBuffer);
        if (status == NDIS_STATUS_SUCCESS) {
            *bytesRead = sizeof(ULONG);
        }
        return status;

    case OID_GEN_CURRENT_LOOKAHEAD:
        // The whole frame is always indicated; the value is not read.
        *bytesRead = sizeof(ULONG);
        return NDIS_STATUS_SUCCESS;

    case OID_PNP_SET_POWER:
        return NDIS_STATUS_NOT_SUPPORTED;

    case OID_PNP_ADD_WAKE_UP_PATTERN:
    case OID_PNP_REMOVE_WAKE_UP_PATTERN:
        return SetWakePattern(adapter, oid == OID_PNP_ADD_WAKE_UP_PATTERN, informationBuffer,
                              informationBufferLength, bytesRead, bytesNeeded);

    case OID_PNP_ENABLE_WAKE_UP:
        // The wake-up sources are fixed at media start; the flags are not read.
        *bytesRead = informationBufferLength;
        *bytesNeeded = 0;
        return NDIS_STATUS_SUCCESS;

    default:
        return NDIS_STATUS_INVALID_OID;
    }
}
