// The upper edge: sends and their completion rules, OID queries and sets, reset.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

std::vector<std::uint8_t> frameOf(std::size_t length) {
    std::vector<std::uint8_t> f(length);
    for (std::size_t i = 0; i < length; ++i) {
        f[i] = static_cast<std::uint8_t>(i * 7);
    }
    return f;
}

class NdisSendTest : public NdisTest {
  protected:
    NdisSendTest() { adapter = &start(); }
    // The miniport completes each packet inside MiniportSend `completions` times, keeps it, and
    // returns `result`.
    void completeInside(int completions, NDIS_STATUS result) {
        script.onSend = [this, completions, result](PNDIS_PACKET p) {
            for (int i = 0; i < completions; ++i) {
                NdisMSendComplete(script.adapterHandle, p, NDIS_STATUS_SUCCESS);
            }
            held.push_back(p);
            return result;
        };
    }
    ndis::Adapter* adapter = nullptr;
    std::vector<PNDIS_PACKET> held;
};

TEST_F(NdisSendTest, TheFrameArrivesSplitAsAskedAtDispatchLevel) {
    PacketContents seen;
    script.onSend = [&](PNDIS_PACKET p) {
        seen = contents(p);
        return NDIS_STATUS_SUCCESS;
    };
    auto frame = frameOf(100);
    auto r = adapter->send(frame, {14, 20, 0});
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(seen.lengths, (std::vector<UINT>{14, 20, 0, 66}));
    EXPECT_EQ(seen.total, 100u);
    EXPECT_EQ(seen.bytes, frame);
    EXPECT_EQ(script.irql["Send"], DISPATCH_LEVEL);
    // Unsplit: one buffer. At a chosen IRQL.
    adapter->send(frameOf(60), {}, 0, PASSIVE_LEVEL);
    EXPECT_EQ(seen.lengths, std::vector<UINT>{60});
    EXPECT_EQ(script.irql["Send"], PASSIVE_LEVEL);
    // A send finished at once comes back to the protocol with its status.
    ASSERT_EQ(adapter->log().sendCompletions.size(), 2u);
    EXPECT_EQ(adapter->log().sendCompletions[0].sendId, r.id);
    EXPECT_EQ(adapter->sendsOutstanding(), 0u);
}

TEST_F(NdisSendTest, CompletingInsideSendBeforeReturningPendingIsFine) {
    completeInside(1, NDIS_STATUS_PENDING);
    auto r = adapter->send(frameOf(60));
    EXPECT_EQ(r.status, NDIS_STATUS_PENDING);
    ASSERT_NE(adapter->sendRecord(r.id), nullptr);
    EXPECT_TRUE(adapter->sendRecord(r.id)->completedInsideSend);
    EXPECT_EQ(adapter->log().sendCompletions.size(), 1u);
    EXPECT_EQ(adapter->sendsOutstanding(), 0u);
    remove();
}

TEST_F(NdisSendTest, CompletingLaterFromATimerIsFine) {
    completeInside(0, NDIS_STATUS_PENDING);
    auto a = adapter->send(frameOf(60));
    auto b = adapter->send(frameOf(61));
    EXPECT_EQ(adapter->sendsOutstanding(), 2u);
    scheduler().after(5 * kMillisecond, [&] {
        for (PNDIS_PACKET p : held) {
            NdisMSendComplete(script.adapterHandle, p, NDIS_STATUS_FAILURE);
        }
    });
    scheduler().runUntilIdle();
    EXPECT_EQ(adapter->sendsOutstanding(), 0u);
    const auto& done = adapter->log().sendCompletions;
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].sendId, a.id);
    EXPECT_EQ(done[1].sendId, b.id);
    EXPECT_EQ(done[1].status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(done[1].when, 5 * kMillisecond);
    remove();
}

TEST_F(NdisSendTest, CompletingASendThatWasNotPendedIsReported) {
    // Completed inside, then not returned as pending.
    completeInside(1, NDIS_STATUS_SUCCESS);
    {
        ExpectViolation v(rule::kSendCompleteUnpended);
        adapter->send(frameOf(60));
    }
    // Completed after returning success.
    completeInside(0, NDIS_STATUS_SUCCESS);
    adapter->send(frameOf(60));
    ExpectViolation v(rule::kSendCompleteUnpended);
    NdisMSendComplete(script.adapterHandle, held.back(), NDIS_STATUS_SUCCESS);
}

