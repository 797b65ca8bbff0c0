// Host declarations of the NDIS 5.0 miniport interface (ndis.h names): status codes, handles,
// the miniport characteristics, packets and buffers with their query macros, spin locks,
// timers, configuration, OIDs and the indications.
#pragma once

#include "host/ddk_io.h"

typedef LONG NDIS_STATUS;
typedef NDIS_STATUS* PNDIS_STATUS;
typedef PVOID NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef ULONG NDIS_OID;
typedef NDIS_OID* PNDIS_OID;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;
typedef UNICODE_STRING NDIS_STRING;
typedef NDIS_STRING* PNDIS_STRING;

#define NDIS_STRING_CONST(x)                                                                       \
    { sizeof(L##x) - sizeof(WCHAR), sizeof(L##x), (PWSTR)L##x }

// ---- status codes -----------------------------------------------------------------------------

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)STATUS_SUCCESS)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)STATUS_PENDING)
#define NDIS_STATUS_NOT_RECOGNIZED ((NDIS_STATUS)0x00010001L)
#define NDIS_STATUS_NOT_COPIED ((NDIS_STATUS)0x00010002L)
#define NDIS_STATUS_NOT_ACCEPTED ((NDIS_STATUS)0x00010003L)
#define NDIS_STATUS_RESET_START ((NDIS_STATUS)0x40010004L)
#define NDIS_STATUS_RESET_END ((NDIS_STATUS)0x40010005L)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000CL)
#define NDIS_STATUS_NOT_RESETTABLE ((NDIS_STATUS)0x80010001L)
#define NDIS_STATUS_SOFT_ERRORS ((NDIS_STATUS)0x80010003L)
#define NDIS_STATUS_HARD_ERRORS ((NDIS_STATUS)0x80010004L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)STATUS_UNSUCCESSFUL)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)STATUS_INSUFFICIENT_RESOURCES)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)STATUS_NOT_SUPPORTED)
#define NDIS_STATUS_CLOSING ((NDIS_STATUS)0xC0010002L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_REQUEST_ABORTED ((NDIS_STATUS)0xC001000CL)
#define NDIS_STATUS_RESET_IN_PROGRESS ((NDIS_STATUS)0xC001000DL)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006L)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009L)
#define NDIS_STATUS_INVALID_PACKET ((NDIS_STATUS)0xC001000FL)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_ADAPTER_REMOVED ((NDIS_STATUS)0xC0010018L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_OPEN_FAILED ((NDIS_STATUS)0xC0010007L)

// ---- media, interface types, attributes
// ----------------------------------------------------------

typedef enum _NDIS_MEDIUM {
    NdisMedium802_3,
    NdisMedium802_5,
    NdisMediumFddi,
    NdisMediumWan,
    NdisMediumLocalTalk,
    NdisMediumDix,
    NdisMediumArcnetRaw,
    NdisMediumArcnet878_2,
    NdisMediumAtm,
    NdisMediumWirelessWan,
    NdisMediumIrda,
    NdisMediumBpc,
    NdisMediumCoWan,
    NdisMedium1394,
    NdisMediumMax
} NDIS_MEDIUM,
    *PNDIS_MEDIUM;

typedef enum _NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1,
    NdisInterfaceEisa = 2,
    NdisInterfaceMca = 3,
    NdisInterfaceTurboChannel = 4,
    NdisInterfacePci = 5,
    NdisInterfacePcMcia = 8,
    NdisInterfaceCBus = 9,
    NdisInterfaceMPIBus = 10,
    NdisInterfaceMPSABus = 11,
    NdisInterfaceProcessorInternal = 12,
    NdisInterfaceInternalPowerBus = 13,
    NdisInterfacePNPISABus = 14,
    NdisInterfacePNPBus = 15,
} NDIS_INTERFACE_TYPE,
    *PNDIS_INTERFACE_TYPE;

#define NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT 0x00000001
#define NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT 0x00000002
#define NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS 0x00000004
#define NDIS_ATTRIBUTE_BUS_MASTER 0x00000008
#define NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER 0x00000010
#define NDIS_ATTRIBUTE_DESERIALIZE 0x00000020

