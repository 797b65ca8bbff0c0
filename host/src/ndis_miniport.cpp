// The NdisM* routines a miniport calls on its adapter: wrapper and miniport registration,
// attributes, the shutdown handler, device properties, and the completions and indications of
// sends, requests, resets and status.
#include "host/kernel.h"
#include "host/ndis.h"
#include "host/smp.h"
#include "host/world.h"
#include "ndis_internal.h"

using namespace host;
using host::ndis::Adapter;
using host::ndis::Library;

extern "C" VOID NTAPI NdisMInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                             PVOID, PVOID) {
    HostLock::Hold hold;
    *NdisWrapperHandle = world().ndis().newWrapper(static_cast<PDRIVER_OBJECT>(SystemSpecific1));
}

extern "C" VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID) {
    HostLock::Hold hold;
    Library::Wrapper* wrapper = world().ndis().wrapper(NdisWrapperHandle);
    if (wrapper == nullptr || !wrapper->open) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisTerminateWrapper",
                                  "not an open wrapper handle");
        return;
    }
    wrapper->open = false;
}

extern "C" NDIS_STATUS NTAPI NdisMRegisterMiniport(
    NDIS_HANDLE NdisWrapperHandle, PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
    UINT CharacteristicsLength) {
    HostLock::Hold hold;
    Library::Wrapper* wrapper = world().ndis().wrapper(NdisWrapperHandle);
    if (wrapper == nullptr || !wrapper->open || wrapper->driver == nullptr) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisMRegisterMiniport",
                                  "not an open wrapper handle of a driver object");
        return NDIS_STATUS_FAILURE;
    }
    if (MiniportCharacteristics == nullptr) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    return world().ndis().registerMiniport(*wrapper, *MiniportCharacteristics,
                                           CharacteristicsLength);
}

extern "C" VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                           NDIS_HANDLE MiniportAdapterContext,
                                           UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                           NDIS_INTERFACE_TYPE AdapterType) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMSetAttributesEx");
    if (adapter == nullptr) {
        return;
    }
    if (adapter->state() != Adapter::State::Initializing) {
        world().verifier().report(rule::kCallOutsideInitialize, "NdisMSetAttributesEx",
                                  "called outside MiniportInitialize");
    }
    adapter->setAttributes(
        {true, MiniportAdapterContext, CheckForHangTimeInSeconds, AttributeFlags, AdapterType});
}

extern "C" VOID NTAPI NdisMRegisterAdapterShutdownHandler(
    NDIS_HANDLE MiniportHandle, PVOID ShutdownContext, ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportHandle, "NdisMRegisterAdapterShutdownHandler");
    if (adapter == nullptr) {
        return;
    }
    adapter->setShutdownHandler(ShutdownHandler, ShutdownContext);
}

extern "C" VOID NTAPI NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportHandle, "NdisMDeregisterAdapterShutdownHandler");
    if (adapter == nullptr) {
        return;
    }
    adapter->setShutdownHandler(nullptr, nullptr);
}

extern "C" VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                                             PDEVICE_OBJECT* PhysicalDeviceObject,
                                             PDEVICE_OBJECT* FunctionalDeviceObject,
                                             PDEVICE_OBJECT* NextDeviceObject,
                                             PCM_RESOURCE_LIST* AllocatedResources,
                                             PCM_RESOURCE_LIST* AllocatedResourcesTranslated) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMGetDeviceProperty");
    if (PhysicalDeviceObject != nullptr) {
        *PhysicalDeviceObject = adapter != nullptr ? adapter->pdo() : nullptr;
    }
    if (FunctionalDeviceObject != nullptr) {
        *FunctionalDeviceObject = adapter != nullptr ? adapter->fdo() : nullptr;
    }
    if (NextDeviceObject != nullptr) {
        *NextDeviceObject = adapter != nullptr ? adapter->lower() : nullptr;
    }
    if (AllocatedResources != nullptr) {
        *AllocatedResources = nullptr;
    }
    if (AllocatedResourcesTranslated != nullptr) {
        *AllocatedResourcesTranslated = nullptr;
    }
}

extern "C" VOID NTAPI NdisMFreeSharedMemory(NDIS_HANDLE, ULONG, BOOLEAN, PVOID,
                                            NDIS_PHYSICAL_ADDRESS) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMFreeSharedMemory");
}

extern "C" VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE, UINT, UINT, PVOID) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMDeregisterIoPortRange");
}

extern "C" VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMDeregisterInterrupt");
}

extern "C" VOID NTAPI NdisMFreeMapRegisters(NDIS_HANDLE) {
    HostLock::Hold hold;
    world().ndis().noteUnclaimedRelease("NdisMFreeMapRegisters");
}

extern "C" VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                        NDIS_STATUS Status) {
    host::ndis::internal::underHostLock([=] {
        if (currentIrql() > DISPATCH_LEVEL) [[unlikely]] {
            host::ndis::internal::reportRare(rule::kCallAboveMaxIrql, "NdisMSendComplete", [] {
                return std::string("called above DISPATCH_LEVEL");
            });
        }
        Adapter* adapter =
            world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMSendComplete");
        if (adapter != nullptr) {
            adapter->sendComplete(Packet, Status);
        }
    });
}

extern "C" VOID NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle,
                                                  NDIS_STATUS Status) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisMSetInformationComplete",
                                  "called above DISPATCH_LEVEL");
    }
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMSetInformationComplete");
    if (adapter != nullptr) {
        adapter->requestComplete(true, Status, "NdisMSetInformationComplete");
    }
}

extern "C" VOID NTAPI NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle,
                                                    NDIS_STATUS Status) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisMQueryInformationComplete",
                                  "called above DISPATCH_LEVEL");
    }
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMQueryInformationComplete");
    if (adapter != nullptr) {
        adapter->requestComplete(false, Status, "NdisMQueryInformationComplete");
    }
}

extern "C" VOID NTAPI NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status,
                                         BOOLEAN AddressingReset) {
    HostLock::Hold hold;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        world().verifier().report(rule::kCallAboveMaxIrql, "NdisMResetComplete",
                                  "called above DISPATCH_LEVEL");
    }
    UNREFERENCED_PARAMETER(AddressingReset);
    Adapter* adapter =
        world().ndis().adapterFromHandle(MiniportAdapterHandle, "NdisMResetComplete");
    if (adapter != nullptr) {
        adapter->resetComplete(Status);
    }
}

extern "C" VOID NTAPI NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMSendResourcesAvailable");
    if (adapter != nullptr) {
        adapter->deliver([&](host::ndis::Protocol& p) { p.sendResourcesAvailable(*adapter); });
    }
}

extern "C" VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle,
                                          NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                                          UINT StatusBufferSize) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMIndicateStatus");
    if (adapter == nullptr) {
        return;
    }
    std::vector<std::uint8_t> buffer;
    if (StatusBuffer != nullptr && StatusBufferSize != 0) {
        auto* bytes = static_cast<const std::uint8_t*>(StatusBuffer);
        buffer.assign(bytes, bytes + StatusBufferSize);
    }
    adapter->deliver([&](host::ndis::Protocol& p) { p.status(*adapter, GeneralStatus, buffer); });
}

extern "C" VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    HostLock::Hold hold;
    Adapter* adapter =
        world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMIndicateStatusComplete");
    if (adapter != nullptr) {
        adapter->deliver([&](host::ndis::Protocol& p) { p.statusComplete(*adapter); });
    }
}
