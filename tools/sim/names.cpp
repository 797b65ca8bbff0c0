#include "names.h"

#include <cstdio>

#include <host/ddk.h>

namespace kt735sim {

#define KT735SIM_OID(name)                                                                         \
    { name, #name }

const std::vector<OidName>& oidNames() {
    static const std::vector<OidName> names = {
        KT735SIM_OID(OID_GEN_SUPPORTED_LIST),
        KT735SIM_OID(OID_GEN_HARDWARE_STATUS),
        KT735SIM_OID(OID_GEN_MEDIA_SUPPORTED),
        KT735SIM_OID(OID_GEN_MEDIA_IN_USE),
        KT735SIM_OID(OID_GEN_MAXIMUM_LOOKAHEAD),
        KT735SIM_OID(OID_GEN_MAXIMUM_FRAME_SIZE),
        KT735SIM_OID(OID_GEN_LINK_SPEED),
        KT735SIM_OID(OID_GEN_TRANSMIT_BUFFER_SPACE),
        KT735SIM_OID(OID_GEN_RECEIVE_BUFFER_SPACE),
        KT735SIM_OID(OID_GEN_TRANSMIT_BLOCK_SIZE),
        KT735SIM_OID(OID_GEN_RECEIVE_BLOCK_SIZE),
        KT735SIM_OID(OID_GEN_VENDOR_ID),
        KT735SIM_OID(OID_GEN_VENDOR_DESCRIPTION),
        KT735SIM_OID(OID_GEN_CURRENT_PACKET_FILTER),
        KT735SIM_OID(OID_GEN_CURRENT_LOOKAHEAD),
        KT735SIM_OID(OID_GEN_DRIVER_VERSION),
        KT735SIM_OID(OID_GEN_MAXIMUM_TOTAL_SIZE),
        KT735SIM_OID(OID_GEN_PROTOCOL_OPTIONS),
        KT735SIM_OID(OID_GEN_MAC_OPTIONS),
        KT735SIM_OID(OID_GEN_MEDIA_CONNECT_STATUS),
        KT735SIM_OID(OID_GEN_MAXIMUM_SEND_PACKETS),
        KT735SIM_OID(OID_GEN_VENDOR_DRIVER_VERSION),
        KT735SIM_OID(OID_GEN_SUPPORTED_GUIDS),
        KT735SIM_OID(OID_GEN_NETWORK_LAYER_ADDRESSES),
        KT735SIM_OID(OID_GEN_TRANSPORT_HEADER_OFFSET),
        KT735SIM_OID(OID_GEN_XMIT_OK),
        KT735SIM_OID(OID_GEN_RCV_OK),
        KT735SIM_OID(OID_GEN_XMIT_ERROR),
        KT735SIM_OID(OID_GEN_RCV_ERROR),
        KT735SIM_OID(OID_GEN_RCV_NO_BUFFER),
        KT735SIM_OID(OID_GEN_RCV_CRC_ERROR),
        KT735SIM_OID(OID_802_3_PERMANENT_ADDRESS),
        KT735SIM_OID(OID_802_3_CURRENT_ADDRESS),
        KT735SIM_OID(OID_802_3_MULTICAST_LIST),
        KT735SIM_OID(OID_802_3_MAXIMUM_LIST_SIZE),
        KT735SIM_OID(OID_802_3_MAC_OPTIONS),
        KT735SIM_OID(OID_802_3_RCV_ERROR_ALIGNMENT),
        KT735SIM_OID(OID_802_3_XMIT_ONE_COLLISION),
        KT735SIM_OID(OID_802_3_XMIT_MORE_COLLISIONS),
        KT735SIM_OID(OID_802_3_XMIT_DEFERRED),
        KT735SIM_OID(OID_802_3_XMIT_MAX_COLLISIONS),
        KT735SIM_OID(OID_802_3_RCV_OVERRUN),
        KT735SIM_OID(OID_802_3_XMIT_UNDERRUN),
        KT735SIM_OID(OID_PNP_CAPABILITIES),
        KT735SIM_OID(OID_PNP_SET_POWER),
        KT735SIM_OID(OID_PNP_QUERY_POWER),
        KT735SIM_OID(OID_PNP_ADD_WAKE_UP_PATTERN),
        KT735SIM_OID(OID_PNP_REMOVE_WAKE_UP_PATTERN),
        KT735SIM_OID(OID_PNP_WAKE_UP_PATTERN_LIST),
        KT735SIM_OID(OID_PNP_ENABLE_WAKE_UP),
        KT735SIM_OID(OID_TCP_TASK_OFFLOAD),
        KT735SIM_OID(OID_TCP_TASK_IPSEC_ADD_SA),
        KT735SIM_OID(OID_TCP_TASK_IPSEC_DELETE_SA),
    };
    return names;
}

std::optional<std::uint32_t> oidByName(std::string_view name) {
    for (const OidName& entry : oidNames()) {
        if (name == entry.name) {
            return entry.value;
        }
    }
    return std::nullopt;
}

std::string oidName(std::uint32_t oid) {
    for (const OidName& entry : oidNames()) {
        if (entry.value == oid) {
            return entry.name;
        }
    }
    return hex32(oid);
}

const std::vector<std::uint32_t>& counterOids() {
    static const std::vector<std::uint32_t> oids = {
        OID_GEN_XMIT_OK,
        OID_GEN_RCV_OK,
        OID_GEN_XMIT_ERROR,
        OID_GEN_RCV_ERROR,
        OID_GEN_RCV_NO_BUFFER,
        OID_GEN_RCV_CRC_ERROR,
        OID_802_3_RCV_ERROR_ALIGNMENT,
        OID_802_3_XMIT_ONE_COLLISION,
        OID_802_3_XMIT_MORE_COLLISIONS,
        OID_802_3_XMIT_DEFERRED,
        OID_802_3_XMIT_MAX_COLLISIONS,
        OID_802_3_RCV_OVERRUN,
        OID_802_3_XMIT_UNDERRUN,
    };
    return oids;
}

#define KT735SIM_STATUS(name)                                                                      \
    case static_cast<std::uint32_t>(name):                                                         \
        return #name

std::string statusName(std::uint32_t status) {
    switch (status) {
        KT735SIM_STATUS(NDIS_STATUS_SUCCESS);
        KT735SIM_STATUS(NDIS_STATUS_PENDING);
        KT735SIM_STATUS(NDIS_STATUS_MEDIA_CONNECT);
        KT735SIM_STATUS(NDIS_STATUS_MEDIA_DISCONNECT);
        KT735SIM_STATUS(NDIS_STATUS_RESET_START);
        KT735SIM_STATUS(NDIS_STATUS_RESET_END);
        KT735SIM_STATUS(NDIS_STATUS_NOT_RESETTABLE);
        KT735SIM_STATUS(NDIS_STATUS_FAILURE);
        KT735SIM_STATUS(NDIS_STATUS_RESOURCES);
        KT735SIM_STATUS(NDIS_STATUS_NOT_SUPPORTED);
        KT735SIM_STATUS(NDIS_STATUS_ADAPTER_NOT_FOUND);
        KT735SIM_STATUS(NDIS_STATUS_MULTICAST_FULL);
        KT735SIM_STATUS(NDIS_STATUS_INVALID_PACKET);
        KT735SIM_STATUS(NDIS_STATUS_INVALID_LENGTH);
        KT735SIM_STATUS(NDIS_STATUS_INVALID_DATA);
        KT735SIM_STATUS(NDIS_STATUS_BUFFER_TOO_SHORT);
        KT735SIM_STATUS(NDIS_STATUS_INVALID_OID);
        KT735SIM_STATUS(NDIS_STATUS_ADAPTER_REMOVED);
        KT735SIM_STATUS(NDIS_STATUS_UNSUPPORTED_MEDIA);
        KT735SIM_STATUS(NDIS_STATUS_OPEN_FAILED);
    default:
        return "";
    }
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

} // namespace kt735sim
