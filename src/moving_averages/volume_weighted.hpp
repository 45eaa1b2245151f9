// Volume-weighted price averages over candles.
#pragma once
#include <cstdint>
#include <string_view>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::ma {

Series vwap(MatrixView candles, std::string_view source_type, std::string_view anchor, bool sequential);
Series vwma(MatrixView candles, std::uint64_t period);

}  // namespace korva::ma
