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
        double s[4] = {cs, cw, 0.0, 0.0};
        line.run(x, p, p, 0, s, out.data() + p);
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
        line.run(x, p, p, 0, sy, sxy, out.data() + p);
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
        G::run(x, p, p + 2, 0, l, o, out.data() + p + 2);
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
    with_view(source, [&](const auto& x) {
        double s = 0.0;
        for (std::size_t i = 0; i < p; ++i) s = s + x[i];
        // The positions before p + half slide the sum only.
        std::size_t i = p;
        for (; i < n && i < p + half; ++i) Detrended::slide(s, x[i], x[i - p]);
        if (i < n) Detrended::run(x, p, i, s, out.data() + i);
    });
    return out;
}
}  // namespace korva::osc
