// Fault-injection points of the test build (the CMake option
// KORVA_COORDINATOR_TEST_HOOKS, which the sanitizer runs turn on): each one
// widens a race window when a test asks for it through the environment, so
// the test reaches that window every time instead of once in many runs.
// Every other build compiles them to nothing.
#pragma once

namespace korva::coordination::test_hooks {

#if defined(KORVA_COORDINATOR_TEST_HOOKS)
// Right after a subscriber's stream write gave the writer's role back. With
// KORVA_TEST_PAUSE_AFTER_FAILED_WRITE_MS set, a failed write announces
// itself on standard error and the stream's thread then pauses that long,
// leaving the stream to any publisher that would write to it.
void after_write(bool failed);
#else
inline void after_write(bool) {}
#endif

}  // namespace korva::coordination::test_hooks
