// The adapter shutdown handler and the stop sequence it shares with MiniportHalt: the adapter
// out of the running state, the receive timer cancelled, remote wake-up armed on the device,
// both bulk pipes aborted and reset, and a one-second pause for the cancelled transfers.
#include "adapter/adapter.h"
#include "datapath/datapath.h"
#include "lifecycle/lifecycle.h"
#include "usb/usb.h"

// Pause between a pipe's abort and its reset, and each of the pauses after the stop.
#define PIPE_PAUSE_US 10000
#define SHUTDOWN_PAUSE_US 10000
#define SHUTDOWN_PAUSES 100

// Sends one ABORT_PIPE or RESET_PIPE for a pipe of the interface through the given request
// block, whose Length and Function are written again each time. TRUE when the stack finished
// the request in time, whatever its status (the caller may look at the URB's).
// IRQL: PASSIVE_LEVEL. Locks: none.
BOOLEAN PipeRequest(Adapter* adapter, PURB urb, USHORT function, ULONG pipe) {
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = adapter->InterfaceInfo->Pipes[pipe].PipeHandle;
    return (BOOLEAN)(SubmitUrbSync(adapter, urb) == KT735N_OK);
}

// Aborts and resets the bulk-out pipe, then the bulk-in pipe, with 10 ms between each abort
// and its reset. Stops at the first request that could not be built or timed out. Returns
// KT735N_OK when all four were done, KT735N_FAILED otherwise (also when no request block could
// be had from nonpaged pool).
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT ResetBulkPipes(Adapter* adapter) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST),
                                           KT735N_POOL_TAG);
    if (urb == NULL) {
        return KT735N_FAILED;
    }
    NdisZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));

    ULONG result = KT735N_FAILED;
    if (PipeRequest(adapter, urb, URB_FUNCTION_ABORT_PIPE, PIPE_BULK_OUT)) {
        SleepMicroseconds(PIPE_PAUSE_US);
        if (PipeRequest(adapter, urb, URB_FUNCTION_RESET_PIPE, PIPE_BULK_OUT) &&
            PipeRequest(adapter, urb, URB_FUNCTION_ABORT_PIPE, PIPE_BULK_IN)) {
            SleepMicroseconds(PIPE_PAUSE_US);
            if (PipeRequest(adapter, urb, URB_FUNCTION_RESET_PIPE, PIPE_BULK_IN)) {
                result = KT735N_OK;
            }
        }
    }
    ExFreePool(urb);
    return result;
}

// Takes the adapter out of the running state, so that nothing more is submitted and bulk
// completions only free their IRPs; arms remote wake-up on the device (the result is not looked
// at); aborts and resets both bulk pipes (likewise); and pauses one second, as 100 pauses of
// 10 ms, while the cancelled transfers complete. The state is set with an interlocked exchange:
// a hang check's link-watch kick counts itself in flight before it reads the state, so either
// it sees the adapter stopped or halt's wait sees its request. Returns KT735N_OK.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT PrepareForShutdown(Adapter* adapter) {
    InterlockedExchange((PLONG)&adapter->DeviceState, KT735N_DEVICE_SHUT_DOWN);

    URB urb;
    NdisZeroMemory(&urb, sizeof(urb));
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           NULL);
    SubmitUrbSync(adapter, &urb);

    ResetBulkPipes(adapter);

    for (ULONG i = 0; i < SHUTDOWN_PAUSES; ++i) {
        SleepMicroseconds(SHUTDOWN_PAUSE_US);
    }
    return KT735N_OK;
}

// The adapter shutdown handler, which NDIS calls at an orderly system shutdown and MiniportHalt
// calls first: takes the adapter out of the running state and then cancels the receive-indicate
// timer (StopReception; in the other order a bulk-in completion between the two could arm it
// again), and runs the stop sequence. The adapter stays stopped afterwards. NDIS also calls it from
// its bugcheck callback, at HIGH_LEVEL, where nothing may wait, sleep, allocate, take a spin lock
// or call the USB stack: above PASSIVE_LEVEL it returns at once and leaves the device as it is.
// IRQL: any; does its work only at PASSIVE_LEVEL (it waits on USB requests and sleeps).
// Locks: takes RxLock (in StopReception).
VOID NTAPI MiniportShutdown(PVOID shutdownContext) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return;
    }
    Adapter* adapter = (Adapter*)shutdownContext;
    StopReception(adapter);
    PrepareForShutdown(adapter);
}
