// MiniportTransferData: copies received frame data for NDIS.
#include "adapter/adapter.h"
#include "driver/handlers.h"

// Nothing is indicated yet, so there is nothing to transfer.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET packet, PUINT bytesTransferred,
                                       NDIS_HANDLE miniportAdapterContext,
                                       NDIS_HANDLE miniportReceiveContext, UINT byteOffset,
                                       UINT bytesToTransfer) {
    UNREFERENCED_PARAMETER(packet);
    UNREFERENCED_PARAMETER(miniportAdapterContext);
    UNREFERENCED_PARAMETER(miniportReceiveContext);
    UNREFERENCED_PARAMETER(byteOffset);
    UNREFERENCED_PARAMETER(bytesToTransfer);
    *bytesTransferred = 0;
    return NDIS_STATUS_SUCCESS;
}
