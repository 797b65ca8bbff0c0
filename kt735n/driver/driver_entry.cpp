// Driver entry: makes the image an NDIS 5.0 connectionless miniport.
#include "platform/platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// Runs once per load of the image, at PASSIVE_LEVEL, before any adapter exists. Takes no locks.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    NDIS_HANDLE wrapperHandle = NULL;
    NdisInitializeWrapper(&wrapperHandle, driverObject, registryPath, NULL);

    NDIS_MINIPORT_CHARACTERISTICS characteristics;
    NdisZeroMemory(&characteristics, sizeof(characteristics));
    characteristics.Ndis40Chars.Ndis30Chars.MajorNdisVersion = 5;
    characteristics.Ndis40Chars.Ndis30Chars.MinorNdisVersion = 0;

    NDIS_STATUS status =
        NdisMRegisterMiniport(wrapperHandle, &characteristics, sizeof(characteristics));
    if (status != NDIS_STATUS_SUCCESS) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}
