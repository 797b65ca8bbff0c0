// Misuse of packet and buffer pools, reported by the verifier. Pools, chains, the packet macros
// and receive indications are exercised end to end by tests/driver.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

TEST_F(NdisTest, MisuseOfPacketsAndPoolsIsReported) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE pool = nullptr, buffers = nullptr;
    NdisAllocatePacketPool(&status, &pool, 2, 16);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisAllocateBufferPool(&status, &buffers, 2);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    PNDIS_PACKET packet = nullptr;
    NdisAllocatePacket(&status, &packet, pool);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    std::uint8_t data[4];
    PNDIS_BUFFER b = nullptr;
    NdisAllocateBuffer(&status, &b, buffers, data, 4);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    ExpectViolation outstanding(rule::kPoolFreedWithItemsOut);
    ExpectViolation invalid(rule::kNdisHandleInvalid);
    ExpectViolation unknown(rule::kPacketNotFromPool);
    NdisFreePacketPool(pool);    // a packet is still out
    NdisFreeBufferPool(buffers); // a buffer is still out
    NdisFreePacketPool(pool);    // twice
    NdisFreeBuffer(b);           // went with its pool
    EXPECT_EQ(outstanding.count(), 2u);
    EXPECT_EQ(invalid.count(), 1u);
    EXPECT_EQ(unknown.count(), 1u);
}

// Allocations of every kind share one order of attempts, a fault can be armed at any point of
// it, and clearing disarms every fault not yet fired, of whatever kind.
TEST_F(NdisTest, AllocationFaultsCountInOneOrderAcrossKindsAndClear) {
    Memory& memory = world().memory();
    const std::uint64_t before = memory.attemptsInOrder();
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE pool = nullptr;
    PVOID p = nullptr;
    memory.failNthInOrder(3);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, 1); // 1: pool
    NdisAllocatePacketPool(&status, &pool, 2, 16);           // 2: packet pool
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    PNDIS_PACKET packet = nullptr;
    NdisAllocatePacket(&status, &packet, pool); // 3: packet, fails
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&p, 8, 1), NDIS_STATUS_SUCCESS); // 4: NDIS memory
    memory.failNthInOrder(1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr); // 5: IRP, fails
    EXPECT_EQ(memory.attemptsInOrder() - before, 5u);

    memory.failNthInOrder(1);
    memory.failNth(Memory::Kind::Pool, 1);
    memory.failTag(7);
    world().ndis().failNth(ndis::Library::Resource::Packet, 1);
    world().ndis().clearFaults();
    void* tagged = ExAllocatePoolWithTag(NonPagedPool, 8, 7);
    EXPECT_NE(tagged, nullptr);
    NdisAllocatePacket(&status, &packet, pool);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisFreePacket(packet);
    NdisFreePacketPool(pool);
    NdisFreeMemory(p, 8, 0);
    ExFreePool(tagged);
    ExFreePool(first);
}

// A packet NDIS still holds, or one that no pool gave out, cannot be indicated.
TEST_F(NdisTest, IndicatingAPacketNdisHoldsOrOneNotFromAPoolIsReported) {
    start();
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE pool = nullptr;
    NdisAllocatePacketPool(&status, &pool, 1, 16);
    PNDIS_PACKET packet = nullptr;
    NdisAllocatePacket(&status, &packet, pool);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    NDIS_PACKET forged{};
    {
        IrqlScope dpc(DISPATCH_LEVEL);
        NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
        NdisMIndicateReceivePacket(script.adapterHandle, &packet, 1); // kept by NDIS
        ExpectViolation twice(rule::kPacketIndicatedTwice);
        ExpectViolation forgery(rule::kPacketNotFromPool);
        NdisMIndicateReceivePacket(script.adapterHandle, &packet, 1);
        PNDIS_PACKET array[1] = {&forged};
        NdisMIndicateReceivePacket(script.adapterHandle, array, 1);
        EXPECT_EQ(twice.count(), 1u);
        EXPECT_EQ(forgery.count(), 1u);
    }
    EXPECT_EQ(ndis().lastAdapter()->log().received.size(), 1u);
    scheduler().runUntilIdle(); // returned
    NdisFreePacket(packet);
    NdisFreePacketPool(pool);
}

} // namespace
} // namespace host::testing
