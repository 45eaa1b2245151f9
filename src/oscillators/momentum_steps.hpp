// MACD's step, shared by macd and its stream: one copy of its operation order.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/smoothing.hpp"

namespace korva::osc {

// MACD's three stages as a lane recurrence: the fast and slow EMAs of the
// input, and the signal EMA of the line they make. The line shows a missing
// difference as 0.0 and the signal smooths what the line shows; the
// histogram keeps the NaN.
struct MacdStep {
    static constexpr std::size_t kState = 3, kInputs = 1, kOutputs = 3;
    static constexpr int kStages = 2;
    EmaCoefficients fast, slow, signal;

    double contraction() const {
        return std::max({std::fabs(fast.beta), std::fabs(slow.beta), std::fabs(signal.beta)});
    }
    // Position 0: both EMAs are x[0] and the signal starts at the line.
    static void start(double x0, double* s, double* const* out) {
        const double d = x0 - x0;
        const double m = std::isnan(d) ? 0.0 : d;
        out[0][0] = m;
        out[1][0] = m;
        out[2][0] = d - m;
        s[0] = x0;
        s[1] = x0;
        s[2] = m;
    }
    template <class T>
    void guess(T* s, const T* in) const {
        s[0] = in[0];
        s[1] = in[0];
        s[2] = splat<T>(0.0);
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        s[0] = smooth(fast, s[0], in[0]);
        s[1] = smooth(slow, s[1], in[0]);
        const T d = s[0] - s[1];
        const T m = pick(is_nan(d), splat<T>(0.0), d);
        s[2] = smooth(signal, s[2], m);
        if constexpr (Emit) {
            out[0] = m;
            out[1] = s[2];
            out[2] = d - s[2];
        }
    }
};

}  // namespace korva::osc
