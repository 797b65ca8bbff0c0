// The plug-and-play filter on the driver object: stands in the AddDevice and IRP_MJ_PNP entries
// in front of NDIS's own routines. For now it passes every call on to NDIS unchanged.
#include "driver/handlers.h"

// Passes AddDevice on to NDIS and returns its result.
// IRQL: PASSIVE_LEVEL, in the plug-and-play manager's context. Locks: none.
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    return SavedAddDevice(driverObject, physicalDeviceObject);
}

// Passes every plug-and-play request on to NDIS and returns its result.
// IRQL: PASSIVE_LEVEL, in the plug-and-play manager's context. Locks: none.
NTSTATUS NTAPI FilterPnpDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return SavedPnpDispatch(deviceObject, irp);
}
