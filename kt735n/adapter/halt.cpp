// MiniportHalt: stops the adapter and gives back everything it took.
#include "adapter/adapter.h"
#include "driver/handlers.h"
#include "driver/placement.h"

// Gives back every tracked allocation through the ledger, the Adapter last. Nothing of the
// adapter may be used once this returns.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_PAGED_CODE VOID NTAPI MiniportHalt(NDIS_HANDLE miniportAdapterContext) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;
    LedgerReleaseAll(adapter);
}
