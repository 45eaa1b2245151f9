// Public entry of the shared-state coordinator. The Python module's
// `run_coordinator` releases the interpreter lock and calls run(); nothing
// else of the coordinator is visible to the module.
#pragma once
#include <string>

namespace korva::coordination {

// Serves forever. Returns only when start-up fails, with the message the
// caller raises as RuntimeError.
std::string run();

}  // namespace korva::coordination
