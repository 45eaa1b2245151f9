// Candle utilities. candle_from_one_minutes and fix_jumped_candles replace
// NumPy/Python code of the host and must give its exact bits, so their
// reductions go through the NumPy-identical folds.
#include "candle.hpp"

#include <cmath>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/numpy_folds.hpp"
#include "steps.hpp"

namespace korva::candle {

Series candle_from_one_minutes(MatrixView candles) {
    const std::size_t n = candles.rows;
    if (n == 0) throw ValueError("No candles were passed");
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    const SeriesView volume = candles.column(col::volume);
    Series out(6);
    out[0] = candles.at(0, col::timestamp);
    out[1] = candles.at(0, col::open);
    out[2] = candles.at(n - 1, col::close);
    out[3] = with_view(high, [](const auto& x) { return np_maximum(x); });
    out[4] = with_view(low, [](const auto& x) { return np_minimum(x); });
    out[5] = with_view(volume, [n](const auto& x) { return np_pairwise_sum(x, 0, n); });
    return out;
}

None fix_jumped_candles(MutableMatrixView candles) {
    // Refuse a narrow matrix before anything is written.
    if (candles.cols <= col::low) missing_dimension();
    for (std::size_t i = 1; i < candles.rows; ++i) {
        const double pc = candles.get(i - 1, col::close);
        const double o = candles.get(i, col::open);
        if (pc < o) {
            candles.set(i, col::open, pc);
            if (pc < candles.get(i, col::low)) candles.set(i, col::low, pc);
        } else if (pc > o) {
            candles.set(i, col::open, pc);
            if (pc > candles.get(i, col::high)) candles.set(i, col::high, pc);
        }
        // equal, or either NaN: the candle is left as it is
    }
    return None{};
}

Tuple heikin_ashi_candles(MatrixView candles) {
    const std::size_t n = candles.rows;
    const SeriesView open = candles.column(col::open);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    Series ha_open(n, NaN), ha_close(n, NaN), ha_high(n, NaN), ha_low(n, NaN);
    for (std::size_t i = 1; i < n; ++i) {
        // The previous raw candle, not the previous Heikin-Ashi one.
        const HeikinAshi ha = heikin_ashi_row(open[i - 1], close[i - 1], open[i], close[i], high[i], low[i]);
        ha_open[i] = ha.open;
        ha_close[i] = ha.close;
        ha_high[i] = ha.high;
        ha_low[i] = ha.low;
    }
    return tuple_of(std::move(ha_open), std::move(ha_close), std::move(ha_high), std::move(ha_low));
}

Series qstick(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, 0.0);  // warm-up is zero-filled, not NaN
    if (period == 0 || period > n) return out;
    const SeriesView open = candles.column(col::open);
    const SeriesView close = candles.column(col::close);
    const double inv = 1.0 / static_cast<double>(period);
    RunningWindowSum sum;
    for (std::size_t i = 0; i < period; ++i) sum.add(close[i] - open[i]);
    out[period - 1] = inv * sum.s;
    qstick_slide(open, close, period, n, period, inv, sum, out.data());
    return out;
}

Tuple emd(MatrixView candles, std::uint64_t period, double delta, double fraction) {
    const std::size_t n = candles.rows;
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);

    std::vector<double> price(n);
    for (std::size_t i = 0; i < n; ++i) price[i] = EmdFilter::price(high[i], low[i]);

    const EmdFilter filter(period, delta);
    std::vector<double> bp(n, 0.0);
    if (n >= 3) {
        bp[2] = filter.first(price[2], price[0]);
        for (std::size_t i = 3; i < n; ++i) bp[i] = filter.step(price[i], price[i - 2], bp[i - 1], bp[i - 2]);
    }

    Series upper(n), middle(n), lower(n);
    // The middle band averages over two periods; a period too large to double
    // is simply longer than any input.
    const std::uint64_t window = period > UINT64_MAX / 2 ? UINT64_MAX : period * 2;
    running_mean(bp.data(), n, window, middle.data());

    // Most recent local extremes of bp, carried forward; bp[0..2] seed them.
    std::vector<double> peak(bp), valley(bp);
    for (std::size_t i = 1; i < n && i < 3; ++i) {
        peak[i] = peak[i - 1];
        valley[i] = valley[i - 1];
    }
    for (std::size_t i = 3; i < n; ++i) {
        EmdExtremes x{peak[i - 1], valley[i - 1]};
        x.step(bp[i - 2], bp[i - 1], bp[i]);
        peak[i] = x.peak;
        valley[i] = x.valley;
    }

    constexpr std::uint64_t kBandWindow = 50;
    running_mean(peak.data(), n, kBandWindow, upper.data());
    running_mean(valley.data(), n, kBandWindow, lower.data());
    for (std::size_t i = 0; i < n; ++i) {
        upper[i] = fraction * upper[i];
        lower[i] = fraction * lower[i];
    }
    return tuple_of(std::move(upper), std::move(middle), std::move(lower));
}

}  // namespace korva::candle
