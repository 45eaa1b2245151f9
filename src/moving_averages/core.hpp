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
// wma's values at positions from .. x.size()-1 of x, into out[0 ..].
void wma_from(ContiguousView<double> x, std::uint64_t period, std::size_t from, double* out);
Series dema(SeriesView source, std::uint64_t period);
Series tema(SeriesView source, std::uint64_t period);
Series zlema(SeriesView source, std::uint64_t period);

}  // namespace korva::ma

namespace korva::ma::detail {

// A fresh copy of the input: several averages overwrite only the positions
// they compute and leave the input values elsewhere.
inline Series copy_of(SeriesView source) {
    Series out(source.size());
    with_view(source, [&](const auto& x) {
        for (std::size_t i = 0; i < x.size(); ++i) out[i] = x[i];
    });
    return out;
}

}  // namespace korva::ma::detail
