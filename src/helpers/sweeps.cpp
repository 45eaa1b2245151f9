// Wide vectors are passed only between always-inlined functions inside one
// clone, so GCC's note on their calling convention does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "sweeps.hpp"

namespace korva {

// Thirty-two windows run side by side, each lane its own accumulator adding
// in index order, so every window rounds exactly as the one-at-a-time loop.
KORVA_WINDOW_CLONES void fresh_window_sums(const double* v, std::size_t n, std::uint64_t p, double* out) {
    constexpr std::size_t W = sizeof(Wide) / sizeof(double);
    std::size_t i = in_blocks<4 * W>(p - 1, n, [&](std::size_t i) __attribute__((always_inline)) {
        const double* first = v + (i + 1 - p);
        const Wide z = -Wide{};  // -0.0 in every lane
        Wide s0 = z, s1 = z, s2 = z, s3 = z;
        for (std::uint64_t j = 0; j < p; ++j) {
            s0 = s0 + lanes_at<Wide>(first + j);
            s1 = s1 + lanes_at<Wide>(first + j + W);
            s2 = s2 + lanes_at<Wide>(first + j + 2 * W);
            s3 = s3 + lanes_at<Wide>(first + j + 3 * W);
        }
        store_lanes(out + i, s0);
        store_lanes(out + i + W, s1);
        store_lanes(out + i + 2 * W, s2);
        store_lanes(out + i + 3 * W, s3);
    });
    for (; i < n; ++i) {
        double s = -0.0;
        for (std::size_t u = i + 1 - p; u <= i; ++u) s = s + v[u];
        out[i] = s;
    }
}

}  // namespace korva
