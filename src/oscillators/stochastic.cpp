// Range oscillators. The fast stochastic and Williams' %R take their window
// extremes from the monotonic deque, so a NaN high or low that reaches the
// front shows up in their results; the slow stochastic folds its extremes
// NaN-ignoring. Both stochastics smooth with a window mean that restarts its
// NaN-skipping sum for every window: callers compare the results bit for bit
// with the host's earlier code, and a running sum would round differently.
#include "stochastic.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "../bands/window_extreme.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/price_source.hpp"
#include "../moving_averages/kernels.hpp"

namespace korva::osc {
namespace {

using bands::KeepMax;
using bands::KeepMaxNum;
using bands::KeepMin;
using bands::KeepMinNum;
using bands::WindowExtreme;
using bands::WindowExtremeNum;

// The first window's result sits at p - 1, which wraps for p = 0.
[[noreturn]] void zero_period(std::size_t n) { index_out_of_range(std::numeric_limits<std::size_t>::max(), n); }

// Output positions summed side by side in the window mean: each lane is its
// own window with its own sum, added in the window's order.
constexpr std::size_t kLanes = 4;
typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));
typedef std::int64_t LaneCounts __attribute__((vector_size(kLanes * sizeof(std::int64_t))));

// Window mean of x[0 .. n-1] with window w into out (n values): for each end
// i >= w-1 the non-NaN values of the window summed from +0.0 in order,
// divided by their count; NaN where the window has none, and everywhere when
// w is 0 or larger than n. Adding +0.0 for a NaN element leaves the sum's
// bits unchanged (a sum started at +0.0 is never -0.0), which lets several
// windows run in lanes without branches.
void window_mean(const double* x, std::size_t n, std::uint64_t w, double* out) {
    std::fill_n(out, n, NaN);
    if (w < 1 || w > n) return;
    std::size_t i = w - 1;
    for (; i + kLanes <= n; i += kLanes) {
        const double* first = x + (i + 1 - w);
        Lanes s = {0.0, 0.0, 0.0, 0.0};
        LaneCounts c = {0, 0, 0, 0};
        for (std::size_t k = 0; k < w; ++k) {
            Lanes v;
            __builtin_memcpy(&v, first + k, sizeof v);
            const LaneCounts ok = v == v;  // all ones where not NaN
            s = s + (ok ? v : Lanes{0.0, 0.0, 0.0, 0.0});
            c = c - ok;
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            if (c[l] > 0) out[i + l] = s[l] / static_cast<double>(c[l]);
        }
    }
    for (; i < n; ++i) {
        double s = 0.0;
        std::uint64_t c = 0;
        for (std::size_t k = i + 1 - w; k <= i; ++k) {
            if (!std::isnan(x[k])) {
                s = s + x[k];
                ++c;
            }
        }
        if (c > 0) out[i] = s / static_cast<double>(c);
    }
}

void require_price_columns(const MatrixView& candles) { (void)candles.column(col::low); }

// Position of the close inside the high-low range, in percent.
inline double percent_k(double close, double hh, double ll) { return ((close - ll) * 100.0) / (hh - ll); }

}  // namespace

Tuple stoch(MatrixView candles, std::uint64_t fastk_period, std::uint64_t slowk_period, std::uint64_t,
            std::uint64_t slowd_period, std::uint64_t) {
    const std::size_t n = candles.rows;
    const std::uint64_t fk = fastk_period;
    Series slowk(n, NaN), slowd(n, NaN);
    if (n < fk) return tuple_of(std::move(slowk), std::move(slowd));
    require_price_columns(candles);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    // A flat or all-NaN window leaves fastk NaN (the mean then skips it).
    std::vector<double> fastk(n, NaN);
    if (fk >= 1) {
        WindowExtremeNum<KeepMaxNum> hh(fk);
        WindowExtremeNum<KeepMinNum> ll(fk);
        for (std::size_t j = 0; j < n; ++j) {
            hh.add(j, high[j]);
            ll.add(j, low[j]);
            if (j + 1 < fk) continue;
            const double h = hh.value(), l = ll.value();
            if (h > l) fastk[j] = percent_k(close[j], h, l);
        }
    }
    window_mean(fastk.data(), n, slowk_period, slowk.data());
    window_mean(slowk.data(), n, slowd_period, slowd.data());
    return tuple_of(std::move(slowk), std::move(slowd));
}

