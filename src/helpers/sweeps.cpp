#include "sweeps.hpp"
#include "lanes.hpp"

namespace korva {
namespace {
constexpr std::size_t kBlock = 16;
}  // namespace

// Sixteen windows run side by side, each lane its own accumulator adding in
// index order, so every window rounds exactly as the one-at-a-time loop.
KORVA_CLONES("avx2", "default") void fresh_window_sums(const double* v, std::size_t n,
                                                                         std::uint64_t p, double* out) {
    std::size_t i = p - 1;
    for (; i + kBlock <= n; i += kBlock) {
        const double* first = v + (i + 1 - p);
        Lanes s0 = {-0.0, -0.0, -0.0, -0.0}, s1 = s0, s2 = s0, s3 = s0;
        for (std::uint64_t j = 0; j < p; ++j) {
            Lanes v0, v1, v2, v3;
            __builtin_memcpy(&v0, first + j, sizeof v0);
            __builtin_memcpy(&v1, first + j + 4, sizeof v1);
            __builtin_memcpy(&v2, first + j + 8, sizeof v2);
            __builtin_memcpy(&v3, first + j + 12, sizeof v3);
            s0 = s0 + v0;
            s1 = s1 + v1;
            s2 = s2 + v2;
            s3 = s3 + v3;
        }
        __builtin_memcpy(out + i, &s0, sizeof s0);
        __builtin_memcpy(out + i + 4, &s1, sizeof s1);
        __builtin_memcpy(out + i + 8, &s2, sizeof s2);
        __builtin_memcpy(out + i + 12, &s3, sizeof s3);
    }
    for (; i < n; ++i) {
        double s = -0.0;
        for (std::size_t u = i + 1 - p; u <= i; ++u) s = s + v[u];
        out[i] = s;
    }
}

}  // namespace korva
