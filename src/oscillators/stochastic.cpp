// Range oscillators. The fast stochastic and Williams' %R take their window
// extremes from the monotonic deque, so a NaN high or low that reaches the
// front shows up in their results; the slow stochastic folds its extremes
// NaN-ignoring. Both stochastics smooth with a window mean that restarts its
// NaN-skipping sum for every window: callers compare the results bit for bit
// with the host's earlier code, and a running sum would round differently.
#include "stochastic.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/price_source.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/sweeps.hpp"
#include "../helpers/window_extreme.hpp"
#include "stochastic_steps.hpp"

namespace korva::osc {
namespace {

// The first window's result sits at p - 1, which wraps for p = 0.
[[noreturn]] void zero_period(std::size_t n) { index_out_of_range(std::numeric_limits<std::size_t>::max(), n); }

constexpr std::size_t W = sizeof(Wide) / sizeof(double);

// Window mean of x[0 .. n-1] with window w into out (n values, not x): for
// each end i >= w-1 the non-NaN values of the window summed from +0.0 in
// order, divided by their count; NaN where the window has none, and
// everywhere when w is 0 or larger than n.
//
// Thirty-two windows run side by side, each lane its own sum in the
// window's order. Adding +0.0 in place of a NaN element leaves a sum's bits
// unchanged (a sum started at +0.0 is never -0.0), and a window without
// values has sum +0.0 and count 0, whose quotient is the NaN it needs, so
// the lanes need no branches.
//
// Only the windows ending at from .. n-1 are written, to out[0 ..]: a stream
// runs it over its kept values and a new chunk.
[[gnu::always_inline]] inline void window_mean_lanes(const double* x, std::size_t n, std::uint64_t w, std::size_t from,
                                                     double* out) {
    if (w < 1 || w > n) {
        std::fill_n(out, n - from, NaN);
        return;
    }
    const std::size_t first = std::max<std::size_t>(from, w - 1);
    std::fill_n(out, first - from, NaN);  // every later position is written below
    std::size_t i = in_blocks<4 * W>(
        first, n, [&](std::size_t i) __attribute__((always_inline)) {
            const double* first = x + (i + 1 - w);
            Wide s[4] = {}, c[4] = {};
            for (std::uint64_t k = 0; k < w; ++k) {
#pragma GCC unroll 4
                for (std::size_t g = 0; g < 4; ++g) {
                    const Wide v = lanes_at<Wide>(first + k + g * W);
                    const WideBits ok = v == v;
                    s[g] = s[g] + pick(ok, v, Wide{});
                    c[g] = c[g] + pick(ok, Wide{} + 1.0, Wide{});
                }
            }
#pragma GCC unroll 4
            for (std::size_t g = 0; g < 4; ++g) store_lanes(out + (i - from) + g * W, s[g] / c[g]);
        });
    for (; i < n; ++i) out[i - from] = window_mean_of(x + (i + 1 - w), w);
}

void window_mean(const double* x, std::size_t n, std::uint64_t w, double* out) { window_mean_from(x, n, w, 0, out); }

// The lanes' NaN-skipping window means against the stream's one window at a
// time, on hostile values.
std::size_t window_mean_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 300);
    const std::size_t n = x.size();
    std::size_t bad = 0;
    const std::uint64_t windows[] = {1, 2, 3, 8, 33, 150};
    for (const std::uint64_t w : windows) {
        std::vector<double> lanes(n), serial(n);
        window_mean(x.data(), n, w, lanes.data());
        for (std::size_t i = w - 1; i < n; ++i) serial[i] = window_mean_of(x.data() + (i + 1 - w), w);
        bad += rec::check::mismatches(lanes.data() + w - 1, serial.data() + w - 1, n - w + 1);
    }
    return bad;
}
KORVA_CHECK_KERNEL("window means skipping NaN", window_mean_mismatches)

void require_price_columns(const MatrixView& candles) { (void)candles.column(col::low); }

}  // namespace

[[gnu::noinline]] void window_mean_from(const double* x, std::size_t n, std::uint64_t w, std::size_t from,
                                        double* out) {
    simd::dispatch([&](auto) KORVA_LANES { window_mean_lanes(x, n, w, from, out); });
}

