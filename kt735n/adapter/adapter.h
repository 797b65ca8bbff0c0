// The per-adapter record and its resource ledger.
//
// One `Adapter` exists per plugged-in KT735. NDIS holds it as the miniport adapter context; the
// driver passes it to every internal routine as the first argument and to every completion
// routine through the descriptor or request the completion belongs to. Every NDIS allocation of
// the initialization path is recorded in a `LedgerEntry` and given back by one walk at halt.
#pragma once

#include "platform/platform.h"

// The result of the driver's internal routines: KT735N_OK when the routine did its work,
// KT735N_FAILED when it did not (each routine says what was then left undone). The synchronous
// USB requests have a third result, KT735N_TIMED_OUT (usb/usb.h), which only they return.
typedef ULONG KT735N_RESULT;
#define KT735N_OK 1
#define KT735N_FAILED 2

// A pool tag from its four characters, lowest byte first, so that the tag reads as written in
// a pool dump. Built by shifts rather than as a multi-character constant.
#define KT735N_TAG(a, b, c, d)                                                                     \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) |                    \
     ((ULONG)(UCHAR)(d) << 24))

// The Adapter record itself. Constant.
#define KT735N_ADAPTER_TAG KT735N_TAG('a', 'a', 'Q', 'Z')
// Short-lived URBs, IRP helpers and queue nodes from nonpaged pool.
#define KT735N_POOL_TAG KT735N_TAG('W', 'd', 'm', ' ')
// First values of the two advancing tags (see LedgerBlockTag and TrackedAllocationTag).
#define KT735N_LEDGER_BLOCK_TAG_FIRST KT735N_TAG('0', '0', 'Q', 'Z')
#define KT735N_TRACKED_TAG_FIRST KT735N_TAG('a', 'b', 'Q', 'Z')

// Driver-wide tags of ledger blocks and tracked allocations. One is added after every allocation
// attempt made with the tag, successful or not, so consecutive allocations are told apart in a
// pool dump. Shared by all adapters, never reset while the image is loaded; taken and advanced
// in one interlocked step, since two adapters may be initialized on two processors at once.
extern ULONG LedgerBlockTag;
extern ULONG TrackedAllocationTag;

// Descriptor counts (Adapter.TxDescriptorCount, RxDescriptorCount) before the registry is read.
#define KT735N_DEFAULT_TX_DESCRIPTORS 40
#define KT735N_DEFAULT_RX_DESCRIPTORS 20
// The fewest receive descriptors the receive path runs with.
#define KT735N_MIN_RX_DESCRIPTORS 3
// A send keeps one descriptor back for a zero-length transfer; with two, waiting sends always
// find the pair they need once every descriptor is back.
#define KT735N_MIN_TX_DESCRIPTORS 2

// Values of Adapter.DeviceState.
#define KT735N_DEVICE_NOT_STARTED 0
#define KT735N_DEVICE_RUNNING 12
#define KT735N_DEVICE_SHUT_DOWN 14
#define KT735N_DEVICE_TRANSFER_FAILED 18
// MiniportReset's work is bringing the data path back; nothing is submitted meanwhile.
#define KT735N_DEVICE_RESETTING 20

// A ULONG field that one processor changes while another reads it (the statistics, the media
// state and the link speed, which the link watch and reset change while a query reads them):
// both sides use an interlocked operation, so that a reader sees either the old value or the new.
// IRQL: any. Locks: none.
inline ULONG ReadShared(ULONG* field) {
    return (ULONG)InterlockedCompareExchange((PLONG)field, 0, 0);
}
inline VOID StoreShared(ULONG* field, ULONG value) {
    InterlockedExchange((PLONG)field, (LONG)value);
}

// Values of Adapter.MediaState.
#define KT735N_MEDIA_CONNECTED 5
#define KT735N_MEDIA_DISCONNECTED 6

// Values of Adapter.LinkSpeed and Adapter.Duplex; both are KT735N_LINK_UNKNOWN until the media
// start has chosen them.
#define KT735N_LINK_UNKNOWN 0
#define KT735N_LINK_SPEED_10 1
#define KT735N_LINK_SPEED_100 2
#define KT735N_DUPLEX_HALF 1
#define KT735N_DUPLEX_FULL 2

// Values of Adapter.ActiveMedium (also the MII address of the PHY in use).
#define KT735N_MEDIUM_ETHERNET 1
#define KT735N_MEDIUM_PHONE_LINE 2

