// Cycle and predictive indicators built on the recursive filters.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::ehlers {

Series reflex(SeriesView source, std::uint64_t period);
Series trendflex(SeriesView source, std::uint64_t period);
Tuple itrend(SeriesView source, double alpha);
Tuple voss(SeriesView source, std::uint64_t period, std::uint64_t predict, double bandwidth);
Series edcf(SeriesView source, std::uint64_t period);
Tuple correlation_cycle(SeriesView source, std::uint64_t period, double threshold);
Tuple mama(SeriesView source, double fastlimit, double slowlimit);
Tuple pma(SeriesView source);

}  // namespace korva::ehlers
