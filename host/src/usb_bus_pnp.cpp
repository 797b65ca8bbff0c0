// The bus PDO's plug-and-play and power handling.
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
