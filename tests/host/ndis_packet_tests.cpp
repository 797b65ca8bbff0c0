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