TEST_F(NdisSendTest, CompletingTwiceIsReported) {
    completeInside(2, NDIS_STATUS_PENDING);
    {
        ExpectViolation v(rule::kSendCompleteTwice);
        adapter->send(frameOf(60));
    }
    ExpectViolation v(rule::kSendCompleteTwice);
    NdisMSendComplete(script.adapterHandle, held.back(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->log().sendCompletions.size(), 1u);
}

TEST_F(NdisSendTest, ASendNeverCompletedIsReportedAtHalt) {
    completeInside(0, NDIS_STATUS_PENDING);
    adapter->send(frameOf(60));
    ExpectViolation v(rule::kSendNeverCompleted);
    remove();
}

TEST_F(NdisSendTest, NoSendsToAnAdapterThatIsNotRunning) {
    remove();
    EXPECT_NE(adapter->send(frameOf(60)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(std::count(script.calls.begin(), script.calls.end(), "Send"), 0);
    // Nor indications from it: no protocol is bound any more.
    ExpectViolation v(rule::kNdisMisuse);
    NdisMIndicateStatus(script.adapterHandle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
    NdisMIndicateStatusComplete(script.adapterHandle);
    EXPECT_EQ(v.count(), 2u);
    EXPECT_TRUE(adapter->log().statuses.empty());
}

// ---- OID requests -----------------------------------------------------------------------------

TEST_F(NdisSendTest, QueriesAndSetsCarryBuffersAndCounts) {
    script.onQuery = [](NDIS_OID oid, PVOID buffer, ULONG length, PULONG written,
                        PULONG needed) -> NDIS_STATUS {
        if (oid != OID_GEN_LINK_SPEED) {
            return NDIS_STATUS_INVALID_OID; // counts left alone
        }
        if (length < 4) {
            *needed = 4 - length;
            return NDIS_STATUS_BUFFER_TOO_SHORT;
        }
        ULONG speed = 1000000;
        std::memcpy(buffer, &speed, 4);
        *written = 4;
        return NDIS_STATUS_SUCCESS;
    };
    ULONG speed = 0;
    auto r = adapter->queryUlong(OID_GEN_LINK_SPEED, speed);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(speed, 1000000u);
    EXPECT_EQ(r.bytesDone, 4u);
    EXPECT_EQ(script.irql["Query"], DISPATCH_LEVEL);

    r = adapter->query(OID_GEN_LINK_SPEED, 1, PASSIVE_LEVEL);
    EXPECT_EQ(r.status, NDIS_STATUS_BUFFER_TOO_SHORT);
    EXPECT_TRUE(r.bytesNeededStored);
    EXPECT_EQ(r.bytesNeeded, 3u);
    EXPECT_FALSE(r.bytesDoneStored);
    EXPECT_EQ(script.irql["Query"], PASSIVE_LEVEL);

    r = adapter->query(OID_GEN_VENDOR_ID, 4);
    EXPECT_EQ(r.status, NDIS_STATUS_INVALID_OID);
    EXPECT_FALSE(r.bytesDoneStored || r.bytesNeededStored);

    std::vector<std::uint8_t> got;
    script.onSet = [&](NDIS_OID, PVOID buffer, ULONG length, PULONG read, PULONG) -> NDIS_STATUS {
        got.assign(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + length);
        *read = length;
        return NDIS_STATUS_SUCCESS;
    };
    r = adapter->setUlong(OID_GEN_CURRENT_PACKET_FILTER, 0x0B);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.bytesDone, 4u);
    EXPECT_EQ(got, (std::vector<std::uint8_t>{0x0B, 0, 0, 0}));
    EXPECT_EQ(script.irql["Set"], DISPATCH_LEVEL);

    // A query that claims to have written past its buffer.
    script.onQuery = [](NDIS_OID, PVOID, ULONG, PULONG written, PULONG) -> NDIS_STATUS {
        *written = 8;
        return NDIS_STATUS_SUCCESS;
    };
    ExpectViolation v(rule::kNdisMisuse);
    adapter->query(OID_GEN_MAXIMUM_FRAME_SIZE, 4);
}

} // namespace
} // namespace host::testing
