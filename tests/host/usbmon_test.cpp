// The usbmon pcap writer, byte by byte: what libpcap and Wireshark expect of link type 220.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstdio>
#include <iterator>
#include <unistd.h>

#include "host/usbmon.h"

namespace host::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(Bytes::const_iterator from, Bytes::const_iterator to) {
    std::string out;
    for (; from != to; ++from) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", *from);
        out += two;
    }
    return out;
}

class UsbmonWriterTest : public ::testing::Test {
  protected:
    std::string path_ = (std::filesystem::temp_directory_path() /
                         ("usbmon_writer_" + std::to_string(::getpid()) + ".pcap"))
                            .string();
    ~UsbmonWriterTest() override { std::filesystem::remove(path_); }
    Bytes read() {
        std::ifstream in(path_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(UsbmonWriterTest, RecordsFollowTheMmappedLayout) {
    UsbmonWriter w(path_, 200, 3, 7);
    Bytes out = {0x24, 0x00};
    Bytes in(300, 0xAB); // longer than the snap length allows
    // A vendor write: setup and data on the submission, nothing on the completion.
    w.write({.id = 42,
             .type = 'S',
             .endpoint = 0x00,
             .time = 3 * kSecond + 250 * kMicrosecond + 7,
             .status = usbmon_errno::kInProgress,
             .length = 2,
             .setup = SetupPacket{0x40, 0xF1, 0, 0x7E, 2},
             .data = out});
    w.write({.id = 42, .type = 'C', .endpoint = 0x00, .time = 4 * kSecond, .length = 2});
    // A bulk IN: nothing on the submission, the data (cut at the snap length) on completion.
    w.write({.id = 43,
             .type = 'S',
             .xferType = XferType::Bulk,
             .endpoint = 0x81,
             .status = usbmon_errno::kInProgress,
             .length = 300});
    w.write({.id = 43,
             .type = 'C',
             .xferType = XferType::Bulk,
             .endpoint = 0x81,
             .status = usbmonStatus(USBD_STATUS_SUCCESS),
             .length = 300,
             .data = in});
    w.close();

    // The whole file: pcap header, then per record a pcap record header (time, captured and
    // original length), the 64-byte usbmon header (id, type, transfer type, endpoint, device,
    // bus, setup and data flags, time, status, urb_len, len_cap, setup, interval, start frame,
    // transfer flags, descriptor count) and the captured data.
    Bytes f = read();
    ASSERT_EQ(f.size(), 24u + 4 * (16 + 64) + 2 + 136);
    EXPECT_EQ(hex(f.begin(), f.end() - 136),
              "d4c3b2a1020004000000000000000000c8000000dc000000" // magic, 2.4, snap 200, 220
              // vendor write submitted at 3 s 250 us: setup and data present, -EINPROGRESS
              "03000000fa0000004200000042000000"
              "2a000000000000005302000703000000"
              "0300000000000000fa0000008dffffff"
              "020000000200000040f100007e000200"
              "00000000000000000000000000000000"
              "2400"
              // its completion at 4 s: no setup, no data for an OUT transfer
              "04000000000000004000000040000000"
              "2a000000000000004302000703002d3e"
              "04000000000000000000000000000000"
              "02000000000000000000000000000000"
              "00000000000000000000000000000000"
              // bulk IN submitted: no data yet, the IN direction among the transfer flags
              "00000000000000004000000040000000"
              "2b000000000000005303810703002d3c"
              "0000000000000000000000008dffffff"
              "2c010000000000000000000000000000"
              "00000000000000000002000000000000"
              // its completion: urb_len 300 moved, len_cap 136 fits the snap length
              "0000000000000000c80000006c010000"
              "2b000000000000004303810703002d00"
              "00000000000000000000000000000000"
              "2c010000880000000000000000000000"
              "00000000000000000002000000000000");
    EXPECT_EQ(Bytes(f.end() - 136, f.end()), Bytes(136, 0xAB));
}

} // namespace
} // namespace host::usb
