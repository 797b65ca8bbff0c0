// MiniportInitialize: turns a plugged-in KT735 into a running adapter. Creates the Adapter,
// declares the miniport's attributes, brings the chip up, arms the shutdown handler and the
// receive-indicate timer, and starts the medium, which puts the first bulk-in transfer on the
// pipe.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "datapath/datapath.h"
#include "driver/handlers.h"
#include "driver/placement.h"

// What the miniport declares to NDIS: no packet or request timeouts, an intermediate driver
// (it sits on the USB stack, not on a bus of its own) and deserialized. NDIS's default hang
// check interval of 2 seconds.
#define KT735N_ATTRIBUTE_FLAGS                                                                     \
    (NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT | NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |                \
     NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE)
#define KT735N_CHECK_FOR_HANG_SECONDS 0

// Selects NdisMedium802_3 (the first one in the array), creates the Adapter, declares the
// attributes, allocates TxLock and RxLock and brings the chip up. When the bring-up fails,
// everything it took and the Adapter itself go back through the ledger and the result is
// NDIS_STATUS_RESOURCES. Otherwise registers the shutdown handler, initialises the
// receive-indicate timer, makes every transmit descriptor available, starts the medium (its
// result is not looked at: an adapter whose media start found no receive descriptor stays
// stopped) and sets InitDone. The open-error status is never written.
// Results: NDIS_STATUS_SUCCESS, NDIS_STATUS_UNSUPPORTED_MEDIA when the array holds no 802.3
// (nothing is then allocated), the status of the Adapter's allocation when that fails, or
// NDIS_STATUS_RESOURCES.
// IRQL: PASSIVE_LEVEL. Locks: none held; RxLock is taken inside the media start.
KT735N_PAGED_CODE NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS openErrorStatus,
                                                       PUINT selectedMediumIndex,
                                                       PNDIS_MEDIUM mediumArray,
                                                       UINT mediumArraySize,
                                                       NDIS_HANDLE miniportAdapterHandle,
                                                       NDIS_HANDLE wrapperConfigurationContext) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(openErrorStatus);

    UINT index = 0;
    while (index < mediumArraySize && mediumArray[index] != NdisMedium802_3) {
        index++;
    }
    if (index >= mediumArraySize) {
        return NDIS_STATUS_UNSUPPORTED_MEDIA;
    }
    *selectedMediumIndex = index;

    Adapter* adapter = NULL;
    NDIS_STATUS status =
        CreateAdapter(miniportAdapterHandle, wrapperConfigurationContext, &adapter);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }

    NdisMSetAttributesEx(adapter->MiniportAdapterHandle, adapter, KT735N_CHECK_FOR_HANG_SECONDS,
                         KT735N_ATTRIBUTE_FLAGS, NdisInterfaceInternal);
    NdisAllocateSpinLock(&adapter->TxLock);
    NdisAllocateSpinLock(&adapter->RxLock);

    if (BringUpChip(adapter) != KT735N_OK) {
        // The receive packets go back to their pool before the ledger frees the pools.
        ReleaseReceivePackets(adapter);
        LedgerReleaseAll(adapter);
        return NDIS_STATUS_RESOURCES;
    }

    NdisMRegisterAdapterShutdownHandler(adapter->MiniportAdapterHandle, adapter, MiniportShutdown);
    NdisMInitializeTimer(&adapter->ReceiveIndicateTimer, adapter->MiniportAdapterHandle,
                         IndicateReceivedFrames, adapter);
    adapter->FreeTxCount = (LONG)adapter->TxDescriptorCount;

    StartMedia(adapter);

    adapter->InitDone = 1;
    return NDIS_STATUS_SUCCESS;
}
