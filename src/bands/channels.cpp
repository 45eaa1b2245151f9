// Range channels and stops. The rolling extremes come from the monotonic
// deque of window_extreme.hpp, whose NaN behaviour shapes the results; the
// ATR forms are the ones each indicator was defined with (the incremental
// `atr` for the Chandelier exit, the weighted Wilder kernel for Keltner, a
// drift-smoothed ATR of its own for the Choppiness index).
#include "channels.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/true_range.hpp"
#include "../helpers/window_extreme.hpp"
#include "atr_bollinger.hpp"
#include "steps.hpp"

namespace korva::bands {
namespace {

// Fails like the host when the matrix lacks the close, high and low columns.
void require_price_columns(const MatrixView& candles) { (void)candles.column(col::low); }

// Drift ATR of the Choppiness index: the raw true range for d = 1, else a
// Wilder recurrence (alpha = 1/d) seeded with the mean of TR[0 .. d-1] at
// d - 1 and NaN before it. d = 0 or d > n indexes past the series.
std::vector<double> drift_atr(std::vector<double> tr, std::uint64_t d) {
    const std::size_t n = tr.size();
    check_drift(d, n);
    if (d == 1) return tr;
    std::vector<double> a(n, NaN);
    PlainMean seed;
    for (std::size_t k = 0; k < d; ++k) seed.add(tr[k]);
    a[d - 1] = seed.mean(d);
    const EmaCoefficients c = wilder_coefficients(d);
    for (std::size_t i = d; i < n; ++i) a[i] = smooth(c, a[i - 1], tr[i]);
    return a;
}

}  // namespace

Series chande(MatrixView candles, std::uint64_t period, double mult, std::string_view direction) {
    const std::size_t n = candles.rows;
    if (n < period) return Series(n, NaN);  // the columns are not looked at on this path
    require_price_columns(candles);
    if (period == 0) zero_period(n);
    const bool is_long = direction == "long";
    if (!is_long && direction != "short") return Series(n, NaN);
    // The ATR series is computed in place and each position then becomes
    // the stop: extreme -/+ (mult * atr).
    Series out = atr(candles, period);
    double* o = out.data();
    if (is_long) {
        window_extreme<KeepMax>(candles.column(col::high), period,
                                [&](std::size_t i, double hi) { o[i] = hi - (mult * o[i]); });
    } else {
        window_extreme<KeepMin>(candles.column(col::low), period,
                                [&](std::size_t i, double lo) { o[i] = lo + (mult * o[i]); });
    }
    return out;
}

Series chop(MatrixView candles, std::uint64_t period, double scalar, std::uint64_t drift) {
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    if (n < period) return out;
    require_price_columns(candles);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    std::vector<double> tr(n);
    true_range(high, low, close, tr.data());
    const std::vector<double> a = drift_atr(std::move(tr), drift);

    // A zero window's sum stays 0 (or NaN), never positive: nothing is written.
    if (period == 0) return out;
    const std::size_t p = period;
    const double log_p = std::log10(static_cast<double>(p));

    // The window ranges go into the output first, each result then over its
    // own range. From the second window on they come from the deque rule,
    // which window_high_low runs in its block form while no NaN has been
    // seen (the same extremes), and whose front may be NaN (then the range
    // test fails and the position stays NaN).
    double* const range = out.data();
    window_high_low(high, low, p, [&](std::size_t i, double hh, double ll) { range[i] = hh - ll; });
    // First window: NaN-skipping folds (a value replaces the running extreme
    // only when strictly beyond it), not the deque.
    ChopSum s;
    FirstRange first;
    for (std::size_t k = 0; k < p; ++k) {
        s.add(a[k]);
        first.add(high[k], low[k]);
    }
    out[p - 1] = choppiness(s.s, first.hi - first.lo, scalar, log_p);
    for (std::size_t i = p; i < n; ++i) {
        s.add(a[i]);
        s.drop(a[i - p]);
        out[i] = choppiness(s.s, range[i], scalar, log_p);
    }
    return out;
}

Dict donchian(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    const bool computes = n >= period;
    if (computes) {
        require_price_columns(candles);
        if (period == 0) zero_period(n);
    }
    // Positions from period - 1 on are all written below.
    const std::size_t warm_up = computes ? static_cast<std::size_t>(period) - 1 : n;
    Series upper(n), middle(n), lower(n);
    for (Series* band : {&upper, &middle, &lower}) std::fill_n(band->data(), warm_up, NaN);
    if (computes) {
        window_high_low(candles.column(col::high), candles.column(col::low), period,
                        [&](std::size_t i, double hi, double lo) {
                            upper[i] = hi;
                            lower[i] = lo;
                            middle[i] = (hi + lo) * 0.5;
                        });
    }
    Dict bands;  // insertion order is the order callers see
    bands.items.emplace_back("upperband", std::move(upper));
    bands.items.emplace_back("middleband", std::move(middle));
    bands.items.emplace_back("lowerband", std::move(lower));
    return bands;
}

Tuple keltner_inner(SeriesView ma_values, SeriesView high, SeriesView low, SeriesView close, std::uint64_t period,
                    double multiplier) {
    // The host read these three as plain slices: anything but unit stride
    // (for two or more elements) was refused.
    for (const SeriesView* v : {&high, &low, &close}) require_plain_slice(*v);
    const std::size_t m = ma_values.size(), c = close.size();
    std::vector<double> atr(c);
    with_view(high, [&](const auto& h) {
        with_view(low, [&](const auto& l) {
            with_view(close, [&](const auto& cl) { wilder_atr(h, l, cl, period, atr.data()); });
        });
    });
    if (m > c) index_out_of_range(c, c);
    Series upper(m, NaN), middle(m), lower(m, NaN);
    with_view(ma_values, [&](const auto& ma) {
        for (std::size_t i = 0; i < m; ++i) {
            const double v = ma[i];
            middle[i] = v;
            if (!std::isnan(atr[i])) {
                upper[i] = (multiplier * atr[i]) + v;
                lower[i] = v - (multiplier * atr[i]);
            }
        }
    });
    return tuple_of(std::move(upper), std::move(middle), std::move(lower));
}

}  // namespace korva::bands
