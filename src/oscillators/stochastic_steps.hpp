// WaveTrend's steps, shared by wt and its stream: one copy of each operation
// order (callers compare results bit for bit).
#pragma once
#include <cmath>
#include <cstdint>
#include <string_view>

#include "../helpers/smoothing.hpp"

namespace korva::osc {

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

}  // namespace korva::osc
