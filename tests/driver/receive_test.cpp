// The receive path on a running adapter: bulk-in transfers from the device model, the
// acceptance rules on the status trailer, the indications on NDIS's upper edge, the indicate
// timer that gathers frames, the restart after a burst, and the transfer-data handler. (A
// failing transfer ends reception until a reset: recovery_test.cpp.)
#include <cstdint>
#include <numeric>
#include <vector>

#include "datapath/datapath.h"
#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;

class ReceiveTest : public DriverFixture {
  protected:
    // A bulk-in transfer of n bytes as the chip sends it: frame bytes, 6 trailer bytes, then
    // the status word, low byte first. For n below 8 the status word is still the last two.
    static std::vector<std::uint8_t> transfer(std::size_t n, std::uint16_t status) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        if (n >= 2) {
            bytes[n - 2] = static_cast<std::uint8_t>(status & 0xFF);
            bytes[n - 1] = static_cast<std::uint8_t>(status >> 8);
        }
        return bytes;
    }

    const host::ndis::Library::Timer& indicateTimer() {
        return *world().ndis().timer(&adapter()->ReceiveIndicateTimer);
    }

    std::size_t bulkInPending() const {
        std::size_t n = 0;
        for (const host::usb::Request& r : bus().log()) {
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == 0x81 &&
                !r.done()) {
                ++n;
            }
        }
        return n;
    }
};

// Each transfer of the table in turn on one adapter: what is indicated (the first L bytes of
// the transfer, with NDIS_STATUS_RESOURCES and header size 14), what is counted, and that the
// descriptor is back on the pipe with one bulk-in transfer there.
TEST_F(ReceiveTest, AcceptanceRulesOnTheStatusTrailer) {
    struct Case {
        std::size_t n;
        std::uint16_t status;
        std::size_t indicated; // frame length indicated, 0 for none
        ULONG ok, crc;         // counter increments
    };
    // L = 0 is counted with nothing to indicate; a clear status accepts, and neither the high
    // byte nor bits 0x01 and 0x20 change that; 0x02 takes up to 1514 and 0x04 from 60; both
    // accept and count twice; a CRC error (0x08) alone drops, with an accept bit is counted
    // besides; 0x10 alone drops; 1 byte is no frame. Lengths beyond the 1514-byte buffer are
    // dropped and count as nothing received: 2 to 7 bytes wrap to 65530 and more, 1523 to 1536
    // give 1515 to 1528.
    const Case cases[] = {
        {8, 0x00, 0, 1, 0},       {108, 0x00, 100, 1, 0}, {108, 0xFF00, 100, 1, 0},
        {108, 0x01, 100, 1, 0},   {108, 0x20, 100, 1, 0}, {1522, 0x02, 1514, 1, 0},
        {1523, 0x02, 0, 0, 0},    {68, 0x04, 60, 1, 0},   {67, 0x04, 0, 0, 0},
        {108, 0x06, 100, 2, 0},   {108, 0x08, 0, 0, 1},   {108, 0x0A, 100, 1, 1},
        {108, 0x10, 0, 0, 0},     {1, 0x00, 0, 0, 0},     {2, 0x00, 0, 0, 0},
        {7, 0x00, 0, 0, 0},       {7, 0x04, 0, 0, 0},     {5, 0x0C, 0, 0, 1},
        {1523, 0x00, 0, 0, 0},    {1536, 0x00, 0, 0, 0},  {1536, 0x04, 0, 0, 0},
        {1522, 0x00, 1514, 1, 0},
    };
    startRunning();
    const ULONG freeDescriptors = adapter()->RxDescriptorCount - 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "n " << c.n << " status 0x" << std::hex << c.status);
        const ULONG ok = adapter()->Statistics.RxOkCount;
        const ULONG crc = adapter()->Statistics.RxCrcErrorCount;
        std::vector<std::uint8_t> bytes = transfer(c.n, c.status);
        clearLogs();
        device().injectBulkIn(bytes);
        scheduler().runFor(20 * kMillisecond);

        const auto& received = ndis().log().received;
        if (c.indicated == 0) {
            EXPECT_TRUE(received.empty());
        } else {
            ASSERT_EQ(received.size(), 1u);
            EXPECT_EQ(received[0].frame,
                      std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + c.indicated));
            EXPECT_EQ(received[0].packetStatus, NDIS_STATUS_RESOURCES);
            EXPECT_EQ(received[0].headerSize, 14u);
        }
        EXPECT_EQ(adapter()->Statistics.RxOkCount - ok, c.ok);
        EXPECT_EQ(adapter()->Statistics.RxCrcErrorCount - crc, c.crc);
        EXPECT_EQ(adapter()->FreeRxList.Count, freeDescriptors);
        EXPECT_EQ(adapter()->ReceivedList.Count, 0u);
        EXPECT_EQ(bulkInPending(), 1u);
        EXPECT_EQ(adapter()->DeviceState, ULONG{KT735N_DEVICE_RUNNING});
    }
}

