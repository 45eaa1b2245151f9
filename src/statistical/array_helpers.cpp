// Array helpers. moving_std recomputes every window from its values, with
// the window sum grouped the way the host's array library summed the
// window's memory: eight lanes for a unit-step run (forward or reversed), a
// plain running sum for any other stride. Callers compare bit for bit, so the
// layout of the input is part of the result.
#include "array_helpers.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/sweeps.hpp"
#include "../helpers/unrolled_sum.hpp"

namespace korva::statistical {
namespace {

// How the window sum of moving_std is grouped, by the input's layout.
enum class Layout { Unit, Reversed, Strided };

// Elements k .. k+3 of the view as one vector.
template <Layout L, class T>
[[gnu::always_inline]] inline T load_lanes(const SeriesView& x, std::size_t k) {
    if constexpr (L == Layout::Unit) {
        T v;
        std::memcpy(&v, x.base + static_cast<std::ptrdiff_t>(k) * x.stride, sizeof v);
        return v;
    } else {
        static_assert(sizeof(T) == sizeof(Lanes));
        return T{x[k], x[k + 1], x[k + 2], x[k + 3]};
    }
}

// Sum of the window x[first .. first+p-1] in the layout's grouping: eight
// lanes over memory order for a unit step (forward or reversed), a plain
// running sum from 0.0 otherwise.
template <Layout L>
double window_sum(const SeriesView& x, std::size_t first, std::size_t p) {
    if constexpr (L == Layout::Unit) {
        return unrolled_sum(x, first, p);
    } else if constexpr (L == Layout::Reversed) {
        const std::size_t last = first + p - 1;
        return unrolled_sum_of<double>([&](std::size_t j) { return x[last - j]; }, p);
    } else {
        double s = 0.0;
        for (std::size_t k = first; k < first + p; ++k) s = s + x[k];
        return s;
    }
}

// The same for the windows starting at first, first+1, ..., one per lane.
template <Layout L, class T>
[[gnu::always_inline]] inline T window_sums(const SeriesView& x, std::size_t first, std::size_t p) {
    if constexpr (L == Layout::Unit) {
        return unrolled_sum_of<T>(
            [&](std::size_t k) __attribute__((always_inline)) { return load_lanes<L, T>(x, first + k); }, p);
    } else if constexpr (L == Layout::Reversed) {
        // Memory order of a window is its index order backwards.
        const std::size_t last = first + p - 1;
        return unrolled_sum_of<T>(
            [&](std::size_t j) __attribute__((always_inline)) { return load_lanes<L, T>(x, last - j); }, p);
    } else {
        T s{};
        for (std::size_t k = first; k < first + p; ++k) s = s + load_lanes<L, T>(x, k);
        return s;
    }
}

// Population deviation of the window ending at `end`: the mean from the
// layout's sum, then the squared deviations added in index order.
template <Layout L>
double deviation_of(const SeriesView& x, std::size_t end, std::size_t p) {
    const double pd = static_cast<double>(p);
    const std::size_t first = end + 1 - p;
    const double mean = window_sum<L>(x, first, p) / pd;
    double ss = 0.0;
    for (std::size_t k = first; k <= end; ++k) {
        const double d = x[k] - mean;
        ss = ss + d * d;
    }
    return std::sqrt(ss / pd);
}

// Population deviation of every window: mean from the layout's sum, then
// the squared deviations added in index order, each window from scratch.
// Neighbouring windows run side by side with the scalar operations: four
// vectors of them per step, so that four independent sums are in flight.
// A unit step reads eight-double vectors straight from memory; the other
// layouts gather four values a vector.
template <Layout L>
[[gnu::always_inline]] inline void deviations(const SeriesView& x, std::size_t p, double* out) {
    using T = std::conditional_t<L == Layout::Unit, Wide, Lanes>;
    constexpr std::size_t W = sizeof(T) / sizeof(double);
    constexpr std::size_t kGroups = 4;
    const std::size_t n = x.size();
    const double pd = static_cast<double>(p);
    std::size_t end = in_blocks<kGroups * W>(
        p - 1, n, [&](std::size_t end) __attribute__((always_inline)) {
            const std::size_t first = end + 1 - p;
            T m[kGroups], s[kGroups];
#pragma GCC unroll 4
            for (std::size_t g = 0; g < kGroups; ++g) {
                m[g] = window_sums<L, T>(x, first + g * W, p) / pd;
                s[g] = T{};
            }
            for (std::size_t k = first; k < first + p; ++k) {
#pragma GCC unroll 4
                for (std::size_t g = 0; g < kGroups; ++g) {
                    const T d = load_lanes<L, T>(x, k + g * W) - m[g];
                    s[g] = s[g] + d * d;
                }
            }
#pragma GCC unroll 4
            for (std::size_t g = 0; g < kGroups; ++g) {
                const T var = s[g] / pd;
                T sd;
                for (std::size_t l = 0; l < W; ++l) sd[l] = std::sqrt(var[l]);
                store_lanes(out + end + g * W, sd);
            }
        });
    for (; end < n; ++end) out[end] = deviation_of<L>(x, end, p);
}

[[gnu::noinline]] void deviations_unit(const SeriesView& x, std::size_t p, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { deviations<Layout::Unit>(x, p, out); });
}
// Gathered lanes: no faster with AVX-512.
[[gnu::noinline]] void deviations_reversed(const SeriesView& x, std::size_t p, double* out) {
    simd::dispatch<simd::Level::kAvx2>([&](auto) KORVA_LANES { deviations<Layout::Reversed>(x, p, out); });
}
[[gnu::noinline]] void deviations_strided(const SeriesView& x, std::size_t p, double* out) {
    simd::dispatch<simd::Level::kAvx2>([&](auto) KORVA_LANES { deviations<Layout::Strided>(x, p, out); });
}

// The lanes' window deviations in each layout against one window at a
// time, on hostile values.
template <Layout L>
std::size_t deviation_mismatches(const SeriesView& x, void (*lanes)(const SeriesView&, std::size_t, double*)) {
    const std::size_t n = x.size();
    std::size_t bad = 0;
    const std::size_t periods[] = {1, 2, 7, 40};
    for (const std::size_t p : periods) {
        std::vector<double> out(n), serial(n);
        lanes(x, p, out.data());
        for (std::size_t end = p - 1; end < n; ++end) serial[end] = deviation_of<L>(x, end, p);
        bad += rec::check::mismatches(out.data() + p - 1, serial.data() + p - 1, n - p + 1);
    }
    return bad;
}

std::size_t moving_std_mismatches(std::uint64_t seed) {
    const std::vector<double> v = rec::check::hostile_values(seed, 300);
    const auto step = static_cast<std::ptrdiff_t>(sizeof(double));
    const char* first = reinterpret_cast<const char*>(v.data());
    const std::size_t n = v.size();
    return deviation_mismatches<Layout::Unit>(SeriesView{first, step, n}, deviations_unit) +
           deviation_mismatches<Layout::Reversed>(SeriesView{first + (n - 1) * sizeof(double), -step, n},
                                                  deviations_reversed) +
           deviation_mismatches<Layout::Strided>(SeriesView{first, 2 * step, n / 2}, deviations_strided);
}
KORVA_CHECK_KERNEL("moving deviations", moving_std_mismatches)

}  // namespace

