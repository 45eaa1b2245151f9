// Range channels and stops: the Chandelier exit, the Choppiness index,
// Donchian channels and the inner Keltner computation over a precomputed
// moving average.
#pragma once
#include <cstdint>
#include <string_view>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::bands {

Series chande(MatrixView candles, std::uint64_t period, double mult, std::string_view direction);
Series chop(MatrixView candles, std::uint64_t period, double scalar, std::uint64_t drift);
Dict donchian(MatrixView candles, std::uint64_t period);
Tuple keltner_inner(SeriesView ma_values, SeriesView high, SeriesView low, SeriesView close, std::uint64_t period,
                    double multiplier);

}  // namespace korva::bands
