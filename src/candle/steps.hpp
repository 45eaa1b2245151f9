// Steps of the candle-shaped series that the batch functions and their
// streams share: one copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "../helpers/numpy_folds.hpp"

namespace korva::candle {

// QStick's window sum moved along over positions [a, n) (a >= p): the
// close - open of each position enters and the one p rows back leaves, and
// out[j] is inv times the sum. The batch loop, which a stream continues over
// a chunk; the sum is worked on in a local that the stores cannot change.
template <class O, class C>
void qstick_slide(const O& open, const C& close, std::size_t a, std::size_t n, std::size_t p, double inv,
                  RunningWindowSum& sum, double* out) {
    RunningWindowSum s = sum;
    for (std::size_t j = a; j < n; ++j) {
        s.slide(close[j - p] - open[j - p], close[j] - open[j]);
        out[j] = inv * s.s;
    }
    sum = s;
}

// A Heikin-Ashi candle from the previous raw candle's open and close and
// the current raw candle; the extremes ignore a NaN operand.
struct HeikinAshi {
    double open, close, high, low;
};
inline HeikinAshi heikin_ashi_row(double prev_open, double prev_close, double open, double close, double high,
                                  double low) {
    const double o = (prev_open + prev_close) * 0.5;
    const double c = (((open + close) + high) + low) * 0.25;
    return {o, c, std::fmax(std::fmax(high, o), c), std::fmin(std::fmin(low, o), c)};
}

// The empirical mode decomposition's band-pass filter of the midprice.
struct EmdFilter {
    double alpha, e, c1;
    EmdFilter(std::uint64_t period, double delta) {
        const double p = static_cast<double>(period);
        const double beta = std::cos(6.283185307179586 / p);
        const double gamma = 1.0 / std::cos((delta * 12.566370614359172) / p);
        alpha = gamma - std::sqrt(gamma * gamma - 1.0);
        e = (1.0 - alpha) * 0.5;
        c1 = beta * (alpha + 1.0);
    }
    static double price(double high, double low) { return (high + low) * 0.5; }
    // Row 2, from the prices of rows 2 and 0 (rows 0 and 1 are 0.0).
    double first(double price, double price2) const { return e * (price - price2); }
    // A later row, from the prices now and two rows back and the two
    // previous values.
    double step(double price, double price2, double bp1, double bp2) const {
        return (e * (price - price2) + c1 * bp1) - alpha * bp2;
    }
};

// The most recent local peak and valley of the filtered series, carried
// forward: the value one row back, when it stands above (below) both
// neighbours.
struct EmdExtremes {
    double peak, valley;
    void step(double bp2, double bp1, double bp) {
        if (bp1 > bp && bp1 > bp2) peak = bp1;
        if (bp1 < bp && bp1 < bp2) valley = bp1;
    }
};

}  // namespace korva::candle
