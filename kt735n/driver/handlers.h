// The miniport's NDIS handlers, the driver entry and the plug-and-play hooks on the driver
// object. Each handler lives with the part of the driver it belongs to; this header is where
// the handler table and its callers meet.
#pragma once

#include "platform/platform.h"

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

// lifecycle/initialize.cpp
NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS openErrorStatus, PUINT selectedMediumIndex,
                                     PNDIS_MEDIUM mediumArray, UINT mediumArraySize,
                                     NDIS_HANDLE miniportAdapterHandle,
                                     NDIS_HANDLE wrapperConfigurationContext);

// lifecycle/halt.cpp
VOID NTAPI MiniportHalt(NDIS_HANDLE miniportAdapterContext);

// lifecycle/reset.cpp
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN addressingReset, NDIS_HANDLE miniportAdapterContext);
// Waits until no reset of the adapter is in progress (its work item has finished).
VOID WaitForReset(struct Adapter* adapter);

// lifecycle/shutdown.cpp: the adapter shutdown handler (context the Adapter), also run first by
// MiniportHalt, and the stop sequence behind it.
VOID NTAPI MiniportShutdown(PVOID shutdownContext);
ULONG PrepareForShutdown(struct Adapter* adapter);
ULONG ResetBulkPipes(struct Adapter* adapter);
BOOLEAN PipeRequest(struct Adapter* adapter, PURB urb, USHORT function, ULONG pipe);

// lifecycle/hang_check.cpp
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE miniportAdapterContext);

// oid/query.cpp
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                           PVOID informationBuffer, ULONG informationBufferLength,
                                           PULONG bytesWritten, PULONG bytesNeeded);

// oid/set.cpp
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                         PVOID informationBuffer, ULONG informationBufferLength,
                                         PULONG bytesRead, PULONG bytesNeeded);

// datapath/transmit.cpp
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet, UINT flags);

// datapath/receive.cpp
NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET packet, PUINT bytesTransferred,
                                       NDIS_HANDLE miniportAdapterContext,
                                       NDIS_HANDLE miniportReceiveContext, UINT byteOffset,
                                       UINT bytesToTransfer);
