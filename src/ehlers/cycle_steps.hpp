// Steps of the cycle and predictive indicators, shared by their batch
// functions (cycles.cpp) and their streams (streams.cpp): one copy of each
// operation order. The window sums are templates over a double or a block of
// lanes (pair_lanes.hpp) and read their window through a pointer to the
// newest value, so a batch loop and a stream's kept window run the same code;
// they are inlined into the loops that call them, where the lanes stay in
// registers.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "../helpers/lanes.hpp"
#include "../helpers/result.hpp"
#include "kernels.hpp"
#include "pair_lanes.hpp"

namespace korva::ehlers {

// ----------------------------------------------------------- reflex, trendflex

// Window sum of position i over the smoothed series f (p >= 1, i >= p),
// divided by p. Reflex measures each lag against the straight line from
// f[i-p] to f[i]; trendflex against f[i] itself.
template <bool Reflex, class T>
[[gnu::always_inline]] inline T flex_window(const double* f, std::size_t i, std::size_t p, double pd) {
    const T fi = load_as<T>(f + i);
    T s = zeros<T>();
    if constexpr (Reflex) {
        const T slope = (load_as<T>(f + i - p) - fi) / pd;
        for (std::size_t j = 1; j <= p; ++j) s = s + ((fi + slope * static_cast<double>(j)) - load_as<T>(f + i - j));
    } else {
        for (std::size_t j = 1; j <= p; ++j) s = s + (fi - load_as<T>(f + i - j));
    }
    return s / pd;
}

// The mean square's step and the output of window sum r. Reflex leaves 0.0
// where the mean square is not positive (NaN included); trendflex divides
// whenever it is not exactly zero.
template <bool Reflex>
double flex_output(double r, double& ms) {
    ms = (r * (r * 0.04)) + (ms * 0.96);
    const bool divide = Reflex ? ms > 0.0 : ms != 0.0;
    return divide ? r / std::sqrt(ms) : 0.0;
}

// reflex and trendflex over positions [first, n) of the smoothed series f
// (first >= p): the window sums several positions at a time, then the mean
// square's recurrence from ms (updated); position j's value goes to
// out[j - first].
template <bool Reflex>
void flex_run(const double* f, std::size_t first, std::size_t n, std::size_t p, double* out, double& ms) {
    const double pd = static_cast<double>(p);
    // out holds the window sums until the mean-square pass replaces them.
    blocked<Lanes<4>>(first, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        store_as<T>(out + (i - first), flex_window<Reflex, T>(f, i, p, pd));
    });
    double m = ms;
    for (std::size_t i = 0; i < n - first; ++i) out[i] = flex_output<Reflex>(out[i], m);
    ms = m;
}

// --------------------------------------------------------------------- itrend

struct Itrend {
    double c0, c2, h, q1, q2;

    explicit Itrend(double a) {
        const double t0 = (1.0 * a) * a;
        const double t1 = (3.0 * a) * a;
        c0 = a + t0 * (-0.25);
        c2 = a + t1 * (-0.25);
        h = 0.5 * t0;
        const double m = 1.0 - a;
        q2 = m * m;
        q1 = 2.0 * m;
    }
    // Positions 2 to 6: a weighted mean of the last three inputs.
    static double warm(double x, double x1, double x2) { return (x2 + (x + (x1 + x1))) * 0.25; }
    // Positions from 7 on.
    double step(double x, double x1, double x2, double it1, double it2) const {
        return ((((c0 * x) + (h * x1)) - (c2 * x2)) + (q1 * it1)) - (q2 * it2);
    }
    // The trigger from the trendline now and 20 positions before (or now,
    // before position 20), and the signal comparing the two.
    static double trigger(double it, double then) { return (it + it) - then; }
    static double signal(double t, double it) { return t > it ? 1.0 : (t < it ? -1.0 : 0.0); }
};

// The trendline over positions [first, n), first >= 7, from the inputs and
// its own two previous values in it[]: the batch loop, which a stream
// continues over a chunk (first >= 7 there too).
template <class V>
void itrend_run(const V& x, const Itrend& c, std::size_t first, std::size_t n, double* it) {
    for (std::size_t k = first; k < n; ++k) it[k] = c.step(x[k], x[k - 1], x[k - 2], it[k - 1], it[k - 2]);
}

