// RSI-type momentum oscillators: Wilder's RSI (series and last value), the
// stochastic RSI, RSX, Laguerre RSI and the Chande momentum oscillator.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::osc {

Series rsi(SeriesView source, std::uint64_t period);
double rsi_last(SeriesView source, std::uint64_t period);
Tuple srsi(SeriesView source, std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period,
           std::uint64_t d_period);
// What srsi's passes leave after the last value, for a stream fed the same
// values: the Wilder averages, the RSI values from position `rsi_from` of
// the RSI series on, and srsi's own buffers of every raw stochastic value
// and every non-NaN k value (handed over, not copied).
struct SrsiEnd {
    std::size_t rsi_from = static_cast<std::size_t>(-1);
    double loss = 0.0, gain = 0.0;
    std::vector<double> rsi, raw, kept;
};
// srsi, filling `end`.
Tuple srsi_over(SeriesView source, std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period,
                std::uint64_t d_period, SrsiEnd& end);
Series rsx(SeriesView source, std::uint64_t period);
Series lrsi(MatrixView candles, double alpha);
Series cmo(SeriesView source, std::uint64_t period);
// cmo's values at positions from .. s.size()-1 (from > period) into out[0 ..],
// its window sums carried from the window ending at from - 1.
void cmo_from(ContiguousView<double> s, std::uint64_t period, std::size_t from, double& su, double& sd, double* out);

}  // namespace korva::osc
