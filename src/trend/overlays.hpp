// Trend overlays drawn on the price chart: the alligator lines, the current
// ichimoku cloud values, SuperTrend, the parabolic stop-and-reverse and the
// SafeZone stops.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::trend {

Tuple alligator(SeriesView source);
Tuple ichimoku_cloud(MatrixView candles, std::uint64_t conversion_line_period, std::uint64_t base_line_period,
                     std::uint64_t lagging_line_period, std::uint64_t displacement);
Tuple supertrend(MatrixView candles, std::uint64_t period, double factor);
Series sar(MatrixView candles, double acceleration, double maximum);
Series safezonestop(MatrixView candles, std::uint64_t period, double mult, std::uint64_t max_lookback, bool direction);
// What safezonestop's passes leave after the last row, for a stream fed the
// same rows: the movement sums, and the rows and candidates its window's
// queue holds.
struct SafezoneEnd {
    double plus = 0.0, minus = 0.0;
    std::vector<std::size_t> rows;
    std::vector<double> values;
};
// safezonestop over at least two rows, filling `end`.
Series safezonestop_over(MatrixView candles, std::uint64_t period, double mult, std::uint64_t max_lookback,
                         bool direction, SafezoneEnd& end);

}  // namespace korva::trend