// With three receive descriptors a burst of three leaves none free and nothing on the pipe;
// one run of the timer indicates them all, in the order they arrived, each as its own
// one-packet indication; then one transfer is back on the pipe.
TEST_F(ReceiveTest, BurstUsingEveryDescriptorRestartsAfterTheIndications) {
    parameters().set("RxPacketDesc", 3u);
    startRunning();
    ASSERT_EQ(adapter()->RxDescriptorCount, 3u);
    queueThreeWithTimerLate();
    EXPECT_TRUE(ndis().log().received.empty());
    EXPECT_EQ(adapter()->FreeRxList.Count, 0u);
    EXPECT_EQ(adapter()->ReceivedList.Count, 3u);
    EXPECT_EQ(bulkInPending(), 0u);

    const std::uint64_t runs = indicateTimer().runs;
    scheduler().runFor(100 * kMillisecond);
    EXPECT_EQ(indicateTimer().runs - runs, 1u);
    ASSERT_EQ(ndis().log().received.size(), 3u);
    for (std::uint8_t seed : {1, 2, 3}) {
        EXPECT_EQ(ndis().log().received[seed - 1].frame, frame(100, seed));
    }
    EXPECT_EQ(adapter()->FreeRxList.Count, 2u);
    EXPECT_EQ(bulkInPending(), 1u);
}

// The transfer-data handler copies from 14 bytes behind the receive context plus the offset,
// across the packet's buffers, as far as they reach.
TEST_F(ReceiveTest, TransferDataCopiesBehindTheHeaderAcrossBuffers) {
    startRunning();
    W_TRANSFER_DATA_HANDLER transferData = MiniportTransferData; // the registered handler
    std::vector<std::uint8_t> source(100);
    std::iota(source.begin(), source.end(), 0);
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE packetPool = nullptr;
    NDIS_HANDLE bufferPool = nullptr;
    NdisAllocatePacketPool(&status, &packetPool, 1, 0);
    NdisAllocateBufferPool(&status, &bufferPool, 2);
    PNDIS_PACKET packet = nullptr;
    NdisAllocatePacket(&status, &packet, packetPool);
    ASSERT_NE(packet, nullptr);
    std::vector<std::uint8_t> first(8, 0xEE);
    std::vector<std::uint8_t> second(30, 0xEE);
    PNDIS_BUFFER buffers[2] = {};
    NdisAllocateBuffer(&status, &buffers[0], bufferPool, first.data(), 8);
    NdisAllocateBuffer(&status, &buffers[1], bufferPool, second.data(), 30);
    for (PNDIS_BUFFER b : buffers) {
        NdisChainBufferAtBack(packet, b);
    }

    UINT transferred = 99;
    EXPECT_EQ(transferData(packet, &transferred, adapter(), source.data(), 10, 20),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(transferred, 20u);
    EXPECT_EQ(first, std::vector<std::uint8_t>(source.begin() + 24, source.begin() + 32));
    std::vector<std::uint8_t> expected(source.begin() + 32, source.begin() + 44);
    expected.resize(30, 0xEE);
    EXPECT_EQ(second, expected);

    // More than the buffers hold: as much as they hold. Nothing asked: nothing copied.
    EXPECT_EQ(transferData(packet, &transferred, adapter(), source.data(), 0, 60),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(transferred, 38u);
    EXPECT_EQ(second.back(), source[14 + 37]);
    transferred = 99;
    EXPECT_EQ(transferData(packet, &transferred, adapter(), source.data(), 0, 0),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(transferred, 0u);

    for (PNDIS_BUFFER b : buffers) {
        NdisFreeBuffer(b);
    }
    NdisFreePacket(packet);
    NdisFreeBufferPool(bufferPool);
    NdisFreePacketPool(packetPool);
}

} // namespace

} // namespace kt735n_test
