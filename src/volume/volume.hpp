// Volume indicators over the candle matrix: the accumulation/distribution
// oscillator, Chaikin's volatility, the force index, ease of movement, the
// negative and positive volume indices and Williams' accumulation/distribution.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::volume {

Series adosc(MatrixView candles, std::uint64_t fast_period, std::uint64_t slow_period);
Series cvi(MatrixView candles, std::uint64_t period);
// cvi, the range averages of the rows from `from` on (what a stream keeps)
// copied to `averages` before they are overwritten.
Series cvi_over(MatrixView candles, std::uint64_t period, std::size_t from, std::vector<double>& averages);
Series efi(SeriesView source, MatrixView candles, std::uint64_t period);
Series emv(MatrixView candles, std::uint64_t length, double div);
Series nvi(SeriesView source, MatrixView candles);
Series pvi(SeriesView source, MatrixView candles);
Series wad(MatrixView candles);

}  // namespace korva::volume
