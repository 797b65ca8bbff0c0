// MiniportReset: clears the statistics. The device, the lists and DeviceState are not touched.
#include "adapter/adapter.h"
#include "driver/handlers.h"

// Tells NDIS no addresses or filters need restoring, sets every statistics counter to 0 and
// completes at once; it never pends.
// IRQL: up to DISPATCH_LEVEL. Locks: none (it only stores zeros).
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN addressingReset, NDIS_HANDLE miniportAdapterContext) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;
    *addressingReset = FALSE;
    adapter->RxOkCount = 0;
    adapter->RxCrcErrorCount = 0;
    adapter->RxAlignErrorCount = 0;
    adapter->TxOkCount = 0;
    adapter->TxErrorCount = 0;
    adapter->TxUnderrunCount = 0;
    adapter->TxOneCollisionCount = 0;
    adapter->TxDeferredCount = 0;
    return NDIS_STATUS_SUCCESS;
}
