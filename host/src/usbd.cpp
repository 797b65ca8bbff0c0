// USBD.SYS routines a client driver calls to read a configuration descriptor and build the
// select-configuration request from it.
#include <cstring>

#include "host/ddk.h"
#include "host/usb_bus.h"
#include "host/world.h"
#include "host/smp.h"

namespace host::usb {

std::size_t configurationBytes(const USB_CONFIGURATION_DESCRIPTOR* descriptor) {
    if (descriptor == nullptr) {
        return 0;
    }
    std::size_t limit = SIZE_MAX;
    if (World::exists()) {
        if (const Memory::Allocation* a = world().memory().find(descriptor)) {
            limit = a->size;
        }
    }
    if (limit < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return limit;
    }
    std::size_t total = descriptor->wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        total = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    }
    return total < limit ? total : limit;
}

} // namespace host::usb

using namespace host;

namespace {

constexpr ULONG kUsbdTag = 0x44425355; // "USBD"

// Steps from one descriptor to the next within [begin, end). Returns null at the end, or when a
// descriptor claims zero length or runs past the end.
const UCHAR* nextDescriptor(const UCHAR* at, const UCHAR* end) {
    if (end - at < 2 || at[0] < 2 || at[0] > end - at) {
        return nullptr;
    }
    at += at[0];
    return end - at >= 2 ? at : nullptr;
}

bool matches(LONG wanted, UCHAR value) {
    return wanted == -1 || static_cast<LONG>(value) == wanted;
}

} // namespace

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    HostLock::Hold hold;
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = begin + usb::configurationBytes(ConfigurationDescriptor);
    auto* at = static_cast<const UCHAR*>(StartPosition);
    if (at == nullptr || at < begin || at >= end) {
        return nullptr;
    }
    for (; at != nullptr; at = nextDescriptor(at, end)) {
        if (end - at < static_cast<std::ptrdiff_t>(sizeof(USB_INTERFACE_DESCRIPTOR)) ||
            at[1] != USB_INTERFACE_DESCRIPTOR_TYPE || at[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(at);
        if (matches(InterfaceNumber, d->bInterfaceNumber) &&
            matches(AlternateSetting, d->bAlternateSetting) &&
            matches(InterfaceClass, d->bInterfaceClass) &&
            matches(InterfaceSubClass, d->bInterfaceSubClass) &&
            matches(InterfaceProtocol, d->bInterfaceProtocol)) {
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        }
    }
    return nullptr;
}

extern "C" PURB NTAPI
USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    HostLock::Hold hold;
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) {
        return nullptr;
    }
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        ++interfaces;
    }
    if (interfaces == 0) {
        return nullptr;
    }
    // The size macro counts one pipe per interface within USBD_INTERFACE_INFORMATION itself;
    // an interface without endpoints still occupies that slot.
    SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) +
                  (interfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        UCHAR n = entry->InterfaceDescriptor->bNumEndpoints;
        size += (n > 0 ? n - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
    }
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == nullptr) {
        return nullptr;
    }
    std::memset(urb, 0, size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
        UCHAR n = d->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(n > 0 ? n : 1));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = n;
        for (UCHAR i = 0; i < n; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                             info->Length);
    }
    return urb;
}
