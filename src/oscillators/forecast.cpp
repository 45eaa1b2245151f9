// Oscillators built from the positions inside a window: the least-squares
// forecast oscillators (fosc, cfo), the centre of gravity and the detrended
// price. Results are compared bit for bit with the host's earlier code, so
// every sum keeps its operation order.
#include "forecast.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "../helpers/errors.hpp"

namespace korva::osc {
namespace {

// Sums of the in-window positions 0 .. p-1 and of their squares, added in
// order as floats; shared by the two forecast oscillators.
struct PositionSums {
    double sx = 0.0, sxx = 0.0;
    explicit PositionSums(std::uint64_t p) {
        for (std::uint64_t j = 0; j < p; ++j) {
            const double x = static_cast<double>(j);
            sx = sx + x;
            sxx = sxx + x * x;
        }
    }
};

}  // namespace

Series fosc(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period;
    const double P = static_cast<double>(p);
    const PositionSums ps(p);
    const double sx = ps.sx, xm = sx / P, den = ps.sxx - sx * xm;
    with_view(source, [&](const auto& x) {
        auto write = [&](std::size_t e, double sy, double sxy) {
            const double slope = (sxy - sx * (sy / P)) / den;
            const double forecast = (P - 1.0) * slope + (sy / P - xm * slope);
            const double v = x[e];
            out[e] = v == 0.0 ? 0.0 : ((v - forecast) * 100.0) / v;
        };
        // Prefix sums of the values and of value x index. The prefix at the
        // window's left edge is rebuilt by a second accumulator with the same
        // additions in the same order, so it is bit-identical to the stored
        // prefix without keeping the whole series of them.
        double cs = 0.0, cw = 0.0;
        for (std::size_t k = 0; k < p; ++k) {
            cs = cs + x[k];
            cw = cw + x[k] * static_cast<double>(k);
        }
        write(p - 1, cs, cw);
        double ls = 0.0, lw = 0.0;
        for (std::size_t l = 0; l + p < n; ++l) {
            const std::size_t e = p + l;
            cs = cs + x[e];
            cw = cw + x[e] * static_cast<double>(e);
            ls = ls + x[l];
            lw = lw + x[l] * static_cast<double>(l);
            const double sy = cs - ls;
            write(e, sy, (cw - lw) - sy * static_cast<double>(l + 1));
        }
    });
    return out;
}

Series cfo(SeriesView source, std::uint64_t period, double scalar) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period;
    const double P = static_cast<double>(p);
    const PositionSums ps(p);
    const double sx = ps.sx, den = ps.sxx * P - sx * sx;
    with_view(source, [&](const auto& x) {
        double sy = 0.0, sxy = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            sy = sy + x[j];
            sxy = sxy + x[j] * static_cast<double>(j);
        }
        auto write = [&](std::size_t e) {
            const double b = (static_cast<double>(e) - P) + 1.0;  // the window's first index
            const double slope = (((sxy - b * sy) * P) - sx * sy) / den;
            const double forecast = (P - 1.0) * slope + (sy - sx * slope) / P;
            const double v = x[e];
            out[e] = v == 0.0 ? NaN : (scalar * (v - forecast)) / v;
        };
        write(p - 1);
        for (std::size_t l = 0; l + p < n; ++l) {
            const std::size_t e = p + l;
            const double neu = x[e], old = x[l];
            sy = sy + (neu - old);
            sxy = sxy + (neu * static_cast<double>(e) - old * static_cast<double>(l));
            write(e);
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
    auto value = [](double k1, double l, double o) { return l == 0.0 ? 0.0 : -(k1 * l - o) / l; };
    with_view(source, [&](const auto& x) {
        // The window at k holds the p-1 values x[k-p+2 .. k]; the first is at k = p+1.
        double l = 0.0, o = 0.0;
        for (std::size_t j = 3; j <= p + 1; ++j) {
            const double v = x[j];
            l = l + v;
            o = o + static_cast<double>(j) * v;
        }
        out[p + 1] = value(static_cast<double>(p + 1) + 1.0, l, o);
        for (std::size_t k = p + 2; k < n; ++k) {
            const double t = x[k], v = x[k - p + 1];
            l = l + (t - v);
            o = o + (t * static_cast<double>(k) - v * static_cast<double>(k - p + 1));
            out[k] = value(static_cast<double>(k) + 1.0, l, o);
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
            if (i >= p) s = s + (x[i] - x[i - p]);
            if (i >= p + half) out[i] = x[i - half - 1] - s / P;
        }
    });
    return out;
}
}  // namespace korva::osc
