// The descriptors a hostile device answers with while the adapter starts: byte 0 is the length
// of the device descriptor (at most what follows), the rest the configuration descriptor. Each
// input is a fresh machine: the start must succeed or fail, and leave nothing behind.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    std::size_t deviceLength = data[0] < size - 1 ? data[0] : size - 1;
    kt735::model::UsbIdentity identity;
    identity.deviceDescriptorBytes = std::vector<std::uint8_t>(data + 1, data + 1 + deviceLength);
    identity.configDescriptorBytes =
        std::vector<std::uint8_t>(data + 1 + deviceLength, data + size);
    kt735n_test::Rig rig(identity, [](auto& parameters, auto&) { parameters.set("MediaSel", 1u); });
    rig.start();
    kt735n_test::check(rig.finish());
    return 0;
}
