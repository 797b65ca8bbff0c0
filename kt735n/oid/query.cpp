// MiniportQueryInformation: answers NDIS's information queries from the Adapter's fields and
// from constants. It talks to no hardware and completes every query at once.
#include "adapter/adapter.h"
#include "oid/oid.h"

const NDIS_OID SupportedOidList[] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,
    OID_PNP_SET_POWER,
    OID_PNP_QUERY_POWER,
    OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN,
    OID_PNP_ENABLE_WAKE_UP,
};

// Number of OIDs in SupportedOidList.
extern const ULONG SupportedOidCount = RTL_NUMBER_OF(SupportedOidList);

const char VendorDescription[] = "Korvex KT735 USB 1/10/100 Adapter NDIS 5.0 Miniport Driver";

static_assert(sizeof(VendorDescription) == KT735N_VENDOR_DESCRIPTION_LENGTH,
              "the description is answered with its terminating NUL");

// Link speed in units of 100 bit/s.
#define LINK_SPEED_100_MBITS 1000000
#define LINK_SPEED_10_MBITS 100000

// Stores a 32-bit value in the answer's local bytes, lowest byte first, as NDIS reads it.
// IRQL: any. Locks: none.
static VOID StoreLittleEndian(UCHAR* bytes, ULONG value) {
    bytes[0] = (UCHAR)(value & 0xFF);
    bytes[1] = (UCHAR)((value >> 8) & 0xFF);
    bytes[2] = (UCHAR)((value >> 16) & 0xFF);
    bytes[3] = (UCHAR)((value >> 24) & 0xFF);
}

