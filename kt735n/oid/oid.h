// Information objects: the OIDs the miniport answers and accepts, and the constants its answers
// are made of.
#pragma once

#include "adapter/adapter.h"

// The OIDs this miniport names in its answer to OID_GEN_SUPPORTED_LIST, in the order given
// there. Some of them can only be set; a query for those is refused.
extern const NDIS_OID SupportedOidList[];
extern const ULONG SupportedOidCount;

// The adapter's description as OID_GEN_VENDOR_DESCRIPTION gives it: the product's own name,
// with its terminating NUL counted in the answer.
extern const char VendorDescription[];
#define KT735N_VENDOR_DESCRIPTION_LENGTH 59

// Versions answered for OID_GEN_DRIVER_VERSION (NDIS 5.0) and OID_GEN_VENDOR_DRIVER_VERSION
// (driver 3.06), each as an unsigned 16-bit value.
#define KT735N_NDIS_VERSION 0x0500
#define KT735N_VENDOR_DRIVER_VERSION 0x0306

// Largest frame handed to the miniport, destination address to the end of the data, and the
// largest data part of it.
#define KT735N_MAXIMUM_TOTAL_SIZE 1514
#define KT735N_MAXIMUM_FRAME_SIZE 1500
// Multicast addresses the chip's table is declared to hold.
#define KT735N_MULTICAST_LIST_SIZE 32

// ---- the receive filter (oid/set.cpp) -----------------------------------------------------------

// Receive-mode bits the packet filter is turned into: all multicast frames, and promiscuous.
#define RX_MODE_ALL_MULTICAST 0x10
#define RX_MODE_PROMISCUOUS 0x04

KT735N_RESULT ApplyPacketFilter(Adapter* adapter, UCHAR rxModeBits);

// Waits until the set NDIS may be waiting on has been completed (MiniportHalt).
VOID WaitForPendingSet(Adapter* adapter);

// ---- the handlers
// ---------------------------------------------------------------------------------

// oid/query.cpp
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                           PVOID informationBuffer, ULONG informationBufferLength,
                                           PULONG bytesWritten, PULONG bytesNeeded);

// oid/set.cpp
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                         PVOID informationBuffer, ULONG informationBufferLength,
                                         PULONG bytesRead, PULONG bytesNeeded);