// Sizes of the register buffers and the wake-up pattern copy.
#define KT735N_REGISTER_READ_BUFFER_SIZE 20
#define KT735N_REGISTER_WRITE_BUFFER_SIZE 40
#define KT735N_WAKE_PATTERN_BUFFER_SIZE 168
#define KT735N_WAKE_SLOT_COUNT 3
#define KT735N_WAKE_SLOT_MASK_SIZE 16

// A transmit or receive unit; defined with the descriptor pools.
struct TransferDescriptor;
// A receive descriptor's packet and buffer; defined with the descriptor pools.
struct RxPacketSlot;

// A list of TransferDescriptors linked through their own next and previous pointers.
struct DescriptorList {
    TransferDescriptor* Head;
    TransferDescriptor* Tail;
    ULONG Count;
};

// The counters the statistics OIDs answer with. Counted with interlocked increments by the
// completion paths that own each one (bulk-out for transmit, bulk-in for receive), and cleared
// one by one with interlocked exchanges by MiniportReset, which may run on another processor
// meanwhile; read by the query handler.
struct AdapterStatistics {
    ULONG RxOkCount;
    ULONG RxCrcErrorCount;
    ULONG RxAlignErrorCount;
    ULONG TxOkCount;
    ULONG TxErrorCount;
    ULONG TxUnderrunCount;
    ULONG TxOneCollisionCount;
    ULONG TxDeferredCount;
};

// An IRP the driver allocated and passed to the USB stack, which a routine other than its
// completion may have to cancel: the bulk-out transfer with the stack, a link-watch request.
// Guarded by Adapter.IrpCancelLock. While Cancelling holds the IRP being cancelled the canceller
// may still use it, so that IRP's completion, running then, leaves it to the canceller to free
// (FreeDeferred). A later IRP of the slot that completes meanwhile is freed as usual.
struct CancellableIrp {
    PIRP Irp;
    PIRP Cancelling;
    UCHAR FreeDeferred;
};

// ---- the resource ledger ----------------------------------------------------------------------

// Kinds of ledger entries. An entry of kind 0 was taken but its allocation failed.
#define LEDGER_KIND_NONE 0
#define LEDGER_KIND_MEMORY 1
#define LEDGER_KIND_SHARED_MEMORY 2
#define LEDGER_KIND_IO_PORT_RANGE 3
#define LEDGER_KIND_INTERRUPT 4
#define LEDGER_KIND_MAP_REGISTERS 5
#define LEDGER_KIND_PACKET_POOL 6
#define LEDGER_KIND_BUFFER_POOL 7

struct LedgerEntry {
    LedgerEntry* Next;
    LedgerEntry* Prev;
    ULONG Kind;
    union {
        struct {
            ULONG Length;
            PVOID Address;
        } Memory;
        struct {
            ULONG Length;
            PVOID VirtualAddress;
            NDIS_PHYSICAL_ADDRESS PhysicalAddress;
            BOOLEAN Cached;
        } SharedMemory;
        struct {
            NDIS_HANDLE AdapterHandle;
            UINT PortCount;
            UINT InitialPort;
            PVOID PortOffset;
        } IoPortRange;
        NDIS_MINIPORT_INTERRUPT Interrupt;
        struct {
            NDIS_HANDLE PoolHandle;
        } PacketPool;
        struct {
            NDIS_HANDLE PoolHandle;
        } BufferPool;
    } Payload;
};

// Entries per ledger block. A block is one NDIS allocation; its first entry records the block.
#define LEDGER_ENTRIES_PER_BLOCK 15

// ---- the adapter record -------------------------------------------------------------------------

struct Adapter {
    // Configuration, from the registry keywords in brackets.
    ULONG TxDescriptorCount; // [TxPacketDesc], default 40
    ULONG RxDescriptorCount; // [RxPacketDesc], default 20
    ULONG MediaType;         // [MediaType] 0 automatic, 1-4 forced speed and duplex
    ULONG MediaSelect;       // [MediaSel] 0 detect, 1 Ethernet, 2 phone line
    ULONG MagicPacketWake;   // [MagicPkt]
    ULONG LinkChangeWake;    // [LinkWakeup]
    ULONG FlowControl;       // [FlowControl]
    ULONG FlowControlTx;     // [FlowControl_Tx]
    ULONG FlowControlRx;     // [FlowControl_Rx]
    ULONG HomeParameter;     // [HomePara]
    ULONG AliveParameter;    // [AlivePara]

    // Descriptor lists. FreeTxList under TxLock; FreeRxList and ReceivedList under RxLock.
    DescriptorList FreeTxList;
    DescriptorList FreeRxList;
    DescriptorList ReceivedList;

