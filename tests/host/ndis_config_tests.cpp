// NDIS configuration as the driver reads it: integers by keyword of any case, string values (what
// an INF writes) read as decimal integers, and a missing keyword. Per-adapter parameters and
// network addresses are exercised by tests/driver.
#include "ndis_fakes.h"

namespace host::testing {
namespace {

using ndis::Parameters;

class NdisConfigTest : public NdisTest {
  protected:
    // Starts the device and runs `body` inside MiniportInitialize with an open
    // configuration handle.
    void withConfiguration(const std::function<void(NDIS_HANDLE)>& body) {
        script.onInitialize = [&, body](NDIS_HANDLE, NDIS_HANDLE context) {
            NDIS_STATUS status = NDIS_STATUS_FAILURE;
            NDIS_HANDLE handle = nullptr;
            NdisOpenConfiguration(&status, &handle, context);
            ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
            body(handle);
            NdisCloseConfiguration(handle);
        };
        start();
    }

    static NDIS_STATUS read(NDIS_HANDLE handle, const wchar_t* keyword, NDIS_PARAMETER_TYPE type,
                            PNDIS_CONFIGURATION_PARAMETER* out) {
        NDIS_STRING name;
        name.Buffer = const_cast<PWSTR>(keyword);
        name.Length = static_cast<USHORT>(std::wcslen(keyword) * sizeof(WCHAR));
        name.MaximumLength = static_cast<USHORT>(name.Length + sizeof(WCHAR));
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        NdisReadConfiguration(&status, out, handle, &name, type);
        return status;
    }
};

TEST_F(NdisConfigTest, IntegersAndDecimalStringsByKeywordOfAnyCase) {
    Parameters& p = ndis().defaultParameters();
    p.set("TxPacketDesc", 12);
    p.set("RxPacketDesc", "25");
    p.set("FlowControl_Tx", "abc");
    p.set("Platform", 0u);
    withConfiguration([](NDIS_HANDLE h) {
        PNDIS_CONFIGURATION_PARAMETER value = nullptr;
        // A missing keyword fails and leaves the answer alone.
        EXPECT_EQ(read(h, L"MediaSel", NdisParameterInteger, &value), NDIS_STATUS_FAILURE);
        EXPECT_EQ(value, nullptr);
        ASSERT_EQ(read(h, L"txpacketdesc", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterData.IntegerData, 12u);
        PNDIS_CONFIGURATION_PARAMETER first = value;
        // A string value read as an integer is decimal; present with the value 0 is present.
        for (auto [keyword, expected] :
             {std::pair{L"RXPACKETDESC", 25u}, std::pair{L"Platform", 0u}}) {
            ASSERT_EQ(read(h, keyword, NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
            EXPECT_EQ(value->ParameterData.IntegerData, expected);
        }
        // Earlier answers stay valid until the handle is closed.
        EXPECT_EQ(first->ParameterData.IntegerData, 12u);
        // Not a number.
        EXPECT_EQ(read(h, L"FlowControl_Tx", NdisParameterInteger, &value), NDIS_STATUS_FAILURE);
    });
}

} // namespace
} // namespace host::testing
