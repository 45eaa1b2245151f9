// Steps of the trend overlays that the batch functions and their streams
// share: one copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "../helpers/lanes.hpp"
#include "movement.hpp"

namespace korva::trend {

// A line of the alligator: a smoothed average of `period` values seeded
// with their mean, then prev * keep + x * take (the nearest doubles to
// (p - 1)/p and 1/p), drawn `shift` rows later.
struct AlligatorLine {
    std::size_t period, shift;
    double keep, take;
    double seed(double sum) const { return sum / static_cast<double>(period); }
    double step(double prev, double x) const { return prev * keep + x * take; }
};
inline constexpr AlligatorLine kJaw{13, 8, 0.9230769230769231, 0.07692307692307693};
inline constexpr AlligatorLine kTeeth{8, 5, 0.875, 0.125};
inline constexpr AlligatorLine kLips{5, 3, 0.8, 0.2};
// The one running sum that seeds the three lines: value 0 plus 0.0, then
// each value added in order.
inline double alligator_sum(std::size_t k, double sum, double x) { return k == 0 ? x + 0.0 : sum + x; }

// SafeZone's candidate stops: the directional movements (a NaN move counts
// as none) summed with decay k, and the stop of a row from its smoothed
// movement and the previous row's price.
struct SafezoneStep {
    double k, mult;
    bool is_long;
    double plus = 0.0, minus = 0.0;
    double candidate(double high, double low, double prev_high, double prev_low) {
        double up = high - prev_high;
        double dn = prev_low - low;
        if (std::isnan(up)) up = 0.0;
        if (std::isnan(dn)) dn = 0.0;
        const Movement m = directional_movement(up, dn);
        plus = (k * plus) + m.plus;
        minus = (k * minus) + m.minus;
        return is_long ? prev_low - (minus * mult) : prev_high + (plus * mult);
    }
};

// The NaN-ignoring rolling extreme (maxNum or minNum fold) over a monotonic
// queue of the window's numbers: the fold orders -0 below +0 and skips NaN,
// so its result is the window's extreme number whatever the order. Q holds
// (row, value) pairs: empty(), back(), pop_back(), push_back(row, v), front().
template <bool Max>
inline bool num_covers(double x, double y) {  // x at least as extreme as y, -0 < +0
    if (Max) return x > y || (x == y && (!std::signbit(x) || std::signbit(y)));
    return x < y || (x == y && (std::signbit(x) || !std::signbit(y)));
}
template <bool Max, class Q>
inline void num_extreme_add(Q& q, std::uint64_t row, double x) {
    if (std::isnan(x)) return;
    while (!q.empty() && num_covers<Max>(x, q.back())) q.pop_back();
    q.push_back(row, x);
}
// An all-NaN window folds to the start value, -inf or +inf.
template <bool Max, class Q>
inline double num_extreme_value(const Q& q) {
    if (q.empty()) return Max ? -kInf : kInf;
    return q.front();
}
// What num_extreme_value gives once x is added at `row` and the window of p
// rows moves there, the queue untouched.
template <bool Max, class Q>
inline double num_extreme_peek(const Q& q, std::uint64_t row, std::uint64_t p, double x) {
    if (!std::isnan(x)) return q.front_with(row, p, x, num_covers<Max>);
    const std::size_t first = q.first_kept(row, p);
    if (first == q.end()) return Max ? -kInf : kInf;
    return q.at(first);
}

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
        // Both clamps in one branch-free pair: which band wins is a coin
        // toss on real data. The upper one as the negated maximum of the
        // negations, the same bits as min_num(bu, fu) (zeros and NaNs
        // included: negation only flips the sign bit, twice).
        const Pair clamped = max_num(Pair{-bu, bl}, Pair{-fu, fl});
        const double up = fu >= prev_close ? -clamped[0] : bu;
        const double lo = fl <= prev_close ? clamped[1] : bl;
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

// Parabolic SAR: the stop, its extreme point and acceleration, the
// direction, and the two previous rows' highs and lows (the stop is clamped
// to them).
struct SarState {
    double a, maximum;
    double value = 0.0, ep = 0.0, af = 0.0;
    double h1 = 0.0, h2 = 0.0, l1 = 0.0, l2 = 0.0;
    bool rising = false, plain_h = false, plain_l = false;

    // Neither NaN nor a zero.
    static bool plain(double v) { return v < 0.0 || v > 0.0; }

    // Rows 0 and 1: the value of row 0 into out0, that of row 1 returned.
    [[gnu::always_inline]] double start(double high0, double low0, double high1, double low1, double& out0) {
        if (high1 > high0) {
            out0 = low0;
            const double c = min_num(low0 + a * (high0 - low0), low0);
            if (low1 < c) {
                rising = false;
                value = high0;
                ep = low1;
                af = a;
            } else {
                rising = true;
                value = c;
                ep = high1;
                af = min_num(a + a, maximum);
            }
        } else {
            out0 = high0;
            const double c = max_num(high0 - a * (high0 - low0), high0);
            if (high1 > c) {
                rising = true;
                value = low0;
                ep = high1;
                af = a;
            } else {
                rising = false;
                value = c;
                if (low1 < low0) {
                    ep = low1;
                    af = min_num(a + a, maximum);
                } else {
                    ep = low0;
                    af = a;
                }
            }
        }
        h1 = high1;
        h2 = high0;
        l1 = low1;
        l2 = low0;
        plain_h = plain(h1) && plain(h2);
        plain_l = plain(l1) && plain(l2);
        return value;
    }

    // A later row. The stop is the chain; its clamp to the two previous rows
    // takes a plain comparison where that equals the NaN-ignoring one: both
    // bounds and the stop are numbers other than zero (equal numbers then
    // have equal bits, and no NaN is involved). Whether that holds is known
    // from the data and rarely changes, so the test costs the chain nothing.
    // Both inlined by force: Clang would leave them out of line, and with
    // the state's address passed out it keeps the state in memory, a store
    // and a load in the chain at every row.
    [[gnu::always_inline]] double step(double h, double l) {
        if (rising) {
            double c = value + af * (ep - value);
            if (plain_l && plain(c)) {
                c = c < l1 ? c : l1;
                c = c < l2 ? c : l2;
            } else {
                c = min_num(min_num(c, l1), l2);
            }
            if (l < c) {  // reverse: the stop jumps to the extreme point
                value = ep;
                ep = l;
                af = a;
                rising = false;
            } else {
                value = c;
                const double step = min_num(a + af, maximum);
                af = h > ep ? step : af;
                ep = h > ep ? h : ep;
            }
        } else {
            double c = value - af * (value - ep);
            if (plain_h && plain(c)) {
                c = c > h1 ? c : h1;
                c = c > h2 ? c : h2;
            } else {
                c = max_num(max_num(c, h1), h2);
            }
            if (h > c) {
                value = ep;
                ep = h;
                af = a;
                rising = true;
            } else {
                value = c;
                const double step = min_num(a + af, maximum);
                af = l < ep ? step : af;
                ep = l < ep ? l : ep;
            }
        }
        plain_h = plain(h) && plain(h1);
        plain_l = plain(l) && plain(l1);
        h2 = h1;
        h1 = h;
        l2 = l1;
        l1 = l;
        return value;
    }
};

}  // namespace korva::trend