Tuple stoch(MatrixView candles, std::uint64_t fastk_period, std::uint64_t slowk_period, std::uint64_t,
            std::uint64_t slowd_period, std::uint64_t) {
    const std::size_t n = candles.rows;
    const std::uint64_t fk = fastk_period;
    if (n < fk) return tuple_of(Series(n, NaN), Series(n, NaN));
    require_price_columns(candles);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    Series slowk(n), slowd(n);
    // fastk lives in slowd until slowk has been taken from it.
    double* fastk = slowd.data();
    std::fill_n(fastk, fk >= 1 ? fk - 1 : n, NaN);
    if (fk >= 1) {
        block_high_low<true>(high, low, fk,
                             [&](std::size_t i, double h, double l) { fastk[i] = slow_fastk(close[i], h, l); });
    }
    window_mean(fastk, n, slowk_period, slowk.data());
    window_mean(slowk.data(), n, slowd_period, slowd.data());
    return tuple_of(std::move(slowk), std::move(slowd));
}

Tuple stochf(MatrixView candles, std::uint64_t fastk_period, std::uint64_t fastd_period, std::uint64_t) {
    const std::size_t n = candles.rows;
    const std::uint64_t fk = fastk_period;
    if (n < fk) return tuple_of(Series(n, NaN), Series(n, NaN));
    require_price_columns(candles);
    if (fk == 0) zero_period(n);
    // Positions from fk - 1 on are all written below.
    Series fastk(n), fastd(n);
    std::fill_n(fastk.data(), fk - 1, NaN);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    window_high_low(high, low, fk, [&](std::size_t i, double h, double l) { fastk[i] = fast_fastk(close[i], h, l); });
    window_mean(fastk.data(), n, fastd_period, fastd.data());
    return tuple_of(std::move(fastk), std::move(fastd));
}

Series willr(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    if (n < period) return Series(n, NaN);
    require_price_columns(candles);
    if (period == 0) zero_period(n);
    Series out(n);  // positions from period - 1 on are all written below
    std::fill_n(out.data(), period - 1, NaN);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    window_high_low(high, low, period, [&](std::size_t i, double h, double l) { out[i] = williams_r(close[i], h, l); });
    return out;
}

Tuple wt(MatrixView candles, std::uint64_t wtchannellen, std::uint64_t wtaveragelen, std::uint64_t wtmalen,
         double oblevel, double oslevel, std::string_view source_type) {
    WaveTrend st;
    double s = 0.0;
    return wt_over(candles, ema_coefficients(wtchannellen), ema_coefficients(wtaveragelen), wtmalen, oblevel, oslevel,
                   wt_source_name(source_type), st, s);
}

Tuple wt_over(MatrixView candles, const EmaCoefficients& ch, const EmaCoefficients& av, std::uint64_t wtmalen,
              double oblevel, double oslevel, std::string_view source_name, WaveTrend& st, double& s) {
    const std::size_t n = candles.rows;
    require_price_columns(candles);
    const PriceSource source(candles, source_name, NameCase::Exact);
    const SeriesView ap = source.view();

    Series wt1(n), wt2(n), diff(n);
    if (n > 0) {
        // esa and de: EMAs of the price and of its absolute deviation from
        // esa; ci, their normalised ratio, is smoothed into wt1.
        for (std::size_t i = 0; i < n; ++i) wt1[i] = st.next(ch, av, ap[i], i == 0);
        // wt2: a growing mean over the first ml values, then a moving mean
        // updated by the entering and leaving differences.
        const std::uint64_t ml = wtmalen;
        if (ml == 0) {
            std::fill_n(wt2.data(), n, 0.0);
        } else {
            const std::size_t head = ml < n ? ml : n;
            for (std::size_t i = 0; i < head; ++i) wt2[i] = WaveTrend::growing_mean(s, wt1[i], i);
            const double mld = static_cast<double>(ml);
            for (std::size_t i = head; i < n; ++i)
                wt2[i] = WaveTrend::moving_mean(wt2[i - 1], wt1[i], wt1[i - ml], mld);
        }
    }
    Mask cross_up(n), cross_down(n), oversold(n), overbought(n);
    for (std::size_t i = 0; i < n; ++i) {
        const WaveTrendFlags f(wt1[i], wt2[i], oblevel, oslevel);
        cross_up[i] = f.cross_up;
        cross_down[i] = f.cross_down;
        oversold[i] = f.oversold;
        overbought[i] = f.overbought;
        diff[i] = f.diff;
    }
    return tuple_of(std::move(wt1), std::move(wt2), std::move(cross_up), std::move(cross_down), std::move(oversold),
                    std::move(overbought), std::move(diff));
}

}  // namespace korva::osc
