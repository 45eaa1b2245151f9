// Volume indicators. Results are compared bit for bit with the host's earlier
// code, so every recurrence keeps its operation order; the EMA stages are the
// shared first-value recurrence (`smooth`), seeded with their first input.
#include "volume.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/sweeps.hpp"
#include "steps.hpp"

namespace korva::volume {
namespace {

// The functions that take both a source and candles read one candle row per
// source value; a matrix that ends early has no row to read.
void require_candle_rows(const MatrixView& candles, std::size_t m) {
    if (candles.rows < m) index_out_of_range(candles.rows, candles.rows);
}

// Volume index: keeps its value except on rows where `moves(volume[i],
// volume[i-1])` holds, where it grows by the source's relative change.
template <class Moves>
Series volume_index(SeriesView source, MatrixView candles, Moves moves) {
    const std::size_t m = source.size();
    Series out(m, 1000.0);
    if (m < 2) return out;
    const SeriesView volume = candles.column(col::volume);
    require_candle_rows(candles, m);
    with_view(source, [&](const auto& s) {
        // Rows where volume did not move multiply by 1.0 instead, which
        // returns the value's own bits (NaN payload and -0.0 included): the
        // factor is chosen by a bit-mask select off the value's dependency
        // chain, since whether volume moved is a coin toss on real data and
        // a mispredicted branch cost more than the rest of the step.
        double value = 1000.0;
        for (std::size_t i = 1; i < m; ++i) {
            const double grow = ((s[i] - s[i - 1]) / s[i - 1]) + 1.0;
            value = value * pick(moves(volume[i], volume[i - 1]), grow, 1.0);
            out[i] = value;
        }
    });
    return out;
}

}  // namespace

Series adosc(MatrixView candles, std::uint64_t fast_period, std::uint64_t slow_period) {
    const std::size_t n = candles.rows;
    // A single candle's two averages start at the same value; its difference
    // is written as 0.0 without reading the row.
    if (n < 2) return Series(n, 0.0);
    const SeriesView volume = candles.column(col::volume);
    const SeriesView close = candles.column(col::close), high = candles.column(col::high),
                     low = candles.column(col::low);
    const EmaCoefficients cf = ema_coefficients(fast_period), cs = ema_coefficients(slow_period);
    const auto mfv = [&](std::size_t j) { return money_flow_volume(high[j], low[j], close[j], volume[j]); };
    Series out(n);
    AdoscState st;
    out[0] = st.start(mfv(0));
    for (std::size_t j = 1; j < n; ++j) out[j] = st.step(cf, cs, mfv(j));
    return out;
}

Series cvi(MatrixView candles, std::uint64_t period) {
    std::vector<double> averages;
    return cvi_over(candles, period, static_cast<std::size_t>(-1), averages);
}

Series cvi_over(MatrixView candles, std::uint64_t period, std::size_t from, std::vector<double>& averages) {
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    if (period >= n) return out;
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    // The EMA of the range goes into the output first; the rate of change is
    // then written from the end backwards, so E[k - period] is still intact
    // when position k is overwritten.
    double* e = out.data();
    const EmaCoefficients c = ema_coefficients(period);
    double last = e[0] = high[0] - low[0];
    for (std::size_t i = 1; i < n; ++i) e[i] = last = smooth(c, last, high[i] - low[i]);
    if (from < n) averages.assign(e + from, e + n);
    for (std::size_t k = n; k-- > period;) {
        e[k] = cvi_change(e[k], e[k - period]);
    }
    std::fill_n(e, period, NaN);
    return out;
}

Series efi(SeriesView source, MatrixView candles, std::uint64_t period) {
    const std::size_t m = source.size();
    Series out(m, NaN);
    if (m <= 1) return out;
    const SeriesView volume = candles.column(col::volume);
    require_candle_rows(candles, m);
    // Position i shows the EMA of the force up to row i, which sits at index
    // i - 1 of the force series: a zero period would ask for index -1.
    if (period == 0) index_out_of_range(static_cast<std::size_t>(-1), m - 1);
    const EmaCoefficients c = ema_coefficients(period);
    with_view(source, [&](const auto& s) {
        const auto force = [&](std::size_t j) { return (s[j + 1] - s[j]) * volume[j + 1]; };
        // The first force starts the EMA outside the loop: no select in its chain.
        double e = force(0);
        if (period == 1) out[1] = e;
        for (std::size_t j = 1; j + 1 < m; ++j) {
            e = smooth(c, e, force(j));
            if (j + 1 >= period) out[j + 1] = e;
        }
    });
    return out;
}

Series emv(MatrixView candles, std::uint64_t length, double div) {
    const std::size_t n = candles.rows;
    // The per-row values are formed in the output; their window means then
    // replace them in place.
    Series out(n, 0.0);
    if (n >= 2) {
        const SeriesView volume = candles.column(col::volume);
        const SeriesView high = candles.column(col::high), low = candles.column(col::low);
        double* e = out.data();
        for (std::size_t i = 1; i < n; ++i) {
            if (volume[i] != 0.0) e[i] = emv_row(high[i], low[i], high[i - 1], low[i - 1], volume[i], div);
        }
    }
    if (length == 0 || length > n) {
        std::fill_n(out.data(), n, 0.0);
        return out;
    }
    fresh_window_means_in_place(out.data(), n, length);
    std::fill_n(out.data(), length - 1, 0.0);
    return out;
}

Series nvi(SeriesView source, MatrixView candles) {
    return volume_index(source, candles, [](double v, double prev) { return v < prev; });
}

Series pvi(SeriesView source, MatrixView candles) {
    return volume_index(source, candles, [](double v, double prev) { return v > prev; });
}

Series wad(MatrixView candles) {
    const std::size_t n = candles.rows;
    Series out(n, 0.0);
    if (n < 2) return out;
    // Column 1 (the open) stands in for the close. High and low are read only
    // on the rows that need them, so a matrix missing them fails at that row.
    const SeriesView c = candles.column(col::open);
    double sum = 0.0;  // out[0] = 0.0 + a[0], with a[0] = 0.0
    double pc = c[0];
    for (std::size_t i = 1; i < n; ++i) {
        const double ci = c[i];
        sum = sum +
              wad_row(
                  pc, ci, [&] { return candles.column(col::low)[i]; }, [&] { return candles.column(col::high)[i]; });
        out[i] = sum;
        pc = ci;
    }
    return out;
}

}  // namespace korva::volume
