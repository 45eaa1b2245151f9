// The directional-movement rule shared by the trend family: of the upward
// move of the high and the downward move of the low, only the larger one
// counts, and only when it is positive. Any comparison with NaN is false, so
// a NaN move counts as no movement.
#pragma once
#include <cstddef>

#include "../helpers/recurrence_lanes.hpp"

namespace korva::trend {

struct Movement {
    double plus;
    double minus;
};

// The moves are kept by bit masks, not branches: which one wins is a coin
// flip on real prices, and a branch mispredicts half the time.
inline Movement directional_movement(double up, double down) {
    return {keep((up > down) & (up > 0.0), up), keep((down > up) & (down > 0.0), down)};
}

// Movement of row i >= 1 of a high/low pair.
template <class H, class L>
inline Movement movement_at(const H& high, const L& low, std::size_t i) {
    return directional_movement(high[i] - high[i - 1], low[i - 1] - low[i]);
}

}  // namespace korva::trend
