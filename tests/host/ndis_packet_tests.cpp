// NDIS packet and buffer pools, the packet macros over them, and receive indications.
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
    static PNDIS_PACKET packet(NDIS_HANDLE pool) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        PNDIS_PACKET p = nullptr;
        NdisAllocatePacket(&status, &p, pool);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return p;
    }
    static PNDIS_BUFFER buffer(NDIS_HANDLE pool, void* data, UINT length) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        PNDIS_BUFFER b = nullptr;
        NdisAllocateBuffer(&status, &b, pool, data, length);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return b;
    }
};

TEST_F(NdisPacketTest, APacketPoolHoldsItsCountOfZeroedPackets) {
    NDIS_HANDLE pool = packetPool(2, 24);
    PNDIS_PACKET a = packet(pool);
    PNDIS_PACKET b = packet(pool);
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    PNDIS_PACKET c = nullptr;
    NdisAllocatePacket(&status, &c, pool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(c, nullptr);

    EXPECT_EQ(a->Private.Head, nullptr);
    EXPECT_EQ(a->Private.TotalLength, 0u);
    EXPECT_EQ(a->Private.ValidCounts, FALSE);
    for (UINT i = 0; i < 24; ++i) {
        ASSERT_EQ(a->ProtocolReserved[i], 0) << i;
    }
    // The out-of-band data lies behind the protocol-reserved area, so the macros that reach it
    // touch nothing the protocol owns.
    std::memset(a->ProtocolReserved, 0xAB, 24);
    NDIS_SET_PACKET_STATUS(a, NDIS_STATUS_RESOURCES);
    NDIS_SET_PACKET_HEADER_SIZE(a, 14);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(a), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(a), 14u);
    for (UINT i = 0; i < 24; ++i) {
        ASSERT_EQ(a->ProtocolReserved[i], 0xAB) << i;
    }
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(b), NDIS_STATUS_SUCCESS);

    // A freed packet makes room again.
    NdisFreePacket(a);
    PNDIS_PACKET again = packet(pool);
    EXPECT_EQ(again->Private.NdisPacketOobOffset, b->Private.NdisPacketOobOffset);
    NdisFreePacket(again);
    NdisFreePacket(b);
    NdisFreePacketPool(pool);
}

