// Smoothing kernels shared by every family: the NaN-aware rolling mean, the
// EMA and Wilder recurrences and the linear-weighted mean. Callers compare
// results bit for bit with the host's earlier NumPy code, so each kernel
// fixes its operation order; nothing here may be reassociated or fused.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace korva::ma {

// Running state of the NaN-aware rolling mean: the sum of the window's
// non-NaN values and their count.
struct RollingMean {
    double sum = 0.0;
    std::uint64_t count = 0;

    template <class V>
    void start(const V& x, std::size_t p) {
        for (std::size_t i = 0; i < p; ++i) {
            const double v = x[i];
            if (!std::isnan(v)) {
                sum = sum + v;
                ++count;
            }
        }
    }
    // Subtract the leaving value first, then add the entering one as the left
    // operand: the running sum carries the same rounding as the host's loop.
    void slide(double old, double neu) {
        if (!std::isnan(old)) sum = sum - old;
        if (!std::isnan(neu)) sum = neu + sum;
        count = count + (std::isnan(old) ? 1 : 0) - (std::isnan(neu) ? 1 : 0);
    }
    double mean() const {
        return count > 0 ? sum / static_cast<double>(count) : std::numeric_limits<double>::quiet_NaN();
    }
};

struct EmaCoefficients {
    double alpha, beta;
};

inline EmaCoefficients ema_coefficients(std::uint64_t period) {
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    return {alpha, 1.0 - alpha};
}

inline EmaCoefficients wilder_coefficients(std::uint64_t length) {
    const double alpha = 1.0 / static_cast<double>(length);
    return {alpha, 1.0 - alpha};
}

// One step of either recurrence: two products, then one addition.
inline double smooth(const EmaCoefficients& c, double prev, double v) { return c.beta * prev + c.alpha * v; }

// EMAs applied one after another, each stage smoothing the stage before it
// (dema, tema, trix), updated in stage order at every step.
template <std::size_t K>
struct EmaChain {
    double e[K];

    explicit EmaChain(double seed) {
        for (double& v : e) v = seed;
    }
    void step(const EmaCoefficients& c, double v) {
        e[0] = smooth(c, e[0], v);
        for (std::size_t k = 1; k < K; ++k) e[k] = smooth(c, e[k], e[k - 1]);
    }
};

// The EMA or Wilder recurrence seeded with the first value and written at
// every position (no warm-up): out[0] = x[0], out[i] = beta*out[i-1] +
// alpha*x[i]. A NaN input stays in the recurrence. `out` may alias a
// contiguous `x`: each element is read before its position is written.
template <class V>
void seeded_recurrence(const V& x, std::size_t n, const EmaCoefficients& c, double* out) {
    if (n == 0) return;
    double e = x[0];
    out[0] = e;
    for (std::size_t i = 1; i < n; ++i) out[i] = e = smooth(c, e, x[i]);
}

// Linear-weighted mean of the window x[end-p+1 .. end]: oldest weight 1,
// newest weight p, summed from scratch in index order.
template <class V>
double linear_weighted_mean(const V& x, std::size_t end, std::uint64_t p) {
    const std::uint64_t denom = (p + p * p) / 2;
    const std::size_t first = end + 1 - p;
    double s = 0.0;
    for (std::uint64_t j = 1; j <= p; ++j) s = s + x[first + (j - 1)] * static_cast<double>(j);
    return s / static_cast<double>(denom);
}

}  // namespace korva::ma
