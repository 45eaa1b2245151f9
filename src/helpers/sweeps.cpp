#include "sweeps.hpp"

#include <vector>

#include "dispatch.hpp"
#include "recurrence_lanes.hpp"

namespace korva {
namespace {

constexpr std::size_t W = sizeof(Wide) / sizeof(double);

// Thirty-two windows side by side, those ending at i .. i+31, each lane its
// own accumulator adding in index order from -0.0, so every window rounds
// exactly as the one-at-a-time loop.
// With Mean, each sum is then divided by p.
template <bool Mean = false>
[[gnu::always_inline]] inline void sum_block(const double* v, std::size_t i, std::uint64_t p, double* out) {
    const double* first = v + (i + 1 - p);
    const Wide z = -Wide{};  // -0.0 in every lane
    Wide s0 = z, s1 = z, s2 = z, s3 = z;
    for (std::uint64_t j = 0; j < p; ++j) {
        s0 = s0 + lanes_at<Wide>(first + j);
        s1 = s1 + lanes_at<Wide>(first + j + W);
        s2 = s2 + lanes_at<Wide>(first + j + 2 * W);
        s3 = s3 + lanes_at<Wide>(first + j + 3 * W);
    }
    if constexpr (Mean) {
        const double pd = static_cast<double>(p);
        s0 = s0 / pd;
        s1 = s1 / pd;
        s2 = s2 / pd;
        s3 = s3 / pd;
    }
    store_lanes(out + i, s0);
    store_lanes(out + i + W, s1);
    store_lanes(out + i + 2 * W, s2);
    store_lanes(out + i + 3 * W, s3);
}

inline double sum_one(const double* v, std::size_t i, std::uint64_t p) {
    double s = -0.0;
    for (std::size_t u = i + 1 - p; u <= i; ++u) s = s + v[u];
    return s;
}

[[gnu::always_inline]] inline void window_sums_lanes(const double* v, std::size_t n, std::uint64_t p, double* out) {
    std::size_t i = in_blocks<4 * W>(p - 1, n, [&](std::size_t i) KORVA_LANES { sum_block(v, i, p, out); });
    for (; i < n; ++i) out[i] = sum_one(v, i, p);
}

[[gnu::always_inline]] inline void window_means_lanes(double* v, std::size_t n, std::uint64_t p) {
    windows_in_place<4 * W>(
        v, n, p, [&](const double* x, std::size_t i) KORVA_LANES { sum_block<true>(x, i, p, v); },
        [&](const double* x, std::size_t i) { v[i] = sum_one(x, i, p) / static_cast<double>(p); });
}

}  // namespace

void fresh_window_sums(const double* v, std::size_t n, std::uint64_t p, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { window_sums_lanes(v, n, p, out); });
}

void fresh_window_means_in_place(double* v, std::size_t n, std::uint64_t p) {
    simd::dispatch([&](auto) KORVA_LANES { window_means_lanes(v, n, p); });
}

namespace {

// The lanes' window sums and means against one window at a time, on
// hostile values, at windows narrower and wider than a block.
std::size_t window_sum_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 300);
    const std::size_t n = x.size();
    std::size_t bad = 0;
    const std::uint64_t periods[] = {1, 2, 7, 33, 150};
    for (const std::uint64_t p : periods) {
        std::vector<double> sums(n), means = x, serial(n);
        fresh_window_sums(x.data(), n, p, sums.data());
        fresh_window_means_in_place(means.data(), n, p);
        for (std::size_t i = p - 1; i < n; ++i) serial[i] = sum_one(x.data(), i, p);
        bad += rec::check::mismatches(sums.data() + p - 1, serial.data() + p - 1, n - p + 1);
        for (std::size_t i = p - 1; i < n; ++i) serial[i] = serial[i] / static_cast<double>(p);
        bad += rec::check::mismatches(means.data() + p - 1, serial.data() + p - 1, n - p + 1);
    }
    return bad;
}
KORVA_CHECK_KERNEL("window sums and means", window_sum_mismatches)

}  // namespace

}  // namespace korva
