// The machine-readable record of a run.
#pragma once

#include <string>

#include "recorder.h"

namespace kt735sim {

// The record as JSON text, ending in a newline.
std::string jsonRecord(const RunRecord& run, int exitStatus);

} // namespace kt735sim
