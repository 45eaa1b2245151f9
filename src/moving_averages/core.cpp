// Core averages. Every function reproduces the host's earlier NumPy code bit
// for bit; the kernels in helpers/smoothing.hpp fix the operation order.
#include "core.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/sweeps.hpp"
#include "steps.hpp"

namespace korva::ma {
namespace {

// Output rows of the weighted mean computed thirty-two at a time: each lane
// is its own accumulator summed in index order, so rounding is unchanged;
// four independent vector chains hide the latency of the additions.
// The windows ending at positions from .. n-1 (from >= p - 1) go to
// out[i - from]: a stream runs it over its kept values and a new chunk.
template <class V>
[[gnu::always_inline]] inline void weighted_means_lanes(const V& x, std::uint64_t p, std::size_t from, double* out) {
    const std::size_t n = x.size();
    // p(p + 1) is even, so the integer division is exact, as in the host's code.
    const double denom = static_cast<double>((p + p * p) / 2);  // NOLINT(bugprone-integer-division)
    std::size_t i = from;
    if constexpr (std::is_same_v<V, ContiguousView<double>>) {
        constexpr std::size_t W = sizeof(Wide) / sizeof(double);
        i = in_blocks<4 * W>(
            i, n, [&](std::size_t i) __attribute__((always_inline)) {
                const double* first = x.p + (i + 1 - p);
                Wide s0 = {}, s1 = {}, s2 = {}, s3 = {};
                for (std::uint64_t j = 0; j < p; ++j) {
                    const double w = static_cast<double>(j + 1);
                    s0 = s0 + lanes_at<Wide>(first + j) * w;
                    s1 = s1 + lanes_at<Wide>(first + j + W) * w;
                    s2 = s2 + lanes_at<Wide>(first + j + 2 * W) * w;
                    s3 = s3 + lanes_at<Wide>(first + j + 3 * W) * w;
                }
                double* o = out + (i - from);
                store_lanes(o, s0 / denom);
                store_lanes(o + W, s1 / denom);
                store_lanes(o + 2 * W, s2 / denom);
                store_lanes(o + 3 * W, s3 / denom);
            });
    }
    for (; i < n; ++i) out[i - from] = linear_weighted_mean(x, i, p);
}

template <class V>
[[gnu::noinline]] void weighted_means(const V& x, std::uint64_t p, std::size_t from, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { weighted_means_lanes(x, p, from, out); });
}

// Every stage seeded with x[0]; positions 1 .. n-1 written to out.
template <class Step, class V>
void chain_from_first(const Step& step, const V& x, double* out) {
    double s[Step::kState];
    for (double& v : s) v = x[0];
    double* o[1] = {out};
    rec::run_view(step, x, o, 1, x.size(), s);
}

KORVA_CHECK_STEP("ema", ChainStep<1, 1>{ema_coefficients(30)})
KORVA_CHECK_STEP("wilders", ChainStep<1, 1>{wilder_coefficients(14)})
KORVA_CHECK_STEP("dema", DemaStep{{ema_coefficients(30)}})
KORVA_CHECK_STEP("tema", TemaStep{{ema_coefficients(30)}})

}  // namespace

Series sma(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    if (period == 0 || n < period) return Series(n, NaN);  // a zero window never counts a value
    Series out(n);
    std::fill_n(out.data(), period - 1, NaN);
    with_view(source, [&](const auto& x) {
        RollingMean m;
        m.start(x, period);
        out[period - 1] = m.mean();
        slide_mean(x, period, period, n, m, out.data() + period);
    });
    return out;
}

double sma_last(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    if (n == 0) empty_last_index();
    if (period == 0 || n < period) return NaN;
    return with_view(source, [&](const auto& x) {
        // First as if there were no NaN: the count is then constant and the
        // NaN tests vanish; (s - old) + new rounds exactly like new + (s -
        // old). Whether a NaN was met is noted beside the sum's dependency
        // chain, where it costs nothing, instead of in a pass of its own.
        double s = 0.0;
        bool nan = false;
        for (std::size_t i = 0; i < period; ++i) {
            const double v = x[i];
            nan |= v != v;
            s = s + v;
        }
        for (std::size_t i = 0; i + period < n; ++i) {
            const double v = x[i + period];
            nan |= v != v;
            s = (s - x[i]) + v;
        }
        if (!nan) return s / static_cast<double>(period);
        RollingMean m;
        m.start(x, period);
        for (std::size_t i = 0; i + period < n; ++i) m.slide(x[i], x[i + period]);
        return m.mean();
    });
}

