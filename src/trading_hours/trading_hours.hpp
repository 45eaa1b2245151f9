// Trading-session membership: which timestamps (integer UTC milliseconds)
// fall inside sorted, merged half-open intervals [start, end), and the
// candle rows that do.
#pragma once
#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::trading_hours {

Mask trading_hours_mask(Int64View timestamps, Int64View starts, Int64View ends);
Matrix filter_candles_by_intervals(MatrixView candles, Int64View timestamps, Int64View starts, Int64View ends);

}  // namespace korva::trading_hours
