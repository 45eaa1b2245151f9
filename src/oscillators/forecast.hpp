// Oscillators built from the positions inside a window: the forecast
// oscillators, the centre of gravity and the detrended price.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::osc {

Series fosc(SeriesView source, std::uint64_t period);
Series cfo(SeriesView source, std::uint64_t period, double scalar);
Series cg(SeriesView source, std::uint64_t period);
Series dpo(SeriesView source, std::uint64_t period);

}  // namespace korva::osc
