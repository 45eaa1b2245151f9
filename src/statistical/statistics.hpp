// Statistical indicators: the rolling least-squares line value, the Damiani
// volatility regime filter and the rescaled-range Hurst exponent.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::statistical {

Series linearreg(SeriesView source, std::uint64_t period);
Tuple damiani_volatmeter(MatrixView candles, SeriesView source, std::uint64_t vis_atr, std::uint64_t vis_std,
                         std::uint64_t sed_atr, std::uint64_t sed_std, double threshold);
double hurst_rs(SeriesView x, std::uint64_t min_chunksize, std::uint64_t max_chunksize, std::uint64_t num_chunksize);

}  // namespace korva::statistical
