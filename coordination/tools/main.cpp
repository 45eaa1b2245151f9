// Standalone coordinator process, for tests under sanitizers and for
// benchmarks, without the Python module around it.
#include <cstdio>

#include "coordinator.hpp"

int main() {
    std::string error = korva::coordination::run();
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
}
