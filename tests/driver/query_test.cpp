// Query information through NDIS's upper edge on a running adapter: every answer of the
// table as bytes, the refusals, and buffers of exact, short and long lengths.
#include "fixture.h"

#include <cstring>
#include <tuple>

namespace kt735n_test {
namespace {

std::vector<std::uint8_t> le32(ULONG v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

const char kDescription[] = "Korvex KT735 USB 1/10/100 Adapter NDIS 5.0 Miniport Driver";

const ULONG kSupported[] = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111, 0x00010113,
    0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D,
    0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102, 0x00020103, 0x00020104, 0x00020105,
    0x0002020D, 0x00010114, 0x00010116, 0x00010115, 0x01010101, 0x01010102, 0x01010103, 0x01010104,
    0x01020101, 0x01020102, 0x01020103, 0x01020201, 0x01020202, 0x01020203, 0x01020204, 0xFD010101,
    0xFD010102, 0xFD010103, 0xFD010104, 0xFD010106,
};
static_assert(std::size(kSupported) == 44);

class QueryTest : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        onEthernet();
    }
    void expectAnswer(NDIS_OID oid, const std::vector<std::uint8_t>& answer) {
        SCOPED_TRACE(::testing::Message() << "OID 0x" << std::hex << oid);
        // Exact buffer, and one 8 bytes longer: only the answer is written and counted.
        for (ULONG extra : {0u, 8u}) {
            host::ndis::Adapter::Request r =
                ndis().query(oid, static_cast<ULONG>(answer.size()) + extra);
            EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
            EXPECT_TRUE(r.bytesDoneStored);
            EXPECT_EQ(r.bytesDone, answer.size());
            EXPECT_FALSE(r.bytesNeededStored);
            EXPECT_EQ(r.data, answer);
        }
        // One byte short: the shortfall, nothing written.
        host::ndis::Adapter::Request r = ndis().query(oid, static_cast<ULONG>(answer.size()) - 1);
        EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
        EXPECT_FALSE(r.bytesDoneStored);
        EXPECT_TRUE(r.bytesNeededStored);
        EXPECT_EQ(r.bytesNeeded, 1u);
        EXPECT_EQ(r.data, std::vector<std::uint8_t>(answer.size() - 1, host::Memory::kFillPattern));
    }

    void expectRefused(NDIS_OID oid, NDIS_STATUS status) {
        SCOPED_TRACE(::testing::Message() << "OID 0x" << std::hex << oid);
        for (ULONG length : {0u, 4u, 200u}) {
            host::ndis::Adapter::Request r = ndis().query(oid, length);
            EXPECT_EQ(r.status, status);
            EXPECT_FALSE(r.bytesDoneStored);
            EXPECT_FALSE(r.bytesNeededStored);
            EXPECT_EQ(r.data, std::vector<std::uint8_t>(length, host::Memory::kFillPattern));
        }
    }
};

