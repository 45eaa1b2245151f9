// Weighted, adaptive and volume-weighted averages: power-weighted windows,
// Hull, natural, Jurik-style, Holt-Winters-style and MWDX smoothers; the
// adaptive averages whose smoothing constant changes from bar to bar; and the
// volume-weighted price averages over candles.
#pragma once
#include <cstdint>
#include <string_view>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::ma {

// Window-weighted and multi-stage smoothers (weighted.cpp).
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

// Adaptive averages (adaptive.cpp).
Series kama(SeriesView source, std::uint64_t period, std::uint64_t fast_length, std::uint64_t slow_length);
Series frama(MatrixView candles, std::uint64_t window, std::uint64_t fc, std::uint64_t sc);
Series maaq(SeriesView source, std::uint64_t period, std::uint64_t fast_period, std::uint64_t slow_period);
Series vidya(SeriesView source, std::uint64_t length, bool fix_cmo, bool select);
Series vlma_inner(SeriesView source, SeriesView a, SeriesView b, SeriesView c, SeriesView d,
                  std::uint64_t min_period, std::uint64_t max_period);
Series mcginley_dynamic(SeriesView source, std::uint64_t period, double k);
Series trix(SeriesView source, std::uint64_t period);
Series t3(MatrixView candles, std::uint64_t period, double vfactor, std::string_view source_type, bool sequential);

// Volume-weighted averages (volume_weighted.cpp).
Series vwap(MatrixView candles, std::string_view source_type, std::string_view anchor, bool sequential);
Series vwma(MatrixView candles, std::uint64_t period);

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
