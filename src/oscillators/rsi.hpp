// RSI-type momentum oscillators: Wilder's RSI (series and last value), the
// stochastic RSI, RSX, Laguerre RSI and the Chande momentum oscillator.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::osc {

Series rsi(SeriesView source, std::uint64_t period);
double rsi_last(SeriesView source, std::uint64_t period);
Tuple srsi(SeriesView source, std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period,
           std::uint64_t d_period);
Series rsx(SeriesView source, std::uint64_t period);
Series lrsi(MatrixView candles, double alpha);
Series cmo(SeriesView source, std::uint64_t period);
// cmo's values at positions from .. s.size()-1 (from > period) into out[0 ..],
// its window sums carried from the window ending at from - 1.
void cmo_from(ContiguousView<double> s, std::uint64_t period, std::size_t from, double& su, double& sd, double* out);

}  // namespace korva::osc
