// Average true range (incremental Wilder form) and Bollinger bands. Callers
// compare the series and the `_last` values bit for bit with the host's
// earlier code and with each other, so each pair shares one routine: the
// `_last` form runs the same operations in the same order and only skips the
// stores.
#include "atr_bollinger.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/true_range.hpp"

namespace korva::bands {
namespace {

// A zero period indexes the seed at p - 1, which wraps: the host failed there.
[[noreturn]] void zero_period(std::size_t n) { index_out_of_range(std::numeric_limits<std::size_t>::max(), n); }

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

// Incremental Wilder ATR over n >= p >= 1 rows: the seed mean at p - 1 (sum
// started as 0.0 + TR[0], which turns a -0.0 range into +0.0 as the host's
// sum did), then the step above. With Store false nothing is written; the
// returned final value is the same bits either way.
template <bool Store>
double incremental_atr(const MatrixView& candles, std::uint64_t p, double* out) {
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    const std::size_t n = candles.rows;
    if (p == 0) zero_period(n);
    const double pd = static_cast<double>(p);
    double sum = 0.0 + true_range_first(high, low);
    for (std::size_t k = 1; k < p; ++k) sum = sum + true_range_step(high[k], low[k], close[k - 1]);
    double prev = sum / pd;
    if constexpr (Store) out[p - 1] = prev;
    const auto ranges = [&](std::size_t a, std::size_t b, double* const* bufs) __attribute__((always_inline)) {
        true_ranges(high, low, close, a, b, bufs[0]);
    };
    double* o[1] = {out};
    rec::run_blocked(AtrStep < Store ? 1 : 0 > {1.0 / pd}, ranges, o, p, n, &prev);
    return prev;
}

// Running sum and sum of squares of a Bollinger window. The sums are never
// recomputed: a NaN or inf - inf that enters them stays, exactly as in the
// host's loop, so every later window is NaN.
struct WindowMoments {
    double s = 0.0, q = 0.0;