// Every row of the table, with the adapter's defaults (40 transmit and 20 receive descriptors)
// and distinct values in the fields the answers come from.
TEST_F(QueryTest, EveryAnswerOfTheTable) {
    device().setPermanentAddress({0x00, 0x60, 0x8C, 0x12, 0x34, 0x56});
    startRunning();
    // Counters 101 to 108, in this order.
    ULONG* counters[] = {
        &adapter_->Statistics.TxOkCount,           &adapter_->Statistics.RxOkCount,
        &adapter_->Statistics.RxCrcErrorCount,     &adapter_->Statistics.RxAlignErrorCount,
        &adapter_->Statistics.TxErrorCount,        &adapter_->Statistics.TxUnderrunCount,
        &adapter_->Statistics.TxOneCollisionCount, &adapter_->Statistics.TxDeferredCount};
    for (ULONG i = 0; i < std::size(counters); i++) {
        *counters[i] = 101 + i;
    }
    adapter_->PacketFilter = 0x0000000B;
    const UCHAR current[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    std::memcpy(adapter_->CurrentAddress, current, 6);
    std::vector<std::uint8_t> list;
    for (ULONG oid : kSupported) {
        std::vector<std::uint8_t> v = le32(oid);
        list.insert(list.end(), v.begin(), v.end());
    }
    // The description with its terminating NUL, 59 bytes.
    std::vector<std::uint8_t> description(kDescription, kDescription + sizeof(kDescription));

    const std::pair<NDIS_OID, std::vector<std::uint8_t>> rows[] = {
        {OID_GEN_SUPPORTED_LIST, list},
        {OID_GEN_HARDWARE_STATUS, le32(0)},
        {OID_GEN_MEDIA_SUPPORTED, le32(0)},
        {OID_GEN_MEDIA_IN_USE, le32(0)},
        {OID_GEN_MAXIMUM_LOOKAHEAD, le32(1500)},
        {OID_GEN_MAXIMUM_FRAME_SIZE, le32(1500)},
        {OID_GEN_LINK_SPEED, le32(1000000)},
        {OID_GEN_TRANSMIT_BUFFER_SPACE, le32(60560)},
        {OID_GEN_RECEIVE_BUFFER_SPACE, le32(30280)},
        {OID_GEN_TRANSMIT_BLOCK_SIZE, le32(1514)},
        {OID_GEN_RECEIVE_BLOCK_SIZE, le32(1514)},
        {OID_GEN_VENDOR_ID, {0x00, 0x60, 0x8C, 0x12}},
        {OID_GEN_VENDOR_DESCRIPTION, description},
        {OID_GEN_CURRENT_PACKET_FILTER, le32(0x0B)},
        {OID_GEN_CURRENT_LOOKAHEAD, le32(1500)},
        {OID_GEN_DRIVER_VERSION, {0x00, 0x05}},
        {OID_GEN_MAXIMUM_TOTAL_SIZE, le32(1514)},
        {OID_GEN_PROTOCOL_OPTIONS, le32(0)},
        {OID_GEN_MAC_OPTIONS, le32(0x1F)},
        {OID_GEN_MEDIA_CONNECT_STATUS, le32(0)},
        {OID_GEN_MAXIMUM_SEND_PACKETS, le32(40)},
        {OID_GEN_VENDOR_DRIVER_VERSION, {0x06, 0x03}},
        {OID_GEN_XMIT_OK, le32(101)},
        {OID_GEN_RCV_OK, le32(102)},
        {OID_GEN_XMIT_ERROR, le32(105)},
        {OID_GEN_RCV_ERROR, le32(103)},
        {OID_GEN_RCV_NO_BUFFER, le32(0)},
        {OID_GEN_RCV_CRC_ERROR, le32(103)},
        {OID_802_3_PERMANENT_ADDRESS, {0x00, 0x60, 0x8C, 0x12, 0x34, 0x56}},
        {OID_802_3_CURRENT_ADDRESS, {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}},
        {OID_802_3_MAXIMUM_LIST_SIZE, le32(32)},
        {OID_802_3_RCV_ERROR_ALIGNMENT, le32(104)},
        {OID_802_3_XMIT_ONE_COLLISION, le32(107)},
        {OID_802_3_XMIT_MORE_COLLISIONS, le32(0)},
        {OID_802_3_XMIT_DEFERRED, le32(108)},
        {OID_802_3_XMIT_MAX_COLLISIONS, le32(0)},
        {OID_802_3_RCV_OVERRUN, le32(0)},
        {OID_802_3_XMIT_UNDERRUN, le32(106)},
        {OID_PNP_QUERY_POWER, le32(1)},
    };
    for (const auto& [oid, answer] : rows) {
        expectAnswer(oid, answer);
    }
}

// Refusals: NOT_SUPPORTED for the listed ones, INVALID_OID for the set-only OIDs of the
// supported list and for anything else; nothing written, neither count stored. Short buffers
// called out: the description at 40 bytes, the list at 100; bytes-needed is the shortfall,
// nothing is written.
TEST_F(QueryTest, RefusalsAndShortBuffersWriteNothing) {
    startRunning();
    for (auto [oid, length, needed] : {std::tuple{OID_GEN_VENDOR_DESCRIPTION, 40u, 19u},
                                       std::tuple{OID_GEN_SUPPORTED_LIST, 100u, 76u}}) {
        host::ndis::Adapter::Request r = ndis().query(oid, length);
        EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
        EXPECT_EQ(r.bytesNeeded, needed);
        EXPECT_FALSE(r.bytesDoneStored);
        EXPECT_EQ(r.data, std::vector<std::uint8_t>(length, host::Memory::kFillPattern));
    }

    for (NDIS_OID oid : std::vector<NDIS_OID>{OID_GEN_SUPPORTED_GUIDS, OID_TCP_TASK_OFFLOAD,
                                              OID_TCP_TASK_IPSEC_ADD_SA,
                                              OID_TCP_TASK_IPSEC_DELETE_SA, OID_PNP_CAPABILITIES}) {
        expectRefused(oid, NDIS_STATUS_NOT_SUPPORTED);
    }
    for (NDIS_OID oid : std::vector<NDIS_OID>{
             OID_802_3_MULTICAST_LIST, OID_PNP_SET_POWER, OID_PNP_ADD_WAKE_UP_PATTERN,
             OID_PNP_REMOVE_WAKE_UP_PATTERN, OID_PNP_ENABLE_WAKE_UP, OID_802_3_MAC_OPTIONS,
             OID_PNP_WAKE_UP_PATTERN_LIST, OID_GEN_NETWORK_LAYER_ADDRESSES, NDIS_OID{0},
             NDIS_OID{0xFFFFFFFF}}) {
        expectRefused(oid, NDIS_STATUS_INVALID_OID);
    }
}

// Answers that follow the adapter's state: link speed by LinkSpeed (only 2 is 100 Mbit/s),
// connect status by MediaState, buffer spaces and send packets by the descriptor counts.
TEST_F(QueryTest, AnswersFollowTheAdapter) {
    parameters().set("TxPacketDesc", 7u);
    parameters().set("RxPacketDesc", 2u);
    startRunning();
    auto answer = [&](NDIS_OID oid) {
        ULONG value = 0;
        EXPECT_EQ(ndis().queryUlong(oid, value).status, NDIS_STATUS_SUCCESS);
        return value;
    };
    for (ULONG speed : {0u, 1u, 2u, 3u}) {
        adapter_->LinkSpeed = speed;
        EXPECT_EQ(answer(OID_GEN_LINK_SPEED), speed == 2 ? 1000000u : 100000u) << speed;
    }
    adapter_->MediaState = KT735N_MEDIA_DISCONNECTED;
    EXPECT_EQ(answer(OID_GEN_MEDIA_CONNECT_STATUS), 1u);
    EXPECT_EQ(answer(OID_GEN_TRANSMIT_BUFFER_SPACE), 7u * 1514);
    // 2 receive descriptors raised to 3.
    EXPECT_EQ(answer(OID_GEN_RECEIVE_BUFFER_SPACE), 3u * 1514);
    EXPECT_EQ(answer(OID_GEN_MAXIMUM_SEND_PACKETS), 7u);
}

} // namespace

} // namespace kt735n_test