// ---- buffers (MDLs)
// ---------------------------------------------------------------------------------

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

typedef MDL NDIS_BUFFER, *PNDIS_BUFFER;

// ---- packets
// ---------------------------------------------------------------------------------------

struct _NDIS_PACKET_POOL;
typedef struct _NDIS_PACKET_POOL* PNDIS_PACKET_POOL;

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;
    UINT TotalLength;
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    PNDIS_PACKET_POOL Pool;
    UINT Count;
    ULONG Flags;
    BOOLEAN ValidCounts;
    UCHAR NdisPacketFlags;
    USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE, *PNDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    union {
        struct {
            UCHAR MiniportReserved[2 * sizeof(PVOID)];
            UCHAR WrapperReserved[2 * sizeof(PVOID)];
        };
        struct {
            UCHAR MiniportReservedEx[3 * sizeof(PVOID)];
            UCHAR WrapperReservedEx[sizeof(PVOID)];
        };
        struct {
            UCHAR MacReserved[4 * sizeof(PVOID)];
        };
    };
    ULONG_PTR Reserved[2];
    UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET, **PPNDIS_PACKET;

// Out-of-band data, placed by NDIS behind the packet's protocol-reserved area.
typedef struct _NDIS_PACKET_OOB_DATA {
    union {
        ULONGLONG TimeToSend;
        ULONGLONG TimeSent;
    };
    ULONGLONG TimeReceived;
    UINT HeaderSize;
    UINT SizeMediaSpecificInfo;
    PVOID MediaSpecificInformation;
    NDIS_STATUS Status;
} NDIS_PACKET_OOB_DATA, *PNDIS_PACKET_OOB_DATA;

#define NDIS_OOB_DATA_FROM_PACKET(_p)                                                              \
    ((PNDIS_PACKET_OOB_DATA)((PUCHAR)(_p) + (_p)->Private.NdisPacketOobOffset))
#define NDIS_SET_PACKET_HEADER_SIZE(_p, _s) (NDIS_OOB_DATA_FROM_PACKET(_p)->HeaderSize = (_s))
#define NDIS_GET_PACKET_HEADER_SIZE(_p) (NDIS_OOB_DATA_FROM_PACKET(_p)->HeaderSize)
#define NDIS_SET_PACKET_STATUS(_p, _s) (NDIS_OOB_DATA_FROM_PACKET(_p)->Status = (_s))
#define NDIS_GET_PACKET_STATUS(_p) (NDIS_OOB_DATA_FROM_PACKET(_p)->Status)

// Buffer and packet query macros. They work on the structures directly, as the DDK's do.
#define NdisQueryBuffer(_Buffer, _VirtualAddress, _Length)                                         \
    {                                                                                              \
        PVOID* _va = (PVOID*)(_VirtualAddress);                                                    \
        if (_va != NULL) {                                                                         \
            *_va = (PVOID)((PUCHAR)(_Buffer)->StartVa + (_Buffer)->ByteOffset);                    \
        }                                                                                          \
        *(_Length) = (_Buffer)->ByteCount;                                                         \
    }

#define NdisAdjustBufferLength(_Buffer, _Length) (((_Buffer)->ByteCount) = (_Length))
#define NdisGetNextBuffer(_CurrentBuffer, _NextBuffer) (*(_NextBuffer) = (_CurrentBuffer)->Next)
#define NdisBufferLength(_Buffer) ((_Buffer)->ByteCount)

#define NdisRecalculatePacketCounts(_Packet)                                                       \
    {                                                                                              \
        PNDIS_BUFFER _TmpBuffer = (_Packet)->Private.Head;                                         \
        UINT _PhysicalCount = 0;                                                                   \
        UINT _Count = 0;                                                                           \
        UINT _TotalLength = 0;                                                                     \
        while (_TmpBuffer != NULL) {                                                               \
            _PhysicalCount += 1;                                                                   \
            _Count += 1;                                                                           \
            _TotalLength += _TmpBuffer->ByteCount;                                                 \
            _TmpBuffer = _TmpBuffer->Next;                                                         \
        }                                                                                          \
        (_Packet)->Private.PhysicalCount = _PhysicalCount;                                         \
        (_Packet)->Private.TotalLength = _TotalLength;                                             \
        (_Packet)->Private.Count = _Count;                                                         \
        (_Packet)->Private.ValidCounts = TRUE;                                                     \
    }

