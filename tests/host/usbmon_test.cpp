// The usbmon pcap writer, byte by byte: what libpcap and Wireshark expect of link type 220.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "host/usbmon.h"

namespace host::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t le(const Bytes& b, std::size_t at, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v |= static_cast<std::uint64_t>(b[at + i]) << (8 * i);
    }
    return v;
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
    EXPECT_EQ(w.records(), 4u);

    Bytes f = read();
    ASSERT_GE(f.size(), 24u);
    EXPECT_EQ(le(f, 0, 4), 0xA1B2C3D4u);
    EXPECT_EQ(le(f, 4, 2), 2u);
    EXPECT_EQ(le(f, 6, 2), 4u);
    EXPECT_EQ(le(f, 16, 4), 200u);
    EXPECT_EQ(le(f, 20, 4), 220u);

    std::size_t at = 24;
    std::vector<Bytes> headers;
    std::vector<Bytes> payloads;
    std::vector<std::uint64_t> originalLengths;
    while (at + 16 <= f.size()) {
        std::size_t captured = le(f, at + 8, 4);
        originalLengths.push_back(le(f, at + 12, 4));
        ASSERT_GE(captured, 64u);
        ASSERT_LE(at + 16 + captured, f.size());
        headers.emplace_back(f.begin() + at + 16, f.begin() + at + 16 + 64);
        payloads.emplace_back(f.begin() + at + 16 + 64, f.begin() + at + 16 + captured);
        if (headers.size() == 1) {
            EXPECT_EQ(le(f, at, 4), 3u);       // ts_sec
            EXPECT_EQ(le(f, at + 4, 4), 250u); // ts_usec
        }
        at += 16 + captured;
    }
    EXPECT_EQ(at, f.size());
    ASSERT_EQ(headers.size(), 4u);

    const Bytes& s = headers[0];
    EXPECT_EQ(le(s, 0, 8), 42u);
    EXPECT_EQ(s[8], 'S');
    EXPECT_EQ(s[9], 2); // control
    EXPECT_EQ(s[10], 0x00);
    EXPECT_EQ(s[11], 7);
    EXPECT_EQ(le(s, 12, 2), 3u);
    EXPECT_EQ(s[14], 0); // setup present
    EXPECT_EQ(s[15], 0); // data present
    EXPECT_EQ(le(s, 16, 8), 3u);
    EXPECT_EQ(le(s, 24, 4), 250u);
    EXPECT_EQ(static_cast<std::int32_t>(le(s, 28, 4)), -115);
    EXPECT_EQ(le(s, 32, 4), 2u);
    EXPECT_EQ(le(s, 36, 4), 2u);
    EXPECT_EQ(Bytes(s.begin() + 40, s.begin() + 48), (Bytes{0x40, 0xF1, 0, 0, 0x7E, 0, 2, 0}));
    EXPECT_EQ(le(s, 56, 4), 0u);
    EXPECT_EQ(payloads[0], out);

    const Bytes& c = headers[1];
    EXPECT_EQ(le(c, 0, 8), 42u);
    EXPECT_EQ(c[8], 'C');
    EXPECT_EQ(c[14], '-');
    EXPECT_EQ(c[15], '>'); // OUT completion: no data
    EXPECT_EQ(le(c, 36, 4), 0u);
    EXPECT_TRUE(payloads[1].empty());

    EXPECT_EQ(headers[2][15], '<'); // IN submission: no data
    EXPECT_EQ(headers[2][14], '-');
    EXPECT_EQ(le(headers[2], 56, 4), 0x200u);
    EXPECT_TRUE(payloads[2].empty());

    const Bytes& ci = headers[3];
    EXPECT_EQ(ci[15], 0);
    EXPECT_EQ(le(ci, 32, 4), 300u);       // urb_len: what moved
    EXPECT_EQ(le(ci, 36, 4), 200u - 64u); // len_cap: what fits the snap length
    EXPECT_EQ(payloads[3], Bytes(136, 0xAB));
    EXPECT_EQ(originalLengths[3], 64u + 300u);
}

} // namespace
} // namespace host::usb