    // Statistics; MiniportReset clears them.
    AdapterStatistics Statistics;

    // Addresses and link.
    UCHAR CurrentAddress[6];
    // MediaState and LinkSpeed: ReadShared and StoreShared once the adapter runs.
    ULONG MediaState; // KT735N_MEDIA_CONNECTED or KT735N_MEDIA_DISCONNECTED
    ULONG LinkSpeed;  // KT735N_LINK_SPEED_10 or _100, KT735N_LINK_UNKNOWN before the media start
    ULONG Duplex;     // KT735N_DUPLEX_HALF or _FULL, KT735N_LINK_UNKNOWN before the media start
    UCHAR PhyAddress; // MII address of the active PHY
    UCHAR PhyType;    // phone-line PHY variant 0-3, or 255
    // KT735N_DEVICE_*: ReadShared and StoreShared (or an interlocked operation) once the
    // adapter runs, since completions, the hang check, reset and sends on other processors
    // test and change it.
    ULONG DeviceState;
    UCHAR PermanentAddress[6];

    // USB objects. Every USB request goes to NextDeviceObject.
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    UCHAR IrpStackSize;
    UCHAR DeviceDescriptor[sizeof(USB_DEVICE_DESCRIPTOR)];
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    USHORT VendorId;
    USHORT ProductId;

    // Register access buffers. No lock: register sequences run one at a time.
    UCHAR RegisterReadBuffer[KT735N_REGISTER_READ_BUFFER_SIZE];
    UCHAR RegisterWriteBuffer[KT735N_REGISTER_WRITE_BUFFER_SIZE];
    UCHAR PhyCommandBuffer[4];

    // Transmit submission.
    KSPIN_LOCK PendingIrpListLock; // guards PendingTxIrpList
    KSPIN_LOCK TxSubmitLock;       // guards TxIrpsInFlight and the submit-or-queue choice
    LIST_ENTRY PendingTxIrpList;
    UCHAR ZeroLengthPacketPending;

    // Chip shadows and link watch.
    UCHAR Control0Shadow;
    UCHAR Control1Shadow;
    UCHAR FlowControlBytes[2]; // for registers 0x1B and 0x1A, in that order
    UCHAR MediumSelectMiddle;
    PURB LinkWatchWriteUrb;
    PURB LinkWatchReadUrb;
    USHORT PartnerAbility;
    USHORT LinkWatchState;
    LONG LinkWatchBusy; // set and cleared with interlocked operations (linkwatch/)
    UCHAR ActiveMedium;

    // Wake-up.
    UCHAR WakePatternBuffer[KT735N_WAKE_PATTERN_BUFFER_SIZE];
    UCHAR WakeControlShadow;
    UCHAR WakeSlotMasks[KT735N_WAKE_SLOT_COUNT][KT735N_WAKE_SLOT_MASK_SIZE];

    // The set NDIS is waiting on (oid/set.cpp): checked and copied by MiniportSetInformation,
    // applied at PASSIVE_LEVEL by the work item, which completes it. SetPending is 1 from the
    // pended return until the work item has finished with the request (interlocked operations);
    // NDIS sends one request at a time, so the other fields have one writer at a time.
    NDIS_WORK_ITEM SetWorkItem;
    NDIS_OID PendingSetOid;
    ULONG PendingSetLength;
    PULONG PendingSetBytesRead;
    PULONG PendingSetBytesNeeded;
    UCHAR PendingRxModeBits;
    LONG SetPending;

    // Send bookkeeping. TxCompletedSinceCheck is set by every bulk-out completion and taken
    // (read and cleared in one step) by the hang check, both with interlocked operations.
    LONG TxCompletedSinceCheck;
    UCHAR SendingKeepAlive;
    LONG FreeTxCount; // under TxLock
    LONG TxIrpsInFlight;
    // 1 while the hang check sends a keep-alive, from before its test of DeviceState to its last
    // touch of the Adapter (interlocked operations); MiniportHalt waits for 0 (BulkOutIdle).
    LONG KeepAliveActive;
    // Bulk-out hand-over (datapath/transmit.cpp), both under TxSubmitLock. TxHandOverActive is 1
    // while one routine is passing waiting IRPs to the stack from its loop; TxHandOverDue tells
    // that loop that the IRP it passed down has completed and the next waiting one is due.
    UCHAR TxHandOverActive;
    UCHAR TxHandOverDue;

