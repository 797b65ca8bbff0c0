// A whole machine for one start of the adapter, made and thrown away in a loop: a fresh World
// whose verifier collects its reports, a KT735 model on the simulated bus, the driver loaded.
// Used by the fault sweeps and the fuzz targets, which need many machines in one process (the
// driver test fixture gives one per test).
//
//     kt735n_test::Rig rig({}, [](auto& parameters, auto& device) { ... });
//     rig.world().memory().failNth(host::Memory::Kind::Pool, 3);
//     if (rig.start() == NDIS_STATUS_SUCCESS) { rig.movesFrames(false); }
//     std::string problems = rig.finish(); // "" when nothing was reported or left behind
#pragma once

#include <host/ndis.h>
#include <host/pnp.h>
#include <host/usb_bus.h>
#include <host/world.h>
#include <kt735_device.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/handlers.h"

namespace kt735n_test {

class Rig {
  public:
    using Prepare = std::function<void(host::ndis::Parameters&, kt735::model::Kt735Device&)>;

    explicit Rig(kt735::model::UsbIdentity identity = {}, const Prepare& prepare = {})
        : identity_(std::move(identity)), prepare_(prepare) {
        world_ = std::make_unique<host::World>();
        world_->verifier().setHandler(
            [this](const host::Violation& v) { problems_ += v.text() + "\n"; });
        plugFreshDevice();
        NTSTATUS status = STATUS_PENDING;
        driver_ = world_->pnp().loadDriver(DriverEntry, L"KT735N", &status);
    }
    ~Rig() {
        bus_.reset();
        device_.reset();
        SavedAddDevice = nullptr;
        SavedPnpDispatch = nullptr;
        world_.reset();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Adds and starts the device: MiniportInitialize runs. Returns what it returned.
    NDIS_STATUS start() {
        world_->pnp().addDevice(driver_, bus_->pdo());
        adapter_ = world_->ndis().lastAdapter();
        world_->pnp().startDevice(bus_->pdo());
        return adapter_ != nullptr ? adapter_->initializeStatus() : NDIS_STATUS_FAILURE;
    }

    // Removes the device (a halt when it runs) and starts a fresh one, prepared the same way, on
    // a fresh bus with the driver still loaded: what one start left in the driver or the host
    // must not spoil the next. Returns what MiniportInitialize returned.
    NDIS_STATUS startFreshDevice() {
        world_->pnp().removeDevice(bus_->pdo());
        bus_.reset();
        plugFreshDevice();
        return start();
    }

    // Sends a frame each way until both got through, for at most three hang checks.
    bool movesFrames(bool phoneLine) {
        std::vector<std::uint8_t> frame(100, 0x5A);
        std::fill(frame.begin(), frame.begin() + 6, 0xFF);
        kt735::model::Segment& wire =
            phoneLine ? static_cast<kt735::model::Segment&>(device_->phoneLine())
                      : device_->ethernet();
        const std::uint64_t sent = device_->counters().txFrames;
        const std::size_t received = adapter_->log().received.size();
        const host::Time deadline = world_->now() + 6 * host::kSecond + host::kMillisecond;
        while (world_->now() < deadline) {
            if (device_->counters().txFrames == sent) {
                adapter_->send(frame);
            }
            if (adapter_->log().received.size() == received) {
                wire.sendToAdapter(frame);
            }
            world_->scheduler().runFor(500 * host::kMillisecond);
            if (device_->counters().txFrames > sent && adapter_->log().received.size() > received) {
                return true;
            }
        }
        return false;
    }

    // Removes the device (a halt when it runs), unloads the driver and returns what was
    // reported or left behind.
    std::string finish() {
        world_->pnp().removeDevice(bus_->pdo());
        world_->pnp().unloadDriver(driver_);
        for (auto kind : {host::Memory::Kind::Ndis, host::Memory::Kind::Pool}) {
            problems_ += world_->memory().leakReport(kind);
        }
        if (world_->irps().liveCount() != 0) {
            problems_ += std::to_string(world_->irps().liveCount()) + " IRPs alive\n";
        }
        return problems_;
    }

    host::World& world() { return *world_; }
    host::usb::Bus& bus() { return *bus_; }
    kt735::model::Kt735Device& device() { return *device_; }
    host::ndis::Adapter* adapter() { return adapter_; }
    // What the verifier reported so far.
    const std::string& problems() const { return problems_; }

  private:
    void plugFreshDevice() {
        device_ = std::make_unique<kt735::model::Kt735Device>(identity_);
        if (prepare_) {
            prepare_(world_->ndis().defaultParameters(), *device_);
        }
        bus_ = std::make_unique<host::usb::Bus>();
        bus_->plug(*device_);
    }

    kt735::model::UsbIdentity identity_;
    Prepare prepare_;
    std::unique_ptr<host::World> world_;
    std::unique_ptr<kt735::model::Kt735Device> device_;
    std::unique_ptr<host::usb::Bus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    host::ndis::Adapter* adapter_ = nullptr;
    std::string problems_;
};

} // namespace kt735n_test
