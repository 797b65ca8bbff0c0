// The plug-and-play filter on the driver object. It stands in the AddDevice and IRP_MJ_PNP
// entries in front of NDIS's own routines (SavedAddDevice, SavedPnpDispatch):
// - at AddDevice it lets NDIS create its device and records, for that device, the physical
//   device object it sits on (the USB bus driver's device object for the KT735);
// - IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID, IRP_MN_QUERY_PNP_DEVICE_STATE and every
//   IRP_MN_START_DEVICE after a device's first go straight to that physical device object,
//   without NDIS, unless an adapter's parameters held the keyword Platform
//   (PlatformKeyPresent), in which case every request goes to NDIS. The first start always goes
//   to NDIS, which runs MiniportInitialize while it handles it, and its status is NDIS's.
//
// The physical device object and the first-start flag are kept per device, in a small
// driver-wide table keyed by NDIS's device object, so that with two adapters each device's
// requests reach its own physical device object and each device's first start reaches NDIS.
// A device without a record (the table full) is left to NDIS entirely.
//
// Everything here runs in the plug-and-play manager's context at PASSIVE_LEVEL. The table takes
// no lock: a record is claimed with an interlocked compare-exchange, its key is written last
// and cleared first, and the plug-and-play manager sends one request at a time for a device.
#include "adapter/adapter.h"
#include "driver/handlers.h"

// Devices of the driver followed at once.
#define FILTER_DEVICE_COUNT 16

// One device of this driver.
struct FilterDevice {
    LONG InUse;                               // 1 while claimed
    PDEVICE_OBJECT FunctionalDeviceObject;    // NDIS's device object: the key, written last
    PDEVICE_OBJECT SavedPhysicalDeviceObject; // the physical device object it was added on
    UCHAR FirstStartDone; // 1 once its first start was handed to NDIS without Platform
};

static FilterDevice FilterDevices[FILTER_DEVICE_COUNT];

// NDIS's device object for a physical device object: the device of this driver in the stack
// above it, right after NDIS's AddDevice attached it. NULL when there is none.
// IRQL: PASSIVE_LEVEL. Locks: none.
static PDEVICE_OBJECT OwnDeviceAbove(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != NULL;
         device = device->AttachedDevice) {
        if (device->DriverObject == driverObject) {
            return device;
        }
    }
    return NULL;
}

// Whether a device object is one of the driver object's devices.
// IRQL: PASSIVE_LEVEL. Locks: none.
static BOOLEAN IsDeviceOf(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT candidate) {
    for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != NULL;
         device = device->NextDevice) {
        if (device == candidate) {
            return TRUE;
        }
    }
    return FALSE;
}

// Gives a record back: key first, then the claim.
// IRQL: PASSIVE_LEVEL. Locks: none.
static VOID ForgetDevice(FilterDevice* record) {
    record->FunctionalDeviceObject = NULL;
    record->SavedPhysicalDeviceObject = NULL;
    record->FirstStartDone = 0;
    InterlockedExchange(&record->InUse, 0);
}

// Gives back the records of devices that no longer exist: those whose device object is not one
// of the driver object's devices (a device deleted without a remove request reaching the filter)
// and any still keyed by the address of the device just created.
// IRQL: PASSIVE_LEVEL. Locks: none.
static VOID ForgetStaleDevices(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT fdo) {
    for (ULONG i = 0; i < FILTER_DEVICE_COUNT; i++) {
        FilterDevice* record = &FilterDevices[i];
        PDEVICE_OBJECT key = record->FunctionalDeviceObject;
        if (record->InUse != 0 && key != NULL && (key == fdo || !IsDeviceOf(driverObject, key))) {
            ForgetDevice(record);
        }
    }
}

