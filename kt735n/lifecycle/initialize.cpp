// MiniportInitialize: turns a plugged-in KT735 into a running adapter. Creates the Adapter,
// declares the miniport's attributes, brings the chip up, arms the shutdown handler and the
// receive-indicate timer, and starts the medium, which puts the first bulk-in transfer on the
// pipe.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "datapath/datapath.h"
#include "lifecycle/lifecycle.h"
#include "platform/placement.h"

// What the miniport declares to NDIS: no packet or request timeouts, an intermediate driver
// (it sits on the USB stack, not on a bus of its own) and deserialized. NDIS's default hang
// check interval of 2 seconds.
#define KT735N_ATTRIBUTE_FLAGS                                                                     \
    (NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT | NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |                \
     NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE)
#define KT735N_CHECK_FOR_HANG_SECONDS 0

// Gives back everything a failed initialization took: the receive packets to their pool before
// the ledger frees the pools, then every tracked allocation and the Adapter itself.
// IRQL: PASSIVE_LEVEL. Locks: none; nothing of the adapter is in flight.
static VOID ReleaseFailedAdapter(Adapter* adapter) {
    ReleaseReceivePackets(adapter);
    LedgerReleaseAll(adapter);
}

// Selects NdisMedium802_3 (the first one in the array), creates the Adapter, declares the
// attributes, allocates TxLock and RxLock and brings the chip up. When the bring-up fails,
// everything it took and the Adapter itself go back through the ledger and the result is
// NDIS_STATUS_RESOURCES. Otherwise registers the shutdown handler, initialises the
// receive-indicate timer, makes every transmit descriptor available, starts the medium and sets
// InitDone. A media start that fails (no receive descriptor, or the device refused the Control0
// write that switches receive and transmit on) deregisters the handler, releases everything as
// a failed bring-up does and reports NDIS_STATUS_RESOURCES: an adapter that can never move a
// frame is not reported as started. The open-error status is never written.
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
        ReleaseFailedAdapter(adapter);
        return NDIS_STATUS_RESOURCES;
    }

    NdisMRegisterAdapterShutdownHandler(adapter->MiniportAdapterHandle, adapter, MiniportShutdown);
    NdisMInitializeTimer(&adapter->ReceiveIndicateTimer, adapter->MiniportAdapterHandle,
                         IndicateReceivedFrames, adapter);
    adapter->FreeTxCount = (LONG)adapter->TxDescriptorCount;

    if (StartMedia(adapter) != KT735N_OK) {
        // Nothing is in flight yet: the media start fails before its first bulk-in transfer,
        // and the indicate timer has never been set.
        NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
        ReleaseFailedAdapter(adapter);
        return NDIS_STATUS_RESOURCES;
    }

    adapter->InitDone = 1;
    return NDIS_STATUS_SUCCESS;
}