#define NdisQueryPacket(_Packet, _PhysicalBufferCount, _BufferCount, _FirstBuffer,                 \
                        _TotalPacketLength)                                                        \
    {                                                                                              \
        if ((_FirstBuffer) != NULL) {                                                              \
            PNDIS_BUFFER* _pFirstBuffer = (_FirstBuffer);                                          \
            *(_pFirstBuffer) = (_Packet)->Private.Head;                                            \
        }                                                                                          \
        if ((_TotalPacketLength) || (_BufferCount) || (_PhysicalBufferCount)) {                    \
            if (!(_Packet)->Private.ValidCounts) {                                                 \
                NdisRecalculatePacketCounts(_Packet);                                              \
            }                                                                                      \
            if (_PhysicalBufferCount) {                                                            \
                PUINT _pPhysicalBufferCount = (_PhysicalBufferCount);                              \
                *(_pPhysicalBufferCount) = (_Packet)->Private.PhysicalCount;                       \
            }                                                                                      \
            if (_BufferCount) {                                                                    \
                PUINT _pBufferCount = (_BufferCount);                                              \
                *(_pBufferCount) = (_Packet)->Private.Count;                                       \
            }                                                                                      \
            if (_TotalPacketLength) {                                                              \
                PUINT _pTotalPacketLength = (_TotalPacketLength);                                  \
                *(_pTotalPacketLength) = (_Packet)->Private.TotalLength;                           \
            }                                                                                      \
        }                                                                                          \
    }

#define NdisChainBufferAtFront(_Packet, _Buffer)                                                   \
    {                                                                                              \
        PNDIS_BUFFER _TmpBuffer = (_Buffer);                                                       \
        for (;;) {                                                                                 \
            if (_TmpBuffer->Next == (PNDIS_BUFFER)NULL)                                            \
                break;                                                                             \
            _TmpBuffer = _TmpBuffer->Next;                                                         \
        }                                                                                          \
        if ((_Packet)->Private.Head == NULL) {                                                     \
            (_Packet)->Private.Tail = _TmpBuffer;                                                  \
        }                                                                                          \
        _TmpBuffer->Next = (_Packet)->Private.Head;                                                \
        (_Packet)->Private.Head = (_Buffer);                                                       \
        (_Packet)->Private.ValidCounts = FALSE;                                                    \
    }

#define NdisChainBufferAtBack(_Packet, _Buffer)                                                    \
    {                                                                                              \
        PNDIS_BUFFER _TmpBuffer = (_Buffer);                                                       \
        while (_TmpBuffer->Next != NULL) {                                                         \
            _TmpBuffer = _TmpBuffer->Next;                                                         \
        }                                                                                          \
        if ((_Packet)->Private.Head != NULL) {                                                     \
            (_Packet)->Private.Tail->Next = (_Buffer);                                             \
        } else {                                                                                   \
            (_Packet)->Private.Head = (_Buffer);                                                   \
        }                                                                                          \
        (_Packet)->Private.Tail = _TmpBuffer;                                                      \
        (_Packet)->Private.ValidCounts = FALSE;                                                    \
    }

// ---- spin locks and timers
// ------------------------------------------------------------------------

typedef struct _NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

typedef VOID(NTAPI* PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                          PVOID SystemSpecific2, PVOID SystemSpecific3);

// The kernel timer and DPC a miniport timer embeds. The host keeps their state by address, so
// these only reserve the room the DDK's objects take.
typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULONGLONG DueTime;
    LIST_ENTRY TimerListEntry;
    PVOID Dpc;
    LONG Period;
} KTIMER, *PKTIMER;

