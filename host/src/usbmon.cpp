// usbmon pcap writer: the pcap global header, then one 64-byte usbmon header per event followed
// by the captured data (Linux Documentation/usb/usbmon.rst, "binary interface", mmapped form).
#include "host/usbmon.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace host::usb {

namespace {

template <typename T>
void put(std::uint8_t* at, T value) {
    // The record is little-endian, as the capturing host (x86) wrote it.
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        at[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
    }
}

} // namespace

std::int32_t usbmonStatus(USBD_STATUS status, bool aborted) {
    using namespace usbmon_errno;
    switch (status) {
    case USBD_STATUS_SUCCESS:
        return 0;
    case USBD_STATUS_CANCELED:
        return aborted ? kConnReset : kNoEntry;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
        return kPipe;
    case USBD_STATUS_DEVICE_GONE:
        return kNoDevice;
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BUFFER_OVERRUN:
        return kOverflow;
    case USBD_STATUS_DATA_UNDERRUN:
        return kRemoteIo;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return kInvalid;
    default:
        return kProto;
    }
}

UsbmonWriter::UsbmonWriter(const std::string& path, std::uint32_t snaplen, std::uint16_t busnum,
                           std::uint8_t devnum)
    : out_(path, std::ios::binary | std::ios::trunc),
      snaplen_(std::max<std::uint32_t>(snaplen, 64)), busnum_(busnum), devnum_(devnum) {
    std::array<std::uint8_t, 24> header{};
    put<std::uint32_t>(&header[0], 0xA1B2C3D4); // microsecond timestamps
    put<std::uint16_t>(&header[4], 2);
    put<std::uint16_t>(&header[6], 4);
    put<std::int32_t>(&header[8], 0);   // thiszone
    put<std::uint32_t>(&header[12], 0); // sigfigs
    put<std::uint32_t>(&header[16], snaplen_);
    put<std::uint32_t>(&header[20], kLinkType);
    out_.write(reinterpret_cast<const char*>(header.data()), header.size());
    out_.flush();
}

UsbmonWriter::~UsbmonWriter() {
    close();
}

void UsbmonWriter::close() {
    if (out_.is_open()) {
        out_.close();
    }
}

void UsbmonWriter::write(const UsbmonEvent& event) {
    if (!out_.is_open()) {
        return;
    }
    bool in = (event.endpoint & 0x80) != 0;
    // Data travels with the submission of an OUT transfer and the completion of an IN one.
    bool carriesData = (event.type == 'S') != in;
    std::size_t captured = carriesData ? std::min(event.data.size(), snaplen_ - kHeaderSize) : 0;

    std::array<std::uint8_t, kHeaderSize> h{};
    put<std::uint64_t>(&h[0], event.id);
    h[8] = static_cast<std::uint8_t>(event.type);
    h[9] = static_cast<std::uint8_t>(event.xferType);
    h[10] = event.endpoint;
    h[11] = devnum_;
    put<std::uint16_t>(&h[12], busnum_);
    bool setup = event.type == 'S' && event.xferType == XferType::Control && event.setup;
    h[14] = setup ? 0 : '-';
    h[15] = event.type == 'S' && in ? '<' : event.type == 'C' && !in ? '>' : 0;
    put<std::int64_t>(&h[16], event.time / kSecond);
    put<std::int32_t>(&h[24], static_cast<std::int32_t>((event.time % kSecond) / kMicrosecond));
    put<std::int32_t>(&h[28], event.status);
    put<std::uint32_t>(&h[32], event.length);
    put<std::uint32_t>(&h[36], static_cast<std::uint32_t>(captured));
    if (setup) {
        std::vector<std::uint8_t> bytes = event.setup->bytes();
        std::memcpy(&h[40], bytes.data(), 8);
    }
    put<std::int32_t>(&h[48], event.interval);
    put<std::int32_t>(&h[52], 0);                 // start_frame
    put<std::uint32_t>(&h[56], in ? 0x200u : 0u); // URB_DIR_IN
    put<std::uint32_t>(&h[60], 0);                // ndesc

    std::array<std::uint8_t, 16> record{};
    std::uint32_t length = static_cast<std::uint32_t>(kHeaderSize + captured);
    put<std::uint32_t>(&record[0], static_cast<std::uint32_t>(event.time / kSecond));
    put<std::uint32_t>(&record[4],
                       static_cast<std::uint32_t>((event.time % kSecond) / kMicrosecond));
    put<std::uint32_t>(&record[8], length);
    put<std::uint32_t>(&record[12], static_cast<std::uint32_t>(
                                        kHeaderSize + (carriesData ? event.data.size() : 0)));
    out_.write(reinterpret_cast<const char*>(record.data()), record.size());
    out_.write(reinterpret_cast<const char*>(h.data()), h.size());
    if (captured != 0) {
        out_.write(reinterpret_cast<const char*>(event.data.data()),
                   static_cast<std::streamsize>(captured));
    }
    out_.flush();
    ++records_;
}

} // namespace host::usb
