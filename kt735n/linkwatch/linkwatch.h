// The link watch: a chain of asynchronous register requests, started by the hang check, that
// reads the active PHY, follows link changes, switches between the Ethernet and phone-line
// media, adapts speed and duplex to a changed Ethernet partner, and indicates media connect and
// disconnect to NDIS.
//
// Nothing here waits. Each request is issued from the completion routine of the one before, so
// a pass never blocks a thread. LinkWatchBusy, taken and given back with interlocked
// operations, lets one pass be in flight at a time; that pass is the only user of
// PhyCommandBuffer, LinkWatchReadBuffer, LinkWatchState and the two request-block pointers.
// LinkWatchRequestsInFlight counts the requests handed to the USB stack until their completion
// routine has finished with the Adapter, for MiniportHalt to wait on (LinkWatchIdle).
#pragma once

#include "adapter/adapter.h"

// Values of Adapter.LinkWatchState: the step of the pass in flight.
#define LINK_WATCH_COMMAND_WRITTEN 18 // the MII read command is on its way
#define LINK_WATCH_DATA_REQUESTED 19  // the 2-byte read of the MII data is on its way
#define LINK_WATCH_CONTROL1_WRITTEN 32
#define LINK_WATCH_TO_ETHERNET 256      // 256, 257, 258: switch to Ethernet
#define LINK_WATCH_ETHERNET_LOST 512    // 512, 513, 514: Ethernet link lost
#define LINK_WATCH_TO_PHONE_LINE 768    // 768, 769, 770: switch to the phone line
#define LINK_WATCH_PHONE_LINE_LOST 1024 // 1024, 1025, 1026: phone-line link lost

// ---- asynchronous register requests (linkwatch/async_request.cpp) ------------------------------

// Writes count chip registers from firstRegister on with the bytes at data, which must stay
// valid until LinkWatchWriteComplete runs (the link watch passes PhyCommandBuffer). wValue is
// always 0. Returns what IoCallDriver returned, or KT735N_FAILED when no request block or IRP
// could be had; nothing was then sent, what was taken is freed and the pass in flight has ended
// (LinkWatchBusy cleared), so the next hang check starts another.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
ULONG AsyncWriteRegisters(Adapter* adapter, USHORT count, USHORT firstRegister, PUCHAR data);
// Reads count chip registers from firstRegister on into LinkWatchReadBuffer, with
// LinkWatchReadComplete as the completion routine. Results as AsyncWriteRegisters; a count
// larger than LinkWatchReadBuffer is refused like a missing IRP.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
ULONG AsyncReadRegisters(Adapter* adapter, USHORT count, USHORT firstRegister);

// ---- the link watch state machine (linkwatch/link_watch.cpp) -----------------------------------

// Starts one pass when the adapter is running and no pass is in flight.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
VOID KickLinkWatch(Adapter* adapter);
// Ends the pass in flight: LinkWatchBusy back to 0.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
VOID EndLinkWatchPass(Adapter* adapter);
NTSTATUS NTAPI LinkWatchWriteComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
NTSTATUS NTAPI LinkWatchReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
// Takes a changed Ethernet partner ability: PartnerAbility, LinkSpeed, Duplex and Control1Shadow,
// then writes Control1 (LINK_WATCH_CONTROL1_WRITTEN).
// IRQL: up to DISPATCH_LEVEL. Locks: none.
VOID ApplyPartnerAbility(Adapter* adapter, USHORT ability);
// Tells NDIS the media state (KT735N_MEDIA_CONNECTED or KT735N_MEDIA_DISCONNECTED); the status
// itself only once initialization has finished (InitDone), the status-complete always. Returns
// KT735N_OK.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
KT735N_RESULT IndicateMediaState(Adapter* adapter, ULONG mediaState);
// TRUE when no link-watch request is with the USB stack and no link-watch completion routine is
// still working on the Adapter. MiniportHalt, once the adapter has left KT735N_DEVICE_RUNNING (so
// no pass starts any more), waits for this before releasing the Adapter.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
BOOLEAN LinkWatchIdle(Adapter* adapter);
