// Steps of the Fisher transform, shared by fisher and its stream: one copy
// of each operation order (callers compare results bit for bit).
#pragma once
#include <cmath>
#include <cstddef>

#include "../helpers/lanes.hpp"

namespace korva::osc {

// Ordering of the NaN-ignoring extremes: -0.0 counts below +0.0, as in
// max_num/min_num, so a window's extreme does not depend on fold order.
inline bool below(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

// The NaN-ignoring maximum and minimum of v[0 .. w-1] under `below`, folded
// from -inf and +inf (an all-NaN window keeps them). Unique under that
// order, so they equal what the batch function's candidate queues find.
inline void extremes_num(const double* v, std::size_t w, double& hi, double& lo) {
    hi = -kInf;
    lo = kInf;
    for (std::size_t j = 0; j < w; ++j) {
        const double x = v[j];
        if (std::isnan(x)) continue;
        if (below(hi, x)) hi = x;
        if (below(x, lo)) lo = x;
    }
}

// The Fisher transform of the price's place in its window's range: the
// smoothed, clamped position v and the transform, each half the previous
// value; both start at 0.0.
struct FisherState {
    double v = 0.0, fish = 0.0;

    static double price(double high, double low) { return (high + low) * 0.5; }
    // The next position's transform and signal (the previous transform).
    void next(double x, double hi, double lo, double& fisher, double& signal) {
        double u = 0.0;
        if (hi - lo != 0.0) u = v * 0.67 + (((x - lo) / (hi - lo)) + (-0.5)) * 0.66;
        if (u < -0.999) u = -0.999;
        if (u > 0.999) u = 0.999;
        v = u;
        signal = fish;
        fish = std::log((u + 1.0) / (1.0 - u)) * 0.5 + fish * 0.5;
        fisher = fish;
    }
};

}  // namespace korva::osc
