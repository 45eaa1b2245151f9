// Steps of the momentum oscillators (macd, dti, mass, pfe), shared by their
// batch functions and their streams: one copy of each operation order.
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

// DTI: the up and down moves of the high and the low, their difference and
// its magnitude each smoothed by three EMA stages. The state is the previous
// row's high and low and the six stages; every stage of row 0 is 0.0.
struct DtiState {
    double high = 0.0, low = 0.0;
    double e[3] = {}, a[3] = {};

    // Row 0: no movement yet.
    void start(double h, double l) {
        high = h;
        low = l;
    }
    // The value of the next row.
    double next(const EmaCoefficients (&c)[3], double h, double l) {
        const double dh = h - high, dl = l - low;
        high = h;
        low = l;
        const double up = dh > 0.0 ? dh : 0.0;
        const double dn = dl < 0.0 ? -dl : 0.0;
        const double x = up - dn, xa = std::fabs(up - dn);
        e[0] = smooth(c[0], e[0], x);
        e[1] = smooth(c[1], e[1], e[0]);
        e[2] = smooth(c[2], e[2], e[1]);
        a[0] = smooth(c[0], a[0], xa);
        a[1] = smooth(c[1], a[1], a[0]);
        a[2] = smooth(c[2], a[2], a[1]);
        return a[2] == 0.0 ? 0.0 : (e[2] * 100.0) / a[2];
    }
};

// The mass index's ratio of the single and double EMA (fixed weights 0.8
// and 0.2) of the high-low range; both start at row 0's range.
struct MassRatio {
    double e1 = 0.0, e2 = 0.0;

    double next(double high, double low, bool first) {
        const double rng = high - low;
        if (first) {
            e1 = e2 = rng;
        } else {
            e1 = e1 * 0.8 + rng * 0.2;
            e2 = e2 * 0.8 + e1 * 0.2;
        }
        return e2 == 0.0 ? 0.0 : e1 / e2;
    }
};

// Polarized fractal efficiency: the length of one step of the path, the
// path sum moved along by a step entering and one leaving, and the signed
// efficiency of the move d over the path.
struct Efficiency {
    static double step(double prev, double cur) {
        const double dd = cur - prev;
        return std::sqrt(dd * dd + 1.0);
    }
    static void slide(double& path, double in, double gone) { path = (path + in) - gone; }
    static double value(double d, double path, double P) {
        const double raw = (path == 0.0 || std::isnan(path)) ? 0.0 : (std::sqrt(P * P + d * d) * 100.0) / path;
        return (d > 0.0 ? 1.0 : -1.0) * raw;
    }
};

}  // namespace korva::osc
