// Window-weighted and multi-stage smoothers. Each reproduces the host's
// earlier loop bit for bit, so every sum keeps the order written here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/sweeps.hpp"
#include "core.hpp"
#include "steps.hpp"
#include "weighted.hpp"

namespace korva::ma {
namespace {

constexpr std::size_t W = sizeof(Wide) / sizeof(double);

// Thirty-two outputs side by side, those at i .. i+31, into dst[0 .. 31]:
// sum over k = 0 .. m-1 of x[i-k] * w[k], newest value first, each lane one
// output's accumulator summed in the scalar order; with Divide, then divided
// by `denom`.
template <bool Divide = false>
[[gnu::always_inline]] inline void weighted_block(const double* x, const double* w, std::size_t m, std::size_t i,
                                                  double* dst, double denom = 1.0) {
    Wide s[4] = {};
    for (std::size_t k = 0; k < m; ++k) {
        const double* p = x + (i - k);
        const double wk = w[k];
#pragma GCC unroll 4
        for (std::size_t g = 0; g < 4; ++g) s[g] = s[g] + lanes_at<Wide>(p + g * W) * wk;
    }
#pragma GCC unroll 4
    for (std::size_t g = 0; g < 4; ++g) store_lanes(dst + g * W, Divide ? s[g] / denom : s[g]);
}

template <class V>
double weighted_one(const V& x, const double* w, std::size_t m, std::size_t i) {
    double s = 0.0;
    for (std::size_t k = 0; k < m; ++k) s = s + x[i - k] * w[k];
    return s;
}

// out[i] = sum over k = 0 .. m-1 of x[i-k] * w[k], newest value first, for
// i = first .. n-1 (first >= m-1), each output summed in that order.
template <class V>
[[gnu::always_inline]] inline void window_sums_lanes(const V& x, const double* w, std::size_t m, std::size_t first,
                                                     double* out) {
    const std::size_t n = x.size();
    std::size_t i = first;
    if constexpr (std::is_same_v<V, ContiguousView<double>>) {
        i = in_blocks<4 * W>(
            i, n, [&](std::size_t i) __attribute__((always_inline)) { weighted_block(x.p, w, m, i, out + i); });
    }
    for (; i < n; ++i) out[i] = weighted_one(x, w, m, i);
}

template <class V>
[[gnu::noinline]] void window_sums(const V& x, const double* w, std::size_t m, std::size_t first, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { window_sums_lanes(x, w, m, first, out); });
}

// The weights of the linear-weighted mean over p values, newest first, and
// their floating-point sum 1 + 2 + ... + p.
double linear_weights(std::uint64_t p, std::vector<double>& w) {
    w.resize(p);
    double denom = -0.0;
    for (std::size_t j = 1; j <= p; ++j) denom = denom + static_cast<double>(j);
    for (std::size_t k = 0; k < p; ++k) w[k] = static_cast<double>(p - k);
    return denom;
}

// out[i] = out[i] * 2.0 - lwm_p(x)[i] for every i, lwm_p being the
// zero-filled linear-weighted mean of x over p (0.0 before its first full
// window, and everywhere when p = 0 or p > n). Each output reads and writes
// only its own position of `out`, so no block may run twice.
template <class V>
[[gnu::always_inline]] inline void doubled_minus_lwm_lanes(const V& x, std::uint64_t p, double* out) {
    const std::size_t n = x.size();
    std::size_t i = 0;
    if (p != 0 && p - 1 < n) {
        std::vector<double> w;
        const double denom = linear_weights(p, w);
        for (; i < p - 1; ++i) out[i] = out[i] * 2.0 - 0.0;
        if constexpr (std::is_same_v<V, ContiguousView<double>>) {
            double lwm[4 * W];
            for (; i + 4 * W <= n; i += 4 * W) {
                weighted_block<true>(x.p, w.data(), p, i, lwm, denom);
                for (std::size_t u = 0; u < 4 * W; u += W) {
                    store_lanes(out + i + u, lanes_at<Wide>(out + i + u) * 2.0 - lanes_at<Wide>(lwm + u));
                }
            }
        }
        for (; i < n; ++i) out[i] = out[i] * 2.0 - weighted_one(x, w.data(), p, i) / denom;
    }
    for (; i < n; ++i) out[i] = out[i] * 2.0 - 0.0;
}

template <class V>
[[gnu::noinline]] void doubled_minus_lwm(const V& x, std::uint64_t p, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { doubled_minus_lwm_lanes(x, p, out); });
}

