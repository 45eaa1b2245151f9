// Core averages: simple, exponential, Wilder-style and linear-weighted means
// and the multi-stage exponential averages built from them.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::ma {

Series sma(SeriesView source, std::uint64_t period);
double sma_last(SeriesView source, std::uint64_t period);
Series ema(SeriesView source, std::uint64_t period);
double ema_last(SeriesView source, std::uint64_t period);
Series smma(SeriesView source, std::uint64_t length);
Series rma(SeriesView source, std::uint64_t length);
Series wilders(SeriesView source, std::uint64_t period);
Series wma(SeriesView source, std::uint64_t period);
Series dema(SeriesView source, std::uint64_t period);
Series tema(SeriesView source, std::uint64_t period);
Series zlema(SeriesView source, std::uint64_t period);

}  // namespace korva::ma