    // NDIS context.
    UCHAR InitDone;
    NDIS_HANDLE MiniportAdapterHandle;
    NDIS_HANDLE WrapperConfigurationContext;
    ULONG PacketFilter;
    NDIS_SPIN_LOCK TxLock;
    NDIS_SPIN_LOCK RxLock;
    NDIS_MINIPORT_TIMER ReceiveIndicateTimer;

    // Ledger. No lock: used only by initialize and halt, at PASSIVE_LEVEL, never concurrently.
    LedgerEntry* LedgerActiveHead; // newest entry in use
    LedgerEntry* LedgerActiveTail;
    ULONG LedgerActiveCount;
    LedgerEntry* LedgerFreeHead; // carved from a block, not yet handed out
    LedgerEntry* LedgerFreeTail;
    ULONG LedgerFreeCount;
    LONG LedgerTakenCount; // handed out by LedgerTakeEntry; blocks' own records not counted

    // Hang check.
    LONG IdleCheckCount;

    // Receive packet slots (chip/bringup.cpp): the tracked array of RxDescriptorCount slots,
    // kept so that the receive packets and buffers can be given back before their pools.
    RxPacketSlot* ReceiveSlots;

    // Receive submission (datapath/receive.cpp), under RxLock: bulk-in IRPs handed to the USB
    // stack (counted before they go down) whose completion routine has not yet finished with the
    // Adapter, and 1 from the arming of ReceiveIndicateTimer until the run it started has
    // found ReceivedList empty. MiniportHalt waits for both to be 0 before the release walk.
    LONG RxIrpsInFlight;
    UCHAR ReceiveIndicateQueued;

    // Link watch (linkwatch/). The asynchronous register read lands in LinkWatchReadBuffer, not
    // in RegisterReadBuffer, which the synchronous register sequences of the OID set paths use
    // at the same time. LinkWatchRequestsInFlight counts, with interlocked operations, the
    // link-watch requests handed to the USB stack whose completion routine has not yet
    // finished with the Adapter; MiniportHalt waits for LinkWatchIdle before the release walk.
    UCHAR LinkWatchReadBuffer[2];
    LONG LinkWatchRequestsInFlight;

    // Sends waiting for transmit descriptors (datapath/transmit.cpp), under TxLock: NDIS packets
    // linked through the first pointer of their MiniportReserved area, oldest first. While
    // WaitingSendsDraining is 1 while one routine is sending them, and no later send may pass them.
    PNDIS_PACKET WaitingSendHead;
    PNDIS_PACKET WaitingSendTail;
    ULONG WaitingSendCount;
    UCHAR WaitingSendsDraining;

    // IRPs that may be cancelled by someone other than their completion, under IrpCancelLock:
    // the bulk-out IRP with the stack (the hang check cancels one held too long) and the
    // link-watch request (halt cancels one the device never answers).
    KSPIN_LOCK IrpCancelLock;
    CancellableIrp TxIrpWithStack;
    CancellableIrp LinkWatchIrp;
    // Bulk-out IRPs passed to the stack so far (under IrpCancelLock), and what the hang check saw
    // of them: the count at its previous look and how many looks in a row found the same IRP.
    ULONG TxHandOverSerial;
    ULONG TxSerialAtCheck;
    LONG TxSameIrpChecks;

    // Recovery (lifecycle/reset.cpp). ResetInProgress is 1 from a pending MiniportReset until its
    // NdisMResetComplete; ResetHoldOffChecks counts down the hang checks after a reset request
    // that may not ask for another.
    NDIS_WORK_ITEM ResetWorkItem;
    LONG ResetInProgress;
    LONG ResetHoldOffChecks;
};

typedef Adapter* PADAPTER;

// ---- ledger routines (adapter/ledger.cpp) -------------------------------------------------------

LedgerEntry* LedgerTakeEntry(Adapter* adapter);
KT735N_RESULT AllocateTracked(Adapter* adapter, PVOID* out, ULONG length);
VOID LedgerReleaseAll(Adapter* adapter);

// ---- creation of the record (adapter/adapter.cpp)
// ------------------------------------------------

NDIS_STATUS CreateAdapter(NDIS_HANDLE miniportAdapterHandle,
                          NDIS_HANDLE wrapperConfigurationContext, Adapter** out);

// ---- registry configuration (adapter/registry.cpp) ----------------------------------------------

// 1 once the keyword Platform was found in any adapter's parameters; never cleared.
extern ULONG PlatformKeyPresent;
KT735N_RESULT ReadRegistryConfiguration(Adapter* adapter);
