// Cycle and predictive indicators. Every recurrence and every window sum keeps
// the host's operation order, because callers compare the results bit for bit
// with its earlier code. The window sums that cost O(n x period) (reflex,
// trendflex, the distance coefficients, the correlation sums) run several
// output positions at once: each lane is its own window with its own
// accumulator, summed in the same order as the scalar loop, so the lanes
// change the speed and never the bits.
#include "cycles.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "kernels.hpp"

namespace korva::ehlers {
namespace {

// Several output positions at a time, as SSE2-sized pairs: the baseline
// instruction set, with enough independent accumulators to hide the add
// latency. Lanes<N> holds 2N positions.

template <std::size_t N>
struct Lanes {
    static constexpr std::size_t width = 2 * N;
    Pair v[N];
    double operator[](std::size_t q) const { return v[q / 2][q % 2]; }
};

// Applies f to every pair index, expanded at compile time so that the pairs
// stay in registers rather than being looped over through memory.
template <std::size_t N, class F, std::size_t... I>
Lanes<N> pairwise(F f, std::index_sequence<I...>) {
    return Lanes<N>{{f(I)...}};
}
template <std::size_t N, class F>
Lanes<N> pairwise(F f) {
    return pairwise<N>(f, std::make_index_sequence<N>{});
}

#define KORVA_LANEWISE(op)                                                   \
    template <std::size_t N>                                                 \
    Lanes<N> operator op(const Lanes<N>& a, const Lanes<N>& b) {             \
        return pairwise<N>([&](std::size_t q) { return a.v[q] op b.v[q]; }); \
    }                                                                        \
    template <std::size_t N>                                                 \
    Lanes<N> operator op(const Lanes<N>& a, double b) {                      \
        return pairwise<N>([&](std::size_t q) { return a.v[q] op b; });      \
    }
KORVA_LANEWISE(+)
KORVA_LANEWISE(-)
KORVA_LANEWISE(*)
KORVA_LANEWISE(/)
#undef KORVA_LANEWISE
template <std::size_t N>
Lanes<N> operator*(double a, const Lanes<N>& b) {
    return pairwise<N>([&](std::size_t q) { return a * b.v[q]; });
}

template <class T>
struct LaneTraits;
template <>
struct LaneTraits<double> {
    [[maybe_unused]] static constexpr std::size_t width = 1;
    static double load(const double* p) { return *p; }
    static void store(double* p, double v) { *p = v; }
    static double zeros() { return 0.0; }
    static double zero_nan(double v) { return std::isnan(v) ? 0.0 : v; }
};
template <std::size_t N>
struct LaneTraits<Lanes<N>> {
    static constexpr std::size_t width = 2 * N;
    static Lanes<N> load(const double* p) {
        return pairwise<N>([&](std::size_t q) {
            Pair v;
            std::memcpy(&v, p + 2 * q, sizeof v);
            return v;
        });
    }
    static void store(double* p, const Lanes<N>& v) { std::memcpy(p, v.v, sizeof v.v); }
    // +0.0 in every lane.
    static Lanes<N> zeros() {
        return pairwise<N>([](std::size_t) { return Pair{0.0, 0.0}; });
    }
    // NaN lanes become +0.0: a lane compares equal to itself unless it is
    // NaN, and the all-ones mask keeps every other value's bits.
    static Lanes<N> zero_nan(const Lanes<N>& v) {
        using Mask = PairBits;
        return pairwise<N>([&](std::size_t q) {
            const Mask keep = v.v[q] == v.v[q];
            return reinterpret_cast<Pair>(reinterpret_cast<Mask>(v.v[q]) & keep);
        });
    }
};

template <class T>
T load_as(const double* p) {
    return LaneTraits<T>::load(p);
}
template <class T>
T zeros() {
    return LaneTraits<T>::zeros();
}
template <class T>
void store_as(double* p, const T& v) {
    LaneTraits<T>::store(p, v);
}

// Calls f(i, T{}) for whole blocks of positions from `first`, then
// f(i, double{}) for the positions left over at the end.
template <class T, class F>
void blocked(std::size_t first, std::size_t n, F&& f) {
    constexpr std::size_t w = LaneTraits<T>::width;
    std::size_t i = first;
    for (; n >= w && i <= n - w; i += w) f(i, T{});
    for (; i < n; ++i) f(i, 0.0);
}

// Contiguous copy of a series, for the windowed loops that read several
// positions per load.
std::vector<double> contiguous(const SeriesView& source) {
    std::vector<double> xs(source.n);
    with_view(source, [&](const auto& x) {
        for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = x[i];
    });
    return xs;
}

// ----------------------------------------------------------- reflex, trendflex

// Window sum of position i over the smoothed series f (p >= 1, i >= p),
// divided by p. Reflex measures each lag against the straight line from
// f[i-p] to f[i]; trendflex against f[i] itself.
template <bool Reflex, class T>
T flex_window(const double* f, std::size_t i, std::size_t p, double pd) {
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

template <bool Reflex>
Series flex(const SeriesView& source, std::uint64_t period) {
    const std::size_t n = source.n;
    Series out(n, 0.0);
    if (period >= n) return out;
    // The host read the mean square of position -1 here.
    if (period == 0) index_out_of_range(std::numeric_limits<std::size_t>::max(), n);
    const std::size_t p = period;
    const double pd = static_cast<double>(p);

    std::vector<double> f(n);
    with_view(source, [&](const auto& x) { super_smoother(x, pd * 0.5, f.data()); });

    // out[i] holds r[i] until the mean-square pass below replaces it.
    blocked<Lanes<4>>(p, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        store_as<T>(out.data() + i, flex_window<Reflex, T>(f.data(), i, p, pd));
    });

    double ms = 0.0;
    for (std::size_t i = p; i < n; ++i) {
        const double r = out[i];
        ms = (r * (r * 0.04)) + (ms * 0.96);
        // Reflex leaves 0.0 where the mean square is not positive (NaN
        // included); trendflex divides whenever it is not exactly zero.
        const bool divide = Reflex ? ms > 0.0 : ms != 0.0;
        out[i] = divide ? r / std::sqrt(ms) : 0.0;
    }
    return out;
}

// ---------------------------------------------------------------- correlation

// The four sums of the window that ends just before position l, newest value
// first; xc has NaN replaced by 0.0.
template <class T>
void correlation_window(const double* xc, std::size_t l, const std::vector<double>& c, const std::vector<double>& s,
                        T& sx, T& sxc, T& sxs, T& sxx) {
    sx = sxc = sxs = sxx = zeros<T>();
    for (std::size_t k = 0; k < c.size(); ++k) {
        const T v = load_as<T>(xc + (l - 1 - k));
        sx = sx + v;
        sxc = sxc + c[k] * v;
        sxs = sxs + v * s[k];
        sxx = sxx + v * v;
    }
}

}  // namespace

Series reflex(SeriesView source, std::uint64_t period) { return flex<true>(source, period); }

Series trendflex(SeriesView source, std::uint64_t period) { return flex<false>(source, period); }

Tuple itrend(SeriesView source, double alpha) {
    const std::size_t n = source.n;
    Series signal(n), it(n), trigger(n);
    const double a = alpha;
    const double t0 = (1.0 * a) * a;
    const double t1 = (3.0 * a) * a;
    const double c0 = a + t0 * (-0.25);
    const double c2 = a + t1 * (-0.25);
    const double h = 0.5 * t0;
    const double m = 1.0 - a;
    const double q2 = m * m;
    const double q1 = 2.0 * m;
    with_view(source, [&](const auto& x) {
        for (std::size_t k = 0; k < n && k < 2; ++k) it[k] = x[k];
        for (std::size_t k = 2; k < n && k < 7; ++k) it[k] = (x[k - 2] + (x[k] + (x[k - 1] + x[k - 1]))) * 0.25;
        for (std::size_t k = 7; k < n; ++k) {
            it[k] = ((((c0 * x[k]) + (h * x[k - 1])) - (c2 * x[k - 2])) + (q1 * it[k - 1])) - (q2 * it[k - 2]);
        }
    });
    for (std::size_t i = 0; i < n; ++i) {
        const double v = it[i];
        const double t = (v + v) - it[i >= 20 ? i - 20 : i];
        trigger[i] = t;
        signal[i] = t > v ? 1.0 : (t < v ? -1.0 : 0.0);
    }
    return tuple_of(std::move(signal), std::move(it), std::move(trigger));
}

Tuple voss(SeriesView source, std::uint64_t period, std::uint64_t predict, double bandwidth) {
    const std::size_t n = source.n;
    Series out(n, 0.0), filt(n, 0.0);
    // Nothing past max(period, 3 * predict, 5) is computed; comparing before
    // multiplying keeps a huge `predict` from wrapping.
    if (period >= n || predict >= n) return tuple_of(std::move(out), std::move(filt));
    const std::size_t order = 3 * static_cast<std::size_t>(predict);
    const std::size_t start = std::max<std::size_t>({static_cast<std::size_t>(period), order, 5});
    if (start >= n) return tuple_of(std::move(out), std::move(filt));

    const double p = static_cast<double>(period);
    const double w = bandwidth;
    const double f1 = std::cos(kTwoPi / p);
    const double g1 = std::cos(((w + w) * kPi) / p);
    const double s1 = (1.0 / g1) - std::sqrt((1.0 / (g1 * g1)) + (-1.0));
    const double k1 = (1.0 - s1) * 0.5;
    const double k2 = f1 * (s1 + 1.0);
    with_view(source, [&](const auto& x) {
        for (std::size_t i = start + 1; i < n; ++i) {
            filt[i] = ((k1 * (x[i] - x[i - 2])) + (k2 * filt[i - 1])) - (s1 * filt[i - 2]);
        }
    });

    const double c = (static_cast<double>(order) + 3.0) * 0.5;
    std::vector<double> weight(order);
    for (std::size_t q = 0; q < order; ++q) weight[q] = static_cast<double>(q + 1) / static_cast<double>(order);
    for (std::size_t j = start + 1; j < n; ++j) {
        const double* past = out.data() + (j - order);
        double sumc = -0.0;
        for (std::size_t q = 0; q < order; ++q) sumc = sumc + (weight[q] * past[q]);
        out[j] = (c * filt[j]) - sumc;
    }
    return tuple_of(std::move(out), std::move(filt));
}

Series edcf(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.n;
    Series out(n, NaN);
    // n <= 2 * period, written so that a huge period cannot wrap.
    if (period < 2 || period >= n || n - period <= period) return out;
    const std::size_t p = period;
    const std::vector<double> xs = contiguous(source);
    const double* x = xs.data();

    // Squared distances of each value to the p - 1 values before it; only
    // positions p + 1 onwards enter a window.
    std::vector<double> dist(n, 0.0);
    blocked<Lanes<4>>(p + 1, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        const T xi = load_as<T>(x + i);
        T s = zeros<T>();
        for (std::size_t k = 1; k < p; ++k) {
            const T d = xi - load_as<T>(x + i - k);
            s = s + d * d;
        }
        store_as<T>(dist.data() + i, s);
    });

