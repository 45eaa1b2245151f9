// Oscillators of where price stands in its window's range or spread: CCI,
// the Aroon oscillator and the Fisher transform.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::osc {

Series cci(MatrixView candles, std::uint64_t period);
Series aroonosc(MatrixView candles, std::uint64_t period);
Tuple fisher(MatrixView candles, std::uint64_t period);

}  // namespace korva::osc