// The zero-filled linear-weighted mean of v over p, written over v itself.
[[gnu::always_inline]] inline void lwm_in_place_lanes(double* v, std::size_t n, std::uint64_t p) {
    if (p == 0 || p - 1 >= n) {
        std::fill_n(v, n, 0.0);
        return;
    }
    std::vector<double> w;
    const double denom = linear_weights(p, w);
    windows_in_place<4 * W>(
        v, n, p,
        [&](const double* x, std::size_t i)
            __attribute__((always_inline)) { weighted_block<true>(x, w.data(), p, i, v + i, denom); },
        [&](const double* x, std::size_t i) { v[i] = weighted_one(x, w.data(), p, i) / denom; });
    std::fill_n(v, p - 1, 0.0);
}

[[gnu::noinline]] void lwm_in_place(double* v, std::size_t n, std::uint64_t p) {
    simd::dispatch([&](auto) KORVA_LANES { lwm_in_place_lanes(v, n, p); });
}

// The weighted lane blocks (window sums, the linear-weighted mean in place
// and doubled less it) against one output at a time, on hostile values.
std::size_t weighted_window_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 300);
    const std::size_t n = x.size();
    const ContiguousView<double> view{x.data(), n};
    std::size_t bad = 0;
    const std::uint64_t periods[] = {1, 2, 7, 33};
    for (const std::uint64_t p : periods) {
        std::vector<double> w;
        const double denom = linear_weights(p, w);
        std::vector<double> sums(n), lwm = x, doubled = x, serial(n);
        window_sums(view, w.data(), p, p - 1, sums.data());
        lwm_in_place(lwm.data(), n, p);
        doubled_minus_lwm(view, p, doubled.data());
        for (std::size_t i = p - 1; i < n; ++i) serial[i] = weighted_one(view, w.data(), p, i);
        bad += rec::check::mismatches(sums.data() + p - 1, serial.data() + p - 1, n - p + 1);
        for (std::size_t i = p - 1; i < n; ++i) serial[i] = serial[i] / denom;
        bad += rec::check::mismatches(lwm.data() + p - 1, serial.data() + p - 1, n - p + 1);
        for (std::size_t i = p - 1; i < n; ++i) serial[i] = x[i] * 2.0 - serial[i];
        bad += rec::check::mismatches(doubled.data() + p - 1, serial.data() + p - 1, n - p + 1);
    }
    return bad;
}
KORVA_CHECK_KERNEL("weighted windows", weighted_window_mismatches)

// Power-weighted window: the input copied, then positions first .. n-1
// replaced by (1/W) * sum(x[i-k] * w[k]). `run` has been checked by the
// caller; the weights are built only then, so their count is below n.
template <class WeightOf>
Series power_weighted(SeriesView source, std::uint64_t period, std::size_t first, WeightOf weight_of) {
    Series out = detail::copy_of(source);
    const std::size_t m = period - 1;
    std::vector<double> w(m);
    double total = -0.0;
    for (std::size_t k = 0; k < m; ++k) {
        w[k] = weight_of(k);
        total = total + w[k];
    }
    if (total == 0.0) return out;
    const double inv = 1.0 / total;  // the reciprocal first, then one product per output
    with_view(source, [&](const auto& x) { window_sums(x, w.data(), m, first, out.data()); });
    for (std::size_t i = first; i < out.size(); ++i) out[i] = inv * out[i];
    return out;
}

// period >= 2 and n >= period + 2, written so that no huge period wraps.
bool window_fits(std::uint64_t period, std::size_t n) { return period >= 2 && period <= n && n - period >= 2; }

double distance(std::uint64_t period, std::size_t k) { return static_cast<double>(period) - static_cast<double>(k); }

// Linear-weighted mean of y over window p, newest value first, divided by
// the floating-point sum 1 + 2 + ... + p; positions before the first full
// window are 0.0, and so is everything when p = 0 or p > L.
template <class V>
void zero_filled_lwm(const V& y, std::uint64_t p, double* out) {
    const std::size_t len = y.size();
    std::fill_n(out, len, 0.0);
    if (p == 0 || p - 1 >= len) return;
    std::vector<double> w;
    const double denom = linear_weights(p, w);
    window_sums(y, w.data(), p, p - 1, out);
    for (std::size_t e = p - 1; e < len; ++e) out[e] = out[e] / denom;
}

}  // namespace

Series cwma(SeriesView source, std::uint64_t period) {
    if (!window_fits(period, source.size())) return detail::copy_of(source);
    return power_weighted(source, period, period + 1, [&](std::size_t k) {
        const double d = distance(period, k);
        return d * (d * d);
    });
}

