// EMA-smoothed momentum oscillators: MACD, the dynamic trend index, the mass
// index and polarized fractal efficiency.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::osc {

Tuple macd(SeriesView source, std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period);
Series dti(MatrixView candles, std::uint64_t r, std::uint64_t s, std::uint64_t u);
Series mass(MatrixView candles, std::uint64_t period);
Series pfe(SeriesView source, std::uint64_t period, std::uint64_t smoothing);

}  // namespace korva::osc
