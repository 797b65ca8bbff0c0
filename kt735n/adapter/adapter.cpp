// Creation of the Adapter record: the first steps of MiniportInitialize.
#include "adapter/adapter.h"

// Allocates the Adapter with the tag "aaQZ", fills it with zeros and records it in its own
// ledger as the first entry handed out, so that the release walk gives it back last. Stores the
// two NDIS handles. Returns NDIS_STATUS_SUCCESS with *out set; the status of the allocation when
// it fails; NDIS_STATUS_RESOURCES when no ledger entry can be had, after freeing the record
// again (nothing is left behind).
// IRQL: PASSIVE_LEVEL. Locks: none.
NDIS_STATUS CreateAdapter(NDIS_HANDLE miniportAdapterHandle,
                          NDIS_HANDLE wrapperConfigurationContext, Adapter** out) {
    *out = NULL;
    PVOID memory = NULL;
    NDIS_STATUS status = NdisAllocateMemoryWithTag(&memory, sizeof(Adapter), KT735N_ADAPTER_TAG);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    if (memory == NULL) {
        return NDIS_STATUS_RESOURCES;
    }
    Adapter* adapter = (Adapter*)memory;
    NdisZeroMemory(adapter, sizeof(Adapter));
    adapter->InitDone = 0;
    adapter->DeviceState = KT735N_DEVICE_NOT_STARTED;

    LedgerEntry* entry = LedgerTakeEntry(adapter);
    if (entry == NULL) {
        NdisFreeMemory(adapter, sizeof(Adapter), 0);
        return NDIS_STATUS_RESOURCES;
    }
    entry->Payload.Memory.Length = sizeof(Adapter);
    entry->Payload.Memory.Address = adapter;
    entry->Kind = LEDGER_KIND_MEMORY;

    adapter->MiniportAdapterHandle = miniportAdapterHandle;
    adapter->WrapperConfigurationContext = wrapperConfigurationContext;
    *out = adapter;
    return NDIS_STATUS_SUCCESS;
}