    double num = 0.0, den = 0.0;
    for (std::size_t j = p + 1; j <= 2 * p; ++j) {
        num = num + dist[j] * x[j];
        den = den + dist[j];
    }
    out[2 * p] = den == 0.0 ? 0.0 : num / den;
    for (std::size_t m = 2 * p + 1; m < n; ++m) {
        const std::size_t o = m - p;
        den = (den - dist[o]) + dist[m];
        num = (num - dist[o] * x[o]) + dist[m] * x[m];
        out[m] = den == 0.0 ? 0.0 : num / den;
    }
    return out;
}

Tuple correlation_cycle(SeriesView source, std::uint64_t period, double threshold) {
    const std::size_t n = source.n;
    Series real(n, NaN), imag(n, NaN), angle(n, NaN), state(n, 0.0);
    const std::uint64_t len = std::max<std::uint64_t>(period, 2);
    // No window fits: every position keeps its fill (and no table is built
    // for a huge period).
    if (len >= n) return tuple_of(std::move(real), std::move(imag), std::move(angle), std::move(state));
    const std::size_t L = len;
    const double ld = static_cast<double>(L);

    std::vector<double> c(L), s(L);
    double sc = -0.0, ss = -0.0, scc = -0.0, sss = -0.0;
    for (std::size_t k = 0; k < L; ++k) {
        c[k] = std::cos(((static_cast<double>(k) + 1.0) * kTwoPi) / ld);
        s[k] = std::sin(((static_cast<double>(k) + 1.0) * (-kTwoPi)) / ld);
    }
    for (std::size_t k = 0; k < L; ++k) sc = sc + c[k];
    for (std::size_t k = 0; k < L; ++k) ss = ss + s[k];
    for (std::size_t k = 0; k < L; ++k) scc = scc + c[k] * c[k];
    for (std::size_t k = 0; k < L; ++k) sss = sss + s[k] * s[k];
    double vc = scc * ld - sc * sc;
    vc = vc > 0.0 ? std::sqrt(vc) : 0.0;
    double vs = sss * ld - ss * ss;
    vs = vs > 0.0 ? std::sqrt(vs) : 0.0;

    // The window never includes the value at l itself, so the last value is
    // never read.
    std::vector<double> xc = contiguous(source);
    for (double& v : xc) v = std::isnan(v) ? 0.0 : v;

    auto finish = [&](std::size_t l, double sx, double sxc, double sxs, double sxx) {
        const double d = sxx * ld - sx * sx;
        if (!(d > 0.0)) return;
        const double root = std::sqrt(d);
        if (vc > 0.0) real[l] = (sxc * ld - sc * sx) / (vc * root);
        if (vs > 0.0) imag[l] = (sxs * ld - ss * sx) / (vs * root);
    };
    // Two pairs per block: four sums of four pairs would not fit in the
    // sixteen vector registers.
    blocked<Lanes<2>>(L, n, [&](std::size_t l, auto lanes) {
        using T = decltype(lanes);
        T sx, sxc, sxs, sxx;
        correlation_window<T>(xc.data(), l, c, s, sx, sxc, sxs, sxx);
        if constexpr (std::is_same_v<T, double>) {
            finish(l, sx, sxc, sxs, sxx);
        } else {
            for (std::size_t q = 0; q < T::width; ++q) finish(l + q, sx[q], sxc[q], sxs[q], sxx[q]);
        }
    });

    // Phase angle in degrees, then the no-backward rule, which compares with
    // the previous angle before its own correction.
    double prev_raw = NaN;
    for (std::size_t i = 0; i < n; ++i) {
        const double im = imag[i];
        double a = NaN;
        if (!std::isnan(im)) {
            if (im == 0.0) {
                a = 0.0;
            } else {
                const double z = (std::atan(real[i] / im) + kHalfPi) * kDegPerRad;
                a = im > 0.0 ? z - 180.0 : z;
            }
        }
        const double raw = a;
        if (i >= 1 && prev_raw > a && prev_raw - a < 270.0) a = prev_raw;
        angle[i] = a;
        prev_raw = raw;
        if (i >= 1 && std::fabs(a - angle[i - 1]) < threshold) state[i] = a >= 0.0 ? 1.0 : -1.0;
    }
    return tuple_of(std::move(real), std::move(imag), std::move(angle), std::move(state));
}

