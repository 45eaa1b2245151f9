// Smoothing kernels shared by every family: the NaN-aware rolling mean, the
// EMA and Wilder recurrences and the linear-weighted mean. Callers compare
// results bit for bit with the host's earlier NumPy code, so each kernel
// fixes its operation order; nothing here may be reassociated or fused.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "recurrence_lanes.hpp"

namespace korva {

// Running state of the NaN-aware rolling mean: the sum of the window's
// non-NaN values and their count.
struct RollingMean {
    double sum = 0.0;
    std::uint64_t count = 0;

    template <class V>
    void start(const V& x, std::size_t p) {
        for (std::size_t i = 0; i < p; ++i) add(x[i]);
    }
    // One value of the first window.
    void add(double v) {
        if (!std::isnan(v)) {
            sum = sum + v;
            ++count;
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

// The rolling mean of p values moved along positions from .. to-1 of x
// (from >= p): at position i, x[i - p] leaves and x[i] enters, and the mean
// goes to out[i - from]. The batch sma's loop, and a stream's over its kept
// values and a new chunk.
template <class V>
void slide_mean(const V& x, std::size_t p, std::size_t from, std::size_t to, RollingMean& m, double* out) {
    RollingMean r = m;  // a local the outputs' stores cannot alias
    for (std::size_t i = from; i < to; ++i) {
        r.slide(x[i - p], x[i]);
        out[i - from] = r.mean();
    }
    m = r;
}

// The plain mean of a first window that seeds a Wilder average: NaN is not
// skipped.
struct PlainMean {
    double sum = 0.0;
    void add(double v) { sum = sum + v; }
    double mean(std::uint64_t count) const { return sum / static_cast<double>(count); }
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
// T is a double or a vector of lanes.
// The value itself, its origin hidden from Clang's straight-line vectoriser.
// That pass pairs the two products of a scalar recurrence step (beta *
// previous and alpha * input) in one vector multiply and then pays a shuffle
// on the chain at every step: the serial EMA ran 20% slower than GCC's code.
// An empty assembly statement costs nothing and changes no bits.
[[gnu::always_inline]] inline double unpaired(double v) {
#if defined(__clang__) && defined(__x86_64__)
    __asm__("" : "+x"(v));
#elif defined(__clang__) && defined(__aarch64__)
    __asm__("" : "+w"(v));
#endif
    return v;
}

template <class T>
inline T smooth(const EmaCoefficients& c, T prev, T v) {
    if constexpr (std::is_same_v<T, double>) {
        return c.beta * prev + unpaired(c.alpha * v);
    } else {
        return c.beta * prev + c.alpha * v;
    }
}

// K chained EMA stages as a lane recurrence (K = 1: the plain EMA or Wilder
// average): each stage smooths the stage before it, stage 0 smooths the
// input, all updated in stage order at every step. Emit writes every stage
// (Q = K) or none (Q = 0, the `_last` forms).
template <std::size_t K, std::size_t Q>
struct ChainStep {
    static constexpr std::size_t kState = K, kInputs = 1, kOutputs = Q;
    static constexpr int kStages = static_cast<int>(K);
    EmaCoefficients c;

    double contraction() const { return std::fabs(c.beta); }
    template <class T>
    void guess(T* s, const T* in) const {
        KORVA_UNROLL
        for (std::size_t k = 0; k < K; ++k) s[k] = in[0];
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        s[0] = smooth(c, s[0], in[0]);
        KORVA_UNROLL
        for (std::size_t k = 1; k < K; ++k) s[k] = smooth(c, s[k], s[k - 1]);
        if constexpr (Emit) {
            KORVA_UNROLL
            for (std::size_t k = 0; k < Q; ++k) out[k] = s[k];
        }
    }
};

// The recurrence from state e before position `first` over x[first .. n-1]
// (a view), writing each new value to out (nullptr: nothing is written);
// returns the final value. Chunks of a long series run in vector lanes.
template <class V>
double recurrence_from(const V& x, std::size_t first, std::size_t n, const EmaCoefficients& c, double e, double* out) {
    double* o[1] = {out};
    if (out) {
        rec::run_view(ChainStep<1, 1>{c}, x, o, first, n, &e);
    } else {
        rec::run_view(ChainStep<1, 0>{c}, x, o, first, n, &e);
    }
    return e;
}

// The EMA or Wilder recurrence seeded with the first value and written at
// every position (no warm-up): out[0] = x[0], out[i] = beta*out[i-1] +
// alpha*x[i]. A NaN input stays in the recurrence. When x is a plain
// pointer, `out` may be x itself: each element is read before its position is
// written.
template <class V>
void seeded_recurrence(const V& x, std::size_t n, const EmaCoefficients& c, double* out) {
    if (n == 0) return;
    if constexpr (requires { x.size(); }) {
        // A view is a caller's array and never the fresh output: the lanes
        // may run. A plain pointer may be the output itself (in place).
        out[0] = x[0];
        recurrence_from(x, 1, n, c, x[0], out);
    } else {
        double e = x[0];
        out[0] = e;
        for (std::size_t i = 1; i < n; ++i) out[i] = e = smooth(c, e, x[i]);
    }
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

}  // namespace korva