// The trigger and signal of positions [first, n) from the trendline in
// it[], which reaches 20 positions back from position 20 on.
inline void itrend_signals(const double* it, std::size_t first, std::size_t n, double* signal, double* trigger) {
    for (std::size_t i = first; i < n; ++i) {
        const double v = it[i];
        const double t = Itrend::trigger(v, it[i >= 20 ? i - 20 : i]);
        trigger[i] = t;
        signal[i] = Itrend::signal(t, v);
    }
}

// ----------------------------------------------------------------------- voss

struct Voss {
    double k1, k2, s1;

    Voss(double p, double w) {
        const double f1 = std::cos(kTwoPi / p);
        const double g1 = std::cos(((w + w) * kPi) / p);
        s1 = (1.0 / g1) - std::sqrt((1.0 / (g1 * g1)) + (-1.0));
        k1 = (1.0 - s1) * 0.5;
        k2 = f1 * (s1 + 1.0);
    }
    double filter(double x, double x2, double f1, double f2) const { return ((k1 * (x - x2)) + (k2 * f1)) - (s1 * f2); }
    // The weights of the `order` previous outputs, oldest first.
    static std::vector<double> weights(std::size_t order) {
        std::vector<double> w(order);
        for (std::size_t q = 0; q < order; ++q) w[q] = static_cast<double>(q + 1) / static_cast<double>(order);
        return w;
    }
    static double scale(std::size_t order) { return (static_cast<double>(order) + 3.0) * 0.5; }
    // The output from the filter value and the `order` outputs before it
    // (past[0] the oldest).
    static double value(double c, double filt, const double* past, const double* weight, std::size_t order) {
        double sumc = -0.0;
        for (std::size_t q = 0; q < order; ++q) sumc = sumc + (weight[q] * past[q]);
        return (c * filt) - sumc;
    }
};

// ----------------------------------------------------------------------- edcf

// Squared distances of the value at x[0] to the p - 1 values before it.
template <class T>
[[gnu::always_inline]] inline T edcf_distance(const double* x, std::size_t p) {
    const T xi = load_as<T>(x);
    T s = zeros<T>();
    for (std::size_t k = 1; k < p; ++k) {
        const T d = xi - load_as<T>(x - k);
        s = s + d * d;
    }
    return s;
}

// The distance-weighted sum of the values and the sum of the distances,
// added up over the first window and then slid: they carry the rounding of
// every step since.
struct EdcfSums {
    double num = 0.0, den = 0.0;

    void add(double d, double x) {
        num = num + d * x;
        den = den + d;
    }
    void slide(double d_out, double x_out, double d_in, double x_in) {
        den = (den - d_out) + d_in;
        num = (num - d_out * x_out) + d_in * x_in;
    }
    double value() const { return den == 0.0 ? 0.0 : num / den; }
};

// The distances of positions [first, n) of x (first > p), several at a time.
inline void edcf_distances(const double* x, std::size_t first, std::size_t n, std::size_t p, double* dist) {
    blocked<Lanes<4>>(first, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        store_as<T>(dist + i, edcf_distance<T>(x + i, p));
    });
}

// The sums slid over positions [first, n) (first >= p), the values and
// distances p positions back leaving: the batch loop, which a stream
// continues over a chunk, the sums in a local the stores cannot change.
inline void edcf_slide(const double* x, const double* dist, std::size_t first, std::size_t n, std::size_t p,
                       EdcfSums& sums, double* out) {
    EdcfSums s = sums;
    for (std::size_t m = first; m < n; ++m) {
        const std::size_t o = m - p;
        s.slide(dist[o], x[o], dist[m], x[m]);
        out[m] = s.value();
    }
    sums = s;
}

// ---------------------------------------------------------- correlation cycle

// The cosine and sine tables of a window of L and their sums.
struct CorrelationTables {
    std::vector<double> c, s;
    double ld, sc = -0.0, ss = -0.0, vc, vs;

    explicit CorrelationTables(std::size_t L) : c(L), s(L), ld(static_cast<double>(L)) {
        for (std::size_t k = 0; k < L; ++k) {
            c[k] = std::cos(((static_cast<double>(k) + 1.0) * kTwoPi) / ld);
            s[k] = std::sin(((static_cast<double>(k) + 1.0) * (-kTwoPi)) / ld);
        }
        double scc = -0.0, sss = -0.0;
        for (std::size_t k = 0; k < L; ++k) sc = sc + c[k];
        for (std::size_t k = 0; k < L; ++k) ss = ss + s[k];
        for (std::size_t k = 0; k < L; ++k) scc = scc + c[k] * c[k];
        for (std::size_t k = 0; k < L; ++k) sss = sss + s[k] * s[k];
        vc = scc * ld - sc * sc;
        vc = vc > 0.0 ? std::sqrt(vc) : 0.0;
        vs = sss * ld - ss * ss;
        vs = vs > 0.0 ? std::sqrt(vs) : 0.0;
    }

