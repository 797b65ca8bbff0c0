// From a URB to a transfer: the setup packet each URB function puts on the wire, the pipe or
// endpoint it addresses and its buffer, checked as the USB stack checks them, and the pipes and
// interface handles a select-configuration URB hands back.
#include <algorithm>

#include "host/kernel.h"
#include "host/usb_bus.h"

namespace host::usb {

using namespace ch9;

std::vector<std::uint8_t> SetupPacket::bytes() const {
    return {bmRequestType,
            bRequest,
            static_cast<std::uint8_t>(wValue),
            static_cast<std::uint8_t>(wValue >> 8),
            static_cast<std::uint8_t>(wIndex),
            static_cast<std::uint8_t>(wIndex >> 8),
            static_cast<std::uint8_t>(wLength),
            static_cast<std::uint8_t>(wLength >> 8)};
}

namespace {

// URB functions beyond those the driver's headers name.
constexpr USHORT kClassInterface = 0x001B;
constexpr USHORT kClassEndpoint = 0x001C;

// The endpoint descriptors that follow an interface descriptor, up to the next interface.
std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpointsOf(const USB_CONFIGURATION_DESCRIPTOR* config,
                                                        const USB_INTERFACE_DESCRIPTOR* interface) {
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
    auto* end = reinterpret_cast<const UCHAR*>(config) + configurationBytes(config);
    auto* at = reinterpret_cast<const UCHAR*>(interface) + interface->bLength;
    while (end - at >= 2 && at[0] >= 2 && at[0] <= end - at &&
           at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
        if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(at));
        }
        at += at[0];
    }
    return endpoints;
}

// Walks the interface information blocks of a select-configuration URB. Returns false when one
// does not fit the URB or does not describe an interface of the configuration.
template <typename Fn>
bool forEachInterface(PURB urb, Fn&& fn) {
    PUSB_CONFIGURATION_DESCRIPTOR config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    std::size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    std::size_t length = urb->UrbHeader.Length;
    for (UCHAR i = 0; i < std::max<UCHAR>(config->bNumInterfaces, 1); ++i) {
        if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > length) {
            return false;
        }
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (interface == nullptr) {
            return false;
        }
        auto endpoints = endpointsOf(config, interface);
        std::size_t needed = GET_USBD_INTERFACE_SIZE(std::max<std::size_t>(endpoints.size(), 1));
        if (endpoints.size() != interface->bNumEndpoints || info->Length < needed ||
            offset + info->Length > length) {
            return false;
        }
        fn(info, interface, endpoints);
        offset += info->Length;
    }
    return true;
}

} // namespace