typedef struct _KDPC {
    CSHORT Type;
    UCHAR Number;
    UCHAR Importance;
    LIST_ENTRY DpcListEntry;
    PVOID DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC, *PKDPC;

typedef struct _NDIS_TIMER {
    KTIMER Timer;
    KDPC Dpc;
} NDIS_TIMER, *PNDIS_TIMER;

typedef struct _NDIS_MINIPORT_TIMER {
    KTIMER Timer;
    KDPC Dpc;
    PNDIS_TIMER_FUNCTION MiniportTimerFunction;
    PVOID MiniportTimerContext;
    PVOID Miniport;
    struct _NDIS_MINIPORT_TIMER* NextDeferredTimer;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

// Work items: NDIS runs the routine once at PASSIVE_LEVEL in a system worker thread. NDIS.SYS is
// built with __stdcall as its default convention, so the routine is NTAPI here.
struct _NDIS_WORK_ITEM;
typedef VOID(NTAPI* NDIS_PROC)(struct _NDIS_WORK_ITEM*, PVOID);

typedef struct _NDIS_WORK_ITEM {
    PVOID Context;
    NDIS_PROC Routine;
    UCHAR WrapperReserved[8 * sizeof(PVOID)];
} NDIS_WORK_ITEM, *PNDIS_WORK_ITEM;

#define NdisInitializeWorkItem(_WI_, _R_, _C_)                                                     \
    {                                                                                              \
        (_WI_)->Context = _C_;                                                                     \
        (_WI_)->Routine = _R_;                                                                     \
    }

// Interrupt object: the ledger's payload union is sized by it; this miniport registers none.
typedef struct _NDIS_MINIPORT_INTERRUPT {
    PVOID InterruptObject;
    KSPIN_LOCK DpcCountLock;
    PVOID Reserved;
    PVOID MiniportIsr;
    PVOID MiniportDpc;
    KDPC InterruptDpc;
    PVOID Miniport;
    UCHAR DpcCount;
    BOOLEAN Filler1;
    KEVENT DpcsCompletedEvent;
    BOOLEAN SharedInterrupt;
    BOOLEAN IsrRequested;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

// ---- configuration
// -----------------------------------------------------------------------------------

typedef enum _NDIS_PARAMETER_TYPE {
    NdisParameterInteger,
    NdisParameterHexInteger,
    NdisParameterString,
    NdisParameterMultiString,
    NdisParameterBinary
} NDIS_PARAMETER_TYPE,
    *PNDIS_PARAMETER_TYPE;

typedef struct {
    USHORT Length;
    PVOID Buffer;
} BINARY_DATA;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
        BINARY_DATA BinaryData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

// Resource lists are never used by this miniport; NdisMGetDeviceProperty takes them as NULL.
typedef struct _CM_RESOURCE_LIST CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

// ---- miniport characteristics
// ------------------------------------------------------------------------

typedef BOOLEAN(NTAPI* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                 PUINT SelectedMediumIndex,
                                                 PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                 NDIS_HANDLE MiniportAdapterHandle,
                                                 NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NTAPI* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                   PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                        NDIS_OID Oid, PVOID InformationBuffer,
                                                        ULONG InformationBufferLength,
                                                        PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI* W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                            NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                                           UINT Flags);
typedef NDIS_STATUS(NTAPI* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                      NDIS_OID Oid, PVOID InformationBuffer,
                                                      ULONG InformationBufferLength,
                                                      PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                                    NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_HANDLE MiniportReceiveContext,
                                                    UINT ByteOffset, UINT BytesToTransfer);
typedef VOID(NTAPI* W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                             PNDIS_PACKET Packet);
typedef VOID(NTAPI* W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                            PPNDIS_PACKET PacketArray, UINT NumberOfPackets);
typedef VOID(NTAPI* W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                 PVOID VirtualAddress,
                                                 PNDIS_PHYSICAL_ADDRESS PhysicalAddress,
                                                 ULONG Length, PVOID Context);
typedef VOID(NTAPI* ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);

typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    USHORT Filler;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    union {
        W_SEND_HANDLER SendHandler;
        PVOID WanSendHandler;
    };
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    union {
        W_TRANSFER_DATA_HANDLER TransferDataHandler;
        PVOID WanTransferDataHandler;
    };
} NDIS30_MINIPORT_CHARACTERISTICS;

// As in the DDK's C++ form, the later versions nest the earlier ones.
typedef struct _NDIS40_MINIPORT_CHARACTERISTICS {
    NDIS30_MINIPORT_CHARACTERISTICS Ndis30Chars;
    W_RETURN_PACKET_HANDLER ReturnPacketHandler;
    W_SEND_PACKETS_HANDLER SendPacketsHandler;
    W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
} NDIS40_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS50_MINIPORT_CHARACTERISTICS {
    NDIS40_MINIPORT_CHARACTERISTICS Ndis40Chars;
    PVOID CoCreateVcHandler;
    PVOID CoDeleteVcHandler;
    PVOID CoActivateVcHandler;
    PVOID CoDeactivateVcHandler;
    PVOID CoSendPacketsHandler;
    PVOID CoRequestHandler;
} NDIS50_MINIPORT_CHARACTERISTICS;

typedef NDIS50_MINIPORT_CHARACTERISTICS NDIS_MINIPORT_CHARACTERISTICS;
typedef NDIS_MINIPORT_CHARACTERISTICS* PNDIS_MINIPORT_CHARACTERISTICS;

// ---- OIDs and their values
// ----------------------------------------------------------------------------

#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116
#define OID_GEN_SUPPORTED_GUIDS 0x00010117
#define OID_GEN_NETWORK_LAYER_ADDRESSES 0x00010118
#define OID_GEN_TRANSPORT_HEADER_OFFSET 0x00010119

#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105
#define OID_GEN_RCV_CRC_ERROR 0x0002020D

#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_MAC_OPTIONS 0x01010105
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103
#define OID_802_3_XMIT_DEFERRED 0x01020201
#define OID_802_3_XMIT_MAX_COLLISIONS 0x01020202
#define OID_802_3_RCV_OVERRUN 0x01020203
#define OID_802_3_XMIT_UNDERRUN 0x01020204

#define OID_PNP_CAPABILITIES 0xFD010100
#define OID_PNP_SET_POWER 0xFD010101
#define OID_PNP_QUERY_POWER 0xFD010102
#define OID_PNP_ADD_WAKE_UP_PATTERN 0xFD010103
#define OID_PNP_REMOVE_WAKE_UP_PATTERN 0xFD010104
#define OID_PNP_WAKE_UP_PATTERN_LIST 0xFD010105
#define OID_PNP_ENABLE_WAKE_UP 0xFD010106

#define OID_TCP_TASK_OFFLOAD 0xFC010201
#define OID_TCP_TASK_IPSEC_ADD_SA 0xFC010202
#define OID_TCP_TASK_IPSEC_DELETE_SA 0xFC010203

#define NDIS_PACKET_TYPE_DIRECTED 0x00000001
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x00000010
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020
#define NDIS_PACKET_TYPE_SMT 0x00000040
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x00000080
#define NDIS_PACKET_TYPE_GROUP 0x00001000
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x00002000
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x00004000
#define NDIS_PACKET_TYPE_MAC_FRAME 0x00008000

#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008
#define NDIS_MAC_OPTION_FULL_DUPLEX 0x00000010

typedef enum _NDIS_HARDWARE_STATUS {
    NdisHardwareStatusReady,
    NdisHardwareStatusInitializing,
    NdisHardwareStatusReset,
    NdisHardwareStatusClosing,
    NdisHardwareStatusNotReady
} NDIS_HARDWARE_STATUS,
    *PNDIS_HARDWARE_STATUS;

typedef enum _NDIS_MEDIA_STATE {
    NdisMediaStateConnected,
    NdisMediaStateDisconnected
} NDIS_MEDIA_STATE,
    *PNDIS_MEDIA_STATE;

typedef enum _NDIS_DEVICE_POWER_STATE {
    NdisDeviceStateUnspecified = 0,
    NdisDeviceStateD0,
    NdisDeviceStateD1,
    NdisDeviceStateD2,
    NdisDeviceStateD3,
    NdisDeviceStateMaximum
} NDIS_DEVICE_POWER_STATE,
    *PNDIS_DEVICE_POWER_STATE;

typedef struct _NDIS_PM_WAKE_UP_CAPABILITIES {
    NDIS_DEVICE_POWER_STATE MinMagicPacketWakeUp;
    NDIS_DEVICE_POWER_STATE MinPatternWakeUp;
    NDIS_DEVICE_POWER_STATE MinLinkChangeWakeUp;
} NDIS_PM_WAKE_UP_CAPABILITIES, *PNDIS_PM_WAKE_UP_CAPABILITIES;

typedef struct _NDIS_PNP_CAPABILITIES {
    ULONG Flags;
    NDIS_PM_WAKE_UP_CAPABILITIES WakeUpCapabilities;
} NDIS_PNP_CAPABILITIES, *PNDIS_PNP_CAPABILITIES;

typedef struct _NDIS_PM_PACKET_PATTERN {
    ULONG Priority;
    ULONG Reserved;
    ULONG MaskSize;
    ULONG PatternOffset;
    ULONG PatternSize;
    ULONG PatternFlags;
} NDIS_PM_PACKET_PATTERN, *PNDIS_PM_PACKET_PATTERN;

#define NDIS_PNP_WAKE_UP_MAGIC_PACKET 0x00000001
#define NDIS_PNP_WAKE_UP_PATTERN_MATCH 0x00000002
#define NDIS_PNP_WAKE_UP_LINK_CHANGE 0x00000004

// ---- routines
// -------------------------------------------------------------------------------------------

#define NdisZeroMemory(Destination, Length) RtlZeroMemory(Destination, Length)
#define NdisFillMemory(Destination, Length, Fill) RtlFillMemory(Destination, Length, Fill)
#define NdisMoveMemory(Destination, Source, Length) RtlCopyMemory(Destination, Source, Length)
#define NdisEqualMemory(Source1, Source2, Length) RtlEqualMemory(Source1, Source2, Length)

extern "C" {

// Registration
VOID NTAPI NdisMInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                  PVOID SystemSpecific2, PVOID SystemSpecific3);
VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength);
VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                NDIS_HANDLE MiniportAdapterContext, UINT CheckForHangTimeInSeconds,
                                ULONG AttributeFlags, NDIS_INTERFACE_TYPE AdapterType);