    // The four sums of the window of values that ends just before `end`,
    // newest value first; the values have NaN replaced by 0.0.
    template <class T>
    [[gnu::always_inline]] void window(const double* end, T& sx, T& sxc, T& sxs, T& sxx) const {
        sx = sxc = sxs = sxx = zeros<T>();
        for (std::size_t k = 0; k < c.size(); ++k) {
            const T v = load_as<T>(end - 1 - k);
            sx = sx + v;
            sxc = sxc + c[k] * v;
            sxs = sxs + v * s[k];
            sxx = sxx + v * v;
        }
    }
    // The real and imaginary parts from a window's sums; left as they are
    // (NaN) where the window or a table has no variance.
    void values(double sx, double sxc, double sxs, double sxx, double& real, double& imag) const {
        const double d = sxx * ld - sx * sx;
        if (!(d > 0.0)) return;
        const double root = std::sqrt(d);
        if (vc > 0.0) real = (sxc * ld - sc * sx) / (vc * root);
        if (vs > 0.0) imag = (sxs * ld - ss * sx) / (vs * root);
    }
};

// The real and imaginary parts of positions [first, n) (first >= L) from
// the values xc (NaN as 0.0), each from the L values before it, into
// real[l - first] and imag[l - first]: two pairs of positions at a time (four
// sums of four pairs would not fit in the sixteen vector registers).
inline void correlation_windows(const CorrelationTables& tables, const double* xc, std::size_t first, std::size_t n,
                                double* real, double* imag) {
    blocked<Lanes<2>>(first, n, [&](std::size_t l, auto lanes) {
        using T = decltype(lanes);
        T sx, sxc, sxs, sxx;
        tables.window<T>(xc + l, sx, sxc, sxs, sxx);
        if constexpr (std::is_same_v<T, double>) {
            tables.values(sx, sxc, sxs, sxx, real[l - first], imag[l - first]);
        } else {
            for (std::size_t q = 0; q < T::width; ++q)
                tables.values(sx[q], sxc[q], sxs[q], sxx[q], real[l + q - first], imag[l + q - first]);
        }
    });
}

// The phase angle in degrees, kept from going backwards, and the state. The
// no-backward rule compares with the previous angle before its own
// correction; the state with the previous corrected angle. Both start NaN,
// which no comparison passes: position 0 has neither rule nor state.
struct CycleAngle {
    double raw = NaN, angle = NaN;

    double step(double re, double im, double threshold, double& state) {
        double a = NaN;
        if (!std::isnan(im)) {
            if (im == 0.0) {
                a = 0.0;
            } else {
                const double z = (std::atan(re / im) + kHalfPi) * kDegPerRad;
                a = im > 0.0 ? z - 180.0 : z;
            }
        }
        const double now_raw = a;
        if (raw > a && raw - a < 270.0) a = raw;
        state = std::fabs(a - angle) < threshold ? (a >= 0.0 ? 1.0 : -1.0) : 0.0;
        raw = now_raw;
        angle = a;
        return a;
    }
};

// ----------------------------------------------------------------------- mama

// The MESA adaptive average's state. The working series are read at most six
// positions back, so each lives in a ring of eight. Index 0 of every working
// series is 0.0 and is never overwritten before index 8, which is exactly
// when lags stop clamping.
struct MamaState {
    static constexpr std::size_t kRing = 8, kMask = kRing - 1;
    double smooth[kRing] = {}, det[kRing] = {}, q1s[kRing] = {}, i1s[kRing] = {};
    double i2 = 0.0, q2 = 0.0, re = 0.0, im = 0.0, period = 0.0, phase = 0.0, mama = 0.0, fama = 0.0;

