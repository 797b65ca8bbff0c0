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

TEST_F(NdisSendTest, AQueryClaimingToHaveWrittenPastItsBufferIsReported) {
    script.onQuery = [](NDIS_OID, PVOID, ULONG, PULONG written, PULONG) -> NDIS_STATUS {
        *written = 8;
        return NDIS_STATUS_SUCCESS;
    };
    ExpectViolation v(rule::kNdisMisuse);
    adapter->query(OID_GEN_MAXIMUM_FRAME_SIZE, 4);
}

} // namespace
} // namespace host::testing
