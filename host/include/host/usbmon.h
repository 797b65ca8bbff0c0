// usbmon capture: USB transfers written as a pcap file in the Linux usbmon format
// (LINKTYPE_USB_LINUX_MMAPPED, 220), so Wireshark and tshark can show what a driver did.
//
// Every transfer gives two records with the same id: the submission ('S', status -EINPROGRESS,
// the setup packet of a control transfer, the data of an OUT transfer) and the completion ('C',
// status 0 or -errno, the data of an IN transfer). Timestamps are virtual time.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <span>
#include <string>

#include "host/ddk_usb.h"
#include "host/usb_device.h"

namespace host::usb {

enum class XferType : std::uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

// One usbmon event, before it is laid out as a record.
struct UsbmonEvent {
    std::uint64_t id = 0;
    char type = 'S'; // 'S' submit, 'C' complete, 'E' error
    XferType xferType = XferType::Control;
    std::uint8_t endpoint = 0;          // with the direction bit (control IN: 0x80)
    Time time = 0;                      // virtual time, 100 ns units
    std::int32_t status = 0;            // -EINPROGRESS on 'S'; 0 or -errno on 'C'
    std::uint32_t length = 0;           // urb_len: requested on 'S', moved on 'C'
    std::optional<SetupPacket> setup;   // control 'S' only
    std::span<const std::uint8_t> data; // OUT on 'S', IN on 'C'
    std::int32_t interval = 0;          // interrupt endpoints
};

// Linux errno values as usbmon reports them.
namespace usbmon_errno {
inline constexpr std::int32_t kInProgress = -115; // -EINPROGRESS
inline constexpr std::int32_t kNoEntry = -2;      // -ENOENT: killed (cancelled)
inline constexpr std::int32_t kConnReset = -104;  // -ECONNRESET: unlinked (pipe aborted)
inline constexpr std::int32_t kPipe = -32;        // -EPIPE: stall
inline constexpr std::int32_t kNoDevice = -19;    // -ENODEV: device gone
inline constexpr std::int32_t kProto = -71;       // -EPROTO: bit stuff, no answer, CRC
inline constexpr std::int32_t kOverflow = -75;    // -EOVERFLOW: babble, buffer overrun
inline constexpr std::int32_t kRemoteIo = -121;   // -EREMOTEIO: short packet not allowed
inline constexpr std::int32_t kInvalid = -22;     // -EINVAL: malformed request
} // namespace usbmon_errno

// The usbmon status of a completed transfer for a USBD status. For USBD_STATUS_CANCELED,
// `aborted` tells an abort of the pipe (-ECONNRESET) from a cancelled IRP (-ENOENT).
std::int32_t usbmonStatus(USBD_STATUS status, bool aborted = false);

// Writes the pcap global header and then one record per event. Each record is flushed, so a
// capture can be read while the bus is still running.
class UsbmonWriter {
  public:
    static constexpr std::uint32_t kLinkType = 220;
    static constexpr std::size_t kHeaderSize = 64;

    explicit UsbmonWriter(const std::string& path, std::uint32_t snaplen = 65535,
                          std::uint16_t busnum = 1, std::uint8_t devnum = 2);
    ~UsbmonWriter();
    UsbmonWriter(const UsbmonWriter&) = delete;
    UsbmonWriter& operator=(const UsbmonWriter&) = delete;

    bool good() const { return out_.good(); }
    void write(const UsbmonEvent& event);
    void close();
    std::uint64_t records() const { return records_; }

  private:
    std::ofstream out_;
    std::uint32_t snaplen_;
    std::uint16_t busnum_;
    std::uint8_t devnum_;
    std::uint64_t records_ = 0;
};

} // namespace host::usb
