// Initialize, halt, shutdown and reset through the host PnP manager and NDIS, on the device model.
#include "fixture.h"

namespace {

class LifecycleTest : public kt735n_test::DriverFixture {};

TEST_F(LifecycleTest, InitializesEndToEnd) {
    startRunning();
    Adapter* a = adapter();
    EXPECT_EQ(a->InitDone, 1);
    EXPECT_EQ(a->DeviceState, ULONG{KT735N_DEVICE_RUNNING});
    EXPECT_EQ(a->FreeTxCount, LONG(a->TxDescriptorCount));
    EXPECT_EQ(a->LinkSpeed, 2u);
    EXPECT_EQ(a->Duplex, 2u);
    device().ethernet().sendToAdapter(frame(100, 1));
    scheduler().runFor(10 * host::kMillisecond);
    ASSERT_EQ(ndis().log().received.size(), 1u);
    EXPECT_EQ(ndis().log().received[0].frame, frame(100, 1));
}

} // namespace
