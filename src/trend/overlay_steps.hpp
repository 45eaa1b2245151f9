// Steps of supertrend that the batch function and its stream share: one
// copy of each operation order.
#pragma once
#include <cmath>

#include "../helpers/fmath.hpp"

namespace korva::trend {

// The basic bands of a row: hl2 +- factor * ATR, a warm-up (NaN) ATR
// counting as zero range.
struct SupertrendBands {
    double factor;
    void at(double atr, double high, double low, double& upper, double& lower) const {
        const double a = std::isnan(atr) ? 0.0 : atr;
        const double hl2 = (high + low) * 0.5;
        const double m = factor * a;
        upper = hl2 + m;
        lower = hl2 - m;
    }
};

// The final bands of the previous row and the trend value there.
struct SupertrendState {
    double fu = 0.0, fl = 0.0, trend = 0.0;

    // The first row with an ATR.
    double start(const SupertrendBands& b, double atr, double high, double low, double close) {
        b.at(atr, high, low, fu, fl);
        return trend = close <= fu ? fu : fl;
    }
    // A later row; `changed` becomes 1.0 where the trend switches bands.
    double step(const SupertrendBands& b, double atr, double high, double low, double close, double prev_close,
                double& changed) {
        double bu, bl;
        b.at(atr, high, low, bu, bl);
        const double up = fu >= prev_close ? min_num(bu, fu) : bu;
        const double lo = fl <= prev_close ? max_num(bl, fl) : bl;
        double t;
        if (trend == fu) {  // the previous row followed the upper band
            if (close <= up) {
                t = up;
            } else {
                t = lo;
                changed = 1.0;
            }
        } else if (close >= lo) {
            t = lo;
        } else {
            t = up;
            changed = 1.0;
        }
        fu = up;
        fl = lo;
        return trend = t;
    }
};

}  // namespace korva::trend
