// Candle construction and repair, and the candle-shaped series derived from
// raw candles (Heikin-Ashi, QStick, empirical mode decomposition).
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::candle {

Series candle_from_one_minutes(MatrixView candles);
None fix_jumped_candles(MutableMatrixView candles);
Tuple heikin_ashi_candles(MatrixView candles);
Series qstick(MatrixView candles, std::uint64_t period);
Tuple emd(MatrixView candles, std::uint64_t period, double delta, double fraction);

}  // namespace korva::candle
