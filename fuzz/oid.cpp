// OID requests to a running adapter: byte 0 picks one of the OIDs the adapter lists as
// supported (or, with bit 0 of byte 1 set, bytes 2-5 are the OID, little-endian); bit 1 of
// byte 1 makes it a set; the rest is the buffer, its length the request's length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "harness.h"

namespace kt735n_test {
namespace {

const std::vector<NDIS_OID>& supported() {
    static const std::vector<NDIS_OID> oids = [] {
        host::ndis::Adapter::Request r =
            runningRig().adapter()->query(OID_GEN_SUPPORTED_LIST, 1024);
        std::vector<NDIS_OID> list(r.bytesDone / sizeof(NDIS_OID));
        std::memcpy(list.data(), r.data.data(), list.size() * sizeof(NDIS_OID));
        return list;
    }();
    return oids;
}

} // namespace
} // namespace kt735n_test

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) {
        return 0;
    }
    kt735n_test::Rig& rig = kt735n_test::runningRig();
    NDIS_OID oid = 0;
    if ((data[1] & 1) != 0 || kt735n_test::supported().empty()) {
        std::memcpy(&oid, data + 2, sizeof(oid));
    } else {
        oid = kt735n_test::supported()[data[0] % kt735n_test::supported().size()];
    }
    std::vector<std::uint8_t> buffer(data + 6, data + size);
    if ((data[1] & 2) != 0) {
        rig.adapter()->set(oid, buffer);
    } else {
        rig.adapter()->query(oid, static_cast<ULONG>(buffer.size()));
    }
    kt735n_test::settle(rig, 10 * host::kMillisecond);
    return 0;
}
