// Bulk-in transfers from the chip to a running adapter: each input is a run of transfers, each
// a 16-bit little-endian length (taken modulo 2049) followed by that many bytes (or what is
// left), delivered back to back.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kt735n_test::Rig& rig = kt735n_fuzz::runningRig();
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t length = (data[at] | (data[at + 1] << 8)) % 2049;
        at += 2;
        length = length < size - at ? length : size - at;
        rig.device().injectBulkIn(std::vector<std::uint8_t>(data + at, data + at + length));
        at += length;
    }
    kt735n_fuzz::settle(rig, 5 * host::kMillisecond);
    return 0;
}