// Answers one query. The answer is chosen first: a 32-bit value (or the low 16 bits of one)
// built in a local buffer, or an Adapter field or constant table. A refusal writes nothing, not
// even the two byte counts. An answer longer than the caller's buffer writes only BytesNeeded,
// and that as the shortfall. Otherwise exactly the answer's bytes are copied, whatever room is
// left behind them, and BytesWritten says how many.
// The statistics, the link state and the packet filter are read without a lock: each is one
// 32-bit field read whole, at worst one update old.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                           PVOID informationBuffer, ULONG informationBufferLength,
                                           PULONG bytesWritten, PULONG bytesNeeded) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    UCHAR local[4];
    ULONG value = 0;
    const VOID* source = local;
    ULONG answerLength = sizeof(local);

    switch (oid) {
    case OID_GEN_SUPPORTED_LIST:
        source = SupportedOidList;
        answerLength = SupportedOidCount * sizeof(NDIS_OID);
        break;
    case OID_GEN_HARDWARE_STATUS:
        value = NdisHardwareStatusReady;
        break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
        value = NdisMedium802_3;
        break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_MAXIMUM_FRAME_SIZE:
    case OID_GEN_CURRENT_LOOKAHEAD:
        value = KT735N_MAXIMUM_FRAME_SIZE;
        break;
    case OID_GEN_LINK_SPEED:
        // Only 100 Mbit/s Ethernet reports 100; the phone line reports 10 like 10 Mbit/s.
        value = ReadShared(&adapter->LinkSpeed) == KT735N_LINK_SPEED_100 ? LINK_SPEED_100_MBITS
                                                                         : LINK_SPEED_10_MBITS;
        break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
        value = adapter->TxDescriptorCount * KT735N_MAXIMUM_TOTAL_SIZE;
        break;
    case OID_GEN_RECEIVE_BUFFER_SPACE:
        value = adapter->RxDescriptorCount * KT735N_MAXIMUM_TOTAL_SIZE;
        break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
        value = KT735N_MAXIMUM_TOTAL_SIZE;
        break;
    case OID_GEN_VENDOR_ID:
        // The first four bytes of the permanent address, in address order.
        source = adapter->PermanentAddress;
        break;
    case OID_GEN_VENDOR_DESCRIPTION:
        source = VendorDescription;
        answerLength = KT735N_VENDOR_DESCRIPTION_LENGTH;
        break;
    case OID_GEN_CURRENT_PACKET_FILTER:
        value = adapter->PacketFilter;
        break;
    case OID_GEN_DRIVER_VERSION:
        value = KT735N_NDIS_VERSION;
        answerLength = sizeof(USHORT);
        break;
    case OID_GEN_VENDOR_DRIVER_VERSION:
        value = KT735N_VENDOR_DRIVER_VERSION;
        answerLength = sizeof(USHORT);
        break;
    case OID_GEN_PROTOCOL_OPTIONS:
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_XMIT_MORE_COLLISIONS:
    case OID_802_3_XMIT_MAX_COLLISIONS:
    case OID_802_3_RCV_OVERRUN:
        value = 0;
        break;
    case OID_GEN_MAC_OPTIONS:
        value = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
                NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK |
                NDIS_MAC_OPTION_FULL_DUPLEX;
        break;
    case OID_GEN_MEDIA_CONNECT_STATUS:
        value = ReadShared(&adapter->MediaState) == KT735N_MEDIA_DISCONNECTED
                    ? NdisMediaStateDisconnected
                    : NdisMediaStateConnected;
        break;
    case OID_GEN_MAXIMUM_SEND_PACKETS:
        value = adapter->TxDescriptorCount;
        break;
    case OID_GEN_XMIT_OK:
        value = ReadShared(&adapter->Statistics.TxOkCount);
        break;
    case OID_GEN_RCV_OK:
        value = ReadShared(&adapter->Statistics.RxOkCount);
        break;
    case OID_GEN_XMIT_ERROR:
        value = ReadShared(&adapter->Statistics.TxErrorCount);
        break;
    case OID_GEN_RCV_ERROR:
    case OID_GEN_RCV_CRC_ERROR:
        value = ReadShared(&adapter->Statistics.RxCrcErrorCount);
        break;
    case OID_802_3_PERMANENT_ADDRESS:
        source = adapter->PermanentAddress;
        answerLength = sizeof(adapter->PermanentAddress);
        break;
    case OID_802_3_CURRENT_ADDRESS:
        source = adapter->CurrentAddress;
        answerLength = sizeof(adapter->CurrentAddress);
        break;
    case OID_802_3_MAXIMUM_LIST_SIZE:
        value = KT735N_MULTICAST_LIST_SIZE;
        break;
    case OID_802_3_RCV_ERROR_ALIGNMENT:
        value = adapter->Statistics.RxAlignErrorCount;
        break;
    case OID_802_3_XMIT_ONE_COLLISION:
        value = adapter->Statistics.TxOneCollisionCount;
        break;
    case OID_802_3_XMIT_DEFERRED:
        value = adapter->Statistics.TxDeferredCount;
        break;
    case OID_802_3_XMIT_UNDERRUN:
        value = adapter->Statistics.TxUnderrunCount;
        break;
    case OID_PNP_QUERY_POWER:
        // Any power state asked about is fine; the answer replaces it in the buffer.
        value = 1;
        break;
    case OID_GEN_SUPPORTED_GUIDS:
    case OID_TCP_TASK_OFFLOAD:
    case OID_TCP_TASK_IPSEC_ADD_SA:
    case OID_TCP_TASK_IPSEC_DELETE_SA:
    case OID_PNP_CAPABILITIES:
        status = NDIS_STATUS_NOT_SUPPORTED;
        break;
    default:
        // Everything else, the set-only OIDs of the supported list included.
        status = NDIS_STATUS_INVALID_OID;
        break;
    }

    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    if (answerLength > informationBufferLength) {
        *bytesNeeded = answerLength - informationBufferLength;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    if (source == local) {
        StoreLittleEndian(local, value);
    }
    NdisMoveMemory(informationBuffer, source, answerLength);
    *bytesWritten = answerLength;
    return NDIS_STATUS_SUCCESS;
}
