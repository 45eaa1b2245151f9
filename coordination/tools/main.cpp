// Standalone coordinator process, for tests under sanitizers and for
// benchmarks, without the Python module around it.
//
// With KORVA_COORDINATOR_CLEAN_STOP=1 (set by the test harness of the
// sanitizer runs) it stops cleanly when its standard input reaches end of
// file: every connection ended, every thread joined and all state freed
// before it exits with status 0, so that LeakSanitizer's check at exit
// finds only real leaks. Without it, it serves as run_coordinator() does.
#include <cstdio>
#include <string>

#include "coordinator.hpp"
#include "platform.hpp"

int main() {
    namespace coordination = korva::coordination;
    const auto clean_stop = coordination::platform::environment("KORVA_COORDINATOR_CLEAN_STOP");
    std::string error;
    if (clean_stop && *clean_stop == "1") {
        error = coordination::run_until([] { coordination::platform::drain_stdin_until_eof(); });
        if (error.empty()) return 0;
    } else {
        error = coordination::run();
    }
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
}
