// Driver entry: makes the image an NDIS 5.0 connectionless miniport and puts the plug-and-play
// filter in front of the two driver-object entries NDIS fills in.
#include "driver/handlers.h"
#include "platform/placement.h"

PDRIVER_ADD_DEVICE SavedAddDevice = NULL;
PDRIVER_DISPATCH SavedPnpDispatch = NULL;

// Swaps NDIS's AddDevice and IRP_MJ_PNP entries for the filter's, keeping NDIS's routines for
// the filter to pass work on to. No other entry of the driver object is touched.
// IRQL: PASSIVE_LEVEL, from DriverEntry only. Locks: none.
KT735N_INIT_CODE VOID InstallPnpFilter(PDRIVER_OBJECT driverObject) {
    SavedAddDevice = driverObject->DriverExtension->AddDevice;
    driverObject->DriverExtension->AddDevice = FilterAddDevice;
    SavedPnpDispatch = driverObject->MajorFunction[IRP_MJ_PNP];
    driverObject->MajorFunction[IRP_MJ_PNP] = FilterPnpDispatch;
}

// Registers the handler table with NDIS and, once NDIS has accepted it, installs the filter.
// Returns STATUS_SUCCESS, or STATUS_UNSUCCESSFUL when NDIS refused the registration; the
// wrapper is then released and the driver object left as NDIS left it.
// IRQL: PASSIVE_LEVEL, once per load of the image, before any adapter exists. Locks: none.
extern "C" KT735N_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject,
                                                       PUNICODE_STRING registryPath) {
    NDIS_HANDLE wrapperHandle = NULL;
    NdisInitializeWrapper(&wrapperHandle, driverObject, registryPath, NULL);

    NDIS_MINIPORT_CHARACTERISTICS characteristics;
    NdisZeroMemory(&characteristics, sizeof(characteristics));
    NDIS30_MINIPORT_CHARACTERISTICS* ndis30 = &characteristics.Ndis40Chars.Ndis30Chars;
    ndis30->MajorNdisVersion = 5;
    ndis30->MinorNdisVersion = 0;
    ndis30->CheckForHangHandler = MiniportCheckForHang;
    ndis30->HaltHandler = MiniportHalt;
    ndis30->InitializeHandler = MiniportInitialize;
    ndis30->QueryInformationHandler = MiniportQueryInformation;
    ndis30->ResetHandler = MiniportReset;
    ndis30->SendHandler = MiniportSend;
    ndis30->SetInformationHandler = MiniportSetInformation;
    ndis30->TransferDataHandler = MiniportTransferData;
    characteristics.Ndis40Chars.ReturnPacketHandler = MiniportReturnPacket;

    NDIS_STATUS status =
        NdisMRegisterMiniport(wrapperHandle, &characteristics, sizeof(characteristics));
    if (status != NDIS_STATUS_SUCCESS) {
        NdisTerminateWrapper(wrapperHandle, NULL);
        return STATUS_UNSUCCESSFUL;
    }

    InstallPnpFilter(driverObject);
    return STATUS_SUCCESS;
}

// Does nothing: every received packet is indicated with NDIS_STATUS_RESOURCES, so NDIS copies
// the data during the indication and never returns a packet through this handler.
// IRQL: up to DISPATCH_LEVEL. Locks: none.
VOID NTAPI MiniportReturnPacket(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet) {
    UNREFERENCED_PARAMETER(miniportAdapterContext);
    UNREFERENCED_PARAMETER(packet);
}
