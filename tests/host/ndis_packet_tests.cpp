// NDIS packet and buffer pools, the packet macros over them, and receive indications.
#include <numeric>

#include "ndis_fakes.h"

namespace host::testing {
namespace {

using ndis::Library;

class NdisPacketTest : public NdisTest {
  protected:
    NDIS_HANDLE packetPool(UINT count, UINT reserved = 16) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        NDIS_HANDLE pool = nullptr;
        NdisAllocatePacketPool(&status, &pool, count, reserved);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return pool;
    }
    NDIS_HANDLE bufferPool(UINT count) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        NDIS_HANDLE pool = nullptr;
        NdisAllocateBufferPool(&status, &pool, count);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return pool;
    }
    // A packet from `pool`, or null with `expected` the status when that is not success.
    static PNDIS_PACKET packet(NDIS_HANDLE pool, NDIS_STATUS expected = NDIS_STATUS_SUCCESS) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        PNDIS_PACKET p = reinterpret_cast<PNDIS_PACKET>(1);
        NdisAllocatePacket(&status, &p, pool);
        EXPECT_EQ(status, expected);
        EXPECT_EQ(p == nullptr, expected != NDIS_STATUS_SUCCESS);
        return p;
    }
    static PNDIS_BUFFER buffer(NDIS_HANDLE pool, void* data, UINT length, bool fails = false) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        PNDIS_BUFFER b = reinterpret_cast<PNDIS_BUFFER>(1);
        NdisAllocateBuffer(&status, &b, pool, data, length);
        EXPECT_EQ(status != NDIS_STATUS_SUCCESS, fails);
        EXPECT_EQ(b == nullptr, fails);
        return b;
    }
};

TEST_F(NdisPacketTest, APacketPoolHoldsItsCountOfZeroedPackets) {
    NDIS_HANDLE pool = packetPool(2, 24);
    PNDIS_PACKET a = packet(pool);
    PNDIS_PACKET b = packet(pool);
    packet(pool, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(a->Private.Head, nullptr);
    EXPECT_EQ(a->Private.TotalLength, 0u);
    EXPECT_EQ(std::vector<UCHAR>(a->ProtocolReserved, a->ProtocolReserved + 24),
              std::vector<UCHAR>(24, 0));
    // The out-of-band data lies behind the protocol-reserved area, so the macros that reach it
    // touch nothing the protocol owns.
    std::memset(a->ProtocolReserved, 0xAB, 24);
    NDIS_SET_PACKET_STATUS(a, NDIS_STATUS_RESOURCES);
    NDIS_SET_PACKET_HEADER_SIZE(a, 14);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(a), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(a), 14u);
    EXPECT_EQ(std::vector<UCHAR>(a->ProtocolReserved, a->ProtocolReserved + 24),
              std::vector<UCHAR>(24, 0xAB));
    // A freed packet makes room again.
    NdisFreePacket(a);
    NdisFreePacket(packet(pool));
    NdisFreePacket(b);
    NdisFreePacketPool(pool);
}

TEST_F(NdisPacketTest, BuffersChainAndTheQueryMacrosWalkTheChain) {
    NDIS_HANDLE pool = packetPool(1);
    NDIS_HANDLE buffers = bufferPool(3);
    std::uint8_t header[14], body[100], trailer[4];
    PNDIS_BUFFER h = buffer(buffers, header, sizeof(header));
    PNDIS_BUFFER m = buffer(buffers, body, sizeof(body));
    PNDIS_BUFFER t = buffer(buffers, trailer, sizeof(trailer));
    PNDIS_PACKET p = packet(pool);
    NdisChainBufferAtFront(p, m);
    NdisChainBufferAtBack(p, t);
    NdisChainBufferAtFront(p, h);
    UINT physical = 0, count = 0, total = 0;
    PNDIS_BUFFER first = nullptr;
    NdisQueryPacket(p, &physical, &count, &first, &total);
    EXPECT_EQ(first, h);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(physical, 3u);
    EXPECT_EQ(total, 118u);
    EXPECT_EQ(contents(p).lengths, (std::vector<UINT>{14, 100, 4}));
    // The packet's counts were cached; they are recounted once the chain changes.
    NdisAdjustBufferLength(m, 60);
    NdisRecalculatePacketCounts(p);
    NdisQueryPacket(p, nullptr, nullptr, nullptr, &total);
    EXPECT_EQ(total, 78u);
    for (PNDIS_BUFFER b : {h, m, t}) {
        NdisFreeBuffer(b);
    }
    NdisFreePacket(p);
    NdisFreeBufferPool(buffers);
    NdisFreePacketPool(pool);
}

