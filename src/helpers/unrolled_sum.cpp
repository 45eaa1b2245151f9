#include "unrolled_sum.hpp"
#include "dispatch.hpp"
#include "lanes.hpp"

#include <cstring>

namespace korva {
namespace {

[[gnu::always_inline]] inline void window_sums_lanes(const double* v, std::size_t n, std::size_t p, double* out) {
    std::size_t i = p - 1;
    for (; i + 4 <= n; i += 4) {
        // Lane l holds the window that starts at first + l.
        const double* first = v + (i + 1 - p);
        const Lanes s = unrolled_sum_of<Lanes>(
            [first](std::size_t k) __attribute__((always_inline)) {
                Lanes x;
                std::memcpy(&x, first + k, sizeof x);
                return x;
            },
            p);
        std::memcpy(out + i, &s, sizeof s);
    }
    for (; i < n; ++i) out[i] = unrolled_sum(v, i + 1 - p, p);
}

}  // namespace

// Four lanes gathered per window start: no faster with AVX-512.
void unrolled_window_sums(const double* v, std::size_t n, std::size_t p, double* out) {
    simd::dispatch<simd::Level::kAvx2>([&](auto) KORVA_LANES { window_sums_lanes(v, n, p, out); });
}

}  // namespace korva