Tuple stochf(MatrixView candles, std::uint64_t fastk_period, std::uint64_t fastd_period, std::uint64_t) {
    const std::size_t n = candles.rows;
    const std::uint64_t fk = fastk_period;
    Series fastk(n, NaN), fastd(n, NaN);
    if (n < fk) return tuple_of(std::move(fastk), std::move(fastd));
    require_price_columns(candles);
    if (fk == 0) zero_period(n);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    WindowExtreme<KeepMax> hh(fk);
    WindowExtreme<KeepMin> ll(fk);
    for (std::size_t j = 0; j < n; ++j) {
        hh.add(j, high[j]);
        ll.add(j, low[j]);
        if (j + 1 < fk) continue;
        const double h = hh.value(), l = ll.value();
        // A flat window, or a NaN extreme at the front, gives the midpoint.
        fastk[j] = h > l ? percent_k(close[j], h, l) : 50.0;
    }
    window_mean(fastk.data(), n, fastd_period, fastd.data());
    return tuple_of(std::move(fastk), std::move(fastd));
}

Series willr(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    if (n < period) return out;
    require_price_columns(candles);
    if (period == 0) zero_period(n);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    WindowExtreme<KeepMax> hh(period);
    WindowExtreme<KeepMin> ll(period);
    for (std::size_t j = 0; j < n; ++j) {
        hh.add(j, high[j]);
        ll.add(j, low[j]);
        if (j + 1 < period) continue;
        const double h = hh.value(), range = h - ll.value();
        out[j] = range == 0 ? 0.0 : ((h - close[j]) / range) * -100.0;
    }
    return out;
}

Tuple wt(MatrixView candles, std::uint64_t wtchannellen, std::uint64_t wtaveragelen, std::uint64_t wtmalen,
         double oblevel, double oslevel, std::string_view source_type) {
    const std::size_t n = candles.rows;
    require_price_columns(candles);
    // Names are compared exactly as given, and the half-range price is not
    // one of them here: "hl2" selects the close like any unknown name.
    const PriceSource source(candles, source_type == "hl2" ? std::string_view("close") : source_type,
                             NameCase::Exact);
    const SeriesView ap = source.view();

    Series wt1(n), wt2(n), diff(n);
    if (n > 0) {
        // esa and de: EMAs of the price and of its absolute deviation from
        // esa; ci, their normalised ratio, is smoothed into wt1.
        const ma::EmaCoefficients ch = ma::ema_coefficients(wtchannellen);
        const ma::EmaCoefficients av = ma::ema_coefficients(wtaveragelen);
        double esa = 0, de = 0, w1 = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double p = ap[i];
            esa = i == 0 ? p : ma::smooth(ch, esa, p);
            const double dev = std::fabs(p - esa);
            de = i == 0 ? dev : ma::smooth(ch, de, dev);
            const double ci = de == 0 ? 0.0 : (p - esa) / (de * 0.015);
            w1 = i == 0 ? ci : ma::smooth(av, w1, ci);
            wt1[i] = w1;
        }
        // wt2: a growing mean over the first ml values, then a moving mean
        // updated by the entering and leaving differences.
        const std::uint64_t ml = wtmalen;
        if (ml == 0) {
            std::fill_n(wt2.data(), n, 0.0);
        } else {
            double s = 0.0;
            const std::size_t head = ml < n ? ml : n;
            for (std::size_t i = 0; i < head; ++i) {
                s = s + wt1[i];
                wt2[i] = s / (static_cast<double>(i) + 1.0);
            }
            const double mld = static_cast<double>(ml);
            for (std::size_t i = head; i < n; ++i) wt2[i] = wt2[i - 1] + (wt1[i] - wt1[i - ml]) / mld;
        }
    }
    Mask cross_up(n), cross_down(n), oversold(n), overbought(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double d = wt2[i] - wt1[i];
        cross_up[i] = d <= 0;
        cross_down[i] = d >= 0;
        oversold[i] = wt2[i] <= oslevel;
        overbought[i] = wt2[i] >= oblevel;
        diff[i] = wt1[i] - wt2[i];
    }
    return tuple_of(std::move(wt1), std::move(wt2), std::move(cross_up), std::move(cross_down), std::move(oversold),
                    std::move(overbought), std::move(diff));
}

}  // namespace korva::osc
