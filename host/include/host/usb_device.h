// The boundary between the host's simulated USB bus and a device plugged into it.
//
// The bus (host/usb_bus.h) turns the URBs a driver submits into USB transactions and hands them
// to a UsbDevice: control transfers on endpoint 0, bulk and interrupt transfers on the others. The
// device answers the way hardware would; it knows nothing of IRPs or URBs. Everything here is
// plain modern C++ and independent of the DDK declarations, so a device model builds on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "host/callback.h"

namespace host::usb {

// Virtual time in 100 ns units, the unit of the kernel's intervals.
using Time = std::int64_t;
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

// The standard requests, their bmRequestType fields and the feature selectors (USB 2.0, 9.3
// and 9.4), as the bus sends them and a device answers them.
namespace ch9 {
inline constexpr std::uint8_t kTypeStandard = 0x00;
inline constexpr std::uint8_t kTypeVendor = 0x40;
inline constexpr std::uint8_t kRecipientDevice = 0x00;
inline constexpr std::uint8_t kRecipientInterface = 0x01;
inline constexpr std::uint8_t kRecipientEndpoint = 0x02;

inline constexpr std::uint8_t kGetStatus = 0x00;
inline constexpr std::uint8_t kClearFeature = 0x01;
inline constexpr std::uint8_t kSetFeature = 0x03;
inline constexpr std::uint8_t kSetAddress = 0x05;
inline constexpr std::uint8_t kGetDescriptor = 0x06;
inline constexpr std::uint8_t kGetConfiguration = 0x08;
inline constexpr std::uint8_t kSetConfiguration = 0x09;
inline constexpr std::uint8_t kGetInterface = 0x0A;
inline constexpr std::uint8_t kSetInterface = 0x0B;

inline constexpr std::uint16_t kFeatureEndpointHalt = 0x0000;
inline constexpr std::uint16_t kFeatureRemoteWakeup = 0x0001;
} // namespace ch9

// The 8-byte setup packet of a control transfer (USB 2.0 chapter 9), host byte order.
struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;

    bool isIn() const { return (bmRequestType & 0x80) != 0; }
    // The packet as it goes on the wire (little-endian fields).
    std::vector<std::uint8_t> bytes() const;
};

// How a transaction ended, as the device reports it. The bus maps these to USBD status codes.
enum class Outcome {
    Ok,       // completed; for IN, `actual` bytes were delivered
    Stall,    // the endpoint answered STALL (a request the device does not support)
    NoAnswer, // the device did not respond (timeout on the wire; device gone)
};

// A bulk or interrupt IN transfer that the host has posted and the device has not yet filled.
// The device completes it through UsbPort::completeIn when it has data.
struct InRequest {
    std::uint64_t id = 0;      // unique per posted transfer
    std::uint8_t endpoint = 0; // with the direction bit, e.g. 0x81
    std::size_t maxLength = 0; // the transfer buffer length the driver posted
};

// What the bus offers the device: virtual time, deferred work, and completion of IN transfers.
class UsbPort {
  public:
    virtual ~UsbPort() = default;
    virtual Time now() const = 0;
    // Runs `fn` at now() + delay, in the bus's (DISPATCH_LEVEL) context. Returns a handle.
    virtual std::uint64_t schedule(Time delay, Callback fn) = 0;
    virtual void cancelScheduled(std::uint64_t handle) = 0;
    // Fills the oldest posted IN transfer of `endpoint` with `data` (at most its maxLength
    // bytes; more is an overrun the bus reports as an error) and completes it. Returns false when
    // no transfer is posted on that endpoint.
    virtual bool completeIn(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                            Outcome outcome = Outcome::Ok) = 0;
    // completeIn() with data that the device holds in two pieces, `data` then `more` (a frame
    // and the trailer the device appends to it), so it need not join them first.
    virtual bool completeInParts(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                                 std::span<const std::uint8_t> more) {
        std::vector<std::uint8_t> joined(data.begin(), data.end());
        joined.insert(joined.end(), more.begin(), more.end());
        return completeIn(endpoint, joined);
    }
    // How many IN transfers are posted and waiting on `endpoint`.
    virtual std::size_t pendingIn(std::uint8_t endpoint) const = 0;
    // The device signals remote wake-up (only meaningful while the feature is enabled).
    virtual void remoteWakeup() = 0;
};

// A USB device behind the simulated bus.
class UsbDevice {
  public:
    virtual ~UsbDevice() = default;

    // Called once when the device is plugged into a port of the bus.
    virtual void attach(UsbPort& port) = 0;
    // Called when the device is unplugged or the port is cycled; the bus has already completed
    // every posted transfer.
    virtual void detach() {}
    // A port cycle (re-enumeration). The device returns to its power-up state.
    virtual void portReset() {}

    // A control transfer on endpoint 0, standard requests included (GET_DESCRIPTOR,
    // SET_CONFIGURATION, SET/CLEAR_FEATURE, GET_STATUS). For an IN request, `data` has room for
    // wLength bytes: fill it and set `actual`. For an OUT request, `data` holds the data stage.
    virtual Outcome control(const SetupPacket& setup, std::span<std::uint8_t> data,
                            std::size_t& actual) = 0;

    // A bulk or interrupt OUT transfer to `endpoint` (e.g. 0x02), with its whole data (possibly
    // empty: a zero-length transfer).
    virtual Outcome bulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) = 0;

    // The host posted an IN transfer on `endpoint`. The device may complete it at once through
    // the port, or keep it and complete it later (a frame arrives, an interrupt is due).
    virtual void inPosted(const InRequest& request) = 0;
};

} // namespace host::usb
