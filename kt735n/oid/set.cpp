// MiniportSetInformation: applies NDIS's information sets.
#include "adapter/adapter.h"
#include "driver/handlers.h"

// Accepts no object yet. A refusal writes neither byte count.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                         PVOID informationBuffer, ULONG informationBufferLength,
                                         PULONG bytesRead, PULONG bytesNeeded) {
    UNREFERENCED_PARAMETER(miniportAdapterContext);
    UNREFERENCED_PARAMETER(oid);
    UNREFERENCED_PARAMETER(informationBuffer);
    UNREFERENCED_PARAMETER(informationBufferLength);
    UNREFERENCED_PARAMETER(bytesRead);
    UNREFERENCED_PARAMETER(bytesNeeded);
    return NDIS_STATUS_NOT_SUPPORTED;
}
