// Adaptive averages: the smoothing constant changes from bar to bar with
// how directional, fractal, volatile or fast-moving the price is.
#pragma once
#include <cstdint>
#include <string_view>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::ma {

Series kama(SeriesView source, std::uint64_t period, std::uint64_t fast_length, std::uint64_t slow_length);
Series frama(MatrixView candles, std::uint64_t window, std::uint64_t fc, std::uint64_t sc);
Series maaq(SeriesView source, std::uint64_t period, std::uint64_t fast_period, std::uint64_t slow_period);
Series vidya(SeriesView source, std::uint64_t length, bool fix_cmo, bool select);
Series vlma_inner(SeriesView source, SeriesView a, SeriesView b, SeriesView c, SeriesView d, std::uint64_t min_period,
                  std::uint64_t max_period);
Series mcginley_dynamic(SeriesView source, std::uint64_t period, double k);
Series trix(SeriesView source, std::uint64_t period);
Series t3(MatrixView candles, std::uint64_t period, double vfactor, std::string_view source_type, bool sequential);

}  // namespace korva::ma
