// Recursive smoothing and pass filters. Each is an infinite-impulse-response
// recurrence whose first outputs are copies of the input; the coefficient
// formulas and the operation order of every step reproduce the host's earlier
// code bit for bit, so they are written out term by term. Inputs are read in
// place through the view (any stride); every recurrence carries its own
// previous inputs and outputs in registers.
#include "filters.hpp"

#include <cmath>
#include <cstddef>

#include "../helpers/errors.hpp"
#include "kernels.hpp"

namespace korva::ehlers {
namespace {

// Copies the first min(n, k) inputs: the positions a recurrence of order k
// cannot compute yet.
template <class V>
void copy_prefix(const V& x, double* out, std::size_t k) {
    for (std::size_t i = 0; i < x.size() && i < k; ++i) out[i] = x[i];
}

template <class V>
void super_smoother_3(const V& x, double p, double* out) {
    const std::size_t n = x.size();
    copy_prefix(x, out, 3);
    if (n <= 3) return;
    double o1 = out[2], o2 = out[1], o3 = out[0];
    super_smoother_3_run(x, SuperSmoother3(p), 3, n, out, o1, o2, o3);
}

template <class V>
void high_pass_2(const V& x, double p, double* out) {
    const std::size_t n = x.size();
    copy_prefix(x, out, 2);
    if (n <= 2) return;
    double x1 = x[1], x2 = x[0], o1 = out[1], o2 = out[0];
    high_pass_2_run(x, HighPass2(p), 2, n, out, x1, x2, o1, o2);
}

// Gaussian filter coefficients: d multiplies the input, e[0..3] the previous
// outputs.
struct GaussCoefficients {
    double d;
    double e[4];
};

GaussCoefficients gauss_coefficients(double p, std::uint64_t poles) {
    const double beta = (1.0 - std::cos(kTwoPi / p)) / (std::exp2(1.0 / static_cast<double>(poles)) + (-1.0));
    const double alpha = std::sqrt((beta * beta) + (beta + beta)) - beta;
    const double v = 1.0 - alpha;
    switch (poles) {
        case 1: return {alpha, {v, 0.0, 0.0, 0.0}};
        case 2: return {alpha * alpha, {v + v, -(v * v), 0.0, 0.0}};
        case 3: return {alpha * (alpha * alpha), {3.0 * v, -3.0 * (v * v), v * (v * v), 0.0}};
        default:
            return {(alpha * alpha) * (alpha * alpha),
                    {4.0 * v, -6.0 * (v * v), (v * (v * v)) * 4.0, -((v * v) * (v * v))}};
    }
}

// Filters the non-NaN values of x into out[first ..], with zero history
// before the first of them. Only the K terms the pole count defines are
// added: an unused term would still turn a zero of the wrong sign or a
// non-finite history into a different result.
template <int K, class V>
void gauss_run(const V& x, const GaussCoefficients& c, double* out) {
    const std::size_t n = x.size();
    double y1 = 0.0, y2 = 0.0, y3 = 0.0, y4 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double z = x[i];
        if (std::isnan(z)) continue;
        double j = c.e[0] * y1;
        if constexpr (K >= 2) j = j + c.e[1] * y2;
        if constexpr (K >= 3) j = j + c.e[2] * y3;
        if constexpr (K >= 4) j = j + c.e[3] * y4;
        const double y = (c.d * z) + j;
        *out++ = y;
        y4 = y3;
        y3 = y2;
        y2 = y1;
        y1 = y;
    }
}

}  // namespace

Series supersmoother(SeriesView source, std::uint64_t period) {
    Series out(source.n);
    with_view(source, [&](const auto& x) { super_smoother(x, static_cast<double>(period), out.data()); });
    return out;
}

Series supersmoother_3_pole(SeriesView source, std::uint64_t period) {
    Series out(source.n);
    with_view(source, [&](const auto& x) { super_smoother_3(x, static_cast<double>(period), out.data()); });
    return out;
}

Series high_pass(SeriesView source, std::uint64_t period) {
    Series out(source.n);
    with_view(source, [&](const auto& x) { high_pass_1(x, static_cast<double>(period), out.data()); });
    return out;
}

Series high_pass_2_pole(SeriesView source, std::uint64_t period) {
    Series out(source.n);
    with_view(source, [&](const auto& x) { high_pass_2(x, static_cast<double>(period), out.data()); });
    return out;
}

Series gauss(SeriesView source, std::uint64_t period, std::uint64_t poles) {
    const std::size_t n = source.n;
    Series out(n);
    with_view(source, [&](const auto& x) {
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) count += std::isnan(x[i]) ? 0 : 1;
        // The values are right-aligned: NaNs anywhere shift the filtered
        // values towards the end and leave NaN in front.
        const std::size_t first = n - count;
        for (std::size_t i = 0; i < first; ++i) out[i] = NaN;
        if (count == 0) return;
        // Zero poles select no coefficient at all; the host failed indexing
        // its empty coefficient list.
        if (poles == 0) index_out_of_range(0, 0);
        const GaussCoefficients c = gauss_coefficients(static_cast<double>(period), poles);
        double* dst = out.data() + first;
        switch (poles) {
            case 1: gauss_run<1>(x, c, dst); break;
            case 2: gauss_run<2>(x, c, dst); break;
            case 3: gauss_run<3>(x, c, dst); break;
            default: gauss_run<4>(x, c, dst); break;
        }
    });
    return out;
}

Tuple bandpass(SeriesView source, std::uint64_t period, double bandwidth) {
    const std::size_t n = source.n;
    Series bp(n), norm(n), signal(n), trigger(n);
    if (n == 0) return tuple_of(std::move(bp), std::move(norm), std::move(signal), std::move(trigger));
    const Bandpass c(static_cast<double>(period), bandwidth);
    with_view(source, [&](const auto& x) {
        auto store = [&](std::size_t i, const BandpassValues& v) {
            bp[i] = v.bp;
            norm[i] = v.norm;
            signal[i] = v.signal;
            trigger[i] = v.trigger;
        };
        BandpassState st;
        store(0, st.first(x[0]));
        for (std::size_t i = 1; i < n; ++i) store(i, st.next(c, x[i], i == 1));
    });
    return tuple_of(std::move(bp), std::move(norm), std::move(signal), std::move(trigger));
}

}  // namespace korva::ehlers