Tuple mama(SeriesView source, double fastlimit, double slowlimit) {
    const std::size_t n = source.n;
    Series out(n, 0.0), fama(n, 0.0);
    if (n <= 1) return tuple_of(std::move(out), std::move(fama));

    // The working series are read at most six positions back, so each lives
    // in a ring of eight. Index 0 of every working series is 0.0 and is never
    // overwritten before index 8, which is exactly when lags stop clamping.
    constexpr std::size_t kRing = 8, kMask = kRing - 1;
    double smooth[kRing] = {}, det[kRing] = {}, q1s[kRing] = {}, i1s[kRing] = {};
    auto lag = [](const double* ring, std::size_t i, std::size_t k) { return ring[(i >= k ? i - k : 0) & kMask]; };
    double i2 = 0.0, q2 = 0.0, re = 0.0, im = 0.0, period = 0.0, phase = 0.0;
    const double fl = fastlimit, sl = slowlimit;

    with_view(source, [&](const auto& x) {
        for (std::size_t i = 1; i < n; ++i) {
            const std::size_t at = i & kMask;
            const double x2 = x[i >= 2 ? i - 2 : 0];
            const double x3 = x[i >= 3 ? i - 3 : 0];
            smooth[at] = ((((4.0 * x[i]) + (3.0 * x[i - 1])) + (x2 + x2)) + x3) / 10.0;
            const double k = (period * 0.075) + 0.54;
            auto hilbert = [&](const double* v) {
                return k * ((((v[at] * 0.0962) + (lag(v, i, 2) * 0.5769)) - (lag(v, i, 4) * 0.5769)) -
                            (lag(v, i, 6) * 0.0962));
            };
            det[at] = hilbert(smooth);
            q1s[at] = hilbert(det);
            i1s[at] = lag(det, i, 3);
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

            out[i] = (x[i] * a) + (out[i - 1] * (1.0 - a));
            fama[i] = (fama[i - 1] * (1.0 - a * 0.5)) + ((a * 0.5) * out[i]);
        }
    });
    return tuple_of(std::move(out), std::move(fama));
}