std::int64_t find_order_index(MatrixView orders, SeriesView order_array) {
    if (orders.rows == 0 || orders.cols != order_array.size()) return -1;
    for (std::size_t i = 0; i < orders.rows; ++i) {
        std::size_t j = 0;
        while (j < orders.cols && orders.at(i, j) == order_array[j]) ++j;
        if (j == orders.cols) return static_cast<std::int64_t>(i);
    }
    return -1;
}

Series moving_std(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || n < period) return out;
    const std::size_t p = static_cast<std::size_t>(period);
    const auto step = static_cast<std::ptrdiff_t>(sizeof(double));
    if (source.stride == step) {
        deviations_unit(source, p, out.data());
    } else if (source.stride == -step) {
        deviations_reversed(source, p, out.data());
    } else {
        deviations_strided(source, p, out.data());
    }
    return out;
}

Series shift(SeriesView source, std::int64_t periods) {
    const std::size_t n = source.size();
    // |periods| in unsigned arithmetic: exact even for the most negative value.
    const auto bits = static_cast<std::uint64_t>(periods);
    const std::uint64_t k = periods >= 0 ? bits : 0 - bits;
    if (k >= n && k != 0) return Series(n, NaN);
    const std::size_t m = n - static_cast<std::size_t>(k);  // values kept
    // Values move as bit patterns (NaN payloads and -0.0 survive); only the
    // vacated positions are filled.
    Series out(n);
    const std::size_t to = periods >= 0 ? static_cast<std::size_t>(k) : 0;
    const std::size_t from = periods >= 0 ? 0 : static_cast<std::size_t>(k);
    std::fill_n(out.data() + (periods >= 0 ? 0 : m), n - m, NaN);
    if (source.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        if (m > 0) std::memcpy(out.data() + to, source.base + from * sizeof(double), m * sizeof(double));
    } else {
        for (std::size_t i = 0; i < m; ++i)
            std::memcpy(out.data() + to + i, source.base + static_cast<std::ptrdiff_t>(from + i) * source.stride,
                        sizeof(double));
    }
    return out;
}

}  // namespace korva::statistical
