// NDIS configuration: an adapter's registry parameters, read through configuration handles.
#include <cctype>

#include "host/kernel.h"
#include "host/ndis.h"
#include "host/world.h"
#include "host/smp.h"

namespace host::ndis {

namespace {

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string narrow(PNDIS_STRING keyword) {
    std::string out;
    if (keyword == nullptr || keyword->Buffer == nullptr) {
        return out;
    }
    std::size_t count = keyword->Length / sizeof(WCHAR);
    for (std::size_t i = 0; i < count; ++i) {
        WCHAR c = keyword->Buffer[i];
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

// Parses the leading digits of `text` in `base`, as the registry's string-to-integer conversion
// does; fails when there are none.
bool parse(const std::string& text, unsigned base, ULONG& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    if (base == 16 && text.size() >= i + 2 && text[i] == '0' &&
        (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }
    std::uint64_t v = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        int c = std::tolower(static_cast<unsigned char>(text[i]));
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else {
            break;
        }
        if (d >= base) {
            break;
        }
        v = (v * base + d) & 0xFFFFFFFFu;
    }
    value = static_cast<ULONG>(v);
    return digits != 0;
}

} // namespace

void Parameters::set(const std::string& keyword, ULONG value) {
    values_[lower(keyword)] = value;
}

void Parameters::set(const std::string& keyword, const std::string& value) {
    values_[lower(keyword)] = value;
}

void Parameters::setNetworkAddress(std::span<const std::uint8_t> address) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : address) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    set("NetworkAddress", text);
}

void Parameters::remove(const std::string& keyword) {
    values_.erase(lower(keyword));
}

const Parameters::Value* Parameters::find(const std::string& keyword) const {
    auto it = values_.find(lower(keyword));
    return it == values_.end() ? nullptr : &it->second;
}

} // namespace host::ndis

using namespace host;
using host::ndis::Library;

extern "C" VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                            NDIS_HANDLE WrapperConfigurationContext) {
    HostLock::Hold hold;
    Library& ndis = world().ndis();
    Library::ConfigContext* context = ndis.configContext(WrapperConfigurationContext);
    if (context == nullptr) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisOpenConfiguration",
                                  "not the configuration context given to MiniportInitialize");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (ndis.attemptFails(Library::Resource::Configuration)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto handle = std::make_unique<Library::ConfigHandle>();
    handle->adapter = context->adapter;
    *ConfigurationHandle = handle.get();
    ndis.configHandles()[handle.get()] = std::move(handle);
    *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status,
                                            PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                            NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                            NDIS_PARAMETER_TYPE ParameterType) {
    HostLock::Hold hold;
    auto& handles = world().ndis().configHandles();
    auto it = handles.find(ConfigurationHandle);
    if (it == handles.end()) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisReadConfiguration",
                                  "not an open configuration handle");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    Library::ConfigHandle& handle = *it->second;
    handle.adapter->noteKeywordRead(ndis::narrow(Keyword));
    const ndis::Parameters::Value* value = handle.adapter->parameters().find(ndis::narrow(Keyword));
    if (value == nullptr) {
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto parameter = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    std::memset(parameter.get(), 0, sizeof(*parameter));
    const ULONG* integer = std::get_if<ULONG>(value);
    const std::string* text = std::get_if<std::string>(value);
    switch (ParameterType) {
    case NdisParameterInteger:
    case NdisParameterHexInteger: {
        ULONG v = 0;
        if (integer != nullptr) {
            v = *integer;
        } else if (!ndis::parse(*text, ParameterType == NdisParameterHexInteger ? 16 : 10, v)) {
            *Status = NDIS_STATUS_FAILURE;
            return;
        }
        parameter->ParameterType = ParameterType;
        parameter->ParameterData.IntegerData = v;
        break;
    }
    case NdisParameterString:
    case NdisParameterMultiString: {
        std::string s = text != nullptr ? *text : std::to_string(*integer);
        auto wide = std::make_unique<std::vector<WCHAR>>(s.begin(), s.end());
        wide->push_back(0);
        parameter->ParameterType = NdisParameterString;
        parameter->ParameterData.StringData.Buffer = wide->data();
        parameter->ParameterData.StringData.Length =
            static_cast<USHORT>((wide->size() - 1) * sizeof(WCHAR));
        parameter->ParameterData.StringData.MaximumLength =
            static_cast<USHORT>(wide->size() * sizeof(WCHAR));
        handle.strings.push_back(std::move(wide));
        break;
    }
    default:
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    *ParameterValue = parameter.get();
    handle.parameters.push_back(std::move(parameter));
    *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                             PUINT NetworkAddressLength,
                                             NDIS_HANDLE ConfigurationHandle) {
    HostLock::Hold hold;
    auto& handles = world().ndis().configHandles();
    auto it = handles.find(ConfigurationHandle);
    if (it == handles.end()) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisReadNetworkAddress",
                                  "not an open configuration handle");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    Library::ConfigHandle& handle = *it->second;
    handle.adapter->noteKeywordRead("NetworkAddress");
    const ndis::Parameters::Value* value = handle.adapter->parameters().find("NetworkAddress");
    const std::string* text = value != nullptr ? std::get_if<std::string>(value) : nullptr;
    if (text == nullptr || text->empty() || text->size() % 2 != 0) {
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto bytes = std::make_unique<std::vector<std::uint8_t>>();
    for (std::size_t i = 0; i < text->size(); i += 2) {
        std::string pair = text->substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
            *Status = NDIS_STATUS_FAILURE;
            return;
        }
        bytes->push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    }
    *NetworkAddress = bytes->data();
    *NetworkAddressLength = static_cast<UINT>(bytes->size());
    handle.addresses.push_back(std::move(bytes));
    *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    HostLock::Hold hold;
    auto& handles = world().ndis().configHandles();
    if (handles.erase(ConfigurationHandle) == 0) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisCloseConfiguration",
                                  "not an open configuration handle (closed twice?)");
    }
}
