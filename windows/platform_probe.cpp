// Cross build only: a throw-away image that calls every platform routine the driver is allowed
// to use, the way the driver calls them. It proves that platform/platform.h exposes each name
// under the real DDK headers with warnings as errors, and that whatever each one turns into
// (an import, an inline, a call through the miniport block) stays within allowed-imports.txt.
// It is never shipped and never run.
#include "platform/platform.h"

namespace {

VOID NTAPI ProbeTimer(PVOID, PVOID context, PVOID, PVOID) {
    (void)context;
}
VOID NTAPI ProbeShutdown(PVOID) {}
NTSTATUS NTAPI ProbeCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct ProbeState {
    NDIS_HANDLE adapter;
    NDIS_SPIN_LOCK lock;
    NDIS_MINIPORT_TIMER timer;
    KSPIN_LOCK kernelLock;
    LIST_ENTRY list;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PDEVICE_OBJECT nextDevice;
    PNDIS_PACKET packet;
    PNDIS_BUFFER buffer;
    PUSB_CONFIGURATION_DESCRIPTOR configuration;
    NDIS_MINIPORT_INTERRUPT interrupt;
    URB urb;
};

void ProbeNdis(ProbeState* p) {
    PVOID memory = NULL;
    NDIS_STATUS status;
    NdisMSetAttributesEx(p->adapter, p, 0, NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceInternal);
    NdisAllocateMemoryWithTag(&memory, 64, 0x3537374B);
    NdisZeroMemory(memory, 64);
    NdisMoveMemory(memory, p, 16);

    NdisAllocateSpinLock(&p->lock);
    NdisAcquireSpinLock(&p->lock);
    NdisReleaseSpinLock(&p->lock);
    NdisDprAcquireSpinLock(&p->lock);
    NdisDprReleaseSpinLock(&p->lock);
    NdisFreeSpinLock(&p->lock);

    BOOLEAN cancelled;
    NdisMInitializeTimer(&p->timer, p->adapter, ProbeTimer, p);
    NdisSetTimer((PNDIS_TIMER)&p->timer, 2000);
    NdisMCancelTimer(&p->timer, &cancelled);

    NDIS_HANDLE configuration;
    NDIS_STRING keyword = NDIS_STRING_CONST("TxPacketDesc");
    PNDIS_CONFIGURATION_PARAMETER value;
    PVOID address;
    UINT addressLength;
    NdisOpenConfiguration(&status, &configuration, p->adapter);
    NdisReadConfiguration(&status, &value, configuration, &keyword, NdisParameterInteger);
    NdisReadNetworkAddress(&status, &address, &addressLength, configuration);
    NdisCloseConfiguration(configuration);

    PDEVICE_OBJECT physical, functional, next;
    NdisMGetDeviceProperty(p->adapter, &physical, &functional, &next, NULL, NULL);
    NdisMSleep(1000);
    NdisMRegisterAdapterShutdownHandler(p->adapter, p, ProbeShutdown);
    NdisMDeregisterAdapterShutdownHandler(p->adapter);

    NDIS_HANDLE packetPool, bufferPool;
    PNDIS_PACKET packet;
    PNDIS_BUFFER buffer;
    NdisAllocatePacketPool(&status, &packetPool, 4, 16);
    NdisAllocateBufferPool(&status, &bufferPool, 4);
    NdisAllocatePacket(&status, &packet, packetPool);
    NdisAllocateBuffer(&status, &buffer, bufferPool, memory, 64);
    NdisChainBufferAtFront(packet, buffer);
    NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_RESOURCES);

    UINT physicalCount, bufferCount, totalLength, length;
    PNDIS_BUFFER first;
    PVOID virtualAddress;
    NdisQueryPacket(p->packet, &physicalCount, &bufferCount, &first, &totalLength);
    NdisQueryBuffer(p->buffer, &virtualAddress, &length);
    NdisAdjustBufferLength(p->buffer, 10);

