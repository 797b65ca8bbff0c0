// The host PnP manager: loads a driver, adds devices and sends plug-and-play requests to the top
// of a device stack.
//
// Requests go to whatever sits on top of the physical device object at that moment, through the
// driver object's IRP_MJ_PNP entry as it is then (a driver may have put its own routine in
// front of NDIS's). Each request is an IRP the PnP manager allocates, with IoStatus.Status
// preset to STATUS_NOT_SUPPORTED; the PnP manager waits in virtual time until the stack has
// finished it, then frees it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/ddk.h"
#include "host/sched.h"

namespace host {
class World;

class PnpManager {
  public:
    struct Result {
        NTSTATUS status = STATUS_NOT_SUPPORTED;   // the status the IRP was finished with
        NTSTATUS dispatchStatus = STATUS_PENDING; // what IofCallDriver returned
        ULONG_PTR information = 0;
        bool finished = false; // false: still pending when the wait gave up
    };

    struct IdResult {
        NTSTATUS status = STATUS_NOT_SUPPORTED;
        // The identifiers of the answer; a MULTI_SZ (hardware or compatible IDs) gives several.
        std::vector<std::wstring> ids;
    };

    struct DeviceStateResult {
        NTSTATUS status = STATUS_NOT_SUPPORTED;
        ULONG state = 0;
    };

    // A request as it was sent and finished, for tests and tools.
    struct Request {
        PDEVICE_OBJECT pdo;
        UCHAR minor;
        Result result;
        Time sent;
        Time finished;
    };

    explicit PnpManager(World& world);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Creates a driver object and runs its entry point at PASSIVE_LEVEL with a registry path
    // under the services key. The driver object stays alive (owned by the PnP manager) even when
    // the entry fails, so that tests can inspect it.
    PDRIVER_OBJECT loadDriver(PDRIVER_INITIALIZE entry, const std::wstring& name = L"KT735N",
                              NTSTATUS* status = nullptr);
    // Calls the driver's unload routine (if any) and deletes the driver object.
    void unloadDriver(PDRIVER_OBJECT driver);

    // Calls the driver's AddDevice (whatever its extension holds now) at PASSIVE_LEVEL.
    NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

    // Sends IRP_MJ_PNP with `minor` to the top of the stack above `pdo`. `fill` sets the
    // parameters of the stack location. Waits at most `timeout` of virtual time for the request
    // to be finished (kForever: until it is, or the verifier calls the wait hung).
    Result send(PDEVICE_OBJECT pdo, UCHAR minor,
                const std::function<void(IO_STACK_LOCATION&)>& fill = {}, Time timeout = kForever);

    NTSTATUS startDevice(PDEVICE_OBJECT pdo);
    NTSTATUS stopDevice(PDEVICE_OBJECT pdo);
    NTSTATUS removeDevice(PDEVICE_OBJECT pdo);
    NTSTATUS surpriseRemoval(PDEVICE_OBJECT pdo);
    // Sends a DEVICE_CAPABILITIES of version 1 (Address and UINumber preset to 0xFFFFFFFF, as the
    // PnP manager does) and returns what the stack filled in.
    NTSTATUS queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities);
    // The answer string is pool memory of the bus driver; the PnP manager frees it.
    IdResult queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type);
    DeviceStateResult queryPnpDeviceState(PDEVICE_OBJECT pdo);

    const std::vector<Request>& requests() const { return requests_; }
    const std::vector<PDRIVER_OBJECT>& drivers() const { return drivers_; }

  private:
    World& world_;
    std::vector<PDRIVER_OBJECT> drivers_;
    std::vector<std::unique_ptr<std::wstring>> names_;
    std::vector<Request> requests_;
};

} // namespace host
