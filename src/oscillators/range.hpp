// Oscillators of where price stands in its window's range or spread: CCI,
// the Aroon oscillator and the Fisher transform.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"
#include "range_steps.hpp"

namespace korva::osc {

Series cci(MatrixView candles, std::uint64_t period);
Series aroonosc(MatrixView candles, std::uint64_t period);
Tuple fisher(MatrixView candles, std::uint64_t period);
// fisher's values at positions from .. n-1 of the prices (a stream's kept
// prices, then a chunk's), its recurrence carried in st, into fish[0 ..]
// and signal[0 ..].
void fisher_from(ContiguousView<double> price, std::uint64_t period, std::size_t from, FisherState& st, double* fish,
                 double* signal);

}  // namespace korva::osc
