// The fault-injection points of the test build (see test_hooks.hpp). Only
// that build compiles this file; elsewhere (a linter going over every
// source, say) it is empty.
#include "test_hooks.hpp"

#if defined(KORVA_COORDINATOR_TEST_HOOKS)

#include <string>

#include "platform.hpp"

namespace korva::coordination::test_hooks {

namespace {
int milliseconds_from(const char* name) {
    const auto value = platform::environment(name);
    if (!value) return 0;
    try {
        return std::stoi(*value);
    } catch (...) {
        return 0;
    }
}
}  // namespace

void after_write(bool failed) {
    static const int pause_ms = milliseconds_from("KORVA_TEST_PAUSE_AFTER_FAILED_WRITE_MS");
    if (!failed || pause_ms <= 0) return;
    platform::write_stderr("test hook: stream write failed, pausing\n");
    platform::sleep_ms(pause_ms);
}

}  // namespace korva::coordination::test_hooks

#endif
