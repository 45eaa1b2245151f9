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
#include "steps.hpp"

namespace korva::bands {
namespace {

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
    PlainMean seed;  // from +0.0, which turns a -0.0 first range into +0.0
    seed.add(true_range_first(high, low));
    for (std::size_t k = 1; k < p; ++k) seed.add(true_range_step(high[k], low[k], close[k - 1]));
    double prev = seed.mean(p);
    if constexpr (Store) out[p - 1] = prev;
    const auto ranges = [&](std::size_t a, std::size_t b, double* const* bufs) __attribute__((always_inline)) {
        true_ranges(high, low, close, a, b, bufs[0]);
    };
    double* o[1] = {out};
    rec::run_blocked(AtrStep < Store ? 1 : 0 > {1.0 / pd}, ranges, o, p, n, &prev);
    return prev;
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

// The lanes' true ranges against the scalar step row by row, on hostile
// highs, lows and closes.
std::size_t true_range_mismatches(std::uint64_t seed) {
    const std::vector<double> high = rec::check::hostile_values(seed, 300),
                              low = rec::check::hostile_values(seed + 1000, 300),
                              close = rec::check::hostile_values(seed + 2000, 300);
    const std::size_t n = high.size();
    std::vector<double> lanes(n), serial(n);
    const ContiguousView<double> h{high.data(), n}, l{low.data(), n}, c{close.data(), n};
    true_ranges(h, l, c, 1, n, lanes.data() + 1);
    for (std::size_t i = 1; i < n; ++i) serial[i] = true_range_step(high[i], low[i], close[i - 1]);
    return rec::check::mismatches(lanes.data() + 1, serial.data() + 1, n - 1);
}
KORVA_CHECK_KERNEL("true ranges", true_range_mismatches)

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
        double upper, middle, lower;
        bands_at(w.s, w.q, pd, devup, devdn, &upper, &middle, &lower);
        return tuple_of(upper, middle, lower);
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
            out[j] = band_width(w.s, w.q, pd, mult);
            if (j + 1 >= n) break;
            w.slide(x[j + 1 - period], x[j + 1]);
        }
    });
    return out;
}

}  // namespace korva::bands
