// Recursive filter kernels and steps, shared by the batch filters, the cycle
// indicators and the streams (which advance the same steps one value at a
// time). Callers compare results bit for
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

// The SuperSmoother's recurrence over positions [first, n) of x from the
// previous input and the two previous outputs (updated): the batch loop,
// which a stream continues over a chunk. The state is worked on in locals,
// which stores to out cannot change.
template <class V>
void super_smoother_run(const V& x, const SuperSmoother& c, std::size_t first, std::size_t n, double* out,
                        double& x1_io, double& o1_io, double& o2_io) {
    double x1 = x1_io, o1 = o1_io, o2 = o2_io;
    for (std::size_t i = first; i < n; ++i) {
        const double v = x[i];
        const double o = c.step(v, x1, o1, o2);
        out[i] = o;
        x1 = v;
        o2 = o1;
        o1 = o;
    }
    x1_io = x1;
    o1_io = o1;
    o2_io = o2;
}

// Writes the SuperSmoother of x (length x.size()) to out; the first two
// outputs are copies of the input.
template <class V>
void super_smoother(const V& x, double p, double* out) {
    const std::size_t n = x.size();
    for (std::size_t i = 0; i < n && i < 2; ++i) out[i] = x[i];
    if (n <= 2) return;
    double x1 = x[1], o1 = out[1], o2 = out[0];
    super_smoother_run(x, SuperSmoother(p), 2, n, out, x1, o1, o2);
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

// The 1-pole high-pass over positions [first, n) of y from the previous
// input and output (updated), as super_smoother_run.
template <class V>
void high_pass_1_run(const V& y, const HighPass1& c, std::size_t first, std::size_t n, double* out, double& y1_io,
                     double& o1_io) {
    double y1 = y1_io, o1 = o1_io;
    for (std::size_t i = first; i < n; ++i) {
        const double v = y[i];
        o1 = c.step(v, y1, o1);
        out[i] = o1;
        y1 = v;
    }
    y1_io = y1;
    o1_io = o1;
}

// Writes the 1-pole high-pass of y to out; out[0] = y[0].
template <class V>
void high_pass_1(const V& y, double q, double* out) {
    const std::size_t n = y.size();
    if (n == 0) return;
    double y1 = y[0], o1 = y1;
    out[0] = y1;
    high_pass_1_run(y, HighPass1(q), 1, n, out, y1, o1);
}

// 3-pole SuperSmoother with period p:
// out[i] = (((cx * x[i]) + c1 * out[i-1]) + c2 * out[i-2]) + c3 * out[i-3].
struct SuperSmoother3 {
    double cx, c1, c2, c3;

    explicit SuperSmoother3(double p) {
        const double a = std::exp(-kPi / p);
        const double g = a * a;
        const double b = std::cos(kPi1738 / p) * (a + a);
        cx = (g * b) + ((1.0 - g * g) - b);
        c1 = g + b;
        c2 = (-(a * a)) - (g * b);
        c3 = g * g;
    }
    double step(double x, double out1, double out2, double out3) const {
        return (((cx * x) + c1 * out1) + c2 * out2) + c3 * out3;
    }
};

// The 3-pole SuperSmoother over positions [first, n) of x from the three
// previous outputs (updated), as super_smoother_run.
template <class V>
void super_smoother_3_run(const V& x, const SuperSmoother3& c, std::size_t first, std::size_t n, double* out,
                          double& o1_io, double& o2_io, double& o3_io) {
    double o1 = o1_io, o2 = o2_io, o3 = o3_io;
    for (std::size_t i = first; i < n; ++i) {
        const double o = c.step(x[i], o1, o2, o3);
        out[i] = o;
        o3 = o2;
        o2 = o1;
        o1 = o;
    }
    o1_io = o1;
    o2_io = o2;
    o3_io = o3;
}

// 2-pole high-pass with period p:
// out[i] = ((((g * x[i]) - h * x[i-1]) + g * x[i-2]) + q1 * out[i-1]) - q2 * out[i-2].
struct HighPass2 {
    double g, h, q1, q2;

    explicit HighPass2(double p) {
        const double theta = kPi1414 / p;
        const double alpha = ((std::sin(theta) + (-1.0)) / std::cos(theta)) + 1.0;
        const double t = alpha * (-0.5) + 1.0;
        g = t * t;
        h = g + g;
        const double r = 1.0 - alpha;
        q2 = r * r;
        q1 = 2.0 * r;
    }
    double step(double x, double x1, double x2, double out1, double out2) const {
        return ((((g * x) - h * x1) + g * x2) + q1 * out1) - q2 * out2;
    }
};

// The 2-pole high-pass over positions [first, n) of x from the two previous
// inputs and outputs (updated), as super_smoother_run.
template <class V>
void high_pass_2_run(const V& x, const HighPass2& c, std::size_t first, std::size_t n, double* out, double& x1_io,
                     double& x2_io, double& o1_io, double& o2_io) {
    double x1 = x1_io, x2 = x2_io, o1 = o1_io, o2 = o2_io;
    for (std::size_t i = first; i < n; ++i) {
        const double v = x[i];
        const double o = c.step(v, x1, x2, o1, o2);
        out[i] = o;
        x2 = x1;
        x1 = v;
        o2 = o1;
        o1 = o;
    }
    x1_io = x1;
    x2_io = x2;
    o1_io = o1;
    o2_io = o2;
}

// The band-pass chain's coefficients: the high-pass of its input, the
// band-pass recurrence and the high-pass that forms the trigger.
struct Bandpass {
    HighPass1 pre, post;
    double alpha, k1, k2;

    Bandpass(double p, double w) : pre((p * 4.0) / w), post((p / w) / 1.5) {
        const double beta = std::cos(kTwoPi / p);
        const double gamma = std::cos((w * kTwoPi) / p);
        alpha = (1.0 / gamma) - std::sqrt((1.0 / (gamma * gamma)) + (-1.0));
        k1 = (1.0 - alpha) * 0.5;
        k2 = beta * (alpha + 1.0);
    }
};

// The outputs of one position of the band-pass chain.
struct BandpassValues {
    double bp, norm, signal, trigger;
};

// The band-pass chain's state: the high-pass input filter, the band-pass,
// the decaying peak, the normalised band-pass and its high-pass trigger each
// need only their own last values, so each position is final when it is
// computed. The selections are plain selects: on a noisy series the peak and
// the signal change direction too often for a branch to be predicted.
struct BandpassState {
    double x1 = 0.0, hp1 = 0.0, hp2 = 0.0, bp1 = 0.0, bp2 = 0.0, peak = 0.0, nb1 = 0.0, tr1 = 0.0;

    // A NaN peak also divides: only an exact zero peak gives 0.0.
    static double normalise(double b, double peak) { return peak != 0.0 ? b / peak : 0.0; }
    static BandpassValues values(double b, double nb, double tr) {
        return {b, nb, static_cast<double>(nb < tr) - static_cast<double>(tr < nb), tr};
    }
    // Position 0: every stage copies the input; the first peak is the value
    // itself, sign included.
    BandpassValues first(double v) {
        x1 = hp1 = bp1 = peak = v;
        hp2 = bp2 = 0.0;
        nb1 = tr1 = normalise(bp1, peak);
        return values(bp1, nb1, tr1);
    }
    // Position i >= 1; at i = 1 (`second`) the band-pass copies the high-pass.
    BandpassValues next(const Bandpass& c, double v, bool second) {
        const double hp = c.pre.step(v, x1, hp1);
        const double b = second ? hp : ((c.k1 * (hp - hp2)) + c.k2 * bp1) - c.alpha * bp2;
        peak = peak * 0.991;
        const double mag = std::fabs(b);
        peak = mag > peak ? mag : peak;
        const double nb = normalise(b, peak);
        const double tr = c.post.step(nb, nb1, tr1);
        x1 = v;
        hp2 = hp1;
        hp1 = hp;
        bp2 = bp1;
        bp1 = b;
        nb1 = nb;
        tr1 = tr;
        return values(b, nb, tr);
    }
};

}  // namespace korva::ehlers
