// A picture of a run as SVG: each medium's link over time, frames per second each way, and
// marks for drops, OID requests, status indications and resets.
#pragma once

#include <string>

#include "recorder.h"

namespace kt735sim {

std::string plotSvg(const RunRecord& run);

} // namespace kt735sim
