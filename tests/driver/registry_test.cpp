// Registry configuration through the host NDIS configuration of an added adapter: the eleven
// keywords into their fields, missing keywords leaving the fields alone, Platform's presence,
// and the network-address override of exactly 6 bytes. (A configuration that cannot be opened is
// swept by the fault sweep.)
#include "fixture.h"

#include <cstdint>
#include <cstring>

namespace kt735n_test {
namespace {

class RegistryTest : public DriverFixture {
  protected:
    // PlatformKeyPresent is driver-wide and changes the plug-and-play filtering of every later
    // test in the process: each test here puts it back as it found it.
    void SetUp() override {
        platformBefore_ = PlatformKeyPresent;
        plug();
        adapter_->TxDescriptorCount = 40;
        adapter_->RxDescriptorCount = 20;
        std::memcpy(adapter_->CurrentAddress, kEeprom, 6);
    }

    void TearDown() override {
        PlatformKeyPresent = platformBefore_;
        DriverFixture::TearDown();
    }

    ULONG platformBefore_ = 0;
    static constexpr UCHAR kEeprom[6] = {0x02, 0x4B, 0x56, 0x07, 0x35, 0x01};

    std::vector<ULONG> fields() const {
        const Adapter* a = adapter_;
        return {a->TxDescriptorCount, a->RxDescriptorCount, a->MediaType,     a->MediaSelect,
                a->MagicPacketWake,   a->LinkChangeWake,    a->FlowControl,   a->FlowControlTx,
                a->FlowControlRx,     a->HomeParameter,     a->AliveParameter};
    }
};

// Every keyword lands in its own field, as read (no range applied); a keyword that is absent
// keeps the field's value, and with none at all nothing changes and no handle stays open.
TEST_F(RegistryTest, KeywordsFillTheirFields) {
    EXPECT_EQ(ReadRegistryConfiguration(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(fields(), (std::vector<ULONG>{40, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::memcmp(adapter_->CurrentAddress, kEeprom, 6), 0);
    EXPECT_TRUE(world().ndis().configHandles().empty());

    const char* keywords[] = {"TxPacketDesc",   "RxPacketDesc", "MediaType",   "MediaSel",
                              "MagicPkt",       "LinkWakeup",   "FlowControl", "FlowControl_Tx",
                              "FlowControl_Rx", "HomePara",     "AlivePara"};
    ULONG value = 101;
    for (const char* keyword : keywords) {
        parameters().set(keyword, value++);
    }
    EXPECT_EQ(ReadRegistryConfiguration(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(fields(),
              (std::vector<ULONG>{101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111}));
}

// Platform counts by its presence alone, also with the value 0, and stays noted.
TEST_F(RegistryTest, PlatformWithValueZeroIsNoted) {
    PlatformKeyPresent = 0;
    EXPECT_EQ(ReadRegistryConfiguration(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(PlatformKeyPresent, 0u);
    parameters().set("Platform", 0u);
    EXPECT_EQ(ReadRegistryConfiguration(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(PlatformKeyPresent, 1u);
    parameters().remove("Platform");
    EXPECT_EQ(ReadRegistryConfiguration(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(PlatformKeyPresent, 1u);
}

// Only an address of exactly 6 bytes replaces CurrentAddress.
TEST_F(RegistryTest, NetworkAddressOfExactlySixBytes) {
    const std::uint8_t seven[7] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    for (std::size_t length : {5u, 7u}) {
        SCOPED_TRACE(length);
        parameters().setNetworkAddress({seven, length});
        EXPECT_EQ(ReadRegistryConfiguration(adapter_), ULONG{KT735N_OK});
        EXPECT_EQ(std::memcmp(adapter_->CurrentAddress, kEeprom, 6), 0);
    }
    parameters().setNetworkAddress({seven, 6});
    EXPECT_EQ(ReadRegistryConfiguration(adapter_), ULONG{KT735N_OK});
    EXPECT_EQ(std::memcmp(adapter_->CurrentAddress, seven, 6), 0);
    EXPECT_EQ(std::memcmp(adapter_->PermanentAddress, "\0\0\0\0\0\0", 6), 0);
}

} // namespace

} // namespace kt735n_test
