// Range oscillators: slow and fast stochastics, Williams' %R and WaveTrend.
#pragma once
#include <cstdint>
#include <string_view>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"
#include "stochastic_steps.hpp"

namespace korva::osc {

Tuple stoch(MatrixView candles, std::uint64_t fastk_period, std::uint64_t slowk_period, std::uint64_t slowk_matype,
            std::uint64_t slowd_period, std::uint64_t slowd_matype);
Tuple stochf(MatrixView candles, std::uint64_t fastk_period, std::uint64_t fastd_period, std::uint64_t fastd_matype);
Series willr(MatrixView candles, std::uint64_t period);
Tuple wt(MatrixView candles, std::uint64_t wtchannellen, std::uint64_t wtaveragelen, std::uint64_t wtmalen,
         double oblevel, double oslevel, std::string_view source_type);
// wt with its coefficients and price name resolved, from the state `st` and
// wt2's growing sum `s` of no rows, which it leaves as they are after the
// last row (what a stream fed those rows holds).
Tuple wt_over(MatrixView candles, const EmaCoefficients& ch, const EmaCoefficients& av, std::uint64_t wtmalen,
              double oblevel, double oslevel, std::string_view source_name, WaveTrend& st, double& s);

// The stochastics' window means of x[0 .. n-1] ending at from .. n-1.
void window_mean_from(const double* x, std::size_t n, std::uint64_t w, std::size_t from, double* out);

}  // namespace korva::osc
