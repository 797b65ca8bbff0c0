// A running adapter for the transmit and query tests: the driver loaded, a KT735 model on the
// simulated bus behind it, the adapter started through PnP and NDIS, a recorder on the Ethernet
// wire, and the test standing on NDIS's upper edge.
//
// Initialization here is the chip bring-up and what the media start leaves for the transmit
// path: DeviceState 12, every transmit descriptor free, the chip's transmitter on. No bulk-in
// transfer is posted, so the bus log holds only what the transmit path sends. Halt waits for
// the transmit path to be done with the stack before it gives everything back.
#pragma once

#include <host/ndis.h>
#include <host/pnp.h>
#include <host/testing.h>
#include <host/usb_bus.h>
#include <kt735_device.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "chip/chip.h"
#include "chip/descriptors.h"
#include "datapath/datapath.h"
#include "driver/handlers.h"
#include "usb/registers.h"
#include "usb/usb.h"

namespace transmit_test {

// Deserialized, ignoring timeouts, as the driver declares itself.
constexpr ULONG kAttributeFlags = 0x33;

inline NDIS_STATUS NTAPI StartForTransmit(PNDIS_STATUS openErrorStatus, PUINT selectedMediumIndex,
                                          PNDIS_MEDIUM mediumArray, UINT mediumArraySize,
                                          NDIS_HANDLE handle, NDIS_HANDLE configuration) {
    (void)openErrorStatus;
    (void)mediumArray;
    (void)mediumArraySize;
    *selectedMediumIndex = 0;
    Adapter* adapter = nullptr;
    NDIS_STATUS status = CreateAdapter(handle, configuration, &adapter);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    NdisMSetAttributesEx(handle, adapter, 0, kAttributeFlags, NdisInterfaceInternal);
    NdisAllocateSpinLock(&adapter->TxLock);
    NdisAllocateSpinLock(&adapter->RxLock);
    if (BringUpChip(adapter) != KT735N_OK) {
        NdisFreeSpinLock(&adapter->TxLock);
        NdisFreeSpinLock(&adapter->RxLock);
        ReleaseReceivePackets(adapter);
        LedgerReleaseAll(adapter);
        return NDIS_STATUS_RESOURCES;
    }
    adapter->FreeTxCount = (LONG)adapter->TxDescriptorCount;
    adapter->LinkSpeed = 2;
    adapter->Duplex = 2;
    adapter->DeviceState = KT735N_DEVICE_RUNNING;
    adapter->InitDone = 1;
    return NDIS_STATUS_SUCCESS;
}

inline VOID NTAPI HaltAfterTransmit(NDIS_HANDLE context) {
    Adapter* adapter = static_cast<Adapter*>(context);
    while (!BulkOutIdle(adapter)) {
        NdisMSleep(1000);
    }
    NdisFreeSpinLock(&adapter->TxLock);
    NdisFreeSpinLock(&adapter->RxLock);
    ReleaseReceivePackets(adapter);
    LedgerReleaseAll(adapter);
}

class TransmitFixture : public host::testing::WorldTest {
  protected:
    // Parameters may be set on params() before start().
    void SetUp() override {
        NTSTATUS status = STATUS_PENDING;
        driver_ = world().pnp().loadDriver(DriverEntry, L"KT735N", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        host::ndis::Library::Miniport* miniport = world().ndis().miniport(driver_);
        ASSERT_NE(miniport, nullptr);
        miniport->chars.Ndis40Chars.Ndis30Chars.InitializeHandler = StartForTransmit;
        miniport->chars.Ndis40Chars.Ndis30Chars.HaltHandler = HaltAfterTransmit;
        world().ndis().defaultParameters().set("MediaSel", 1u);
        recorder_ = &device_.ethernet().attach<kt735::model::Recorder>();
        bus_.plug(device_);
    }

    host::ndis::Parameters& params() { return world().ndis().defaultParameters(); }

    void start() {
        ASSERT_EQ(world().pnp().addDevice(driver_, bus_.pdo()), STATUS_SUCCESS);
        ndis_ = world().ndis().lastAdapter();
        ASSERT_NE(ndis_, nullptr);
        ASSERT_EQ(world().pnp().startDevice(bus_.pdo()), STATUS_SUCCESS);
        ASSERT_TRUE(ndis_->running());
        adapter_ = static_cast<Adapter*>(ndis_->context());
        ASSERT_NE(adapter_, nullptr);
        // Transmitter and receiver on, as the media start leaves them; then let the link come up.
        device_.pokeReg(Control0, 0xC0 | adapter_->Control0Shadow);
        scheduler().runFor(host::kSecond);
        bus_.clearLog();
        recorder_->clear();
        ndis_->log().clear();
    }

    void TearDown() override {
        if (ndis_ != nullptr && ndis_->running()) {
            world().pnp().removeDevice(bus_.pdo());
        }
        SavedAddDevice = nullptr;
        SavedPnpDispatch = nullptr;
    }

    // A frame of `length` bytes: broadcast destination, a source, then bytes counting from
    // `seed`, so that every frame of a test differs.
    static std::vector<std::uint8_t> frame(std::size_t length, std::uint8_t seed = 0) {
        std::vector<std::uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; i++) {
            bytes[i] = static_cast<std::uint8_t>(i < 6 ? 0xFF : seed + i);
        }
        return bytes;
    }

    // The bulk-out transfers the bus saw, in order, as their data.
    std::vector<std::vector<std::uint8_t>> bulkOut() const {
        std::vector<std::vector<std::uint8_t>> transfers;
        for (const host::usb::Request& request : bus_.log()) {
            if (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                request.endpoint == 0x02) {
                transfers.push_back(request.data);
            }
        }
        return transfers;
    }

    // The transfer the driver should make of a frame: header, frame, brought to 60 bytes.
    static std::vector<std::uint8_t> image(const std::vector<std::uint8_t>& f) {
        std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(f.size() & 0xFF),
                                        static_cast<std::uint8_t>(f.size() >> 8)};
        bytes.insert(bytes.end(), f.begin(), f.end());
        return bytes;
    }

    // Frames the adapter put on the Ethernet wire.
    std::vector<std::vector<std::uint8_t>> wire() const {
        std::vector<std::vector<std::uint8_t>> frames;
        for (const kt735::model::WireFrame& f : recorder_->sentByAdapter()) {
            frames.push_back(f.bytes);
        }
        return frames;
    }

    std::size_t freeListLength() const {
        std::size_t n = 0;
        for (TransferDescriptor* d = adapter_->FreeTxList.Head; d != nullptr; d = d->Next) {
            n++;
        }
        return n;
    }

    kt735::model::Kt735Device device_;
    host::usb::Bus bus_;
    kt735::model::Recorder* recorder_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    host::ndis::Adapter* ndis_ = nullptr;
    Adapter* adapter_ = nullptr;
};

} // namespace transmit_test
