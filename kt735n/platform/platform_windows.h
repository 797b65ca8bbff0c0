// The Windows side of platform.h: mingw-w64's DDK headers (ntddk.h, ndis.h, usb.h, usbdi.h,
// usbioctl.h, usbdlib.h) set up for an NDIS 5.0 WDM miniport on Windows 2000, 32-bit x86.
//
// Compiled only in the cross build (KT735N_WINDOWS). The workarounds below cover defects of
// mingw-w64's DDK headers (10.0.0) when they are compiled as C++; each says which.
#pragma once

#if !defined(KT735N_WINDOWS)
#error "platform_windows.h is for the Windows cross build only; include platform/platform.h"
#endif

// --- Target: Windows 2000, NDIS 5.0 miniport over WDM ------------------------------------------
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0500
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x05000000
#endif
#include <sdkddkver.h>
// wdm.h tests NTDDI_WINVISTA, which sdkddkver.h spells NTDDI_VISTA.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif

#define NDIS_MINIPORT_DRIVER 1
#define NDIS50_MINIPORT 1 // selects the NDIS 5.0 structures (96-byte characteristics)
#define NDIS_WDM 1
// Keeps the lookaside inlines on the Windows 2000 list routines instead of XP's SList ones.
#define _WIN2K_COMPAT_SLIST_USAGE 1

// intrin-impl.h and wdm.h both define these two; keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>

// ntddndis.h (the user-mode copy, pulled in by ndis.h) and ndis.h both define
// enum _NDIS_REQUEST_TYPE. Include ntddndis.h first under other names so that ndis.h's
// include of it is a no-op, and ndis.h's definition is the one driver code sees.
#define _NDIS_REQUEST_TYPE KT735N_UM_NDIS_REQUEST_TYPE
#define NDIS_REQUEST_TYPE KT735N_UM_NDIS_REQUEST_TYPE_T
#define PNDIS_REQUEST_TYPE KT735N_UM_PNDIS_REQUEST_TYPE_T
#define NdisRequestQueryInformation KT735N_UmNdisRequestQueryInformation
#define NdisRequestSetInformation KT735N_UmNdisRequestSetInformation
#define NdisRequestQueryStatistics KT735N_UmNdisRequestQueryStatistics
#define NdisRequestOpen KT735N_UmNdisRequestOpen
#define NdisRequestClose KT735N_UmNdisRequestClose
#define NdisRequestSend KT735N_UmNdisRequestSend
#define NdisRequestTransferData KT735N_UmNdisRequestTransferData
#define NdisRequestReset KT735N_UmNdisRequestReset
#define NdisRequestGeneric1 KT735N_UmNdisRequestGeneric1
#define NdisRequestGeneric2 KT735N_UmNdisRequestGeneric2
#define NdisRequestGeneric3 KT735N_UmNdisRequestGeneric3
#define NdisRequestGeneric4 KT735N_UmNdisRequestGeneric4
#include <ntddndis.h>
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4
// ndis.h defines these two again, spelled 0x0F instead of 0x0f.
#undef NDIS_PROTOCOL_ID_MAX
#undef NDIS_PROTOCOL_ID_MASK

// ndis.h's prototype of NdisMWanIndicateReceiveComplete misses a comma between its
// parameters; the driver has no WAN side, so turn the declaration into a harmless one.
#define NdisMWanIndicateReceiveComplete(handle) KT735N_UnusedWanIndicateReceiveComplete(void)
#define NdisQueryPacket KT735N_NdisQueryPacketOfNdisH
#include <ndis.h>
#undef NdisMWanIndicateReceiveComplete

// ndis.h declares NDIS_PROC without a calling convention, but NDIS.SYS (built, like the DDK's
// drivers, with __stdcall as its default) calls a work item's routine as __stdcall. The routines
// are declared NTAPI, as the host declares NDIS_PROC; the item stores them through a cast.
#undef NdisInitializeWorkItem
#define NdisInitializeWorkItem(_WI_, _R_, _C_)                                                     \
    {                                                                                              \
        VOID(NTAPI* _routine_)(struct _NDIS_WORK_ITEM*, PVOID) = (_R_);                            \
        (_WI_)->Context = (_C_);                                                                   \
        (_WI_)->Routine = (NDIS_PROC)(PVOID)_routine_;                                             \
    }

extern "C" {
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

// Not in mingw-w64's ndis.h: a counted NDIS_STRING from a wide string literal.
#ifndef NDIS_STRING_CONST
#define NDIS_STRING_CONST(x)                                                                       \
    { sizeof(L##x) - sizeof(WCHAR), sizeof(L##x), (PWSTR)L##x }
#endif

// mingw-w64's ndis.h declares NDIS_BUFFER_TO_SPAN_PAGES as an NDIS.SYS routine, and its inline
// NdisQueryPacket calls it whenever a packet's counts are stale. Compute it from the MDL, as the
// DDK macro does, and use a NdisQueryPacket that does the same, so the image does not depend on
// that export. ndis.h's own NdisQueryPacket is renamed out of the way (see the include above).
#undef NDIS_BUFFER_TO_SPAN_PAGES
#define NDIS_BUFFER_TO_SPAN_PAGES(_Buffer)                                                         \
    (MmGetMdlByteCount(_Buffer) == 0                                                               \
         ? 1                                                                                       \
         : ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(_Buffer),                         \
                                          MmGetMdlByteCount(_Buffer)))

#undef NdisQueryPacket
static __inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount,
                                     PUINT BufferCount, PNDIS_BUFFER* FirstBuffer,
                                     PUINT TotalPacketLength) {
    if (FirstBuffer) {
        *FirstBuffer = Packet->Private.Head;
    }
    if (!TotalPacketLength && !BufferCount && !PhysicalBufferCount) {
        return;
    }
    if (!Packet->Private.ValidCounts) {
        UINT physical = 0;
        UINT total = 0;
        UINT count = 0;
        for (PNDIS_BUFFER b = Packet->Private.Head; b != NULL; b = b->Next) {
            physical += NDIS_BUFFER_TO_SPAN_PAGES(b);
            total += MmGetMdlByteCount(b);
            count++;
        }
        Packet->Private.PhysicalCount = physical;
        Packet->Private.TotalLength = total;
        Packet->Private.Count = count;
        Packet->Private.ValidCounts = TRUE;
    }
    if (PhysicalBufferCount) {
        *PhysicalBufferCount = Packet->Private.PhysicalCount;
    }
    if (BufferCount) {
        *BufferCount = Packet->Private.Count;
    }
    if (TotalPacketLength) {
        *TotalPacketLength = Packet->Private.TotalLength;
    }
}

// --- 32-bit layouts the driver and the USB stack share ------------------------------------------
// Request blocks and the handler table are sized by the target's own structures; if a header
// change moved any of these, requests built by the driver would no longer match what USBD and
// NDIS on Windows 2000 expect.
static_assert(sizeof(void*) == 4, "KT735N.sys is a 32-bit x86 image");
static_assert(sizeof(URB) == 96, "URB union");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "vendor request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) <= sizeof(URB), "descriptor URB");
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3) == 100, "select-configuration URB");
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 96, "NDIS 5.0 characteristics");
static_assert(sizeof(NDIS_PACKET) == 60, "NDIS_PACKET with its miniport reserved area");
static_assert(sizeof(IRP) == 112 && sizeof(IO_STACK_LOCATION) == 36, "IRP and stack location");
