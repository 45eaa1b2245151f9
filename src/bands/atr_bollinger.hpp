// Average true range and Bollinger bands, with the `_last` forms that return
// only the final value of their series twin.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::bands {

Series atr(MatrixView candles, std::uint64_t period);
double atr_last(MatrixView candles, std::uint64_t period);
Tuple bollinger_bands(SeriesView source, std::uint64_t period, double devup, double devdn);
Tuple bollinger_bands_last(SeriesView source, std::uint64_t period, double devup, double devdn);
Series bollinger_bands_width(SeriesView source, std::uint64_t period, double mult);

}  // namespace korva::bands
