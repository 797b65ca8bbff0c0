// What the fuzz targets share: a started adapter kept for the whole process (inputs are fed to
// it one after the other, so that each costs microseconds, not a start), and the check that
// ends the process when the verifier reported anything.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/support/rig.h"

namespace kt735n_test {

// Aborts, for libFuzzer to keep the input, when the machine reported anything.
inline void check(const std::string& problems) {
    if (!problems.empty()) {
        std::fprintf(stderr, "kt735n fuzz: %s\n", problems.c_str());
        std::abort();
    }
}

// The adapter started once on fixed Ethernet, with the bus log off so that it does not grow.
inline Rig& runningRig() {
    static Rig* rig = [] {
        auto* r = new Rig({}, [](auto& parameters, auto&) { parameters.set("MediaSel", 1u); });
        if (r->start() != NDIS_STATUS_SUCCESS) {
            check("the adapter did not start\n" + r->problems());
            std::abort();
        }
        r->bus().setLogging(false);
        return r;
    }();
    return *rig;
}

// After an input: the logs that would grow emptied, and the verifier's reports checked.
inline void settle(Rig& rig, host::Time time) {
    rig.world().scheduler().runFor(time);
    rig.adapter()->log().clear();
    rig.device().clearLogs();
    check(rig.problems());
}

} // namespace kt735n_test
