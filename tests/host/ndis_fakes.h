// A small stand-in for the tests of the host NDIS library: a miniport whose handlers record what
// NDIS did and do what the test scripts, added on the simulated USB bus's physical device object
// (with no device plugged, it answers the PnP requests).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/ndis.h"
#include "host/pnp.h"
#include "host/testing.h"
#include "host/usb_bus.h"
#include "host/world.h"

namespace host::testing {

// ---- a scripted miniport ----------------------------------------------------------------------

struct MiniportScript {
    // Behaviour.
    NDIS_STATUS initializeResult = NDIS_STATUS_SUCCESS;
    BOOLEAN hangResult = FALSE;
    NDIS_STATUS resetResult = NDIS_STATUS_SUCCESS;
    std::function<void(NDIS_HANDLE adapterHandle, NDIS_HANDLE configuration)> onInitialize;
    std::function<void()> onHalt;
    std::function<NDIS_STATUS(PNDIS_PACKET)> onSend; // default: NDIS_STATUS_SUCCESS
    std::function<NDIS_STATUS(NDIS_OID, PVOID, ULONG, PULONG, PULONG)> onQuery;
    std::function<NDIS_STATUS(NDIS_OID, PVOID, ULONG, PULONG, PULONG)> onSet;

    // What happened.
    NDIS_HANDLE adapterHandle = nullptr;
    std::vector<std::string> calls;    // handler names in order
    std::map<std::string, KIRQL> irql; // IRQL of the latest call of each handler
    std::vector<Time> hangChecks;
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
    for (UINT i = 0; i < count; ++i) {
        if (media[i] == NdisMedium802_3) {
            *selected = i;
        }
    }
    NdisMSetAttributesEx(handle, &g_script->context, 0, 0, NdisInterfaceInternal);
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
    return g_script->resetResult;
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

inline VOID NTAPI returnPacket(NDIS_HANDLE, PNDIS_PACKET) {
    note("ReturnPacket");
}

inline NTSTATUS NTAPI driverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NDIS_HANDLE wrapper = nullptr;
    NdisMInitializeWrapper(&wrapper, driver, registryPath, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS chars{};
    NDIS30_MINIPORT_CHARACTERISTICS& c = chars.Ndis40Chars.Ndis30Chars;
    c.MajorNdisVersion = 5;
    c.CheckForHangHandler = checkForHang;
    c.HaltHandler = halt;
    c.InitializeHandler = initialize;
    c.QueryInformationHandler = query;
    c.ResetHandler = reset;
    c.SendHandler = send;
    c.SetInformationHandler = setInformation;
    chars.Ndis40Chars.ReturnPacketHandler = returnPacket;
    NDIS_STATUS status = NdisMRegisterMiniport(wrapper, &chars, sizeof chars);
    return status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

} // namespace fake

// A world with the scripted miniport loaded and a bus to add it to.
class NdisTest : public WorldTest {
  protected:
    NdisTest() { g_script = &script; }
    ~NdisTest() override { g_script = nullptr; }

    ndis::Library& ndis() { return world().ndis(); }
    PnpManager& pnp() { return world().pnp(); }

    // Loads (when not yet), adds the device and returns its adapter.
    ndis::Adapter& add() {
        if (driver == nullptr) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            driver = pnp().loadDriver(fake::driverEntry, L"Fake", &status);
            EXPECT_EQ(status, STATUS_SUCCESS);
        }
        EXPECT_EQ(pnp().addDevice(driver, bus.pdo()), STATUS_SUCCESS);
        return *ndis().lastAdapter();
    }

    ndis::Adapter& start() {
        ndis::Adapter& adapter = add();
        EXPECT_EQ(pnp().startDevice(bus.pdo()), STATUS_SUCCESS);
        return adapter;
    }

    // Halts and removes the adapter (the halt-time checks run).
    void remove() { EXPECT_EQ(pnp().removeDevice(bus.pdo()), STATUS_SUCCESS); }

    // Runs `body` inside MiniportInitialize, then starts the device.
    ndis::Adapter& startWith(std::function<void(NDIS_HANDLE adapter, NDIS_HANDLE config)> body) {
        script.onInitialize = std::move(body);
        return start();
    }

    MiniportScript script;
    host::usb::Bus bus;
    PDRIVER_OBJECT driver = nullptr;
};

} // namespace host::testing
