// MiniportSend: the transmit path over the bulk-out pipe.
#include "adapter/adapter.h"
#include "driver/handlers.h"

// Sends nothing yet: refuses the packet, which stays NDIS's.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet,
                               UINT flags) {
    UNREFERENCED_PARAMETER(miniportAdapterContext);
    UNREFERENCED_PARAMETER(packet);
    UNREFERENCED_PARAMETER(flags);
    return NDIS_STATUS_FAILURE;
}