    // Position i >= 1 from x[i], x[i-1], and x[i-2], x[i-3] clamped at
    // index 0; leaves mama and fama at position i.
    void step(std::size_t i, double x, double x1, double x2, double x3, double fl, double sl) {
        const std::size_t at = i & kMask;
        auto lag = [i](const double* ring, std::size_t k) { return ring[(i >= k ? i - k : 0) & kMask]; };
        smooth[at] = ((((4.0 * x) + (3.0 * x1)) + (x2 + x2)) + x3) / 10.0;
        const double k = (period * 0.075) + 0.54;
        auto hilbert = [&](const double* v) {
            return k * ((((v[at] * 0.0962) + (lag(v, 2) * 0.5769)) - (lag(v, 4) * 0.5769)) - (lag(v, 6) * 0.0962));
        };
        det[at] = hilbert(smooth);
        q1s[at] = hilbert(det);
        i1s[at] = lag(det, 3);
        const double ji = hilbert(i1s);
        const double jq = hilbert(q1s);
        const double q1 = q1s[at], i1 = i1s[at];

        const double i2_prev = i2, q2_prev = q2;
        i2 = ((i1 - jq) * 0.2) + (i2_prev * 0.8);
        q2 = ((q1 + ji) * 0.2) + (q2_prev * 0.8);
        re = (re * 0.8) + (((q2_prev * q2) + (i2 * i2_prev)) * 0.2);
        im = (((q2_prev * i2) - (q2 * i2_prev)) * 0.2) + (im * 0.8);

        const double pp = period;
        double q = pp;
        if (im != 0.0 && re != 0.0) q = kTwoPi / std::atan(im / re);
        if (q > 1.5 * pp) {
            q = 1.5 * pp;
        } else if (q < 0.67 * pp) {
            q = 0.67 * pp;
        }
        if (q < 6.0) q = 6.0;
        if (q > 50.0) q = 50.0;
        period = (pp * 0.8) + (q * 0.2);

        const double phase_prev = phase;
        phase = i1 == 0.0 ? 0.0 : (std::atan(q1 / i1) * 180.0) / kPi;
        const double delta = max_num(phase_prev - phase, 1.0);
        double a = fl / delta;
        a = max_num(a, sl);
        a = min_num(a, fl);

        mama = (x * a) + (mama * (1.0 - a));
        fama = (fama * (1.0 - a * 0.5)) + ((a * 0.5) * mama);
    }
};

// ------------------------------------------------------------------------ pma

// The weighted mean of the input at x[0] and the six before it.
template <class T>
[[gnu::always_inline]] inline T pma_weighted(const double* x) {
    auto at = [&](std::size_t k) { return load_as<T>(x - k); };
    const T x5 = at(5);
    return (at(6) + (((((7.0 * at(0) + 6.0 * at(1)) + 5.0 * at(2)) + 4.0 * at(3)) + 3.0 * at(4)) + (x5 + x5))) / 28.0;
}

// The prediction from the weighted mean at w[0] and the six before it.
template <class T>
[[gnu::always_inline]] inline T pma_predict(const double* w) {
    auto at = [&](std::size_t k) { return load_as<T>(w - k); };
    const T wi = at(0);
    const T w2 =
        (at(6) + (2.0 * at(5) + (3.0 * at(4) + (4.0 * at(3) + (5.0 * at(2) + (6.0 * at(1) + 7.0 * wi)))))) / 28.0;
    return (wi + wi) - w2;
}

// The trigger from the prediction at p[0] and the three before it. A NaN
// prediction gives a NaN trigger through its own term; NaN predecessors
// count as 0.0.
template <class T>
[[gnu::always_inline]] inline T pma_trigger(const double* p) {
    auto at = [&](std::size_t k) { return LaneTraits<T>::zero_nan(load_as<T>(p - k)); };
    const T pr = load_as<T>(p);
    const T p1 = at(1), p2 = at(2), p3 = at(3);
    return (p3 + ((p2 + p2) + ((4.0 * pr) + (3.0 * p1)))) / 10.0;
}

// pma's three passes over positions [first, n), first >= 6, each several
// positions at a time (no step feeds back into itself): the weighted means
// into w, the predictions from them, the triggers from those. Each reads the
// six (three) positions before its own, which the caller fills.
inline void pma_run(const double* x, double* w, double* predict, double* trigger, std::size_t first, std::size_t n) {
    blocked<Lanes<2>>(first, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        store_as<T>(w + i, pma_weighted<T>(x + i));
    });
    blocked<Lanes<2>>(first, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        store_as<T>(predict + i, pma_predict<T>(w + i));
    });
    // A NaN predict gives the NaN trigger that would otherwise be the fill.
    blocked<Lanes<2>>(first, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        store_as<T>(trigger + i, pma_trigger<T>(predict + i));
    });
}

}  // namespace korva::ehlers
