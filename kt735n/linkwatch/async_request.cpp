// Asynchronous register requests: fire-and-forget variants of the vendor register requests for
// the link watch, which runs in completion routines and in the hang check and must not wait.
//
// Each request is a vendor request block from nonpaged pool and an IRP of its own, handed to
// the USB stack with the link watch's completion routine. From IoCallDriver on, both belong to
// that routine, which frees them whatever the outcome. One request of the link watch is
// outstanding at a time, so the Adapter keeps one request-block pointer per direction.
#include "linkwatch/linkwatch.h"
#include "usb/usb.h"
#include "usb/registers.h"

// Size of the vendor request block: 80 bytes on the 32-bit target.
#define VENDOR_REQUEST_SIZE sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)

// Builds the request block and its IRP and hands them to the USB stack. The block is recorded in
// *urbField before the IRP is built, so the completion routine finds it there. When no block or
// no IRP can be had, whatever was taken is freed, *urbField is cleared, the pass ends and the
// result is KT735N_FAILED. The request is counted in LinkWatchRequestsInFlight and recorded in
// LinkWatchIrp (for halt to cancel it if the device never answers) before it goes down; the
// completion routine takes it off the count as its last act.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static ULONG SubmitRegisterRequest(Adapter* adapter, PURB* urbField, UCHAR request, ULONG flags,
                                   USHORT firstRegister, PUCHAR buffer, USHORT count,
                                   PIO_COMPLETION_ROUTINE completion) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, VENDOR_REQUEST_SIZE, KT735N_POOL_TAG);
    if (urb == NULL) {
        EndLinkWatchPass(adapter);
        return KT735N_FAILED;
    }
    *urbField = urb;
    NdisZeroMemory(urb, VENDOR_REQUEST_SIZE);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)VENDOR_REQUEST_SIZE, flags, 0,
                          request, 0, firstRegister, buffer, NULL, count, NULL);

    PIRP irp = AllocateUrbIrp(adapter, urb, completion, adapter);
    if (irp == NULL) {
        *urbField = NULL;
        ExFreePool(urb);
        EndLinkWatchPass(adapter);
        return KT735N_FAILED;
    }
    InterlockedIncrement(&adapter->LinkWatchRequestsInFlight);
    TrackIrp(adapter, &adapter->LinkWatchIrp, irp);
    return (ULONG)IoCallDriver(adapter->NextDeviceObject, irp);
}

// Writes count registers from firstRegister on with the bytes at data (vendor request 0xF1,
// wValue 0); LinkWatchWriteComplete runs when it is done.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
ULONG AsyncWriteRegisters(Adapter* adapter, USHORT count, USHORT firstRegister, PUCHAR data) {
    return SubmitRegisterRequest(adapter, &adapter->LinkWatchWriteUrb,
                                 KT735_REQUEST_WRITE_REGISTERS, USBD_TRANSFER_DIRECTION_OUT,
                                 firstRegister, data, count, LinkWatchWriteComplete);
}

// Reads count registers from firstRegister on into LinkWatchReadBuffer (vendor request 0xF0);
// LinkWatchReadComplete runs when it is done. A count the buffer cannot hold is not sent.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
ULONG AsyncReadRegisters(Adapter* adapter, USHORT count, USHORT firstRegister) {
    if (count > sizeof(adapter->LinkWatchReadBuffer)) {
        EndLinkWatchPass(adapter);
        return KT735N_FAILED;
    }
    return SubmitRegisterRequest(adapter, &adapter->LinkWatchReadUrb, KT735_REQUEST_READ_REGISTERS,
                                 USBD_TRANSFER_DIRECTION_IN, firstRegister,
                                 adapter->LinkWatchReadBuffer, count, LinkWatchReadComplete);
}
