// Small stand-ins for the tests of the host NDIS library and PnP manager: a bus driver with one
// physical device object that answers PnP requests as told, and a miniport whose handlers record
// what NDIS did and do what the test scripts.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/ndis.h"
#include "host/pnp.h"
#include "host/testing.h"
#include "host/world.h"

namespace host::testing {

// ---- a bus with one physical device object ----------------------------------------------------

class FakeBus {
  public:
    FakeBus() {
        current = this;
        driver = createDriverObject(L"\\Driver\\FakeBus");
        driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
        pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    }
    ~FakeBus() { deleteDriverObject(driver); }
    FakeBus(const FakeBus&) = delete;
    FakeBus& operator=(const FakeBus&) = delete;

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;

    // Status the PDO finishes a minor function with (absent: START, STOP, REMOVE, SURPRISE and
    // the queries it answers succeed, anything else is left as it came, as a bus does with
    // requests it does not handle).
    std::map<UCHAR, NTSTATUS> status;
    // Minor functions the PDO keeps pending for a while before finishing them.
    std::map<UCHAR, Time> pendFor;
    // Minor functions the PDO keeps pending for ever.
    std::set<UCHAR> neverFinish;
    std::wstring deviceId = L"USB\\VID_FFF0&PID_0001";
    std::vector<std::wstring> hardwareIds = {L"USB\\VID_FFF0&PID_0001&REV_0001",
                                             L"USB\\VID_FFF0&PID_0001"};
    ULONG deviceState = 0;

    struct Seen {
        UCHAR minor;
        KIRQL irql;
    };
    std::vector<Seen> seen;

  private:
    static inline FakeBus* current = nullptr;

    // A multi-string in pool, as a bus answers IRP_MN_QUERY_ID.
    static ULONG_PTR poolStrings(const std::vector<std::wstring>& strings) {
        std::wstring all;
        for (const auto& s : strings) {
            all += s + L'\0';
        }
        all += L'\0';
        auto* out = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, all.size() * sizeof(WCHAR), 0x20627355)); // "Usb "
        std::wmemcpy(out, all.data(), all.size());
        return reinterpret_cast<ULONG_PTR>(out);
    }

    void finish(PIRP irp, UCHAR minor) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        switch (minor) {
        case IRP_MN_QUERY_CAPABILITIES:
            location->Parameters.DeviceCapabilities.Capabilities->Address = 3;
            location->Parameters.DeviceCapabilities.Capabilities->D1Latency = 7;
            [[fallthrough]];
        case IRP_MN_START_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_ID:
            if (BUS_QUERY_ID_TYPE idType = location->Parameters.QueryId.IdType;
                idType == BusQueryDeviceID || idType == BusQueryHardwareIDs) {
                irp->IoStatus.Information =
                    poolStrings(idType == BusQueryDeviceID ? std::vector{deviceId} : hardwareIds);
                irp->IoStatus.Status = STATUS_SUCCESS;
            }
            break;
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            irp->IoStatus.Information = deviceState;
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        default:
            break;
        }
        if (auto it = status.find(minor); it != status.end()) {
            irp->IoStatus.Status = it->second;
        }
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT, PIRP irp) {
        FakeBus& bus = *current;
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        bus.seen.push_back({minor, KeGetCurrentIrql()});
        auto pend = bus.pendFor.find(minor);
        if (bus.neverFinish.count(minor) != 0 || pend != bus.pendFor.end()) {
            IoMarkIrpPending(irp);
            if (pend != bus.pendFor.end()) {
                World::current().scheduler().after(pend->second,
                                                   [&bus, irp, minor] { bus.finish(irp, minor); });
            }
            return STATUS_PENDING;
        }
        bus.finish(irp, minor);
        return irp->IoStatus.Status;
    }
};

// ---- a scripted miniport ----------------------------------------------------------------------

struct MiniportScript {
    // Behaviour.
    NDIS_STATUS initializeResult = NDIS_STATUS_SUCCESS;
    bool setAttributes = true;
    UINT hangSeconds = 0;
    BOOLEAN hangResult = FALSE;
    bool registerNdis40 = false;
    std::function<void(NDIS_HANDLE adapterHandle, NDIS_HANDLE configuration)> onInitialize;
    std::function<void()> onHalt;
    std::function<NDIS_STATUS(PNDIS_PACKET)> onSend; // default: NDIS_STATUS_SUCCESS
    std::function<NDIS_STATUS(NDIS_OID, PVOID, ULONG, PULONG, PULONG)> onQuery, onSet;

    // What happened.
    NDIS_HANDLE adapterHandle = nullptr;
    std::vector<NDIS_MEDIUM> media;
    std::vector<std::string> calls;    // handler names in order
    std::map<std::string, KIRQL> irql; // IRQL of the latest call of each handler
    std::vector<Time> hangChecks;
    std::vector<PNDIS_PACKET> returned;
    // A context value the miniport gives NDIS, to see it passed back.
    int context = 0;
};

inline MiniportScript* g_script = nullptr;

