// Window-weighted and multi-stage smoothers: power-weighted windows, Hull,
// natural, Jurik-style, Holt-Winters-style and MWDX smoothers.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::ma {

Series cwma(SeriesView source, std::uint64_t period);
Series sqwma(SeriesView source, std::uint64_t period);
Series srwma(SeriesView source, std::uint64_t period);
Series vpwma(SeriesView source, std::uint64_t period, double power);
Series epma(SeriesView source, std::uint64_t period, std::uint64_t offset);
Series hma(SeriesView source, std::uint64_t period);
Series nma(SeriesView source, std::uint64_t period);
Series jma(SeriesView source, std::uint64_t period, double phase, std::uint64_t power);
Series hwma(SeriesView source, double na, double nb, double nc);
Series mwdx(SeriesView source, double factor);

}  // namespace korva::ma
