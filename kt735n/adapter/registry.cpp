// Registry configuration: the adapter's keywords, read once per adapter during the bring-up.
//
// Every keyword is read as an integer; a keyword that is missing or unreadable leaves its field
// as it was (the descriptor counts set by the bring-up, 0 for the rest). No value is checked
// against a range here: the table's ranges are those the consuming routines handle, and the
// ones the installation offers; a value outside them is still stored as read.
#include "adapter/adapter.h"

// 1 once any adapter's parameters held the keyword Platform, whatever its value. Driver-wide,
// starts at 0 when the image is loaded and is never cleared; the plug-and-play filter reads it.
ULONG PlatformKeyPresent = 0;

// One keyword of the adapter's parameters and the Adapter field it fills.
struct RegistryKeyword {
    NDIS_STRING Keyword;
    ULONG Adapter::*Field; // the Adapter field it fills
    ULONG Default;         // what the field holds when the keyword is absent
    ULONG Minimum;         // the range the driver handles and the installation offers
    ULONG Maximum;
};

#define ADAPTER_FIELD(field) (&Adapter::field)

// The keywords, in the order they are read. Defaults: the two descriptor counts are set by the
// bring-up before this read; every other field is 0 in the freshly zeroed Adapter.
static const RegistryKeyword RegistryKeywords[] = {
    // Number of transmit descriptors.
    {NDIS_STRING_CONST("TxPacketDesc"), ADAPTER_FIELD(TxDescriptorCount),
     KT735N_DEFAULT_TX_DESCRIPTORS, KT735N_MIN_TX_DESCRIPTORS, 1024},
    // Number of receive descriptors; the bring-up raises a value below 3 to 3.
    {NDIS_STRING_CONST("RxPacketDesc"), ADAPTER_FIELD(RxDescriptorCount),
     KT735N_DEFAULT_RX_DESCRIPTORS, KT735N_MIN_RX_DESCRIPTORS, 1024},
    // Ethernet speed and duplex: 0 auto-negotiation, 1 10 half, 2 10 full, 3 100 half, 4 100 full.
    {NDIS_STRING_CONST("MediaType"), ADAPTER_FIELD(MediaType), 0, 0, 4},
    // Medium: 0 detect, 1 Ethernet PHY, 2 phone-line PHY.
    {NDIS_STRING_CONST("MediaSel"), ADAPTER_FIELD(MediaSelect), 0, 0, 2},
    // 0: wake on a magic packet (bit 0x80 of the wake control register); otherwise not.
    {NDIS_STRING_CONST("MagicPkt"), ADAPTER_FIELD(MagicPacketWake), 0, 0, 1},
    // 0: wake on a link change (bit 0x40 of the wake control register); otherwise not.
    {NDIS_STRING_CONST("LinkWakeup"), ADAPTER_FIELD(LinkChangeWake), 0, 0, 1},
    // 0: program flow control from the next two keywords; otherwise leave it alone.
    {NDIS_STRING_CONST("FlowControl"), ADAPTER_FIELD(FlowControl), 0, 0, 1},
    // Transmit flow-control setting (register 0x1A): 0 off, else (1 << value) | 1.
    {NDIS_STRING_CONST("FlowControl_Tx"), ADAPTER_FIELD(FlowControlTx), 0, 0, 7},
    // Receive flow-control setting (register 0x1B), as FlowControl_Tx.
    {NDIS_STRING_CONST("FlowControl_Rx"), ADAPTER_FIELD(FlowControlRx), 0, 0, 7},
    // Stored; nothing consults it.
    {NDIS_STRING_CONST("HomePara"), ADAPTER_FIELD(HomeParameter), 0, 0, 0xFFFFFFFF},
    // Keep-alive control (register 0x1C): 0 leaves it alone, 1-4 select 0x81/0x84/0x90/0x9F.
    {NDIS_STRING_CONST("AlivePara"), ADAPTER_FIELD(AliveParameter), 0, 0, 4},
};

// Read only for its presence; sets PlatformKeyPresent.
static const NDIS_STRING PlatformKeyword = NDIS_STRING_CONST("Platform");

// Length of the network-address override the driver accepts.
#define NETWORK_ADDRESS_LENGTH 6

// Reads an integer keyword. Returns TRUE with *value set when the keyword exists and reads as
// an integer.
// IRQL: PASSIVE_LEVEL. Locks: none.
static BOOLEAN ReadIntegerKeyword(NDIS_HANDLE configuration, const NDIS_STRING* keyword,
                                  PULONG value) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    PNDIS_CONFIGURATION_PARAMETER parameter = NULL;
    NdisReadConfiguration(&status, &parameter, configuration, (PNDIS_STRING)keyword,
                          NdisParameterInteger);
    if (status != NDIS_STATUS_SUCCESS || parameter == NULL) {
        return FALSE;
    }
    *value = parameter->ParameterData.IntegerData;
    return TRUE;
}

// Opens the adapter's configuration, notes whether Platform exists, reads the eleven keywords
// into their fields in table order, takes a network address of exactly 6 bytes into
// CurrentAddress, and closes the configuration. Returns KT735N_OK when the configuration opened
// (whatever it held), 2 when it could not be opened; then nothing has been read or changed.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT ReadRegistryConfiguration(Adapter* adapter) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE configuration = NULL;
    NdisOpenConfiguration(&status, &configuration, adapter->WrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) {
        return KT735N_FAILED;
    }

    ULONG value = 0;
    if (ReadIntegerKeyword(configuration, &PlatformKeyword, &value)) {
        PlatformKeyPresent = 1;
    }

    for (ULONG i = 0; i < sizeof(RegistryKeywords) / sizeof(RegistryKeywords[0]); ++i) {
        const RegistryKeyword* row = &RegistryKeywords[i];
        if (ReadIntegerKeyword(configuration, &row->Keyword, &value)) {
            adapter->*row->Field = value;
        }
    }

    PVOID address = NULL;
    UINT length = 0;
    NdisReadNetworkAddress(&status, &address, &length, configuration);
    if (status == NDIS_STATUS_SUCCESS && address != NULL && length == NETWORK_ADDRESS_LENGTH) {
        NdisMoveMemory(adapter->CurrentAddress, address, NETWORK_ADDRESS_LENGTH);
    }

    NdisCloseConfiguration(configuration);
    return KT735N_OK;
}