TEST_F(NdisPacketTest, BuffersDescribeTheirRangeAndTheQueryMacrosWalkTheChain) {
    NDIS_HANDLE pool = packetPool(1);
    NDIS_HANDLE buffers = bufferPool(3);
    std::uint8_t header[14], body[100], trailer[4];
    PNDIS_BUFFER h = buffer(buffers, header, sizeof(header));
    PNDIS_BUFFER m = buffer(buffers, body, sizeof(body));
    PNDIS_BUFFER t = buffer(buffers, trailer, sizeof(trailer));
    EXPECT_EQ(m->StartVa, body);
    EXPECT_EQ(m->ByteOffset, 0u);
    EXPECT_EQ(m->ByteCount, 100u);
    EXPECT_EQ(m->Next, nullptr);

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
    EXPECT_EQ(h->Next, m);
    EXPECT_EQ(m->Next, t);
    EXPECT_EQ(p->Private.Tail, t);

    PVOID va = nullptr;
    UINT length = 0;
    NdisQueryBuffer(m, &va, &length);
    EXPECT_EQ(va, body);
    EXPECT_EQ(length, 100u);
    NdisAdjustBufferLength(m, 60);
    NdisQueryBuffer(m, nullptr, &length);
    EXPECT_EQ(length, 60u);
    // The packet's counts were cached; they are recounted once the chain changes.
    NdisRecalculatePacketCounts(p);
    NdisQueryPacket(p, nullptr, nullptr, nullptr, &total);
    EXPECT_EQ(total, 78u);

    NdisFreeBuffer(h);
    NdisFreeBuffer(m);
    NdisFreeBuffer(t);
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
    PNDIS_PACKET b = nullptr;
    NdisAllocatePacket(&status, &b, pool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(b, nullptr);
    std::uint8_t data[8];
    PNDIS_BUFFER x = nullptr;
    NdisAllocateBuffer(&status, &x, buffers, data, sizeof(data));
    EXPECT_NE(status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(x, nullptr);
    PNDIS_BUFFER y = buffer(buffers, data, sizeof(data));
    EXPECT_EQ(ndis().attempts(Library::Resource::Packet), 2u);
    NdisFreeBuffer(y);
    NdisFreePacket(a);
    NdisFreeBufferPool(buffers);
    NdisFreePacketPool(pool);
}

TEST_F(NdisPacketTest, MisuseOfPacketsAndPoolsIsReported) {
    NDIS_HANDLE pool = packetPool(2);
    NDIS_HANDLE buffers = bufferPool(2);
    PNDIS_PACKET p = packet(pool);
    std::uint8_t data[4];
    PNDIS_BUFFER b = buffer(buffers, data, 4);
    {
        ExpectViolation v(rule::kPacketMisuse);
        NdisFreePacketPool(pool); // a packet is still out
    }
    {
        ExpectViolation v(rule::kPacketMisuse);
        NdisFreeBufferPool(buffers); // a buffer is still out
    }
    {
        ExpectViolation v(rule::kPacketMisuse);
        NdisFreePacketPool(pool); // twice
        NdisFreeBuffer(b);        // went with its pool
        EXPECT_EQ(v.count(), 2u);
    }
    (void)p;
}

TEST_F(NdisPacketTest, PoolsLeftAtHaltAreReported) {
    NDIS_HANDLE pool = nullptr;
    script.onInitialize = [&](NDIS_HANDLE, NDIS_HANDLE) { pool = packetPool(8); };
    start();
    {
        ExpectViolation v(rule::kNdisResourceLeak);
        remove();
    }
    NdisFreePacketPool(pool);
    EXPECT_EQ(ndis().checkUnload(), 0u);
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
        for (std::size_t i = 0; i < sizeof(memoryA); ++i) {
            memoryA[i] = static_cast<std::uint8_t>(i);
        }
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
        PNDIS_BUFFER b = rx->Private.Head;
        while (b != nullptr) {
            PNDIS_BUFFER next = b->Next;
            NdisFreeBuffer(b);
            b = next;
        }
        NdisFreePacket(rx);
        NdisFreeBufferPool(buffers);
        NdisFreePacketPool(pool);
    }

    void indicate(NDIS_STATUS status) {
        NDIS_SET_PACKET_STATUS(rx, status);
        PNDIS_PACKET array[1] = {rx};
        IrqlScope dpc(DISPATCH_LEVEL);
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
    ASSERT_EQ(adapter->log().received.size(), 1u);
    const auto& r = adapter->log().received[0];
    ASSERT_EQ(r.frame.size(), 64u);
    EXPECT_EQ(r.frame[0], 2);
    EXPECT_EQ(r.frame[13], 15);
    EXPECT_EQ(r.frame[14], 0xEE);
    EXPECT_EQ(r.frame[63], 0xEE);
    EXPECT_EQ(r.packetStatus, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(r.headerSize, 14u);
    scheduler().runUntilIdle();
    EXPECT_TRUE(script.returned.empty());
    EXPECT_EQ(adapter->packetsHeldByNdis(), 0u);
}

TEST_F(NdisReceiveTest, WithAnyOtherStatusNdisKeepsThePacketAndReturnsItLater) {
    indicate(NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->packetsHeldByNdis(), 1u);
    EXPECT_TRUE(script.returned.empty());
    {
        ExpectViolation v(rule::kPacketMisuse);
        indicate(NDIS_STATUS_SUCCESS); // still NDIS's
    }
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

TEST_F(NdisReceiveTest, IndicatingWithASpinLockHeldIsReported) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    NdisAcquireSpinLock(&lock);
    {
        ExpectViolation v(rule::kLockHeldAcrossCall);
        PNDIS_PACKET array[1] = {rx};
        NDIS_SET_PACKET_STATUS(rx, NDIS_STATUS_RESOURCES);
        NdisMIndicateReceivePacket(script.adapterHandle, array, 1);
    }
    NdisReleaseSpinLock(&lock);
}

TEST_F(NdisReceiveTest, APacketNotFromAPoolIsReported) {
    NDIS_PACKET forged{};
    PNDIS_PACKET array[1] = {&forged};
    ExpectViolation v(rule::kPacketMisuse);
    NdisMIndicateReceivePacket(script.adapterHandle, array, 1);
    EXPECT_TRUE(adapter->log().received.empty());
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
    EXPECT_EQ(adapter->log().statusCompletes.size(), 1u);
    EXPECT_EQ(adapter->log().resourcesAvailable.size(), 1u);
    adapter->attach(nullptr);
}

} // namespace
} // namespace host::testing
