#include "unrolled_sum.hpp"
#include "dispatch.hpp"
#include "lanes.hpp"

#include <cstring>
#include <vector>

#include "recurrence_lanes.hpp"

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

namespace {

// The gathered lanes against the eight-lane sum of one window at a time.
std::size_t unrolled_window_sum_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 300);
    const std::size_t n = x.size();
    std::size_t bad = 0;
    const std::size_t periods[] = {1, 3, 8, 9, 40};
    for (const std::size_t p : periods) {
        std::vector<double> lanes(n), serial(n);
        unrolled_window_sums(x.data(), n, p, lanes.data());
        for (std::size_t i = p - 1; i < n; ++i) serial[i] = unrolled_sum(x.data(), i + 1 - p, p);
        bad += rec::check::mismatches(lanes.data() + p - 1, serial.data() + p - 1, n - p + 1);
    }
    return bad;
}
KORVA_CHECK_KERNEL("unrolled window sums", unrolled_window_sum_mismatches)

}  // namespace

}  // namespace korva
