// MiniportQueryInformation: answers NDIS's information queries.
#include "adapter/adapter.h"
#include "driver/handlers.h"

// Answers no object yet. A refusal writes neither byte count.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                           PVOID informationBuffer, ULONG informationBufferLength,
                                           PULONG bytesWritten, PULONG bytesNeeded) {
    UNREFERENCED_PARAMETER(miniportAdapterContext);
    UNREFERENCED_PARAMETER(oid);
    UNREFERENCED_PARAMETER(informationBuffer);
    UNREFERENCED_PARAMETER(informationBufferLength);
    UNREFERENCED_PARAMETER(bytesWritten);
    UNREFERENCED_PARAMETER(bytesNeeded);
    return NDIS_STATUS_NOT_SUPPORTED;
}
