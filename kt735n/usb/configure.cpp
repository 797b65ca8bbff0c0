// USB device configuration: the device objects, the device and configuration descriptors, the
// first configuration with its single interface and its three pipes, then the remote wake-up
// feature cleared and the device status read.
#include "adapter/adapter.h"
#include "usb/usb.h"

// The configuration descriptor is read once, into a block of this size.
#define CONFIGURATION_DESCRIPTOR_READ_LENGTH 255
// Transfer size asked for on the two bulk pipes.
#define BULK_MAXIMUM_TRANSFER_SIZE 1536
// The interface the driver needs: bulk in, bulk out, interrupt.
#define REQUIRED_PIPE_COUNT 3

// Reads a descriptor of the device into buffer with the routine's own URB.
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT GetDescriptor(Adapter* adapter, PURB urb, UCHAR descriptorType, PVOID buffer,
                                   ULONG length) {
    NdisZeroMemory(urb, sizeof(URB));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 descriptorType, 0, 0, buffer, NULL, length, NULL);
    return SubmitUrbSync(adapter, urb);
}

// Configures the USB device for the adapter, in this order: device objects; device descriptor
// (an all-zero one means the device did not answer: the port is cycled and the configuration
// fails); configuration descriptor into a tracked 255-byte block; the first interface, which
// must offer exactly three pipes; SET_CONFIGURATION through a select-configuration URB from
// USBD, with 1536-byte transfers on the two bulk pipes; the pipe types checked (bulk, bulk,
// interrupt); a tracked copy of the interface information; CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP);
// GET_STATUS. Returns KT735N_OK on success, KT735N_FAILED on any failure. The select-configuration
// URB is freed on every path once it exists; the tracked blocks stay with the ledger.
//
// Only the bytes of the configuration descriptor actually read are parsed: when its total
// length claims more than the read delivered (more than the 255-byte block, or a short read),
// the total length in the copy is cut to what was read before USBD walks it.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT ConfigureUsbDevice(Adapter* adapter) {
    URB urb;

    GetDeviceObjects(adapter, &adapter->PhysicalDeviceObject, &adapter->FunctionalDeviceObject,
                     &adapter->NextDeviceObject);
    if (adapter->NextDeviceObject == NULL) {
        return KT735N_FAILED;
    }
    adapter->IrpStackSize = (UCHAR)(adapter->NextDeviceObject->StackSize + 1);

    // A device that does not answer fails the request and delivers nothing: the descriptor
    // stays all zero and the check below has the port cycled. Only a timeout ends here.
    if (GetDescriptor(adapter, &urb, USB_DEVICE_DESCRIPTOR_TYPE, adapter->DeviceDescriptor,
                      sizeof(adapter->DeviceDescriptor)) == KT735N_TIMED_OUT) {
        return KT735N_FAILED;
    }
    const PUSB_DEVICE_DESCRIPTOR device = (PUSB_DEVICE_DESCRIPTOR)adapter->DeviceDescriptor;
    adapter->VendorId = device->idVendor;
    adapter->ProductId = device->idProduct;
    if (device->idVendor == 0 && device->idProduct == 0 && device->bLength == 0) {
        // Nothing was delivered: ask the hub to enumerate the device again.
        SubmitPortRequestSync(adapter, IOCTL_INTERNAL_USB_CYCLE_PORT);
        return KT735N_FAILED;
    }

    PVOID block = NULL;
    if (AllocateTracked(adapter, &block, CONFIGURATION_DESCRIPTOR_READ_LENGTH) != KT735N_OK) {
        return KT735N_FAILED;
    }
    PUSB_CONFIGURATION_DESCRIPTOR configuration = (PUSB_CONFIGURATION_DESCRIPTOR)block;
    adapter->ConfigurationDescriptor = configuration;
    if (GetDescriptor(adapter, &urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration,
                      CONFIGURATION_DESCRIPTOR_READ_LENGTH) != KT735N_OK) {
        return KT735N_FAILED;
    }
    ULONG bytesRead = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (bytesRead > CONFIGURATION_DESCRIPTOR_READ_LENGTH) {
        bytesRead = CONFIGURATION_DESCRIPTOR_READ_LENGTH;
    }
    if (bytesRead < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        // Not even the header arrived; what the block holds describes nothing.
        configuration->wTotalLength = 0;
    } else if (configuration->wTotalLength > bytesRead) {
        configuration->wTotalLength = (USHORT)bytesRead;
    }

    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == NULL) {
        return KT735N_FAILED;
    }

    USBD_INTERFACE_LIST_ENTRY interfaces[2];
    interfaces[0].InterfaceDescriptor = interfaceDescriptor;
    interfaces[0].Interface = NULL;
    interfaces[1].InterfaceDescriptor = NULL;
    interfaces[1].Interface = NULL;
    PURB select = USBD_CreateConfigurationRequestEx(configuration, interfaces);
    if (select == NULL) {
        return KT735N_FAILED;
    }

    PUSBD_INTERFACE_INFORMATION info = interfaces[0].Interface;
    if (info == NULL || info->NumberOfPipes != REQUIRED_PIPE_COUNT) {
        ExFreePool(select);
        return KT735N_FAILED;
    }
    info->Pipes[PIPE_BULK_IN].MaximumTransferSize = BULK_MAXIMUM_TRANSFER_SIZE;
    info->Pipes[PIPE_BULK_IN].PipeFlags = 0;
    info->Pipes[PIPE_BULK_OUT].MaximumTransferSize = BULK_MAXIMUM_TRANSFER_SIZE;
    info->Pipes[PIPE_BULK_OUT].PipeFlags = 0;

    UsbBuildSelectConfigurationRequest(
        select, (USHORT)GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, info->NumberOfPipes),
        configuration);
    if (SubmitUrbSync(adapter, select) != KT735N_OK) {
        ExFreePool(select);
        return KT735N_FAILED;
    }

    if (info->Pipes[PIPE_BULK_IN].PipeType != UsbdPipeTypeBulk ||
        info->Pipes[PIPE_BULK_OUT].PipeType != UsbdPipeTypeBulk ||
        info->Pipes[PIPE_INTERRUPT].PipeType != UsbdPipeTypeInterrupt) {
        ExFreePool(select);
        return KT735N_FAILED;
    }
    adapter->ConfigurationHandle = select->UrbSelectConfiguration.ConfigurationHandle;

    PVOID copy = NULL;
    if (AllocateTracked(adapter, &copy, info->Length) != KT735N_OK) {
        ExFreePool(select);
        return KT735N_FAILED;
    }
    NdisMoveMemory(copy, info, info->Length);
    adapter->InterfaceInfo = (PUSBD_INTERFACE_INFORMATION)copy;
    ExFreePool(select);

    NdisZeroMemory(&urb, sizeof(urb));
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           NULL);
    if (SubmitUrbSync(adapter, &urb) != KT735N_OK) {
        return KT735N_FAILED;
    }

    NdisZeroMemory(&urb, sizeof(urb));
    UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0,
                             adapter->RegisterReadBuffer, NULL, NULL);
    return SubmitUrbSync(adapter, &urb) == KT735N_OK ? KT735N_OK : KT735N_FAILED;
}
