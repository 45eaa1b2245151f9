// Array helpers. moving_std recomputes every window from its values, with
// the window sum grouped the way the host's array library summed the
// window's memory: eight lanes for a unit-step run (forward or reversed), a
// plain running sum for any other stride. Callers compare bit for bit, so the
// layout of the input is part of the result.
// Four-double vectors are returned only by always-inlined functions (the
// eight-lane kernel and its loaders), folded into the per-target clones, so
// no call passes one in registers and GCC's ABI note for such signatures
// does not apply here.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "array_helpers.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "../helpers/unrolled_sum.hpp"
#include "../helpers/lanes.hpp"

namespace korva::statistical {
namespace {

constexpr std::size_t kLanes = 4;

// How the window sum of moving_std is grouped, by the input's layout.
enum class Layout { Unit, Reversed, Strided };

// Elements k .. k+3 of the view as one vector.
template <Layout L>
[[gnu::always_inline]] inline Lanes load_lanes(const SeriesView& x, std::size_t k) {
    if constexpr (L == Layout::Unit) {
        Lanes v;
        std::memcpy(&v, x.base + static_cast<std::ptrdiff_t>(k) * x.stride, sizeof v);
        return v;
    } else {
        return Lanes{x[k], x[k + 1], x[k + 2], x[k + 3]};
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

// The same for the four windows starting at first .. first+3, one per lane.
template <Layout L>
[[gnu::always_inline]] inline Lanes window_sums(const SeriesView& x, std::size_t first, std::size_t p) {
    if constexpr (L == Layout::Unit) {
        return unrolled_sum_of<Lanes>([&](std::size_t k) __attribute__((always_inline)) { return load_lanes<L>(x, first + k); }, p);
    } else if constexpr (L == Layout::Reversed) {
        // Memory order of a window is its index order backwards.
        const std::size_t last = first + p - 1;
        return unrolled_sum_of<Lanes>([&](std::size_t j) __attribute__((always_inline)) { return load_lanes<L>(x, last - j); }, p);
    } else {
        Lanes s{};
        for (std::size_t k = first; k < first + p; ++k) s = s + load_lanes<L>(x, k);
        return s;
    }
}

// Population deviation of every window: mean from the layout's sum, then
// the squared deviations added in index order, each window from scratch.
// Four neighbouring windows run side by side with the scalar operations.
template <Layout L>
[[gnu::always_inline]] inline void deviations(const SeriesView& x, std::size_t p, double* out) {
    const std::size_t n = x.size();
    const double pd = static_cast<double>(p);
    std::size_t end = p - 1;
    // Sixteen windows per step: four vectors, so that four independent
    // squared-deviation sums are in flight.
    constexpr std::size_t kGroups = 4;
    for (; end + kGroups * kLanes <= n; end += kGroups * kLanes) {
        const std::size_t first = end + 1 - p;
        const Lanes m0 = window_sums<L>(x, first, p) / pd;
        const Lanes m1 = window_sums<L>(x, first + kLanes, p) / pd;
        const Lanes m2 = window_sums<L>(x, first + 2 * kLanes, p) / pd;
        const Lanes m3 = window_sums<L>(x, first + 3 * kLanes, p) / pd;
        Lanes s0{}, s1{}, s2{}, s3{};
        for (std::size_t k = first; k < first + p; ++k) {
            const Lanes d0 = load_lanes<L>(x, k) - m0;
            const Lanes d1 = load_lanes<L>(x, k + kLanes) - m1;
            const Lanes d2 = load_lanes<L>(x, k + 2 * kLanes) - m2;
            const Lanes d3 = load_lanes<L>(x, k + 3 * kLanes) - m3;
            s0 = s0 + d0 * d0;
            s1 = s1 + d1 * d1;
            s2 = s2 + d2 * d2;
            s3 = s3 + d3 * d3;
        }
        const Lanes var[kGroups] = {s0 / pd, s1 / pd, s2 / pd, s3 / pd};
        for (std::size_t g = 0; g < kGroups; ++g)
            for (std::size_t l = 0; l < kLanes; ++l) out[end + g * kLanes + l] = std::sqrt(var[g][l]);
    }
    for (; end + kLanes <= n; end += kLanes) {
        const std::size_t first = end + 1 - p;
        const Lanes mean = window_sums<L>(x, first, p) / pd;
        Lanes ss{};
        for (std::size_t k = first; k < first + p; ++k) {
            const Lanes d = load_lanes<L>(x, k) - mean;
            ss = ss + d * d;
        }
        const Lanes var = ss / pd;
        for (std::size_t l = 0; l < kLanes; ++l) out[end + l] = std::sqrt(var[l]);
    }
    for (; end < n; ++end) {
        const std::size_t first = end + 1 - p;
        const double mean = window_sum<L>(x, first, p) / pd;
        double ss = 0.0;
        for (std::size_t k = first; k <= end; ++k) {
            const double d = x[k] - mean;
            ss = ss + d * d;
        }
        out[end] = std::sqrt(ss / pd);
    }
}

KORVA_CLONES("avx2", "default") void deviations_unit(const SeriesView& x, std::size_t p,
                                                                      double* out) {
    deviations<Layout::Unit>(x, p, out);
}
KORVA_CLONES("avx2", "default") void deviations_reversed(const SeriesView& x, std::size_t p,
                                                                          double* out) {
    deviations<Layout::Reversed>(x, p, out);
}
KORVA_CLONES("avx2", "default") void deviations_strided(const SeriesView& x, std::size_t p,
                                                                         double* out) {
    deviations<Layout::Strided>(x, p, out);
}

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
