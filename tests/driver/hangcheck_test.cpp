// The hang check on a running adapter, driven by NDIS's periodic 2-second check: the keep-alive
// frame on an idle phone line (its image and its rhythm), the cases that send none, and the
// restart of reception that stopped for want of an IRP.
#include <string>
#include <vector>

#include "fixture.h"

namespace kt735n_test {
namespace {

using host::kMillisecond;

class HangCheckTest : public DriverFixture {};

struct KeepAliveCase {
    const char* name;
    ULONG mediaSelect;
    USHORT phoneLineId; // identifier register 3 of the phone-line PHY
    bool emptyFreeList;
    int noIrpAtCheck;        // the check whose keep-alive finds no IRP (0: none)
    std::vector<int> sentAt; // the checks (1-based) that send a keep-alive, of 30
    LONG idleCount;
};

class KeepAliveTest : public HangCheckTest, public ::testing::WithParamInterface<KeepAliveCase> {};

TEST_P(KeepAliveTest, ThirtyIdleChecks) {
    const KeepAliveCase& c = GetParam();
    parameters().set("MediaSel", c.mediaSelect);
    if (c.phoneLineId != 0) {
        device().phoneLinePhy().setIdentifier(c.phoneLineId);
    }
    startRunning();
    DescriptorList saved = adapter()->FreeTxList;
    LONG freeCount = adapter()->FreeTxCount;
    if (c.emptyFreeList) {
        adapter()->FreeTxList = DescriptorList{nullptr, nullptr, 0};
    }

    std::vector<int> sentAt;
    for (int check = 1; check <= 30; check++) {
        if (check == c.noIrpAtCheck) {
            world().memory().failNth(host::Memory::Kind::Irp, 1);
        }
        clearLogs();
        nextHangCheck();
        for (const std::vector<std::uint8_t>& transfer : bulkOut()) {
            EXPECT_EQ(transfer, keepAliveTransfer());
            sentAt.push_back(check);
        }
    }
    EXPECT_EQ(sentAt, c.sentAt);
    EXPECT_EQ(adapter()->IdleCheckCount, c.idleCount);
    EXPECT_EQ(ndis().log().sendCompletions.size(), 0u);
    EXPECT_EQ(adapter()->FreeTxCount, freeCount);
    if (c.emptyFreeList) {
        adapter()->FreeTxList = saved;
    }
    EXPECT_EQ(freeTxListLength(), static_cast<std::size_t>(adapter()->FreeTxCount));
}

const KeepAliveCase kKeepAliveCases[] = {
    // The first check still sees the bring-up's completion; ten idle checks later the first
    // keep-alive goes. Its own completion is activity, which leaves the idle count at 10, so
    // every second check sends.
    {"PhoneLine", 2, 0, false, 0, {11, 13, 15, 17, 19, 21, 23, 25, 27, 29}, 10},
    {"Ethernet", 1, 0, false, 0, {}, 0},
    {"PhoneLinePhyType3", 2, 0x5C22, false, 0, {}, 10},
    {"EmptyFreeList", 2, 0, true, 0, {}, 10},
    // The descriptor goes back and the next check, still idle, sends.
    {"NoIrp", 2, 0, false, 11, {12, 14, 16, 18, 20, 22, 24, 26, 28, 30}, 10},
};

INSTANTIATE_TEST_SUITE_P(Cases, KeepAliveTest, ::testing::ValuesIn(kKeepAliveCases), ByName());

// A rejected transfer whose resubmission finds no IRP leaves every receive descriptor free and
// none on the pipe. The next check puts one back, and frames arrive again.
TEST_F(HangCheckTest, ReceptionStoppedForWantOfAnIrpRestarts) {
    startRunning();
    ASSERT_EQ(bus().outstanding(), 1u);
    world().memory().failNth(host::Memory::Kind::Irp, 1);
    device().injectBulkIn({0x00});
    scheduler().runFor(10 * kMillisecond);
    ASSERT_EQ(bus().outstanding(), 0u);
    ASSERT_EQ(adapter()->FreeRxList.Count, adapter()->RxDescriptorCount);

    nextHangCheck();
    EXPECT_EQ(bus().outstanding(), 1u);
    device().ethernet().sendToAdapter(frame(64));
    scheduler().runFor(100 * kMillisecond);
    EXPECT_EQ(ndis().log().received.size(), 1u);
    // With reception running, a check puts nothing more on the pipe.
    nextHangCheck();
    EXPECT_EQ(bus().outstanding(), 1u);
}

} // namespace

} // namespace kt735n_test
