// NDIS configuration: registry parameters read through the context given to MiniportInitialize.
#include <optional>

#include "ndis_fakes.h"

namespace host::testing {
namespace {

using ndis::Parameters;

class NdisConfigTest : public NdisTest {
  protected:
    // Runs `body` inside MiniportInitialize with an open configuration handle.
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

TEST_F(NdisConfigTest, IntegersHexAndStringsByKeywordOfAnyCase) {
    Parameters& p = ndis().defaultParameters();
    p.set("TxPacketDesc", 12);
    p.set("RxPacketDesc", "25");
    p.set("MediaType", "1F");
    p.set("FlowControl_Tx", "abc");
    withConfiguration([](NDIS_HANDLE h) {
        PNDIS_CONFIGURATION_PARAMETER value = nullptr;
        ASSERT_EQ(read(h, L"txpacketdesc", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterData.IntegerData, 12u);
        PNDIS_CONFIGURATION_PARAMETER first = value;
        // A string value read as an integer is decimal, read as a hex integer is hex.
        ASSERT_EQ(read(h, L"RXPACKETDESC", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterData.IntegerData, 25u);
        ASSERT_EQ(read(h, L"RxPacketDesc", NdisParameterHexInteger, &value), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterData.IntegerData, 0x25u);
        ASSERT_EQ(read(h, L"MediaType", NdisParameterHexInteger, &value), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterData.IntegerData, 0x1Fu);
        // Earlier answers stay valid until the handle is closed.
        EXPECT_EQ(first->ParameterData.IntegerData, 12u);
        // Not a number.
        EXPECT_EQ(read(h, L"FlowControl_Tx", NdisParameterInteger, &value), NDIS_STATUS_FAILURE);
        ASSERT_EQ(read(h, L"FlowControl_Tx", NdisParameterString, &value), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterType, NdisParameterString);
        EXPECT_EQ(std::wstring(value->ParameterData.StringData.Buffer,
                               value->ParameterData.StringData.Length / sizeof(WCHAR)),
                  L"abc");
    });
}

TEST_F(NdisConfigTest, AMissingKeywordFailsAndLeavesTheAnswerAlone) {
    ndis().defaultParameters().set("Platform", 0u);
    withConfiguration([](NDIS_HANDLE h) {
        PNDIS_CONFIGURATION_PARAMETER value = nullptr;
        EXPECT_EQ(read(h, L"MediaSel", NdisParameterInteger, &value), NDIS_STATUS_FAILURE);
        EXPECT_EQ(value, nullptr);
        // Present with the value 0 is present.
        ASSERT_EQ(read(h, L"Platform", NdisParameterInteger, &value), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(value->ParameterData.IntegerData, 0u);
    });
}

TEST_F(NdisConfigTest, ParametersBelongToTheirAdapter) {
    ndis().defaultParameters().set("MagicPkt", 1u);
    ndis::Adapter& adapter = add();
    adapter.parameters().set("MagicPkt", 7u);
    std::optional<ULONG> seen;
    script.onInitialize = [&](NDIS_HANDLE, NDIS_HANDLE context) {
        NDIS_STATUS status;
        NDIS_HANDLE h;
        NdisOpenConfiguration(&status, &h, context);
        PNDIS_CONFIGURATION_PARAMETER value = nullptr;
        if (read(h, L"MagicPkt", NdisParameterInteger, &value) == NDIS_STATUS_SUCCESS) {
            seen = value->ParameterData.IntegerData;
        }
        NdisCloseConfiguration(h);
    };
    EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_SUCCESS);
    EXPECT_EQ(seen, 7u);
}

TEST_F(NdisConfigTest, NetworkAddressOfAnyLength) {
    struct Case {
        std::optional<std::string> text;
        NDIS_STATUS status;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"02A0C9123456", NDIS_STATUS_SUCCESS, {0x02, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
        {"02a0c91234", NDIS_STATUS_SUCCESS, {0x02, 0xA0, 0xC9, 0x12, 0x34}},
        {"02A0C912345678", NDIS_STATUS_SUCCESS, {0x02, 0xA0, 0xC9, 0x12, 0x34, 0x56, 0x78}},
        {"02A0C912345", NDIS_STATUS_FAILURE, {}},
        {"02A0C91234XY", NDIS_STATUS_FAILURE, {}},
        {std::nullopt, NDIS_STATUS_FAILURE, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)"));
        ndis::Adapter& adapter = add();
        if (c.text) {
            adapter.parameters().set("networkaddress", *c.text);
        }
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        std::vector<std::uint8_t> bytes;
        script.onInitialize = [&](NDIS_HANDLE, NDIS_HANDLE context) {
            NDIS_HANDLE h;
            NdisOpenConfiguration(&status, &h, context);
            PVOID address = nullptr;
            UINT length = 0;
            NdisReadNetworkAddress(&status, &address, &length, h);
            if (status == NDIS_STATUS_SUCCESS) {
                auto* p = static_cast<std::uint8_t*>(address);
                bytes.assign(p, p + length);
            }
            NdisCloseConfiguration(h);
        };
        EXPECT_EQ(pnp().startDevice(bus.pdo), STATUS_SUCCESS);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(bytes, c.bytes);
        remove();
    }
    // The helper writes the form NdisReadNetworkAddress reads.
    Parameters p;
    std::uint8_t mac[] = {0x00, 0x0E, 0xC6, 0x01, 0x02, 0xFF};
    p.setNetworkAddress(mac);
    EXPECT_EQ(std::get<std::string>(*p.find("NetworkAddress")), "000EC60102FF");
}

TEST_F(NdisConfigTest, AHandleLeftOpenIsReportedAtHalt) {
    script.onInitialize = [&](NDIS_HANDLE, NDIS_HANDLE context) {
        NDIS_STATUS status;
        NDIS_HANDLE h;
        NdisOpenConfiguration(&status, &h, context);
    };
    start();
    ExpectViolation v(rule::kNdisResourceLeak);
    remove();
}

} // namespace
} // namespace host::testing
