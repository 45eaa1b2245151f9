// Reductions that give exactly what NumPy's own `max`, `min` and `sum` give
// for float64 (callers replaced NumPy expressions and compare bit for bit),
// and the plain running-sum mean. Templates over the view type: a strided
// candle column and a plain pointer go through the same operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace korva {

namespace detail {

// The extreme of x in four independent lanes with plain comparisons, or
// nothing when the input holds a NaN or the extreme is a zero. Otherwise the
// extreme is one value whose every occurrence has the same bits, so the lane
// order cannot show in the result and the sequential fold may be skipped.
template <bool Max>
inline double pick(double acc, double v) {
    return (Max ? v > acc : v < acc) ? v : acc;  // one maxsd/minsd
}

template <bool Max, class V>
bool lane_extreme(const V& x, double& result) {
    const std::size_t n = x.size();
    double a0 = x[0], a1 = a0, a2 = a0, a3 = a0;
    bool nan = false;
    std::size_t i = 1;
    for (; i + 4 <= n; i += 4) {
        const double v0 = x[i], v1 = x[i + 1], v2 = x[i + 2], v3 = x[i + 3];
        nan |= (v0 != v0) | (v1 != v1) | (v2 != v2) | (v3 != v3);
        a0 = pick<Max>(a0, v0);
        a1 = pick<Max>(a1, v1);
        a2 = pick<Max>(a2, v2);
        a3 = pick<Max>(a3, v3);
    }
    for (; i < n; ++i) {
        const double v = x[i];
        nan |= v != v;
        a0 = pick<Max>(a0, v);
    }
    const double r = pick<Max>(pick<Max>(a0, a1), pick<Max>(a2, a3));
    if (nan || r != r || r == 0.0) return false;
    result = r;
    return true;
}

}  // namespace detail

// maximum.reduce: the first NaN met sticks, a NaN replaces a number, and on
// ties (+0.0 against -0.0 included) the earlier value is kept. n >= 1.
template <class V>
double np_maximum(const V& x) {
    double acc;
    if (detail::lane_extreme<true>(x, acc)) return acc;
    acc = x[0];
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double v = x[i];
        if (!(acc >= v || std::isnan(acc))) acc = v;
    }
    return acc;
}

// minimum.reduce, the mirror image of np_maximum. n >= 1.
template <class V>
double np_minimum(const V& x) {
    double acc;
    if (detail::lane_extreme<false>(x, acc)) return acc;
    acc = x[0];
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double v = x[i];
        if (!(acc <= v || std::isnan(acc))) acc = v;
    }
    return acc;
}

// NumPy's pairwise summation of `count` elements from `start`: blocks of at
// most 128 summed in eight interleaved lanes, larger ranges split in two at
// half the count rounded down to a multiple of eight. The rounding differs
// from a left-to-right sum, which is why it is reproduced step by step.
template <class V>
double np_pairwise_sum(const V& x, std::size_t start, std::size_t count) {
    if (count < 8) {
        // From +0.0, so that a lone -0.0 sums to +0.0 as in NumPy.
        double r = 0.0;
        for (std::size_t i = 0; i < count; ++i) r = r + x[start + i];
        return r;
    }
    if (count <= 128) {
        double a[8];
        for (std::size_t j = 0; j < 8; ++j) a[j] = x[start + j];
        const std::size_t whole = count - count % 8;
        for (std::size_t i = 8; i < whole; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) a[j] = a[j] + x[start + i + j];
        }
        double r = ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
        for (std::size_t i = whole; i < count; ++i) r = r + x[start + i];
        return r;
    }
    const std::size_t half = (count / 16) * 8;
    return np_pairwise_sum(x, start, half) + np_pairwise_sum(x, start + half, count - half);
}

// A window's running sum: the first window summed in order from -0.0, then
// each step adds (entering - leaving), so a NaN poisons every later sum.
struct RunningWindowSum {
    double s = -0.0;
    void add(double v) { s = s + v; }
    void slide(double leaving, double entering) { s = s + (entering - leaving); }
};

// The running sum s moved along over positions [a, n) of x (a >= w >= 1),
// the value w positions back leaving; out[i] is the window's mean. The loop
// of running_mean, which streams continue over a chunk.
inline void running_mean_slide(const double* x, std::size_t a, std::size_t n, std::uint64_t w, RunningWindowSum& s,
                               double* out) {
    const double denom = static_cast<double>(w);
    const std::size_t back = static_cast<std::size_t>(w);
    RunningWindowSum r = s;  // a local that the stores cannot change
    for (std::size_t i = a; i < n; ++i) {
        r.slide(x[i - back], x[i]);
        out[i] = r.s / denom;
    }
    s = r;
}

// Running-sum mean over a window of w values. Positions before the first
// full window are NaN; w = 0 or w > n leaves everything NaN.
inline void running_mean(const double* x, std::size_t n, std::uint64_t w, double* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
    if (w == 0 || w > n) return;
    const double denom = static_cast<double>(w);
    RunningWindowSum s;
    for (std::size_t i = 0; i < w; ++i) s.add(x[i]);
    out[w - 1] = s.s / denom;
    running_mean_slide(x, static_cast<std::size_t>(w), n, w, s, out);
}

}  // namespace korva
