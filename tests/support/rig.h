// The one way the tests load the driver and plug the device: a machine (the World, whose
// verifier collects its reports), a KT735 model on the simulated bus, the driver loaded through
// the host's PnP manager. The gtest fixture of the driver suites (tests/driver/fixture.h) holds
// one per test; the fault sweeps, the interleavings and the fuzz targets make and throw away
// many in one process.
//
//     kt735n_test::Rig rig({}, [](auto& parameters, auto& device) { ... });
//     rig.world().memory().failNth(host::Memory::Kind::Pool, 3);
//     if (rig.start() == NDIS_STATUS_SUCCESS) { rig.movesFrames(false); }
//     std::string problems = rig.finish(); // "" when nothing was reported or left behind
//
// A Rig made while another World exists (a test's own) uses that one and leaves it in place.
#pragma once

#include <host/ndis.h>
#include <host/pnp.h>
#include <host/usb_bus.h>
#include <host/world.h>
#include <kt735_device.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/handlers.h"

namespace kt735n_test {

// The KT735 model with a hook on every control transfer that reaches it, called before the
// chip acts on it: tests look at the driver's state at that moment, or change the device's.
struct HookedDevice : kt735::model::Kt735Device {
    using Kt735Device::Kt735Device;
    std::function<void(const kt735::model::SetupPacket&, std::span<std::uint8_t>)> onControl;

    kt735::model::Outcome control(const kt735::model::SetupPacket& setup,
                                  std::span<std::uint8_t> data, std::size_t& actual) override {
        if (onControl) {
            onControl(setup, data);
        }
        return Kt735Device::control(setup, data, actual);
    }
};

class Rig {
  public:
    using Prepare = std::function<void(host::ndis::Parameters&, HookedDevice&)>;

    explicit Rig(kt735::model::UsbIdentity identity = {}, const Prepare& prepare = {})
        : prepare_(prepare) {
        if (!host::World::exists()) {
            ownWorld_ = std::make_unique<host::World>();
            ownWorld_->verifier().setHandler(
                [this](const host::Violation& v) { problems_ += v.text() + "\n"; });
        }
        plug(std::move(identity));
        NTSTATUS status = STATUS_PENDING;
        driver_ = world().pnp().loadDriver(DriverEntry, L"KT735N", &status);
        loadStatus_ = status;
    }
    ~Rig() {
        bus_.reset();
        device_.reset();
        SavedAddDevice = nullptr;
        SavedPnpDispatch = nullptr;
        ownWorld_.reset();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Adds the device through the driver's filter to NDIS's AddDevice; MiniportInitialize has
    // not run. Returns what AddDevice returned.
    NTSTATUS add() {
        added_ = true;
        NTSTATUS status = world().pnp().addDevice(driver_, bus_->pdo());
        adapter_ = world().ndis().lastAdapter();
        return status;
    }

    // Adds and starts the device: MiniportInitialize runs. Returns what it returned.
    NDIS_STATUS start() {
        if (add() != STATUS_SUCCESS || adapter_ == nullptr) {
            return NDIS_STATUS_FAILURE; // PnP starts no device whose AddDevice failed
        }
        world().pnp().startDevice(bus_->pdo());
        return adapter_->initializeStatus();
    }

    // Plugs a fresh device offering `identity`, prepared as the first, on a fresh bus with the
    // driver still loaded; a device in use is removed first (a halt when it runs).
    void plug(kt735::model::UsbIdentity identity = {}) {
        if (added_) {
            world().pnp().removeDevice(bus_->pdo());
            added_ = false;
            adapter_ = nullptr;
        }
        bus_.reset();
        identity_ = std::move(identity);
        device_ = std::make_unique<HookedDevice>(identity_);
        if (prepare_) {
            prepare_(world().ndis().defaultParameters(), *device_);
        }
        bus_ = std::make_unique<host::usb::Bus>();
        bus_->plug(*device_);
    }

    // A fresh device started after the last (see plug): what one start left in the driver or
    // the host must not spoil the next. Returns what MiniportInitialize returned.
    NDIS_STATUS startFreshDevice() {
        plug(identity_);
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
        const host::Time deadline = world().now() + 6 * host::kSecond + host::kMillisecond;
        while (world().now() < deadline) {
            if (device_->counters().txFrames == sent) {
                adapter_->send(frame);
            }
            if (adapter_->log().received.size() == received) {
                wire.sendToAdapter(frame);
            }
            world().scheduler().runFor(500 * host::kMillisecond);
            if (device_->counters().txFrames > sent && adapter_->log().received.size() > received) {
                return true;
            }
        }
        return false;
    }

    // Removes the device (a halt when it runs), unloads the driver and returns what was
    // reported or left behind.
    std::string finish() {
        world().pnp().removeDevice(bus_->pdo());
        added_ = false;
        world().pnp().unloadDriver(driver_);
        return problems_ + leftBehind();
    }

    // NDIS memory, pool and IRPs still held: "" when everything was given back.
    std::string leftBehind() {
        std::string left;
        for (auto kind : {host::Memory::Kind::Ndis, host::Memory::Kind::Pool}) {
            left += world().memory().leakReport(kind);
        }
        if (world().irps().liveCount() != 0) {
            left += std::to_string(world().irps().liveCount()) + " IRPs alive\n";
        }
        return left;
    }

    host::World& world() { return host::World::current(); }
    host::usb::Bus& bus() const { return *bus_; }
    HookedDevice& device() const { return *device_; }
    // NDIS's adapter of the device once added; null before.
    host::ndis::Adapter* adapter() const { return adapter_; }
    PDRIVER_OBJECT driver() const { return driver_; }
    NTSTATUS loadStatus() const { return loadStatus_; }
    // What the verifier reported so far (a machine of its own only).
    const std::string& problems() const { return problems_; }

  private:
    kt735::model::UsbIdentity identity_;
    Prepare prepare_;
    std::unique_ptr<host::World> ownWorld_;
    std::unique_ptr<HookedDevice> device_;
    std::unique_ptr<host::usb::Bus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS loadStatus_ = STATUS_PENDING;
    host::ndis::Adapter* adapter_ = nullptr;
    bool added_ = false;
    std::string problems_;
};

// A number from the environment (decimal, or hex with 0x), or `fallback` when it is unset.
inline std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

// A wake-up pattern request as NDIS passes it: NDIS_PM_PACKET_PATTERN, the mask right behind it,
// the pattern bytes behind the mask. MaskSize and PatternOffset follow the layout unless given.
inline std::vector<std::uint8_t> wakePattern(const std::vector<std::uint8_t>& mask,
                                             const std::vector<std::uint8_t>& bytes,
                                             ULONG maskSize = ~0u, ULONG patternOffset = ~0u) {
    NDIS_PM_PACKET_PATTERN header = {};
    header.MaskSize = maskSize != ~0u ? maskSize : static_cast<ULONG>(mask.size());
    header.PatternOffset =
        patternOffset != ~0u ? patternOffset : static_cast<ULONG>(sizeof(header) + mask.size());
    header.PatternSize = static_cast<ULONG>(bytes.size());
    std::vector<std::uint8_t> request(sizeof(header));
    std::memcpy(request.data(), &header, sizeof(header));
    request.insert(request.end(), mask.begin(), mask.end());
    request.insert(request.end(), bytes.begin(), bytes.end());
    return request;
}

} // namespace kt735n_test
