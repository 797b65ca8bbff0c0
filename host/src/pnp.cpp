#include "host/pnp.h"

#include <algorithm>

#include "host/io.h"
#include "host/kernel.h"
#include "host/world.h"
#include "host/smp.h"

namespace host {

namespace {

struct Completion {
    bool done = false;
};

// The PnP manager's own completion routine: it stands in the top driver's stack location and
// ends the request's trip up the stack; the IRP is the PnP manager's again.
NTSTATUS NTAPI requestFinished(PDEVICE_OBJECT, PIRP, PVOID context) {
    HostLock::Hold hold;
    static_cast<Completion*>(context)->done = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

PnpManager::PnpManager(World& world) : world_(world) {}

PnpManager::~PnpManager() {
    for (PDRIVER_OBJECT driver : drivers_) {
        deleteDriverObject(driver);
    }
}

PDRIVER_OBJECT PnpManager::loadDriver(PDRIVER_INITIALIZE entry, const std::wstring& name,
                                      NTSTATUS* status) {
    names_.push_back(std::make_unique<std::wstring>(L"\\Driver\\" + name));
    PDRIVER_OBJECT driver = createDriverObject(names_.back()->c_str());
    names_.push_back(std::make_unique<std::wstring>(
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name));
    std::wstring& path = *names_.back();
    UNICODE_STRING registryPath;
    registryPath.Buffer = path.data();
    registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = static_cast<USHORT>((path.size() + 1) * sizeof(WCHAR));
    driver->DriverInit = entry;
    drivers_.push_back(driver);
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    callDriverAt(PASSIVE_LEVEL, "DriverEntry", [&] { result = entry(driver, &registryPath); });
    if (status != nullptr) {
        *status = result;
    }
    return driver;
}

void PnpManager::unloadDriver(PDRIVER_OBJECT driver) {
    auto it = std::find(drivers_.begin(), drivers_.end(), driver);
    if (it == drivers_.end()) {
        return;
    }
    if (driver->DriverUnload != nullptr) {
        callDriverAt(PASSIVE_LEVEL, "DriverUnload", [&] { driver->DriverUnload(driver); });
    }
    drivers_.erase(it);
    deleteDriverObject(driver);
}

NTSTATUS PnpManager::addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    callDriverAt(PASSIVE_LEVEL, "AddDevice", [&] { status = addDevice(driver, pdo); });
    return status;
}

PnpManager::Result PnpManager::send(PDEVICE_OBJECT pdo, UCHAR minor,
                                    const std::function<void(IO_STACK_LOCATION&)>& fill,
                                    Time timeout) {
    Result result;
    PDEVICE_OBJECT top = topOfStack(pdo);
    PIRP irp = world_.irps().allocate(top->StackSize, IrpRegistry::Origin::Platform);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (fill) {
        fill(*next);
    }
    Completion completion;
    IoSetCompletionRoutine(irp, requestFinished, &completion, TRUE, TRUE, TRUE);

    Time sent = world_.now();
    callDriverAt(PASSIVE_LEVEL, "IRP_MJ_PNP dispatch",
                 [&] { result.dispatchStatus = IofCallDriver(top, irp); });
    Time deadline = timeout == kForever ? kForever : sent + timeout;
    result.finished =
        completion.done || waitUntil([&] { return completion.done; }, deadline, "PnP request");
    if (result.finished) {
        result.status = irp->IoStatus.Status;
        result.information = irp->IoStatus.Information;
        world_.irps().free(irp, "PnP manager");
    } else {
        // Still with a driver: it stays allocated (and shows as such), the caller gets PENDING.
        result.status = STATUS_PENDING;
    }
    requests_.push_back({pdo, minor, result, sent, world_.now()});
    return result;
}

NTSTATUS PnpManager::startDevice(PDEVICE_OBJECT pdo) {
    return send(pdo, IRP_MN_START_DEVICE).status;
}

NTSTATUS PnpManager::stopDevice(PDEVICE_OBJECT pdo) {
    return send(pdo, IRP_MN_STOP_DEVICE).status;
}

NTSTATUS PnpManager::removeDevice(PDEVICE_OBJECT pdo) {
    HangWatch watch("IRP_MN_REMOVE_DEVICE");
    return send(pdo, IRP_MN_REMOVE_DEVICE).status;
}

NTSTATUS PnpManager::surpriseRemoval(PDEVICE_OBJECT pdo) {
    HangWatch watch("IRP_MN_SURPRISE_REMOVAL");
    return send(pdo, IRP_MN_SURPRISE_REMOVAL).status;
}

NTSTATUS PnpManager::queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities) {
    std::memset(&capabilities, 0, sizeof(capabilities));
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    return send(pdo, IRP_MN_QUERY_CAPABILITIES,
                [&](IO_STACK_LOCATION& s) {
                    s.Parameters.DeviceCapabilities.Capabilities = &capabilities;
                })
        .status;
}

PnpManager::IdResult PnpManager::queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    IdResult out;
    Result r = send(pdo, IRP_MN_QUERY_ID,
                    [&](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; });
    out.status = r.status;
    if (r.finished && NT_SUCCESS(r.status) && r.information != 0) {
        auto* text = reinterpret_cast<PWSTR>(r.information);
        bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
        for (PWSTR p = text; *p != 0;) {
            std::wstring id(p);
            p += id.size() + 1;
            out.ids.push_back(std::move(id));
            if (!multi) {
                break;
            }
        }
        ExFreePool(text);
    }
    return out;
}

PnpManager::DeviceStateResult PnpManager::queryPnpDeviceState(PDEVICE_OBJECT pdo) {
    Result r = send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    return {r.status, static_cast<ULONG>(r.information)};
}

} // namespace host
