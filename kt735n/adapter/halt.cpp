// MiniportHalt: stops the adapter and gives back everything it took.
#include "adapter/adapter.h"
#include "chip/chip.h"
#include "datapath/datapath.h"
#include "driver/handlers.h"
#include "driver/placement.h"
#include "usb/usb.h"

// The pause between two looks at the requests still with the USB stack.
#define REQUEST_WAIT_PAUSE_US 10000

// Waits until no bulk-in or bulk-out IRP of the adapter is with the USB stack any more and no
// completion routine still works on the Adapter. The pipe aborts of the shutdown sequence have
// cancelled the transfers by then, so normally nothing is left; a completion still on its way
// is waited for, since it would otherwise touch released memory.
// IRQL: PASSIVE_LEVEL. Locks: takes RxLock and TxSubmitLock, one at a time, to look.
static KT735N_PAGED_CODE VOID WaitForUsbRequests(Adapter* adapter) {
    while (!BulkInIdle(adapter) || !BulkOutIdle(adapter)) {
        SleepMicroseconds(REQUEST_WAIT_PAUSE_US);
    }
}

// Runs the shutdown sequence (timer cancelled, DeviceState 14, remote wake-up armed, both bulk
// pipes aborted and reset, one second's pause), waits for every request still with the USB
// stack, deregisters the shutdown handler, frees TxLock and RxLock, gives the receive packets
// back to their pool and releases every tracked allocation through the ledger, the Adapter
// last. Nothing of the adapter may be used once this returns.
// IRQL: PASSIVE_LEVEL. Locks: none held; RxLock and TxSubmitLock are taken while waiting.
KT735N_PAGED_CODE VOID NTAPI MiniportHalt(NDIS_HANDLE miniportAdapterContext) {
    Adapter* adapter = (Adapter*)miniportAdapterContext;

    MiniportShutdown(adapter);
    WaitForUsbRequests(adapter);

    NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
    NdisFreeSpinLock(&adapter->TxLock);
    NdisFreeSpinLock(&adapter->RxLock);
    ReleaseReceivePackets(adapter);
    LedgerReleaseAll(adapter);
}
