// Oscillators built from the positions inside a window: the least-squares
// forecast oscillators (fosc, cfo), the centre of gravity and the detrended
// price. Results are compared bit for bit with the host's earlier code, so
// every sum keeps its operation order.
#include "forecast.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "../helpers/errors.hpp"
#include "forecast_steps.hpp"

namespace korva::osc {

Series fosc(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period;
    const FoscLine line(p, PositionSums(p));
    with_view(source, [&](const auto& x) {
        // Prefix sums of the values and of value x index. The prefix at the
        // window's left edge is rebuilt by a second accumulator with the same
        // additions in the same order, so it is bit-identical to the stored
        // prefix without keeping the whole series of them.
        double cs = 0.0, cw = 0.0;
        for (std::size_t k = 0; k < p; ++k) add_weighted(cs, cw, x[k], k);
        out[p - 1] = line.value(x[p - 1], cs, cw);
        double ls = 0.0, lw = 0.0;
        for (std::size_t l = 0; l + p < n; ++l) {
            const std::size_t e = p + l;
            add_weighted(cs, cw, x[e], e);
            add_weighted(ls, lw, x[l], l);
            out[e] = line.value_later(x[e], cs, cw, ls, lw, l);
        }
    });
    return out;
}

Series cfo(SeriesView source, std::uint64_t period, double scalar) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period;
    const CfoLine line(p, PositionSums(p), scalar);
    with_view(source, [&](const auto& x) {
        double sy = 0.0, sxy = 0.0;
        for (std::size_t j = 0; j < p; ++j) add_weighted(sy, sxy, x[j], j);
        out[p - 1] = line.value(p - 1, x[p - 1], sy, sxy);
        for (std::size_t l = 0; l + p < n; ++l) {
            const std::size_t e = p + l;
            CfoLine::slide(sy, sxy, x[e], x[l], e, l);
            out[e] = line.value(e, x[e], sy, sxy);
        }
    });
    return out;
}

Series cg(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    // Computed when 2 <= period and period + 1 < n, written without the
    // addition so that a period near 2^64 cannot wrap.
    if (period < 2 || n < 3 || period > n - 2) return out;
    const std::size_t p = period;
    using G = CentreOfGravity;
    with_view(source, [&](const auto& x) {
        // The window at k holds the p-1 values x[k-p+2 .. k]; the first is at k = p+1.
        double l = 0.0, o = 0.0;
        for (std::size_t j = 3; j <= p + 1; ++j) G::seed(l, o, x[j], j);
        out[p + 1] = G::value(p + 1, l, o);
        for (std::size_t k = p + 2; k < n; ++k) {
            G::slide(l, o, x[k], x[k - p + 1], k, p);
            out[k] = G::value(k, l, o);
        }
    });
    return out;
}

Series dpo(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    // The running mean reads the series as one contiguous block.
    require_plain_slice(source);
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period, half = p / 2;
    const double P = static_cast<double>(p);
    with_view(source, [&](const auto& x) {
        double s = 0.0;
        for (std::size_t i = 0; i < p; ++i) s = s + x[i];
        for (std::size_t i = p - 1; i < n; ++i) {
            if (i >= p) Detrended::slide(s, x[i], x[i - p]);
            if (i >= p + half) out[i] = Detrended::value(x[i - half - 1], s, P);
        }
    });
    return out;
}
}  // namespace korva::osc
