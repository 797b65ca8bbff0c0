#include "format.h"

#include <cstdio>

#include "names.h"

namespace kt735sim {

using host::kMillisecond;
using host::kSecond;
using host::Time;

std::string hexBytes(const std::uint8_t* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; i++) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    return text;
}

std::string macText(const std::uint8_t* mac) {
    char text[24];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string seconds(Time t) {
    std::string sign = t < 0 ? "-" : "";
    Time a = t < 0 ? -t : t;
    std::string text = sign + std::to_string(a / kSecond);
    Time fraction = a % kSecond;
    if (fraction != 0) {
        char digits[16];
        std::snprintf(digits, sizeof(digits), "%07lld", static_cast<long long>(fraction));
        std::string f = digits;
        while (f.back() == '0') {
            f.pop_back();
        }
        text += "." + f;
    }
    return text;
}

std::string stamp(Time t) {
    Time a = t < 0 ? -t : t;
    char text[32];
    std::snprintf(text, sizeof(text), "%s%lld.%03lld s", t < 0 ? "-" : "",
                  static_cast<long long>(a / kSecond),
                  static_cast<long long>((a % kSecond) / kMillisecond));
    char padded[40];
    std::snprintf(padded, sizeof(padded), "%13s", text); // room for 9999999.999 s
    return padded;
}

std::string statusText(std::uint32_t status) {
    std::string name = statusName(status);
    return name.empty() ? hex32(status) : name;
}

std::uint32_t le32(const std::vector<std::uint8_t>& data) {
    return static_cast<std::uint32_t>(data[0] | (data[1] << 8) | (data[2] << 16) |
                                      (static_cast<std::uint32_t>(data[3]) << 24));
}

} // namespace kt735sim
