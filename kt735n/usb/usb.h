// The synchronous USB channel: URBs and port requests passed to the USB stack below the adapter
// and waited for, chip register reads and writes, pauses, and the device objects requests go to.
//
// Results: KT735N_OK when the stack finished the request with a success status within 5 seconds,
// KT735N_FAILED when no request could be built or the stack or the device failed it, and, from
// SubmitUrbSync and SubmitPortRequestSync only, KT735N_TIMED_OUT when the request was still
// pending after 5 seconds; it has then been cancelled and has completed. Their callers take
// anything but KT735N_OK as a failure, except where a timeout means something else
// (ConfigureUsbDevice gives up after a descriptor read that timed out, and cycles the port
// after one that failed). Every routine here but AllocateUrbIrp runs at
// PASSIVE_LEVEL.
#pragma once

#include "adapter/adapter.h"

// The third KT735N_RESULT of the two synchronous submit routines: a request that timed out.
#define KT735N_TIMED_OUT ((KT735N_RESULT)STATUS_IO_TIMEOUT)

// The interface's pipes, as indices into InterfaceInfo->Pipes in the order the KT735's
// interface descriptor lists its endpoints (ConfigureUsbDevice checks their types).
#define PIPE_BULK_IN 0
#define PIPE_BULK_OUT 1
#define PIPE_INTERRUPT 2

KT735N_RESULT SubmitUrbSync(Adapter* adapter, PURB urb);
KT735N_RESULT SubmitPortRequestSync(Adapter* adapter, ULONG ioControlCode);
KT735N_RESULT ReadRegisters(Adapter* adapter, USHORT count, USHORT firstRegister);
KT735N_RESULT WriteRegisters(Adapter* adapter, USHORT count, USHORT firstRegister);
VOID SleepMicroseconds(ULONG microseconds);
VOID GetDeviceObjects(Adapter* adapter, PDEVICE_OBJECT* physicalDeviceObject,
                      PDEVICE_OBJECT* functionalDeviceObject, PDEVICE_OBJECT* nextDeviceObject);

// Allocates an IRP of IrpStackSize that carries `urb` to the USB stack as
// IOCTL_INTERNAL_USB_SUBMIT_URB, with `completion` called with `context` on success, error and
// cancel; NULL when no IRP is available. The asynchronous requests (bulk transfers, link watch)
// pass it down with IoCallDriver, and their completion routine frees it.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
PIRP AllocateUrbIrp(Adapter* adapter, PURB urb, PIO_COMPLETION_ROUTINE completion, PVOID context);

// An IRP from AllocateUrbIrp that another routine may have to cancel while the stack holds it
// (see CancellableIrp). The submitter records it before IoCallDriver; its completion routine
// hands it to ReleaseTrackedIrp instead of freeing it; CancelTrackedIrp cancels the one recorded.
// IRQL: up to DISPATCH_LEVEL. Locks: take IrpCancelLock, never held across IoCancelIrp.
VOID TrackIrp(Adapter* adapter, CancellableIrp* slot, PIRP irp);
VOID ReleaseTrackedIrp(Adapter* adapter, CancellableIrp* slot, PIRP irp);
BOOLEAN CancelTrackedIrp(Adapter* adapter, CancellableIrp* slot);

// usb/configure.cpp
KT735N_RESULT ConfigureUsbDevice(Adapter* adapter);
