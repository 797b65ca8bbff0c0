// The bus PDO's plug-and-play and power handling, and the text forms of the request log.
#include <cstdio>
#include <string>

#include "host/kernel.h"
#include "host/usb_bus.h"
#include "host/smp.h"

namespace host::usb {

namespace {

constexpr ULONG kIdTag = 0x48627355; // "UsbH"

// DEVICE_CAPABILITIES bit fields, in the DDK's order.
constexpr ULONG kCapDeviceD2 = 1u << 1;
constexpr ULONG kCapRemovable = 1u << 4;
constexpr ULONG kCapSurpriseRemovalOK = 1u << 9;
constexpr ULONG kCapWakeFromD2 = 1u << 12;

// SYSTEM_POWER_STATE and DEVICE_POWER_STATE values.
constexpr ULONG kPowerSystemWorking = 1;
constexpr ULONG kPowerSystemSleeping3 = 4;
constexpr ULONG kPowerSystemHibernate = 5;
constexpr ULONG kPowerSystemShutdown = 6;
constexpr ULONG kPowerDeviceD0 = 1;
constexpr ULONG kPowerDeviceD2 = 3;
constexpr ULONG kPowerDeviceD3 = 4;

std::string hex(std::uint64_t value, int digits) {
    char text[20];
    std::snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// A wide string (or MULTI_SZ, when `ids` has several entries) in pool, as the PnP manager
// expects it; the requester frees it.
PWSTR poolString(const std::vector<std::wstring>& ids, bool multi) {
    std::wstring all;
    for (const std::wstring& id : ids) {
        all += id;
        all.push_back(L'\0');
    }
    if (multi) {
        all.push_back(L'\0');
    }
    auto* p =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, all.size() * sizeof(WCHAR), kIdTag));
    if (p != nullptr) {
        std::memcpy(p, all.data(), all.size() * sizeof(WCHAR));
    }
    return p;
}

std::wstring wide(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b, c);
    return std::wstring(text, text + std::strlen(text));
}

} // namespace

std::string usbdStatusName(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS:
        return "SUCCESS";
    case USBD_STATUS_PENDING:
        return "PENDING";
    case USBD_STATUS_CRC:
        return "CRC";
    case USBD_STATUS_STALL_PID:
        return "STALL_PID";
    case USBD_STATUS_DEV_NOT_RESPONDING:
        return "DEV_NOT_RESPONDING";
    case USBD_STATUS_DATA_OVERRUN:
        return "DATA_OVERRUN";
    case USBD_STATUS_DATA_UNDERRUN:
        return "DATA_UNDERRUN";
    case USBD_STATUS_BUFFER_OVERRUN:
        return "BUFFER_OVERRUN";
    case USBD_STATUS_ENDPOINT_HALTED:
        return "ENDPOINT_HALTED";
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return "INVALID_URB_FUNCTION";
    case USBD_STATUS_INVALID_PARAMETER:
        return "INVALID_PARAMETER";
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return "INVALID_PIPE_HANDLE";
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return "INSUFFICIENT_RESOURCES";
    case USBD_STATUS_DEVICE_GONE:
        return "DEVICE_GONE";
    case USBD_STATUS_CANCELED:
        return "CANCELED";
    default:
        return "0x" + hex(static_cast<ULONG>(status), 8);
    }
}

std::string urbFunctionName(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return "SELECT_CONFIGURATION";
    case URB_FUNCTION_ABORT_PIPE:
        return "ABORT_PIPE";
    case URB_FUNCTION_CONTROL_TRANSFER:
        return "CONTROL_TRANSFER";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return "BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return "GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        return "SET_FEATURE_TO_DEVICE";
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        return "SET_FEATURE_TO_INTERFACE";
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        return "SET_FEATURE_TO_ENDPOINT";
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        return "CLEAR_FEATURE_TO_DEVICE";
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        return "CLEAR_FEATURE_TO_INTERFACE";
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        return "CLEAR_FEATURE_TO_ENDPOINT";
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        return "GET_STATUS_FROM_DEVICE";
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        return "GET_STATUS_FROM_INTERFACE";
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        return "GET_STATUS_FROM_ENDPOINT";
    case URB_FUNCTION_VENDOR_DEVICE:
        return "VENDOR_DEVICE";
    case URB_FUNCTION_VENDOR_INTERFACE:
        return "VENDOR_INTERFACE";
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return "VENDOR_ENDPOINT";
    case URB_FUNCTION_CLASS_DEVICE:
        return "CLASS_DEVICE";
    case URB_FUNCTION_RESET_PIPE:
        return "RESET_PIPE";
    case kFunctionCyclePort:
        return "CYCLE_PORT";
    default:
        return "0x" + hex(function, 4);
    }
}