// Claims a free record for a device being added. Nothing is recorded when all are in use.
// IRQL: PASSIVE_LEVEL. Locks: none.
static VOID RecordDevice(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo) {
    for (ULONG i = 0; i < FILTER_DEVICE_COUNT; i++) {
        FilterDevice* record = &FilterDevices[i];
        if (InterlockedCompareExchange(&record->InUse, 1, 0) == 0) {
            record->SavedPhysicalDeviceObject = pdo;
            record->FirstStartDone = 0;
            record->FunctionalDeviceObject = fdo;
            return;
        }
    }
}

// The record of a device, or NULL.
// IRQL: PASSIVE_LEVEL. Locks: none.
static FilterDevice* FindDevice(PDEVICE_OBJECT fdo) {
    for (ULONG i = 0; i < FILTER_DEVICE_COUNT; i++) {
        FilterDevice* record = &FilterDevices[i];
        if (record->InUse != 0 && record->FunctionalDeviceObject == fdo) {
            return record;
        }
    }
    return NULL;
}

// Lets NDIS add its device and returns what NDIS returned. When NDIS succeeded, the physical
// device object is recorded for the device NDIS attached to it, with its first start still to
// come.
// IRQL: PASSIVE_LEVEL, in the plug-and-play manager's context. Locks: none.
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    NTSTATUS status = SavedAddDevice(driverObject, physicalDeviceObject);
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT fdo = OwnDeviceAbove(driverObject, physicalDeviceObject);
        if (fdo != NULL) {
            ForgetStaleDevices(driverObject, fdo);
            RecordDevice(fdo, physicalDeviceObject);
        }
    }
    return status;
}

// Completion routine of a start sent straight to the physical device object: wakes the
// dispatch routine waiting for it and keeps the IRP for it.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
static NTSTATUS NTAPI DirectStartFinished(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent((PRKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a later start straight to the device's physical device object, waits until the bus
// driver has finished it (it may leave it pending), and then completes it with STATUS_SUCCESS,
// whatever status the bus driver gave: NDIS is not asked to initialize the miniport again.
// IRQL: PASSIVE_LEVEL. Locks: none.
static NTSTATUS StartDirect(PDEVICE_OBJECT pdo, PIRP irp) {
    KEVENT finished;
    KeInitializeEvent(&finished, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DirectStartFinished, &finished, TRUE, TRUE, TRUE);
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, NULL);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Routes one plug-and-play request (minor function from the current stack location):
// - REMOVE_DEVICE: to NDIS, and the device's record is given back;
// - with PlatformKeyPresent, or for a device without a record: to NDIS;
// - a device's first START_DEVICE: to NDIS; the device's first start is then done and the
//   result is what NDIS returned (a failed MiniportInitialize fails the start);
// - a later START_DEVICE: straight to the physical device object (StartDirect), STATUS_SUCCESS;
// - QUERY_CAPABILITIES, QUERY_ID, QUERY_PNP_DEVICE_STATE: straight to the physical device object
//   with the stack location copied, returning what IoCallDriver returned (also STATUS_PENDING);
// - anything else: to NDIS, returning what NDIS returned.
// IRQL: PASSIVE_LEVEL, in the plug-and-play manager's context. Locks: none.
NTSTATUS NTAPI FilterPnpDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    FilterDevice* record = FindDevice(deviceObject);

    if (minor == IRP_MN_REMOVE_DEVICE) {
        NTSTATUS status = SavedPnpDispatch(deviceObject, irp);
        if (record != NULL) {
            ForgetDevice(record);
        }
        return status;
    }
    if (PlatformKeyPresent != 0 || record == NULL) {
        return SavedPnpDispatch(deviceObject, irp);
    }

    switch (minor) {
    case IRP_MN_START_DEVICE:
        if (record->FirstStartDone == 0) {
            NTSTATUS status = SavedPnpDispatch(deviceObject, irp);
            record->FirstStartDone = 1;
            return status;
        }
        return StartDirect(record->SavedPhysicalDeviceObject, irp);
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(record->SavedPhysicalDeviceObject, irp);
    default:
        return SavedPnpDispatch(deviceObject, irp);
    }
}
