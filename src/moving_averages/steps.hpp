// Steps of the core averages' recurrences that the batch functions and their
// streams share: one copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "../helpers/smoothing.hpp"

namespace korva::ma {

// dema's and tema's outputs from their EMA stages; `first` is the value at
// position 0 of a series longer than one, where every stage holds x[0].
struct DemaStep : ChainStep<2, 0> {
    static constexpr std::size_t kOutputs = 1;
    static double first(double x0) { return x0 * 2.0 - x0; }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        ChainStep<2, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = s[0] * 2.0 - s[1];
    }
};

struct TemaStep : ChainStep<3, 0> {
    static constexpr std::size_t kOutputs = 1;
    static double first(double x0) { return x0 + (x0 * 3.0 - x0 * 3.0); }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        ChainStep<3, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = (s[0] * 3.0 - s[1] * 3.0) + s[2];
    }
};

// trix's three EMA stages of log prices; the output is the change of the
// third stage, scaled.
struct TrixStep : ChainStep<3, 0> {
    static constexpr std::size_t kOutputs = 1;
    static double input(double price) { return std::log(price); }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        const T prev = s[2];
        ChainStep<3, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = (s[2] - prev) * 10000.0;
    }
};

// kama: the volatility (the window's sum of absolute changes) runs as a
// sum, the entering change added before the leaving one is subtracted (the
// running sum carries that rounding); the efficiency ratio sets the
// smoothing of each step.
struct KamaStep {
    double fast, slow;
    KamaStep(std::uint64_t fast_length, std::uint64_t slow_length)
        : fast(2.0 / (static_cast<double>(fast_length) + 1.0)), slow(2.0 / (static_cast<double>(slow_length) + 1.0)) {}
    static double enter(double vol, double before, double now) { return vol + std::fabs(now - before); }
    static double leave(double vol, double before, double now) { return vol - std::fabs(now - before); }
    double value(double vol, double prev, double now, double then) const {
        const double er = vol == 0.0 ? 0.0 : std::fabs(now - then) / vol;
        const double s = slow + (fast - slow) * er;
        const double sc = s * s;
        return prev + sc * (now - prev);
    }
};

// t3's six EMA stages and its weighting of the last four; `first` is its
// value at position 0, where every stage holds the first price.
struct T3Step : ChainStep<6, 0> {
    static constexpr std::size_t kOutputs = 1;
    double c4, c3, c2b, cube;
    T3Step(std::uint64_t period, double v) : ChainStep<6, 0>{ema_coefficients(period)} {
        const double c2 = v * v * 3.0;
        cube = v * (v * v);
        c4 = c2 + (cube + (v * 3.0 + 1.0));
        c3 = ((v * v) * -6.0 - v * 3.0) - cube * 3.0;
        c2b = c2 + cube * 3.0;
    }
    double first(double y0) const { return c4 * y0 + (c3 * y0 + (c2b * y0 - cube * y0)); }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        ChainStep<6, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = c4 * s[2] + (c3 * s[3] + (c2b * s[4] - cube * s[5]));
    }
};

// zlema's lag-compensated input: the price plus its change over the lag.
inline double zlema_input(double now, double lagged) { return now + (now - lagged); }

// vwma's running totals of price x volume and of volume. Window sums are
// differences of running totals, not re-summed windows: they carry the
// totals' rounding, as the host's cumulative sums did.
struct VwmaTotals {
    double price_volume = 0.0, volume = 0.0;
    // Totals after row i (row 0 starts them with its own values).
    void add(double c, double vo, bool first) {
        if (first) {
            price_volume = c * vo;
            volume = vo;
        } else {
            next(c, vo);
        }
    }
    // Totals after a row other than row 0: the loops peel row 0 so that
    // no select lands in the chain of additions.
    void next(double c, double vo) {
        price_volume = price_volume + c * vo;
        volume = volume + vo;
    }
    static double value(double num, double den) {
        return den == 0.0 ? std::numeric_limits<double>::quiet_NaN() : num / den;
    }
};

}  // namespace korva::ma
