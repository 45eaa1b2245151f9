// Steps of the range oscillators (the stochastics, Williams' %R and
// WaveTrend), shared by the batch functions and their streams: one copy of
// each operation order (callers compare results bit for bit).
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../helpers/result.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/window_extreme.hpp"

namespace korva::osc {

// Position of the close inside the high-low range, in percent.
inline double percent_k(double close, double hh, double ll) { return ((close - ll) * 100.0) / (hh - ll); }

// The slow stochastic's fastk: NaN for a flat or all-NaN window (its
// NaN-ignoring extremes are NaN or equal, and NaN > x is false), which the
// means then skip.
inline double slow_fastk(double close, double hh, double ll) { return hh > ll ? percent_k(close, hh, ll) : NaN; }
// The fast stochastic's: a flat window, or a NaN extreme, gives the midpoint.
inline double fast_fastk(double close, double hh, double ll) { return hh > ll ? percent_k(close, hh, ll) : 50.0; }

// Williams' %R of the close in its window's range; 0 for a flat one.
inline double williams_r(double close, double hh, double ll) {
    const double range = hh - ll;
    return range == 0 ? 0.0 : ((hh - close) / range) * -100.0;
}

// The stochastics' window mean of x[0 .. w-1] (w >= 1): its non-NaN values
// summed from +0.0 in order, divided by their count; NaN when it has none.
inline double window_mean_of(const double* x, std::uint64_t w) {
    double s = 0.0;
    std::uint64_t c = 0;
    for (std::uint64_t k = 0; k < w; ++k) {
        if (!std::isnan(x[k])) {
            s = s + x[k];
            ++c;
        }
    }
    return c > 0 ? s / static_cast<double>(c) : NaN;
}

// The price name as wt hands it to the price source (compared exactly as
// given): the half-range price is not one of its names, so "hl2" selects the
// close like any unknown name.
inline std::string_view wt_source_name(std::string_view source_type) {
    return source_type == "hl2" ? std::string_view("close") : source_type;
}

// wt1: the EMAs of the price (esa) and of its absolute deviation from esa
// (de), and the EMA of their normalised ratio; each starts at its first input.
struct WaveTrend {
    double esa = 0.0, de = 0.0, w1 = 0.0;

    double next(const EmaCoefficients& ch, const EmaCoefficients& av, double p, bool first) {
        esa = first ? p : smooth(ch, esa, p);
        const double dev = std::fabs(p - esa);
        de = first ? dev : smooth(ch, de, dev);
        const double ci = de == 0 ? 0.0 : (p - esa) / (de * 0.015);
        w1 = first ? ci : smooth(av, w1, ci);
        return w1;
    }
    // wt2 over the first ml values: the growing mean of wt1 (sum s, i values before).
    static double growing_mean(double& s, double w1, std::uint64_t i) {
        s = s + w1;
        return s / (static_cast<double>(i) + 1.0);
    }
    // wt2 later: moved along by the entering and leaving wt1 values.
    static double moving_mean(double prev, double in, double gone, double ml) { return prev + (in - gone) / ml; }
};

// The crossing and level flags and the difference of one position.
struct WaveTrendFlags {
    bool cross_up, cross_down, oversold, overbought;
    double diff;
    WaveTrendFlags(double wt1, double wt2, double oblevel, double oslevel) {
        const double d = wt2 - wt1;
        cross_up = d <= 0;
        cross_down = d >= 0;
        oversold = wt2 <= oslevel;
        overbought = wt2 >= oblevel;
        diff = wt1 - wt2;
    }
};

// The window extremes of the rows ending at from .. n-1 of high and low (a
// stream's kept rows, then a chunk's), as `value(close[j], highest,
// lowest)` makes them, into out[j] (j counted from `from`; NaN until a
// window of p rows is in). NanAware: the NaN-ignoring block form (the slow
// stochastic's); otherwise the deque's extremes. The batch functions run
// the same kernels over the whole matrix.
template <bool NanAware, class VH, class VL, class VC, class Value>
void extremes_from(const VH& high, const VL& low, const VC& close, std::uint64_t p, std::size_t from, double* out,
                   Value value) {
    const std::size_t n = high.size();
    if (p == 0 || p > n) {
        std::fill_n(out, n - from, NaN);
        return;
    }
    const std::size_t first = std::max<std::size_t>(from, p - 1);
    std::fill_n(out, first - from, NaN);
    const auto emit = [&](std::size_t i, double h, double l) {
        if (i >= first) out[i - from] = value(close[i - from], h, l);
    };
    if constexpr (NanAware) {
        block_high_low<true>(high, low, p, emit);
    } else {
        window_high_low(high, low, p, emit);
    }
}

}  // namespace korva::osc
