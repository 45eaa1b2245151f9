// Public entry of the shared-state coordinator. The Python module's
// `run_coordinator` releases the interpreter lock and calls run(); nothing
// else of the coordinator is visible to the module.
#pragma once
#include <functional>
#include <string>

namespace korva::coordination {

// Serves forever. Returns only when start-up fails, with the message the
// caller raises as RuntimeError.
std::string run();

// For the standalone server under test: serves as run() does until
// `wait_for_stop` (called on a thread of its own once the server listens)
// returns, then ends every connection, waits for every thread it started and
// frees all its state, so that a leak check at exit sees only real leaks.
// Returns an empty string after such a stop, else the start-up failure.
std::string run_until(const std::function<void()>& wait_for_stop);

}  // namespace korva::coordination
