// The adapter's lifecycle: the NDIS handlers that start, stop, recover and watch an adapter
// (initialize, halt, shutdown, reset, hang check), above the subsystems they drive.
#pragma once

#include "adapter/adapter.h"

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
VOID WaitForReset(Adapter* adapter);

// lifecycle/shutdown.cpp: the adapter shutdown handler (context the Adapter), also run first by
// MiniportHalt, and the stop sequence behind it.
VOID NTAPI MiniportShutdown(PVOID shutdownContext);
KT735N_RESULT PrepareForShutdown(Adapter* adapter);
KT735N_RESULT ResetBulkPipes(Adapter* adapter);
BOOLEAN PipeRequest(Adapter* adapter, PURB urb, USHORT function, ULONG pipe);

// lifecycle/hang_check.cpp
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE miniportAdapterContext);
