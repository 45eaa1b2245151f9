// Statistics kernels shared across families. Results are compared bit for
// bit with the host's earlier code, so the order of every operation is fixed.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "../helpers/lanes.hpp"

namespace korva::statistical {

// Population standard deviation over a sliding window of w values, from a
// running sum s and sum of squares q, into out[0 .. n-1]. Positions without
// a full window hold 0.0 (not NaN), as do all of them when w is 0 or larger
// than n. The sums are updated with the difference of the entering and the
// leaving term, never recomputed; the variance is clamped at 0 with the
// NaN-ignoring maximum, so a NaN that enters the sums turns every later
// value into 0, never NaN.
template <class V>
void rolling_std(const V& x, std::uint64_t w, double* out) {
    const std::size_t n = x.size();
    std::fill_n(out, n, 0.0);
    if (w < 1 || w > n) return;
    const double wd = static_cast<double>(w);
    auto deviation = [wd](double s, double q) {
        const double mean = s / wd;
        return std::sqrt(max_num(q / wd - mean * mean, 0.0));
    };
    double s = 0.0, q = 0.0;
    for (std::size_t k = 0; k < w; ++k) {
        const double v = x[k];
        s = s + v;
        q = q + v * v;
    }
    out[w - 1] = deviation(s, q);
    for (std::size_t i = 0; i + w < n; ++i) {
        const double neu = x[w + i], old = x[i];
        q = q + (neu * neu - old * old);
        s = s + (neu - old);
        out[w + i] = deviation(s, q);
    }
}

}  // namespace korva::statistical