std::string Request::text() const {
    // Appended piece by piece: GCC 12 at -O3 misreports `" " + std::string` (-Wrestrict).
    std::string s = urbFunctionName(function);
    auto field = [&s](const std::string& text) {
        s += ' ';
        s += text;
    };
    if (setup) {
        field(hex(setup->bmRequestType, 2));
        field(hex(setup->bRequest, 2));
        field(hex(setup->wValue, 4));
        field(hex(setup->wIndex, 4));
        field(hex(setup->wLength, 4));
    } else if (function != kFunctionCyclePort) {
        field(hex(endpoint, 2));
    }
    if (!data.empty()) {
        s += in ? " in " : " out ";
        for (std::uint8_t b : data) {
            s += hex(b, 2);
        }
    }
    field(usbdStatusName(status));
    return s;
}

// ---- the PDO's plug and play -------------------------------------------------------------------

NTSTATUS NTAPI Bus::dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    HostLock::Hold hold;
    return fromDevice(device)->pnp(irp);
}

NTSTATUS NTAPI Bus::dispatchPower(PDEVICE_OBJECT, PIRP irp) {
    HostLock::Hold hold;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void Bus::holdPnp(UCHAR minor, bool hold) {
    if (hold) {
        pnpHold_.insert(minor);
    } else {
        pnpHold_.erase(minor);
    }
}

bool Bus::completeHeldPnp(std::optional<NTSTATUS> status) {
    if (heldPnp_.empty()) {
        return false;
    }
    PIRP irp = heldPnp_.front();
    heldPnp_.pop_front();
    callHostAt(DISPATCH_LEVEL, "usb bus PnP completion", [&] { answerPnp(irp, status); });
    return true;
}

NTSTATUS Bus::pnp(PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    pnpLog_.push_back(minor);
    if (pnpHold_.count(minor) != 0) {
        IoMarkIrpPending(irp);
        heldPnp_.push_back(irp);
        return STATUS_PENDING;
    }
    std::optional<NTSTATUS> forced;
    if (auto it = pnpStatus_.find(minor); it != pnpStatus_.end()) {
        forced = it->second;
    }
    return answerPnp(irp, forced);
}

NTSTATUS Bus::answerPnp(PIRP irp, std::optional<NTSTATUS> forced) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (forced) {
        status = *forced;
    } else {
        switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
            if (caps == nullptr) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            caps->Flags |= kCapDeviceD2 | kCapRemovable | kCapSurpriseRemovalOK | kCapWakeFromD2;
            caps->Address = 1;
            caps->UINumber = 1;
            caps->DeviceState[kPowerSystemWorking] = kPowerDeviceD0;
            for (ULONG s = kPowerSystemWorking + 1; s <= kPowerSystemSleeping3; ++s) {
                caps->DeviceState[s] = kPowerDeviceD2;
            }
            caps->DeviceState[kPowerSystemHibernate] = kPowerDeviceD3;
            caps->DeviceState[kPowerSystemShutdown] = kPowerDeviceD3;
            caps->SystemWake = kPowerSystemSleeping3;
            caps->DeviceWake = kPowerDeviceD2;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_ID: {
            const std::vector<std::uint8_t>& d = deviceDescriptor_;
            auto word = [&d](std::size_t at) {
                return d.size() >= at + 2 ? static_cast<unsigned>(d[at] | d[at + 1] << 8) : 0u;
            };
            auto byte = [&d](std::size_t at) { return d.size() > at ? d[at] : 0u; };
            unsigned vid = word(8), pid = word(10), rev = word(12);
            PWSTR id = nullptr;
            bool known = true;
            switch (location->Parameters.QueryId.IdType) {
            case BusQueryDeviceID:
                id = poolString({wide("USB\\VID_%04X&PID_%04X", vid, pid)}, false);
                break;
            case BusQueryHardwareIDs:
                id = poolString({wide("USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev),
                                 wide("USB\\VID_%04X&PID_%04X", vid, pid)},
                                true);
                break;
            case BusQueryCompatibleIDs:
                id = poolString(
                    {wide("USB\\Class_%02x&SubClass_%02x&Prot_%02x", byte(4), byte(5), byte(6)),
                     wide("USB\\Class_%02x&SubClass_%02x", byte(4), byte(5)),
                     wide("USB\\Class_%02x", byte(4))},
                    true);
                break;
            case BusQueryInstanceID:
                id = poolString({L"1"}, false);
                break;
            default:
                known = false;
                break;
            }
            if (known) {
                status = id != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
            }
            break;
        }
        default:
            break; // not ours to answer: the status stays as the requester set it
        }
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace host::usb
