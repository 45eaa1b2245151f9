// Momentum oscillators outside the RSI and stochastic families: MACD, the
// dynamic trend index, the forecast oscillators, detrended price, CCI, centre
// of gravity, the Aroon oscillator, the mass index, polarized fractal
// efficiency and the Fisher transform.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::osc {

Tuple macd(SeriesView source, std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period);
Series dti(MatrixView candles, std::uint64_t r, std::uint64_t s, std::uint64_t u);
Series fosc(SeriesView source, std::uint64_t period);
Series dpo(SeriesView source, std::uint64_t period);
Series cci(MatrixView candles, std::uint64_t period);
Series cfo(SeriesView source, std::uint64_t period, double scalar);
Series cg(SeriesView source, std::uint64_t period);
Series aroonosc(MatrixView candles, std::uint64_t period);
Series mass(MatrixView candles, std::uint64_t period);
Series pfe(SeriesView source, std::uint64_t period, std::uint64_t smoothing);
Tuple fisher(MatrixView candles, std::uint64_t period);

}  // namespace korva::osc