    template <class V>
    void seed(const V& x, std::uint64_t p) {
        for (std::size_t k = 0; k < p; ++k) {
            const double v = x[k];
            q = q + v * v;
            s = s + v;
        }
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

// Bands of `count` consecutive windows from their sums s[] and sums of
// squares q[], a vector T of windows at a time: every lane is an independent
// window that rounds each operation as the scalar form does (the square root
// is correctly rounded in either form; nothing is fused).
template <class T>
[[gnu::always_inline]] inline void bands_from_moments(const double* s, const double* q, std::size_t count, double pd,
                                                      double devup, double devdn, double* upper, double* middle,
                                                      double* lower) {
    constexpr std::size_t W = sizeof(T) / sizeof(double);
    std::size_t j = 0;
    for (; j + W <= count; j += W) {
        T sv, qv;
        __builtin_memcpy(&sv, s + j, sizeof sv);
        __builtin_memcpy(&qv, q + j, sizeof qv);
        const T mean = sv / pd;
        const T var = qv / pd - mean * mean;
        T sd;
        for (std::size_t l = 0; l < W; ++l) sd[l] = std::sqrt(var[l]);
        const T up = mean + devup * sd;
        const T dn = mean - devdn * sd;
        __builtin_memcpy(middle + j, &mean, sizeof mean);
        __builtin_memcpy(upper + j, &up, sizeof up);
        __builtin_memcpy(lower + j, &dn, sizeof dn);
    }
    for (; j < count; ++j) bands_at(s[j], q[j], pd, devup, devdn, upper + j, middle + j, lower + j);
}

// Two windows at a time, four where the processor has 256-bit registers (no
// faster with AVX-512).
[[gnu::noinline]] void finish_bands(const double* s, const double* q, std::size_t count, double pd, double devup,
                                    double devdn, double* upper, double* middle, double* lower) {
    simd::dispatch<simd::Level::kAvx2>([&](auto level) KORVA_LANES {
        using T = std::conditional_t<decltype(level)::value >= simd::Level::kAvx2, Lanes, Pair>;
        bands_from_moments<T>(s, q, count, pd, devup, devdn, upper, middle, lower);
    });
}

// Windows whose sums are collected before their bands are formed: the sums
// are a chain, the bands are independent per window and run two at a time.
constexpr std::size_t kBlock = 256;

KORVA_CHECK_STEP("atr", AtrStep<1>{1.0 / 14.0})
KORVA_CHECK_STEP("atr_last", AtrStep<0>{1.0 / 14.0})

}  // namespace

Series atr(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    if (n < period) return Series(n, NaN);  // the columns are not looked at on this path
    Series out(n);
    if (period > 0) std::fill_n(out.data(), period - 1, NaN);
    incremental_atr<true>(candles, period, out.data());
    return out;
}

double atr_last(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    if (n == 0) empty_last_index();
    if (n < period) return NaN;
    return incremental_atr<false>(candles, period, nullptr);
}

Tuple bollinger_bands(SeriesView source, std::uint64_t period, double devup, double devdn) {
    const std::size_t n = source.size();
    if (n < period) return tuple_of(Series(n, NaN), Series(n, NaN), Series(n, NaN));
    if (period == 0) zero_period(n);
    Series upper(n), middle(n), lower(n);
    for (Series* b : {&upper, &middle, &lower}) std::fill_n(b->data(), period - 1, NaN);
    const double pd = static_cast<double>(period);
    with_view(source, [&](const auto& x) {
        WindowMoments w;
        w.seed(x, period);
        double s[kBlock], q[kBlock];
        for (std::size_t j = period - 1; j < n;) {  // j: end of the block's first window
            std::size_t m = 0;
            while (true) {
                s[m] = w.s;
                q[m] = w.q;
                const std::size_t next = j + ++m;  // end of the following window
                if (next >= n || m == kBlock) break;
                w.slide(x[next - period], x[next]);
            }
            finish_bands(s, q, m, pd, devup, devdn, upper.data() + j, middle.data() + j, lower.data() + j);
            j += m;
            if (j < n) w.slide(x[j - period], x[j]);
        }
    });
    return tuple_of(std::move(upper), std::move(middle), std::move(lower));
}

Tuple bollinger_bands_last(SeriesView source, std::uint64_t period, double devup, double devdn) {
    const std::size_t n = source.size();
    if (n == 0) empty_last_index();
    // period 0: every slide removes and re-adds one element and the mean is
    // 0/0, so all three values are NaN.
    if (n < period || period == 0) return tuple_of(NaN, NaN, NaN);
    const double pd = static_cast<double>(period);
    return with_view(source, [&](const auto& x) {
        WindowMoments w;
        w.seed(x, period);
        for (std::size_t j = period; j < n; ++j) w.slide(x[j - period], x[j]);
        const double mean = w.s / pd;
        const double sd = std::sqrt(w.q / pd - mean * mean);
        return tuple_of(mean + devup * sd, mean, mean - devdn * sd);
    });
}

Series bollinger_bands_width(SeriesView source, std::uint64_t period, double mult) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (n < period) return out;
    if (period == 0) zero_period(n);
    const double pd = static_cast<double>(period);
    with_view(source, [&](const auto& x) {
        WindowMoments w;
        w.seed(x, period);
        for (std::size_t j = period - 1;; ++j) {
            const double mean = w.s / pd;
            if (mean != 0.0) {
                const double h = mult * std::sqrt(w.q / pd - mean * mean);
                // (upper - lower) / middle with upper = mean + h, lower = mean - h
                out[j] = ((mean + h) + (h - mean)) / mean;
            }
            if (j + 1 >= n) break;
            w.slide(x[j + 1 - period], x[j + 1]);
        }
    });
    return out;
}

}  // namespace korva::bands
