// MiniportInitialize: turns a plugged-in KT735 into a running adapter.
//
// The chip bring-up and the media start are not in the driver yet, so initialization declines
// every adapter: it does not touch the device and leaves nothing allocated.
#include "adapter/adapter.h"
#include "driver/handlers.h"
#include "driver/placement.h"

// Declines the adapter with NDIS_STATUS_FAILURE. The open-error status is never written.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_PAGED_CODE NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS openErrorStatus,
                                                       PUINT selectedMediumIndex,
                                                       PNDIS_MEDIUM mediumArray,
                                                       UINT mediumArraySize,
                                                       NDIS_HANDLE miniportAdapterHandle,
                                                       NDIS_HANDLE wrapperConfigurationContext) {
    UNREFERENCED_PARAMETER(openErrorStatus);
    UNREFERENCED_PARAMETER(selectedMediumIndex);
    UNREFERENCED_PARAMETER(mediumArray);
    UNREFERENCED_PARAMETER(mediumArraySize);
    UNREFERENCED_PARAMETER(miniportAdapterHandle);
    UNREFERENCED_PARAMETER(wrapperConfigurationContext);
    return NDIS_STATUS_FAILURE;
}
