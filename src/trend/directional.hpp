// Directional movement: raw and smoothed movement, the directional
// indicators, DX/ADX, the average directional rating and the vortex
// indicator. Each smooths differently; callers compare results bit for bit
// with the host's earlier code, so every seed and operation order is fixed.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::trend {

Tuple dm(MatrixView candles, std::uint64_t period);
Tuple di(MatrixView candles, std::uint64_t period);
Tuple dx(MatrixView candles, std::uint64_t di_length, std::uint64_t adx_smoothing, bool sequential);
Series adx(MatrixView candles, std::uint64_t period);
Series adxr(MatrixView candles, std::uint64_t period);
Tuple vi(MatrixView candles, std::uint64_t period, bool sequential);

}  // namespace korva::trend