Series sqwma(SeriesView source, std::uint64_t period) {
    if (!window_fits(period, source.size())) return detail::copy_of(source);
    return power_weighted(source, period, period + 1, [&](std::size_t k) {
        const double d = distance(period, k);
        return d * d;
    });
}

Series srwma(SeriesView source, std::uint64_t period) {
    if (!window_fits(period, source.size())) return detail::copy_of(source);
    return power_weighted(source, period, period + 1, [&](std::size_t k) { return std::sqrt(distance(period, k)); });
}

Series vpwma(SeriesView source, std::uint64_t period, double power) {
    if (!window_fits(period, source.size())) return detail::copy_of(source);
    return power_weighted(source, period, period + 1,
                          [&](std::size_t k) { return std::pow(distance(period, k), power); });
}

Series epma(SeriesView source, std::uint64_t period, std::uint64_t offset) {
    const std::size_t n = source.size();
    // period + offset + 1 < n, without letting the sum wrap.
    const bool runs = period >= 2 && period < n && offset < n - period && offset + 1 < n - period;
    if (!runs) return detail::copy_of(source);
    // Both are below n here, so the signed difference cannot overflow; the
    // weights fall to zero and below once k passes period - offset.
    const auto p = static_cast<std::int64_t>(period), o = static_cast<std::int64_t>(offset);
    return power_weighted(source, period, period + offset + 1,
                          [&](std::size_t k) { return static_cast<double>(p - o - static_cast<std::int64_t>(k)); });
}

Series hma(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n);
    if (n == 0) return out;
    // 2 * lwm(period / 2) - lwm(period), then its lwm over floor(sqrt(period)),
    // all formed in the output: no series-sized temporaries.
    with_view(source, [&](const auto& x) {
        zero_filled_lwm(x, period / 2, out.data());
        doubled_minus_lwm(x, period, out.data());
    });
    const auto s = static_cast<std::uint64_t>(std::floor(std::sqrt(static_cast<double>(period))));
    lwm_in_place(out.data(), n, s);
    return out;
}

Series nma(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period >= n || n - period < 2) return out;
    // Clamped prices (NaN and anything not above 1e-10 become 1e-10) and the
    // absolute differences of their scaled logarithms.
    std::vector<double> v(n), dif(n, 0.0);
    with_view(source, [&](const auto& x) {
        for (std::size_t i = 0; i < n; ++i) v[i] = x[i] > 1e-10 ? x[i] : 1e-10;
    });
    double prev = std::log(v[0]) * 1000.0;
    for (std::size_t j = 1; j < n; ++j) {
        const double lv = std::log(v[j]) * 1000.0;
        dif[j] = std::fabs(lv - prev);
        prev = lv;
    }
    std::vector<double> c(period);
    for (std::size_t k = 0; k < period; ++k) {
        c[k] = std::sqrt(static_cast<double>(k) + 1.0) - std::sqrt(static_cast<double>(k));
    }
    for (std::size_t i = period + 1; i < n; ++i) {
        double num = 0.0, den = 0.0;
        for (std::size_t k = 0; k < period; ++k) {
            den = den + dif[i - k];
            num = num + dif[i - k] * c[k];
        }
        const double ratio = den == 0.0 ? 0.0 : num / den;
        out[i] = ratio * v[i - period + 1] + (1.0 - ratio) * v[i - period];
    }
    return out;
}

Series jma(SeriesView source, std::uint64_t period, double phase, std::uint64_t power) {
    const JmaStep step(period, phase, power);
    Series out = detail::copy_of(source);
    const std::size_t n = out.size();
    if (n == 0) return out;
    JmaStep::State s;
    s.out = out[0];
    for (std::size_t i = 1; i < n; ++i) out[i] = step.next(s, out[i]);
    return out;
}

Series hwma(SeriesView source, double na, double nb, double nc) {
    const std::size_t n = source.size();
    Series out(n);
    if (n == 0) return out;
    const HwmaStep step(na, nb, nc);
    with_view(source, [&](const auto& x) {
        HwmaStep::State s{x[0], 0.0, 0.0};
        for (std::size_t i = 0; i < n; ++i) out[i] = step.next(s, x[i]);
    });
    return out;
}

Series mwdx(SeriesView source, double factor) {
    const EmaCoefficients c = mwdx_coefficients(factor);
    Series out = detail::copy_of(source);
    for (std::size_t i = 1; i < out.size(); ++i) out[i] = smooth(c, out[i - 1], out[i]);
    return out;
}

}  // namespace korva::ma
