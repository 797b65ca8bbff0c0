// The machine-readable record of a run; its layout is described in docs/kt735sim-json.md.
#pragma once

#include <string>

#include "recorder.h"

namespace kt735sim {

// A status code with its NDIS name: {"status": "0x00000000", "status_name": "NDIS_STATUS_..."}.
Json statusJson(std::uint32_t status);
// The record as JSON text, ending in a newline.
std::string jsonRecord(const RunRecord& run, int exitStatus);

} // namespace kt735sim
