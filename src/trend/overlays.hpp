// Trend overlays drawn on the price chart: the alligator lines, the current
// ichimoku cloud values, SuperTrend, the parabolic stop-and-reverse and the
// SafeZone stops.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::trend {

Tuple alligator(SeriesView source);
Tuple ichimoku_cloud(MatrixView candles, std::uint64_t conversion_line_period, std::uint64_t base_line_period,
                     std::uint64_t lagging_line_period, std::uint64_t displacement);
Tuple supertrend(MatrixView candles, std::uint64_t period, double factor);
Series sar(MatrixView candles, double acceleration, double maximum);
Series safezonestop(MatrixView candles, std::uint64_t period, double mult, std::uint64_t max_lookback, bool direction);

}  // namespace korva::trend
