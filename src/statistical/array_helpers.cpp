// Array helpers. moving_std recomputes every window from its values, with
// the window sum grouped the way the host's array library summed the
// window's memory: eight lanes for a unit-step run (forward or reversed), a
// plain running sum for any other stride. Callers compare bit for bit, so the
// layout of the input is part of the result.
#include "array_helpers.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "../helpers/unrolled_sum.hpp"

namespace korva::statistical {
namespace {

// The window's values x[first .. first+p-1] in memory order, for the
// eight-lane sum of a reversed unit-step view.
struct Reversed {
    const SeriesView& x;
    std::size_t last;
    double operator[](std::size_t j) const { return x[last - j]; }
};

// Population deviation of the window ending at `end` given its sum.
template <class V>
double window_std(const V& x, std::size_t end, std::size_t p, double sum) {
    const double pd = static_cast<double>(p);
    const double mean = sum / pd;
    double ss = 0.0;
    for (std::size_t k = end + 1 - p; k <= end; ++k) {
        const double d = x[k] - mean;
        ss = ss + d * d;
    }
    return std::sqrt(ss / pd);
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
        with_view(source, [&](const auto& x) {
            for (std::size_t end = p - 1; end < n; ++end)
                out[end] = window_std(x, end, p, unrolled_sum(x, end + 1 - p, p));
        });
    } else if (source.stride == -step) {
        for (std::size_t end = p - 1; end < n; ++end)
            out[end] = window_std(source, end, p, unrolled_sum(Reversed{source, end}, 0, p));
    } else {
        for (std::size_t end = p - 1; end < n; ++end) {
            double s = 0.0;
            for (std::size_t k = end + 1 - p; k <= end; ++k) s = s + source[k];
            out[end] = window_std(source, end, p, s);
        }
    }
    return out;
}

Series shift(SeriesView source, std::int64_t periods) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    // Values move as bit patterns: NaN payloads and -0.0 survive.
    const auto copy = [&](std::size_t to, std::size_t from) {
        std::memcpy(&out[to], source.base + static_cast<std::ptrdiff_t>(from) * source.stride, sizeof(double));
    };
    if (periods >= 0) {
        const auto k = static_cast<std::uint64_t>(periods);
        if (k >= n && k != 0) return out;
        for (std::size_t i = static_cast<std::size_t>(k); i < n; ++i) copy(i, i - static_cast<std::size_t>(k));
    } else {
        // 0 - periods in unsigned arithmetic: exact even for the most negative value.
        const std::uint64_t k = 0 - static_cast<std::uint64_t>(periods);
        if (k >= n) return out;
        for (std::size_t i = 0; i + static_cast<std::size_t>(k) < n; ++i) copy(i, i + static_cast<std::size_t>(k));
    }
    return out;
}

}  // namespace korva::statistical
