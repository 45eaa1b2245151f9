// NaN-ignoring maximum and minimum (the maxNum/minNum rule): when exactly one
// operand is NaN the other one wins, and only two NaNs give NaN. Zeros are
// ordered -0 < +0, so max_num(-0.0, +0.0) is +0.0 in either argument order;
// results are compared bit for bit, sign of zero included, so the answer must
// not depend on which operand happens to come first.
//
// Plain comparisons (a > b ? a : b) are a different rule on NaN; families
// that need that one write it out where they use it.
#pragma once
#include <cmath>

namespace korva {

// Ordered comparisons first: they are false on NaN, so the common case of
// two distinct numbers costs one or two comparisons.
inline double max_num(double a, double b) {
    if (a > b) return a;
    if (b > a) return b;
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return std::signbit(a) ? b : a;  // equal: +0 over -0
}

inline double min_num(double a, double b) {
    if (a < b) return a;
    if (b < a) return b;
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return std::signbit(a) ? a : b;  // equal: -0 over +0
}

}  // namespace korva
