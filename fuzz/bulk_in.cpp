// Bulk-in transfers from the chip to a running adapter: each input is a run of transfers, each
// a 16-bit little-endian length (taken modulo 2049) followed by that many bytes (or what is
// left), delivered back to back; at most 16 of them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "harness.h"

// Transfers taken from one input.
constexpr int kMostTransfers = 16;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kt735n_test::Rig& rig = kt735n_test::runningRig();
    std::size_t at = 0;
    for (int transfers = 0; transfers < kMostTransfers && at + 2 <= size; transfers++) {
        std::size_t length = (data[at] | (data[at + 1] << 8)) % 2049;
        at += 2;
        length = length < size - at ? length : size - at;
        rig.device().injectBulkIn(std::vector<std::uint8_t>(data + at, data + at + length));
        at += length;
    }
    // Until the chip has handed every transfer over, checked before each event rather than
    // after fixed steps of time (bounded: an adapter that stopped taking transfers leaves them
    // queued, and later inputs find them still there).
    rig.world().scheduler().runUntil([&] { return rig.device().rxFifoDepth() == 0; },
                                     100 * host::kMillisecond);
    kt735n_test::settle(rig, host::kMillisecond);
    return 0;
}
