// MiniportCheckForHang: NDIS's periodic check, every 2 seconds.
#include "adapter/adapter.h"
#include "driver/handlers.h"

// Never asks NDIS for a reset.
// IRQL: DISPATCH_LEVEL. Locks: none.
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE miniportAdapterContext) {
    UNREFERENCED_PARAMETER(miniportAdapterContext);
    return FALSE;
}