Tuple pma(SeriesView source) {
    const std::size_t n = source.n;
    if (n <= 6) return tuple_of(Series(n, NaN), Series(n, NaN));
    // Every position from 6 on is written below; only the prefix is filled.
    Series predict(n), trigger(n);
    std::fill_n(predict.data(), 6, NaN);
    std::fill_n(trigger.data(), 6, NaN);
    // No step feeds back into itself, so each pass runs several positions
    // at a time.
    std::vector<double> copy;
    const double* x = reinterpret_cast<const double*>(source.base);
    if (!source.unit_stride()) {
        copy = contiguous(source);
        x = copy.data();
    }
    // Positions of w before 6 are 0.0.
    const std::unique_ptr<double[]> w(new double[n]);
    std::fill_n(w.get(), 6, 0.0);
    blocked<Lanes<2>>(6, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        auto at = [&](std::size_t k) { return load_as<T>(x + (i - k)); };
        const T x5 = at(5);
        const T v =
            (at(6) + (((((7.0 * at(0) + 6.0 * at(1)) + 5.0 * at(2)) + 4.0 * at(3)) + 3.0 * at(4)) + (x5 + x5))) / 28.0;
        store_as<T>(w.get() + i, v);
    });
    blocked<Lanes<2>>(6, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        auto at = [&](std::size_t k) { return load_as<T>(w.get() + (i - k)); };
        const T wi = at(0);
        const T w2 =
            (at(6) + (2.0 * at(5) + (3.0 * at(4) + (4.0 * at(3) + (5.0 * at(2) + (6.0 * at(1) + 7.0 * wi)))))) / 28.0;
        store_as<T>(predict.data() + i, (wi + wi) - w2);
    });
    // A NaN predict gives a NaN trigger through its own term, which is the
    // fill it would otherwise keep; NaN predecessors count as 0.0.
    blocked<Lanes<2>>(6, n, [&](std::size_t i, auto lanes) {
        using T = decltype(lanes);
        auto at = [&](std::size_t k) { return LaneTraits<T>::zero_nan(load_as<T>(predict.data() + (i - k))); };
        const T pr = load_as<T>(predict.data() + i);
        const T p1 = at(1), p2 = at(2), p3 = at(3);
        store_as<T>(trigger.data() + i, (p3 + ((p2 + p2) + ((4.0 * pr) + (3.0 * p1)))) / 10.0);
    });
    return tuple_of(std::move(predict), std::move(trigger));
}

}  // namespace korva::ehlers
