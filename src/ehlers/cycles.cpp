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
#include "cycle_steps.hpp"
#include "kernels.hpp"
#include "pair_lanes.hpp"

namespace korva::ehlers {
namespace {

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

    double ms = 0.0;
    flex_run<Reflex>(f.data(), p, n, p, out.data() + p, ms);
    return out;
}

}  // namespace

Series reflex(SeriesView source, std::uint64_t period) { return flex<true>(source, period); }

Series trendflex(SeriesView source, std::uint64_t period) { return flex<false>(source, period); }

Tuple itrend(SeriesView source, double alpha) {
    const std::size_t n = source.n;
    Series signal(n), it(n), trigger(n);
    const Itrend c(alpha);
    with_view(source, [&](const auto& x) {
        for (std::size_t k = 0; k < n && k < 2; ++k) it[k] = x[k];
        for (std::size_t k = 2; k < n && k < 7; ++k) it[k] = Itrend::warm(x[k], x[k - 1], x[k - 2]);
        itrend_run(x, c, 7, n, it.data());
    });
    itrend_signals(it.data(), 0, n, signal.data(), trigger.data());
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

    const Voss v(static_cast<double>(period), bandwidth);
    with_view(source, [&](const auto& x) {
        for (std::size_t i = start + 1; i < n; ++i) filt[i] = v.filter(x[i], x[i - 2], filt[i - 1], filt[i - 2]);
    });

    const double c = Voss::scale(order);
    const std::vector<double> weight = Voss::weights(order);
    for (std::size_t j = start + 1; j < n; ++j) {
        out[j] = Voss::value(c, filt[j], out.data() + (j - order), weight.data(), order);
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
    edcf_distances(x, p + 1, n, p, dist.data());

    EdcfSums sums;
    for (std::size_t j = p + 1; j <= 2 * p; ++j) sums.add(dist[j], x[j]);
    out[2 * p] = sums.value();
    edcf_slide(x, dist.data(), 2 * p + 1, n, p, sums, out.data());
    return out;
}

Tuple correlation_cycle(SeriesView source, std::uint64_t period, double threshold) {
    const std::size_t n = source.n;
    Series real(n, NaN), imag(n, NaN), angle(n, NaN), state(n, 0.0);
    const std::uint64_t len = std::max<std::uint64_t>(period, 2);
    // No window fits: every position keeps its fill (and no table is built
    // for a huge period).
    if (len >= n) return tuple_of(std::move(real), std::move(imag), std::move(angle), std::move(state));
    const CorrelationTables tables(static_cast<std::size_t>(len));

    // The window never includes the value at l itself, so the last value is
    // never read.
    std::vector<double> xc = contiguous(source);
    for (double& v : xc) v = std::isnan(v) ? 0.0 : v;

    const std::size_t first = static_cast<std::size_t>(len);
    correlation_windows(tables, xc.data(), first, n, real.data() + first, imag.data() + first);

    CycleAngle phase;
    for (std::size_t i = 0; i < n; ++i) angle[i] = phase.step(real[i], imag[i], threshold, state[i]);
    return tuple_of(std::move(real), std::move(imag), std::move(angle), std::move(state));
}

Tuple mama(SeriesView source, double fastlimit, double slowlimit) {
    const std::size_t n = source.n;
    Series out(n, 0.0), fama(n, 0.0);
    if (n <= 1) return tuple_of(std::move(out), std::move(fama));

    MamaState st;
    with_view(source, [&](const auto& x) {
        for (std::size_t i = 1; i < n; ++i) {
            st.step(i, x[i], x[i - 1], x[i >= 2 ? i - 2 : 0], x[i >= 3 ? i - 3 : 0], fastlimit, slowlimit);
            out[i] = st.mama;
            fama[i] = st.fama;
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
    pma_run(x, w.get(), predict.data(), trigger.data(), 6, n);
    return tuple_of(std::move(predict), std::move(trigger));
}

}  // namespace korva::ehlers