    NdisMIndicateReceivePacket(p->adapter, &packet, 1);
    NdisMSendComplete(p->adapter, p->packet, NDIS_STATUS_SUCCESS);
    NdisMSendResourcesAvailable(p->adapter);
    NdisMIndicateStatus(p->adapter, NDIS_STATUS_MEDIA_CONNECT, NULL, 0);
    NdisMIndicateStatusComplete(p->adapter);

    NdisFreePacket(packet);
    NdisFreeBuffer(buffer);
    NdisFreePacketPool(packetPool);
    NdisFreeBufferPool(bufferPool);
    NdisFreeMemory(memory, 64, 0);

    NDIS_PHYSICAL_ADDRESS physicalAddress;
    physicalAddress.QuadPart = 0;
    NdisMFreeSharedMemory(p->adapter, 64, FALSE, memory, physicalAddress);
    NdisMDeregisterIoPortRange(p->adapter, 0x300, 16, memory);
    NdisMDeregisterInterrupt(&p->interrupt);
    NdisMFreeMapRegisters(p->adapter);
}

void ProbeKernel(ProbeState* p) {
    PIRP irp = IoAllocateIrp(p->nextDevice->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &p->urb;
    IoSetCompletionRoutine(irp, ProbeCompletion, p, TRUE, TRUE, TRUE);
    IoCallDriver(p->nextDevice, irp);
    IoCancelIrp(irp);
    IoFreeIrp(irp);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -50000000LL;
    KeInitializeEvent(&p->event, NotificationEvent, FALSE);
    PIRP cycle = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, p->nextDevice, NULL,
                                               0, NULL, 0, TRUE, &p->event, &p->ioStatus);
    IoCallDriver(p->nextDevice, cycle);
    KeWaitForSingleObject(&p->event, Executive, KernelMode, FALSE, &timeout);
    KeDelayExecutionThread(KernelMode, FALSE, &timeout);

    KeInitializeSpinLock(&p->kernelLock);
    KeAcquireSpinLockAtDpcLevel(&p->kernelLock);
    KeReleaseSpinLockFromDpcLevel(&p->kernelLock);
    InitializeListHead(&p->list);
    PLIST_ENTRY entry = (PLIST_ENTRY)ExAllocatePoolWithTag(NonPagedPool, 64, 0x206D6457);
    ExInterlockedInsertTailList(&p->list, entry, &p->kernelLock);
    ExFreePool(ExInterlockedRemoveHeadList(&p->list, &p->kernelLock));

    KIRQL old;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeLowerIrql(old);
    }
}

void ProbeUsb(ProbeState* p) {
    UCHAR data[8];
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(p->configuration, p->configuration, 0, -1, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY interfaces[2] = {{interfaceDescriptor, NULL}, {NULL, NULL}};
    PURB select = USBD_CreateConfigurationRequestEx(p->configuration, interfaces);
    ExFreePool(select);

    UsbBuildVendorRequest(&p->urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0xF0, 0, 0, data,
                          NULL, sizeof(data), NULL);
    UsbBuildInterruptOrBulkTransferRequest(&p->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           NULL, data, NULL, sizeof(data),
                                           USBD_TRANSFER_DIRECTION_IN, NULL);
    UsbBuildGetDescriptorRequest(&p->urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, data, NULL, sizeof(data),
                                 NULL);
    UsbBuildFeatureRequest(&p->urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, 1, 0, NULL);
    UsbBuildFeatureRequest(&p->urb, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 1, 0, NULL);
    UsbBuildGetStatusRequest(&p->urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, data, NULL, NULL);
    p->urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    p->urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    p->urb.UrbHeader.Length = (USHORT)GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3);
}

} // namespace

extern "C" NTSTATUS NTAPI KT735NPlatformProbe(PVOID context) {
    ProbeState* p = (ProbeState*)context;
    ProbeNdis(p);
    ProbeKernel(p);
    ProbeUsb(p);
    return STATUS_SUCCESS;
}
