// Recursive smoothing, high-pass and band-pass filters over a price series.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::ehlers {

Series supersmoother(SeriesView source, std::uint64_t period);
Series supersmoother_3_pole(SeriesView source, std::uint64_t period);
Series high_pass(SeriesView source, std::uint64_t period);
Series high_pass_2_pole(SeriesView source, std::uint64_t period);
Series gauss(SeriesView source, std::uint64_t period, std::uint64_t poles);
Tuple bandpass(SeriesView source, std::uint64_t period, double bandwidth);

}  // namespace korva::ehlers
