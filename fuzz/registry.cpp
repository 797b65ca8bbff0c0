// Registry values at start: for each keyword five bytes (present when the first is odd, then
// the value, little-endian); what is left is NetworkAddress, as a string, when not empty. Each
// input is a fresh machine: the start must succeed or fail, and leave nothing behind.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const keywords[] = {
        "TxPacketDesc", "RxPacketDesc",   "MediaType",      "MediaSel", "MagicPkt",  "LinkWakeup",
        "FlowControl",  "FlowControl_Tx", "FlowControl_Rx", "HomePara", "AlivePara", "Platform"};
    kt735n_test::Rig rig({}, [&](host::ndis::Parameters& parameters, auto&) {
        std::size_t at = 0;
        for (const char* keyword : keywords) {
            if (at + 5 > size) {
                return;
            }
            ULONG value = 0;
            std::memcpy(&value, data + at + 1, sizeof(value));
            if ((data[at] & 1) != 0) {
                parameters.set(keyword, value);
            }
            at += 5;
        }
        if (at < size) {
            parameters.set("NetworkAddress", std::string(data + at, data + size));
        }
    });
    rig.start();
    kt735n_test::check(rig.finish());
    return 0;
}
