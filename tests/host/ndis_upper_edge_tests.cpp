// The verifier's rules on the upper edge: send completion out of turn, a send never completed,
// and a query claiming more than its buffer. Sends, completions, queries and sets that follow
// the rules are exercised end to end by tests/driver.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

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
    void send() { adapter->send(std::vector<std::uint8_t>(60, 0x5A)); }
    ndis::Adapter* adapter = nullptr;
    std::vector<PNDIS_PACKET> held;
};

TEST_F(NdisSendTest, CompletingASendThatWasNotPendedIsReported) {
    // Completed inside, then not returned as pending.
    completeInside(1, NDIS_STATUS_SUCCESS);
    {
        ExpectViolation v(rule::kSendCompleteUnpended);
        send();
    }
    // Completed after returning success.
    completeInside(0, NDIS_STATUS_SUCCESS);
    send();
    ExpectViolation v(rule::kSendCompleteUnpended);
    NdisMSendComplete(script.adapterHandle, held.back(), NDIS_STATUS_SUCCESS);
}

TEST_F(NdisSendTest, CompletingTwiceIsReported) {
    completeInside(2, NDIS_STATUS_PENDING);
    {
        ExpectViolation v(rule::kSendCompleteTwice);
        send();
    }
    ExpectViolation v(rule::kSendCompleteTwice);
    NdisMSendComplete(script.adapterHandle, held.back(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->log().sendCompletions.size(), 1u);
}

TEST_F(NdisSendTest, ASendNeverCompletedIsReportedAtHalt) {
    completeInside(0, NDIS_STATUS_PENDING);
    send();
    ExpectViolation v(rule::kSendNeverCompleted);
    remove();
}

TEST_F(NdisSendTest, ARequestClaimingMoreThanItsBufferIsReported) {
    auto claimEight = [](NDIS_OID, PVOID, ULONG, PULONG done, PULONG) -> NDIS_STATUS {
        *done = 8;
        return NDIS_STATUS_SUCCESS;
    };
    script.onQuery = claimEight;
    script.onSet = claimEight;
    {
        ExpectViolation v(rule::kRequestBytesBeyondBuffer);
        adapter->query(OID_GEN_MAXIMUM_FRAME_SIZE, 4);
    }
    ExpectViolation v(rule::kRequestBytesBeyondBuffer);
    adapter->set(OID_GEN_CURRENT_LOOKAHEAD, std::vector<std::uint8_t>(4));
}

// Requests go one at a time at DISPATCH_LEVEL: a pended set is completed later through
// NdisMSetInformationComplete, with the counts the miniport filled meanwhile; a query made
// meanwhile reaches the miniport only after that completion. A completion with no set pending,
// and a set still pending at halt, are reported.
TEST_F(NdisSendTest, PendedSetsCompleteOneAtATime) {
    PULONG pendedRead = nullptr;
    bool completed = false;
    script.onSet = [&](NDIS_OID, PVOID, ULONG, PULONG read, PULONG) -> NDIS_STATUS {
        pendedRead = read;
        world().scheduler().after(5 * kMillisecond, [&] {
            *pendedRead = 4;
            completed = true;
            NdisMSetInformationComplete(script.adapterHandle, NDIS_STATUS_SUCCESS);
        });
        return NDIS_STATUS_PENDING;
    };
    script.onQuery = [&](NDIS_OID, PVOID, ULONG, PULONG, PULONG) -> NDIS_STATUS {
        EXPECT_TRUE(completed);
        return NDIS_STATUS_INVALID_OID;
    };
    EXPECT_EQ(adapter->beginSet(OID_GEN_CURRENT_LOOKAHEAD, std::vector<std::uint8_t>(4)).status,
              NDIS_STATUS_PENDING);
    EXPECT_EQ(script.irql["Set"], DISPATCH_LEVEL);
    adapter->query(OID_GEN_MAXIMUM_FRAME_SIZE, 4);
    EXPECT_EQ(script.calls.back(), "Query");
    EXPECT_EQ(adapter->lastCompletion().bytesDone, 4u);
    EXPECT_TRUE(adapter->lastCompletion().pended);

    ndis::Adapter::Request r =
        adapter->set(OID_GEN_CURRENT_LOOKAHEAD, std::vector<std::uint8_t>(4));
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(r.pended);
    {
        ExpectViolation v(rule::kRequestCompleteUnpended);
        NdisMSetInformationComplete(script.adapterHandle, NDIS_STATUS_SUCCESS);
    }
    script.onSet = [](NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_PENDING; };
    adapter->beginSet(OID_GEN_CURRENT_LOOKAHEAD, std::vector<std::uint8_t>(4));
    ExpectViolation v(rule::kRequestNeverCompleted);
    remove();
}

} // namespace
} // namespace host::testing