namespace fake {

inline void note(const char* name) {
    g_script->calls.emplace_back(name);
    g_script->irql[name] = KeGetCurrentIrql();
}

inline NDIS_STATUS NTAPI initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT count,
                                    NDIS_HANDLE handle, NDIS_HANDLE configuration) {
    note("Initialize");
    g_script->adapterHandle = handle;
    g_script->media.assign(media, media + count);
    for (UINT i = 0; i < count; ++i) {
        if (media[i] == NdisMedium802_3) {
            *selected = i;
        }
    }
    if (g_script->setAttributes) {
        NdisMSetAttributesEx(handle, &g_script->context, g_script->hangSeconds, 0,
                             NdisInterfaceInternal);
    }
    if (g_script->onInitialize) {
        g_script->onInitialize(handle, configuration);
    }
    return g_script->initializeResult;
}

inline VOID NTAPI halt(NDIS_HANDLE) {
    note("Halt");
    if (g_script->onHalt) {
        g_script->onHalt();
    }
}

inline BOOLEAN NTAPI checkForHang(NDIS_HANDLE) {
    note("CheckForHang");
    g_script->hangChecks.push_back(World::current().now());
    return g_script->hangResult;
}

inline NDIS_STATUS NTAPI reset(PBOOLEAN addressingReset, NDIS_HANDLE) {
    note("Reset");
    *addressingReset = FALSE;
    return NDIS_STATUS_SUCCESS;
}

inline NDIS_STATUS NTAPI send(NDIS_HANDLE, PNDIS_PACKET packet, UINT) {
    note("Send");
    return g_script->onSend ? g_script->onSend(packet) : NDIS_STATUS_SUCCESS;
}

inline NDIS_STATUS NTAPI query(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length,
                               PULONG written, PULONG needed) {
    note("Query");
    return g_script->onQuery ? g_script->onQuery(oid, buffer, length, written, needed)
                             : NDIS_STATUS_INVALID_OID;
}

inline NDIS_STATUS NTAPI setInformation(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length,
                                        PULONG read, PULONG needed) {
    note("Set");
    return g_script->onSet ? g_script->onSet(oid, buffer, length, read, needed)
                           : NDIS_STATUS_INVALID_OID;
}

inline VOID NTAPI returnPacket(NDIS_HANDLE, PNDIS_PACKET packet) {
    note("ReturnPacket");
    g_script->returned.push_back(packet);
}

inline NTSTATUS NTAPI driverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NDIS_HANDLE wrapper = nullptr;
    NdisMInitializeWrapper(&wrapper, driver, registryPath, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS chars{};
    NDIS30_MINIPORT_CHARACTERISTICS& c = chars.Ndis40Chars.Ndis30Chars;
    c.MajorNdisVersion = g_script->registerNdis40 ? 4 : 5;
    c.CheckForHangHandler = checkForHang;
    c.HaltHandler = halt;
    c.InitializeHandler = initialize;
    c.QueryInformationHandler = query;
    c.ResetHandler = reset;
    c.SendHandler = send;
    c.SetInformationHandler = setInformation;
    chars.Ndis40Chars.ReturnPacketHandler = returnPacket;
    UINT length = g_script->registerNdis40 ? sizeof(NDIS40_MINIPORT_CHARACTERISTICS)
                                           : sizeof(NDIS_MINIPORT_CHARACTERISTICS);
    NDIS_STATUS status = NdisMRegisterMiniport(wrapper, &chars, length);
    return status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

} // namespace fake

// What a packet holds, walked as a miniport walks it: each buffer's length and all the bytes.
struct PacketContents {
    std::vector<UINT> lengths;
    std::vector<std::uint8_t> bytes;
    UINT total = 0;
};

inline PacketContents contents(PNDIS_PACKET packet) {
    PacketContents c;
    PNDIS_BUFFER b = nullptr;
    NdisQueryPacket(packet, nullptr, nullptr, &b, &c.total);
    for (; b != nullptr; NdisGetNextBuffer(b, &b)) {
        PVOID va = nullptr;
        UINT length = 0;
        NdisQueryBuffer(b, &va, &length);
        c.lengths.push_back(length);
        c.bytes.insert(c.bytes.end(), static_cast<std::uint8_t*>(va),
                       static_cast<std::uint8_t*>(va) + length);
    }
    return c;
}

// A world with the scripted miniport loaded and a bus to add it to.
class NdisTest : public WorldTest {
  protected:
    NdisTest() { g_script = &script; }
    ~NdisTest() override { g_script = nullptr; }

    ndis::Library& ndis() { return world().ndis(); }
    PnpManager& pnp() { return world().pnp(); }

    PDRIVER_OBJECT load() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver = pnp().loadDriver(fake::driverEntry, L"Fake", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return driver;
    }

    // Loads (when not yet), adds the device and returns its adapter.
    ndis::Adapter& add() {
        if (driver == nullptr) {
            load();
        }
        EXPECT_EQ(pnp().addDevice(driver, bus.pdo), STATUS_SUCCESS);
        return *ndis().lastAdapter();
    }

    ndis::Adapter& start() {
        ndis::Adapter& adapter = add();
        EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_SUCCESS);
        return adapter;
    }

    // Halts and removes the adapter (the halt-time checks run).
    void remove() { EXPECT_EQ(pnp().removeDevice(bus.pdo), STATUS_SUCCESS); }

    // Runs `body` inside MiniportInitialize, then starts the device.
    ndis::Adapter& startWith(std::function<void(NDIS_HANDLE adapter, NDIS_HANDLE config)> body) {
        script.onInitialize = std::move(body);
        return start();
    }

    MiniportScript script;
    FakeBus bus;
    PDRIVER_OBJECT driver = nullptr;
};

} // namespace host::testing