VOID NTAPI NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                               ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
VOID NTAPI NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);
VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                                  PDEVICE_OBJECT* PhysicalDeviceObject,
                                  PDEVICE_OBJECT* FunctionalDeviceObject,
                                  PDEVICE_OBJECT* NextDeviceObject,
                                  PCM_RESOURCE_LIST* AllocatedResources,
                                  PCM_RESOURCE_LIST* AllocatedResourcesTranslated);

// Memory
NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

// Spin locks
VOID NTAPI NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);

// Timers
VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NTAPI NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);
VOID NTAPI NdisMSleep(ULONG MicrosecondsToSleep);
NDIS_STATUS NTAPI NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem);

// Configuration
VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                 NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                 NDIS_PARAMETER_TYPE ParameterType);
VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                  PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle);
VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// Packets and buffers
VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors, UINT ProtocolReservedLength);
VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle);
VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet);
VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors);
VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle,
                              PVOID VirtualAddress, UINT Length);
VOID NTAPI NdisFreeBuffer(PNDIS_BUFFER Buffer);

// Resources this miniport never claims; the ledger knows their release calls.
VOID NTAPI NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                                 PVOID VirtualAddress, NDIS_PHYSICAL_ADDRESS PhysicalAddress);
VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                      UINT NumberOfPorts, PVOID PortOffset);
VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
VOID NTAPI NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle);

// Indications
VOID NTAPI NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle,
                                      PPNDIS_PACKET ReceivePackets, UINT NumberOfPackets);
VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                             NDIS_STATUS Status);
VOID NTAPI NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle);
// In the DDK these two are macros through the miniport block; here they are routines.
VOID NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
VOID NTAPI NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                               PVOID StatusBuffer, UINT StatusBufferSize);
VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
// Finishes a reset for which MiniportReset returned NDIS_STATUS_PENDING.
VOID NTAPI NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status,
                              BOOLEAN AddressingReset);

} // extern "C"

#define NdisInitializeWrapper(NdisWrapperHandle, SystemSpecific1, SystemSpecific2,                 \
                              SystemSpecific3)                                                     \
    NdisMInitializeWrapper(NdisWrapperHandle, SystemSpecific1, SystemSpecific2, SystemSpecific3)
