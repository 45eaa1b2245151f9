// Steps of the ATR and Bollinger computations that the batch functions, the
// `_last` forms and the streams share: one copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "../helpers/errors.hpp"
#include "../helpers/smoothing.hpp"

namespace korva::bands {

// A zero period indexes the seed at p - 1, which wraps: the host failed there.
[[noreturn]] inline void zero_period(std::size_t n) { index_out_of_range(std::numeric_limits<std::size_t>::max(), n); }

// The incremental Wilder step on true ranges, prev + inv * (TR - prev),
// evaluated as d = TR - prev, m = inv * d, prev + m; Q outputs (1: each
// value, 0: none, for atr_last).
template <std::size_t Q>
struct AtrStep {
    static constexpr std::size_t kState = 1, kInputs = 1, kOutputs = Q;
    static constexpr int kStages = 1;
    double inv;

    double contraction() const { return 1.0 - inv; }
    template <class T>
    void guess(T* s, const T* in) const {
        s[0] = in[0];
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        const T d = in[0] - s[0];
        const T m = inv * d;
        s[0] = s[0] + m;
        if constexpr (Emit) out[0] = s[0];
    }
};

// Running sum and sum of squares of a Bollinger window. The sums are never
// recomputed: a NaN or inf - inf that enters them stays, exactly as in the
// host's loop, so every later window is NaN.
struct WindowMoments {
    double s = 0.0, q = 0.0;

    template <class V>
    void seed(const V& x, std::uint64_t p) {
        for (std::size_t k = 0; k < p; ++k) add(x[k]);
    }
    // One value of the first window.
    void add(double v) {
        q = q + v * v;
        s = s + v;
    }
    // Subtract the leaving value, then add the entering one, each rounded.
    void slide(double old, double neu) {
        q = (q - old * old) + neu * neu;
        s = (s - old) + neu;
    }
};

// One window's bands from its sum and sum of squares.
inline void bands_at(double s, double q, double pd, double devup, double devdn, double* upper, double* middle,
                     double* lower) {
    const double mean = s / pd;
    const double sd = std::sqrt(q / pd - mean * mean);
    *middle = mean;
    *upper = mean + devup * sd;
    *lower = mean - devdn * sd;
}

// The bands' width relative to the middle band from a window's sums; NaN
// where the mean is zero.
inline double band_width(double s, double q, double pd, double mult) {
    const double mean = s / pd;
    if (mean == 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double h = mult * std::sqrt(q / pd - mean * mean);
    // (upper - lower) / middle with upper = mean + h, lower = mean - h
    return ((mean + h) + (h - mean)) / mean;
}

// The Choppiness index's drift ATR reads its seed rows 0 .. d-1 (d > 1;
// d = 0 wraps): fewer rows fail there.
inline void check_drift(std::uint64_t d, std::size_t n) {
    if (d == 1) return;
    if (d == 0) index_out_of_range(std::numeric_limits<std::size_t>::max(), n);
    if (d > n) index_out_of_range(static_cast<std::size_t>(d - 1), n);
}

// The Choppiness index's window sum of the drift ATR, NaN values skipped.
struct ChopSum {
    double s = 0.0;
    void add(double a) {
        if (!std::isnan(a)) s = s + a;
    }
    void drop(double a) {
        if (!std::isnan(a)) s = s - a;
    }
};

// The first window's high and low: a value replaces the running extreme
// only when strictly beyond it, so NaN is skipped.
struct FirstRange {
    double hi = -INFINITY, lo = INFINITY;
    void add(double high, double low) {
        if (high > hi) hi = high;
        if (low < lo) lo = low;
    }
};

// The index from a window's ATR sum and range; NaN unless both are
// positive (no logarithm of a non-positive value is taken).
inline double choppiness(double s, double range, double scalar, double log_p) {
    if (s > 0 && range > 0) return (scalar * (std::log10(s) - std::log10(range))) / log_p;
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace korva::bands
