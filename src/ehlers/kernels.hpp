// Recursive filter kernels shared by the cycle indicators: the 2-pole
// SuperSmoother and the 1-pole high-pass step. Callers compare results bit for
// bit with the host's earlier code, so every coefficient is built with the
// same library calls on the same arguments and every recurrence keeps its
// operation order; nothing here may be reassociated or fused.
#pragma once
#include <cmath>
#include <cstddef>

namespace korva::ehlers {

// The constants as exact doubles. The 1.414 and 1.738 multiples of pi are the
// rounded products of those decimals with pi, not sqrt(2) * pi: the filters
// were tuned with them and every output depends on the exact bits.
inline constexpr double kTwoPi = 0x1.921fb54442d18p+2;  // 6.283185307179586
inline constexpr double kPi = 0x1.921fb54442d18p+1;  // 3.141592653589793
inline constexpr double kHalfPi = 0x1.921fb54442d18p+0;  // 1.5707963267948966
inline constexpr double kDegPerRad = 0x1.ca5dc1a63c1f8p+5;  // 57.29577951308232
inline constexpr double kPi1414 = 0x1.1c4d339c8c6cbp+2;  // 4.442212012175967
inline constexpr double kPi1738 = 0x1.5d7215129d64ap+2;  // 5.46008803193906

// 2-pole SuperSmoother with period p:
// out[i] = ((c1 * (x[i] + x[i-1])) + c2 * out[i-1]) - a2 * out[i-2].
struct SuperSmoother {
    double c1, c2, a2;

    explicit SuperSmoother(double p) {
        const double a = std::exp(-kPi1414 / p);
        const double k = std::cos(kPi1414 / p);
        c2 = k * (a + a);
        a2 = a * a;
        c1 = ((a2 + 1.0) - c2) * 0.5;
    }
    double step(double x, double x1, double out1, double out2) const {
        return ((c1 * (x + x1)) + c2 * out1) - a2 * out2;
    }
};

// Writes the SuperSmoother of x (length x.size()) to out; the first two
// outputs are copies of the input.
template <class V>
void super_smoother(const V& x, double p, double* out) {
    const std::size_t n = x.size();
    for (std::size_t i = 0; i < n && i < 2; ++i) out[i] = x[i];
    if (n <= 2) return;
    const SuperSmoother c(p);
    double x1 = x[1], o1 = out[1], o2 = out[0];
    for (std::size_t i = 2; i < n; ++i) {
        const double v = x[i];
        const double o = c.step(v, x1, o1, o2);
        out[i] = o;
        x1 = v;
        o2 = o1;
        o1 = o;
    }
}

// 1-pole high-pass step with period q:
// out[i] = ((k * y[i]) - (k * y[i-1])) + r * out[i-1].
struct HighPass1 {
    double k, r;

    explicit HighPass1(double q) {
        const double theta = kTwoPi / q;
        const double alpha = ((std::sin(theta) + (-1.0)) / std::cos(theta)) + 1.0;
        k = alpha * (-0.5) + 1.0;
        r = 1.0 - alpha;
    }
    double step(double y, double y1, double out1) const { return ((k * y) - (k * y1)) + r * out1; }
};

// Writes the 1-pole high-pass of y to out; out[0] = y[0].
template <class V>
void high_pass_1(const V& y, double q, double* out) {
    const std::size_t n = y.size();
    if (n == 0) return;
    const HighPass1 c(q);
    double y1 = y[0], o1 = y1;
    out[0] = y1;
    for (std::size_t i = 1; i < n; ++i) {
        const double v = y[i];
        o1 = c.step(v, y1, o1);
        out[i] = o1;
        y1 = v;
    }
}

}  // namespace korva::ehlers