TEST_F(NdisPacketTest, AllocationsCanBeMadeToFail) {
    ndis().failNth(Library::Resource::PacketPool, 1);
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    NDIS_HANDLE failed = reinterpret_cast<NDIS_HANDLE>(1);
    NdisAllocatePacketPool(&status, &failed, 4, 16);
    EXPECT_NE(status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(failed, nullptr);

    NDIS_HANDLE pool = packetPool(4);
    NDIS_HANDLE buffers = bufferPool(4);
    ndis().failNth(Library::Resource::Packet, 2);
    ndis().failNth(Library::Resource::Buffer, 1);
    PNDIS_PACKET a = packet(pool);
    packet(pool, NDIS_STATUS_RESOURCES);
    std::uint8_t data[8];
    buffer(buffers, data, sizeof(data), true);
    NdisFreeBuffer(buffer(buffers, data, sizeof(data)));
    NdisFreePacket(a);
    NdisFreeBufferPool(buffers);
    NdisFreePacketPool(pool);
}

TEST_F(NdisPacketTest, MisuseOfPacketsAndPoolsIsReported) {
    NDIS_HANDLE pool = packetPool(2);
    NDIS_HANDLE buffers = bufferPool(2);
    packet(pool);
    std::uint8_t data[4];
    PNDIS_BUFFER b = buffer(buffers, data, 4);
    ExpectViolation v(rule::kPacketMisuse);
    NdisFreePacketPool(pool);    // a packet is still out
    NdisFreeBufferPool(buffers); // a buffer is still out
    NdisFreePacketPool(pool);    // twice
    NdisFreeBuffer(b);           // went with its pool
    EXPECT_EQ(v.count(), 4u);
}

// ---- receive indications ----------------------------------------------------------------------

class NdisReceiveTest : public NdisPacketTest {
  protected:
    NdisReceiveTest() {
        adapter = &start();
        pool = packetPool(4);
        buffers = bufferPool(8);
        rx = packet(pool);
        // A frame in two buffers; the first starts 2 bytes into its memory.
        std::iota(std::begin(memoryA), std::end(memoryA), 0);
        std::memset(memoryB, 0xEE, sizeof(memoryB));
        PNDIS_BUFFER a = buffer(buffers, memoryA, 16);
        a->ByteOffset = 2;
        a->ByteCount = 14;
        PNDIS_BUFFER b = buffer(buffers, memoryB, 50);
        NdisChainBufferAtBack(rx, a);
        NdisChainBufferAtBack(rx, b);
        NDIS_SET_PACKET_HEADER_SIZE(rx, 14);
    }
    ~NdisReceiveTest() override {
        for (PNDIS_BUFFER b = rx->Private.Head, next; b != nullptr; b = next) {
            next = b->Next;
            NdisFreeBuffer(b);
        }
        NdisFreePacket(rx);
        NdisFreeBufferPool(buffers);
        NdisFreePacketPool(pool);
    }

    void indicate(NDIS_STATUS status, KIRQL irql = DISPATCH_LEVEL) {
        NDIS_SET_PACKET_STATUS(rx, status);
        PNDIS_PACKET array[1] = {rx};
        IrqlScope dpc(irql);
        NdisMIndicateReceivePacket(script.adapterHandle, array, 1);
    }

    ndis::Adapter* adapter = nullptr;
    NDIS_HANDLE pool = nullptr;
    NDIS_HANDLE buffers = nullptr;
    PNDIS_PACKET rx = nullptr;
    std::uint8_t memoryA[16];
    std::uint8_t memoryB[50];
};

TEST_F(NdisReceiveTest, WithStatusResourcesTheDataIsCopiedBeforeTheCallReturns) {
    indicate(NDIS_STATUS_RESOURCES);
    // The miniport reuses the memory at once; the protocol's copy stays.
    std::memset(memoryB, 0, sizeof(memoryB));
    std::vector<std::uint8_t> expected(64, 0xEE);
    std::iota(expected.begin(), expected.begin() + 14, 2);
    ASSERT_EQ(adapter->log().received.size(), 1u);
    EXPECT_EQ(adapter->log().received[0].frame, expected);
    EXPECT_EQ(adapter->log().received[0].packetStatus, NDIS_STATUS_RESOURCES);
    scheduler().runUntilIdle();
    EXPECT_TRUE(script.returned.empty());
    EXPECT_EQ(adapter->packetsHeldByNdis(), 0u);
}

TEST_F(NdisReceiveTest, WithAnyOtherStatusNdisKeepsThePacketAndReturnsItLater) {
    indicate(NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->packetsHeldByNdis(), 1u);
    {
        ExpectViolation v(rule::kPacketMisuse);
        indicate(NDIS_STATUS_SUCCESS); // still NDIS's
    }
    EXPECT_TRUE(script.returned.empty());
    scheduler().runUntilIdle();
    EXPECT_EQ(script.returned, std::vector<PNDIS_PACKET>{rx});
    EXPECT_EQ(script.irql["ReturnPacket"], DISPATCH_LEVEL);
    EXPECT_EQ(adapter->packetsHeldByNdis(), 0u);
    // Outstanding at halt: returned before MiniportHalt runs.
    indicate(NDIS_STATUS_SUCCESS);
    script.onHalt = [&] { EXPECT_EQ(script.returned.size(), 2u); };
    {
        // The test's own pools are still there when the last adapter halts.
        ExpectViolation v(rule::kNdisResourceLeak);
        EXPECT_EQ(pnp().stopDevice(bus.pdo), STATUS_SUCCESS);
    }
    EXPECT_EQ(script.calls.back(), "Halt");
}

TEST_F(NdisReceiveTest, IndicatingWithASpinLockHeldOrAPacketNotFromAPoolIsReported) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    NdisAcquireSpinLock(&lock);
    {
        ExpectViolation v(rule::kLockHeldAcrossCall);
        indicate(NDIS_STATUS_RESOURCES, KeGetCurrentIrql());
    }
    NdisReleaseSpinLock(&lock);
    std::size_t received = adapter->log().received.size();
    NDIS_PACKET forged{};
    PNDIS_PACKET array[1] = {&forged};
    ExpectViolation v(rule::kPacketMisuse);
    NdisMIndicateReceivePacket(script.adapterHandle, array, 1);
    EXPECT_EQ(adapter->log().received.size(), received);
}