Series ema(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    if (n == 0 || n < period) return Series(n, NaN);
    Series out(n);
    with_view(source, [&](const auto& x) { seeded_recurrence(x, n, ema_coefficients(period), out.data()); });
    return out;
}

double ema_last(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    if (n == 0) empty_last_index();
    if (n < period) return NaN;
    const EmaCoefficients c = ema_coefficients(period);
    return with_view(source, [&](const auto& x) { return recurrence_from(x, 1, n, c, x[0], nullptr); });
}

Series smma(SeriesView source, std::uint64_t length) {
    if (length == 0) index_out_of_range(static_cast<std::size_t>(-1), source.size());
    const std::size_t n = source.size();
    if (n < length) return Series(n, NaN);
    Series out(n);  // every position is written: NaN before the seed
    std::fill_n(out.data(), length - 1, NaN);
    const EmaCoefficients c = wilder_coefficients(length);
    with_view(source, [&](const auto& x) {
        PlainMean seed;
        for (std::size_t i = 0; i < length; ++i) seed.add(x[i]);
        const double s = seed.mean(length);
        out[length - 1] = s;
        recurrence_from(x, length, n, c, s, out.data());
    });
    return out;
}

Series rma(SeriesView source, std::uint64_t length) {
    const std::size_t n = source.size();
    if (n == 0) index_out_of_range(0, 0);
    const EmaCoefficients c = wilder_coefficients(length);
    Series out(n);
    with_view(source, [&](const auto& x) {
        // Seeded with the last element: the host's earlier code did
        // `newseries[-1] = source[-1]` before the first step.
        const double e = smooth(c, x[n - 1], x[0]);
        out[0] = e;
        recurrence_from(x, 1, n, c, e, out.data());
    });
    return out;
}

Series wilders(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n);
    with_view(source, [&](const auto& x) { seeded_recurrence(x, n, wilder_coefficients(period), out.data()); });
    return out;
}

Series wma(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    if (period == 0 || period > n) return Series(n, NaN);
    Series out(n);
    std::fill_n(out.data(), period - 1, NaN);
    with_view(source, [&](const auto& x) { weighted_means(x, period, period - 1, out.data() + (period - 1)); });
    return out;
}

void wma_from(ContiguousView<double> x, std::uint64_t period, std::size_t from, double* out) {
    const std::size_t n = x.size();
    if (period == 0 || period > n) {
        std::fill_n(out, n - from, NaN);
        return;
    }
    const std::size_t first = std::max<std::size_t>(from, period - 1);
    std::fill_n(out, first - from, NaN);
    weighted_means(x, period, first, out + (first - from));
}

Series dema(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n);
    if (n == 0) return out;
    if (n == 1) {
        out[0] = source[0];
        return out;
    }
    const EmaCoefficients c = ema_coefficients(period);
    with_view(source, [&](const auto& x) {
        out[0] = DemaStep::first(x[0]);
        chain_from_first(DemaStep{{c}}, x, out.data());
    });
    return out;
}

Series tema(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n);
    if (n == 0) return out;
    const EmaCoefficients c = ema_coefficients(period);
    with_view(source, [&](const auto& x) {
        out[0] = TemaStep::first(x[0]);
        chain_from_first(TemaStep{{c}}, x, out.data());
    });
    return out;
}

Series zlema(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period >= n) return out;
    // A zero period gives lag = (0 - 1) / 2, an index far past the input.
    const std::uint64_t lag = (period - 1) / 2;
    if (lag >= n) index_out_of_range(static_cast<std::size_t>(lag), n);
    const EmaCoefficients c = ema_coefficients(period);
    with_view(source, [&](const auto& x) {
        double e = zlema_input(x[lag], x[0]);
        out[lag] = e;
        zlema_run(x, lag, lag + 1, c, e, out.data() + lag + 1);
    });
    return out;
}

}  // namespace korva::ma
