// The driver entry and the plug-and-play hooks on the driver object, above every part whose
// NDIS handlers DriverEntry registers. Each handler is declared with the part of the driver it
// belongs to (lifecycle/, oid/, datapath/); this header brings them together for the handler
// table.
#pragma once

#include "datapath/datapath.h"
#include "lifecycle/lifecycle.h"
#include "oid/oid.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// driver/driver_entry.cpp
VOID InstallPnpFilter(PDRIVER_OBJECT driverObject);
VOID NTAPI MiniportReturnPacket(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet);

// NDIS's own AddDevice and IRP_MJ_PNP routines, saved by InstallPnpFilter before the filter
// replaced them. One of each per loaded image; NULL until a registration succeeded.
extern PDRIVER_ADD_DEVICE SavedAddDevice;
extern PDRIVER_DISPATCH SavedPnpDispatch;

// driver/pnp_filter.cpp
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
NTSTATUS NTAPI FilterPnpDispatch(PDEVICE_OBJECT deviceObject, PIRP irp);
