// Registry values at start: for each keyword five bytes (present when the first is odd, then
// the value, little-endian); what is left is NetworkAddress, as a string, when not empty. Each
// input is a fresh machine: the start must succeed or fail, and leave nothing behind.
//
// The driver takes a descriptor count as read, and a count in the hundred thousands makes it
// allocate (and the host fill) a hundred megabytes: a few such inputs a second would hold the
// whole target to a few dozen. So a count the host could satisfy is folded to at most 64;
// counts too large for any pool (from 2^18) still reach the driver as they are, and large
// counts that work are the registry tests' business. What the fuzzer looks for here is how the
// keywords combine.
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
            const bool descriptorCount = std::strstr(keyword, "PacketDesc") != nullptr;
            if (descriptorCount && value > 64 && value < (1u << 18)) {
                value = 1 + value % 64;
            }
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
