// Average true range and Bollinger bands, with the `_last` forms that return
// only the final value of their series twin.
#pragma once
#include <cstddef>
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"
#include "steps.hpp"

namespace korva::bands {

Series atr(MatrixView candles, std::uint64_t period);
double atr_last(MatrixView candles, std::uint64_t period);
Tuple bollinger_bands(SeriesView source, std::uint64_t period, double devup, double devdn);
Tuple bollinger_bands_last(SeriesView source, std::uint64_t period, double devup, double devdn);
Series bollinger_bands_width(SeriesView source, std::uint64_t period, double mult);

// The bands of the windows ending at positions [j, n) of x (j >= period - 1),
// w holding the sums of the window ending at j; w ends as those of the
// window ending at n - 1. bollinger_bands' own loop, for streams that
// continue it over a chunk.
void bands_over(ContiguousView<double> x, WindowMoments& w, std::size_t j, std::size_t n, std::uint64_t period,
                double devup, double devdn, double* upper, double* middle, double* lower);

}  // namespace korva::bands