USBD_STATUS Bus::describe(PURB urb, Transfer& t) {
    USHORT f = urb->UrbHeader.Function;
    t.function = f;
    auto control = [&](std::uint8_t bm, std::uint8_t request, std::uint16_t value,
                       std::uint16_t index, std::size_t length, PVOID buffer) -> USBD_STATUS {
        // bMaxPacketSize0 of the device descriptor read at enumeration.
        t.maxPacket =
            deviceDescriptor_.size() > 7 && deviceDescriptor_[7] != 0 ? deviceDescriptor_[7] : 8;
        t.setup = SetupPacket{bm, request, value, index, static_cast<std::uint16_t>(length)};
        t.in = (bm & 0x80) != 0;
        t.endpoint = t.in ? 0x80 : 0x00;
        t.requested = length;
        if (length > 0xFFFF || (length != 0 && buffer == nullptr)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        t.buffer = static_cast<std::uint8_t*>(buffer);
        return USBD_STATUS_SUCCESS;
    };
    switch (f) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        PUSB_CONFIGURATION_DESCRIPTOR config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        if (config != nullptr &&
            (configurationBytes(config) < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
             config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
             !forEachInterface(urb, [](auto, auto, auto&) {}))) {
            control(0x00, kSetConfiguration, 0, 0, 0, nullptr);
            return USBD_STATUS_INVALID_PARAMETER;
        }
        return control(0x00, kSetConfiguration, config ? config->bConfigurationValue : 0, 0, 0,
                       nullptr);
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& r = urb->UrbControlDescriptorRequest;
        return control(0x80, kGetDescriptor,
                       static_cast<std::uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                       r.TransferBufferLength, r.TransferBuffer);
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
        auto& r = urb->UrbControlFeatureRequest;
        bool set = f <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
        auto recipient = static_cast<std::uint8_t>(
            f - (set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE));
        return control(recipient, set ? kSetFeature : kClearFeature, r.FeatureSelector, r.Index, 0,
                       nullptr);
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
        auto& r = urb->UrbControlGetStatusRequest;
        auto recipient = static_cast<std::uint8_t>(f - URB_FUNCTION_GET_STATUS_FROM_DEVICE);
        return control(static_cast<std::uint8_t>(0x80 | recipient), kGetStatus, 0, r.Index,
                       r.TransferBufferLength, r.TransferBuffer);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case kClassInterface:
    case kClassEndpoint: {
        auto& r = urb->UrbControlVendorClassRequest;
        bool vendor = f <= URB_FUNCTION_VENDOR_ENDPOINT;
        auto recipient = static_cast<std::uint8_t>(
            f - (vendor ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE));
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        auto bm = static_cast<std::uint8_t>((in ? 0x80 : 0x00) | (vendor ? 0x40 : 0x20) |
                                            recipient | r.RequestTypeReservedBits);
        t.shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        return control(bm, r.Request, r.Value, r.Index, r.TransferBufferLength, r.TransferBuffer);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto& r = urb->UrbControlTransfer;
        const UCHAR* s = r.SetupPacket;
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        t.shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        auto bm = static_cast<std::uint8_t>((s[0] & 0x7F) | (in ? 0x80 : 0x00));
        return control(bm, s[1], static_cast<std::uint16_t>(s[2] | s[3] << 8),
                       static_cast<std::uint16_t>(s[4] | s[5] << 8), r.TransferBufferLength,
                       r.TransferBuffer);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return describeBulk(urb, t);
    case URB_FUNCTION_ABORT_PIPE: {
        const Pipe* p = findPipe(urb->UrbPipeRequest.PipeHandle);
        if (p == nullptr) {
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        // The request runs on the pipe it aborts (for the log and faults), taking no packets.
        t.endpoint = p->endpoint;
        t.interval = p->interval;
        t.maxPacket = p->packetSize();
        t.target = p->endpoint;
        t.pipeType = UsbdPipeTypeControl;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_RESET_PIPE: {
        const Pipe* p = findPipe(urb->UrbPipeRequest.PipeHandle);
        if (p == nullptr) {
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        t.target = p->endpoint;
        // CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint, on the default pipe.
        return control(0x02, kClearFeature, kFeatureEndpointHalt, p->endpoint, 0, nullptr);
    }
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

USBD_STATUS Bus::describeBulk(PURB urb, Transfer& t) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    t.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    const Pipe* p = findPipe(r.PipeHandle);
    if (p == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    takeBulk(r, *p, t);
    return r.TransferBufferLength != 0 && r.TransferBuffer == nullptr
               ? USBD_STATUS_INVALID_PARAMETER
               : USBD_STATUS_SUCCESS;
}

void Bus::selectConfiguration(Transfer& t) {
    PURB urb = t.urb;
    PUSB_CONFIGURATION_DESCRIPTOR config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    livePipes_.clear();
    halted_.reset();
    if (config == nullptr) {
        configuration_ = 0;
        urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
        return;
    }
    configuration_ = config->bConfigurationValue;
    urb->UrbSelectConfiguration.ConfigurationHandle = &configurationHandle_;
    forEachInterface(urb, [this](PUSBD_INTERFACE_INFORMATION info,
                                 PUSB_INTERFACE_DESCRIPTOR interface,
                                 const std::vector<const USB_ENDPOINT_DESCRIPTOR*>& endpoints) {
        info->Class = interface->bInterfaceClass;
        info->SubClass = interface->bInterfaceSubClass;
        info->Protocol = interface->bInterfaceProtocol;
        // The interface handle is a bus object that is not a pipe.
        pipes_.push_back(std::make_unique<Pipe>(Pipe{0, UsbdPipeTypeControl, 0, 0}));
        info->InterfaceHandle = pipes_.back().get();
        info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
        for (std::size_t i = 0; i < endpoints.size(); ++i) {
            const USB_ENDPOINT_DESCRIPTOR* e = endpoints[i];
            USBD_PIPE_INFORMATION& p = info->Pipes[i];
            p.MaximumPacketSize = e->wMaxPacketSize;
            p.EndpointAddress = e->bEndpointAddress;
            p.Interval = e->bInterval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipes_.push_back(std::make_unique<Pipe>(
                Pipe{e->bEndpointAddress, p.PipeType, e->wMaxPacketSize, e->bInterval}));
            p.PipeHandle = pipes_.back().get();
            livePipes_.push_back(pipes_.back().get());
        }
    });
}

} // namespace host::usb