struct Listener : ndis::Protocol {
    std::vector<std::string> heard;
    void receive(ndis::Adapter&, const std::vector<std::uint8_t>& frame, NDIS_STATUS) override {
        heard.push_back("receive " + std::to_string(frame.size()));
    }
    void sendResourcesAvailable(ndis::Adapter&) override { heard.emplace_back("resources"); }
    void status(ndis::Adapter&, NDIS_STATUS s, const std::vector<std::uint8_t>& b) override {
        heard.push_back("status " + std::to_string(static_cast<ULONG>(s)) + " " +
                        std::to_string(b.size()));
    }
    void statusComplete(ndis::Adapter&) override { heard.emplace_back("status complete"); }
};

TEST_F(NdisReceiveTest, IndicationsReachAnAttachedProtocolAsWellAsTheLog) {
    Listener listener;
    adapter->attach(&listener);
    indicate(NDIS_STATUS_RESOURCES);
    ULONG speed = 1000000;
    NdisMIndicateStatus(script.adapterHandle, NDIS_STATUS_MEDIA_CONNECT, &speed, sizeof(speed));
    NdisMIndicateStatusComplete(script.adapterHandle);
    NdisMSendResourcesAvailable(script.adapterHandle);
    EXPECT_EQ(listener.heard,
              (std::vector<std::string>{
                  "receive 64",
                  "status " + std::to_string(static_cast<ULONG>(NDIS_STATUS_MEDIA_CONNECT)) + " 4",
                  "status complete", "resources"}));
    ASSERT_EQ(adapter->log().statuses.size(), 1u);
    EXPECT_EQ(adapter->log().statuses[0].status, NDIS_STATUS_MEDIA_CONNECT);
    adapter->attach(nullptr);
}

} // namespace
} // namespace host::testing
