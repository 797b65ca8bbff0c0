// One run of kt735sim: the world, the model on the bus, the driver, the scenario and the record.
#pragma once

#include <ostream>

#include "cli.h"

namespace kt735sim {

// Runs the scenario; text goes to `out` (unless quiet), problems to `err`. Returns the exit
// status: 0 clean, 1 a verifier violation or a leak, 2 an output file that cannot be written.
int runSimulation(const Options& options, const Script& script, std::ostream& out,
                  std::ostream& err);

} // namespace kt735sim
