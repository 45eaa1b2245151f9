// Statistical indicators. Every sum below runs left to right in index order
// and every window is summed afresh where the host did so: callers compare
// the results bit for bit with the host's earlier code.
#include "statistics.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/true_range.hpp"
#include "kernels.hpp"

namespace korva::statistical {
namespace {

// The least-squares line of one window: dx[k] = k - xm, Sxx their sum of
// squares.
struct LineFit {
    const double* dx;
    std::size_t p;
    double pd, xm, sxx;
};

// The line's value at the end of the window starting at `first`: the mean,
// then the slope's sum of products, each in index order.
template <class V>
double line_value_of(const V& x, std::size_t first, const LineFit& f) {
    double sum = 0.0;
    for (std::size_t k = 0; k < f.p; ++k) sum = sum + x[first + k];
    const double mean = sum / f.pd;
    double sxy = 0.0;
    for (std::size_t k = 0; k < f.p; ++k) sxy = sxy + f.dx[k] * (x[first + k] - mean);
    return mean + f.xm * (sxy / f.sxx);
}

// Line values at the ends of neighbouring windows, several per step, from
// window end i on while whole groups fit; returns the first end not done.
// Each lane sums its own window in order, exactly as the scalar loop does:
// one IEEE operation per lane and step, no fused multiply-add, so the lane
// width changes speed, never bits.
template <class Lanes, std::size_t R>
[[gnu::always_inline]] inline std::size_t line_values_block(const double* x, std::size_t n, std::size_t i,
                                                            const LineFit& f, double* out) {
    constexpr std::size_t W = sizeof(Lanes) / sizeof(double);
    const std::size_t p = f.p;
    for (; i + W * R <= n; i += W * R) {
        const double* first = x + (i + 1 - p);
        Lanes acc[R], mean[R];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) acc[r] = Lanes{};
        for (std::size_t k = 0; k < p; ++k) {
#pragma GCC unroll 8
            for (std::size_t r = 0; r < R; ++r) {
                Lanes v;
                __builtin_memcpy(&v, first + k + W * r, sizeof v);
                acc[r] = acc[r] + v;
            }
        }
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            mean[r] = acc[r] / f.pd;
            acc[r] = Lanes{};
        }
        for (std::size_t k = 0; k < p; ++k) {
            const double d = f.dx[k];
#pragma GCC unroll 8
            for (std::size_t r = 0; r < R; ++r) {
                Lanes v;
                __builtin_memcpy(&v, first + k + W * r, sizeof v);
                acc[r] = acc[r] + d * (v - mean[r]);
            }
        }
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            const Lanes y = mean[r] + f.xm * (acc[r] / f.sxx);
            __builtin_memcpy(out + i + W * r, &y, sizeof y);
        }
    }
    return i;
}

// Four lanes a register where the processor has them (no faster with
// AVX-512), then two at the baseline.
[[gnu::noinline]] std::size_t line_values_lanes(const double* x, std::size_t n, std::size_t i, const LineFit& f,
                                                double* out) {
    i = simd::dispatch<simd::Level::kAvx2>([&](auto level) KORVA_LANES {
        if constexpr (decltype(level)::value >= simd::Level::kAvx2) return line_values_block<Lanes, 6>(x, n, i, f, out);
        return i;
    });
    return line_values_block<Pair, 8>(x, n, i, f, out);
}

// The lanes' line values against one window at a time, on hostile values.
std::size_t line_value_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 300);
    const std::size_t n = x.size();
    const ContiguousView<double> view{x.data(), n};
    std::size_t bad = 0;
    const std::size_t periods[] = {1, 2, 5, 14, 40};
    for (const std::size_t p : periods) {
        const double pd = static_cast<double>(p), xm = (pd - 1) * 0.5;
        std::vector<double> dx(p);
        double sxx = 0.0;
        for (std::size_t k = 0; k < p; ++k) {
            dx[k] = static_cast<double>(k) - xm;
            sxx = sxx + dx[k] * dx[k];
        }
        const LineFit fit{dx.data(), p, pd, xm, sxx};
        std::vector<double> lanes(n), serial(n);
        const std::size_t done = line_values_lanes(x.data(), n, p - 1, fit, lanes.data());
        for (std::size_t i = p - 1; i < done; ++i) serial[i] = line_value_of(view, i + 1 - p, fit);
        bad += rec::check::mismatches(lanes.data() + p - 1, serial.data() + p - 1, done - (p - 1));
    }
    return bad;
}
KORVA_CHECK_KERNEL("line values", line_value_mismatches)

// Saturating conversion toward zero of a non-negative chunk-size estimate.
std::uint64_t to_chunk_size(double v) {
    if (!(v > 0)) return 0;  // negative, zero or NaN
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// Mean rescaled range of the n / c whole chunks of c values (0 when no
// chunk has a positive variance). The deviations are formed twice, once for
// their running sum and once for the squares, as the host did.
template <class V>
double mean_rescaled_range(const V& x, std::size_t c) {
    const std::size_t chunks = x.size() / c;
    const double cd = static_cast<double>(c);
    double total = 0.0;
    std::uint64_t counted = 0;
    for (std::size_t m = 0; m < chunks; ++m) {
        const std::size_t first = m * c;
        double sum = 0.0;
        for (std::size_t i = 0; i < c; ++i) sum = sum + x[first + i];
        const double mean = sum / cd;
        double z = 0.0, hi = -INFINITY, lo = INFINITY, sq = 0.0;
        for (std::size_t i = 0; i < c; ++i) {
            const double d = x[first + i] - mean;
            z = z + d;
            hi = max_num(hi, z);
            lo = min_num(lo, z);
            sq = sq + d * d;
        }
        const double s2 = sq / cd;
        if (s2 > 0) {
            total = total + (hi - lo) / std::sqrt(s2);
            ++counted;
        }
    }
    return counted > 0 ? total / static_cast<double>(counted) : 0.0;
}

// More chunk sizes than this cannot be worked through in any useful time
// (each needs at least a logarithm); the host could not even allocate its
// per-size arrays for such counts.
constexpr std::uint64_t kMaxChunkSizes = std::uint64_t{1} << 28;

}  // namespace

Series linearreg(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (n < period || period == 0) return out;
    // The host read the series as one plain slice.
    require_plain_slice(source);
    const std::size_t p = period;
    const double pd = static_cast<double>(p);
    const double xm = (pd - 1) * 0.5;
    std::vector<double> dx(p);
    double sxx = 0.0;
    for (std::size_t k = 0; k < p; ++k) {
        dx[k] = static_cast<double>(k) - xm;
        sxx = sxx + dx[k] * dx[k];
    }
    const LineFit fit{dx.data(), p, pd, xm, sxx};
    with_view(source, [&](const auto& x) {
        std::size_t i = p - 1;
        if constexpr (std::is_same_v<std::decay_t<decltype(x)>, ContiguousView<double>>) {
            i = line_values_lanes(x.p, n, i, fit, out.data());
        }
        for (; i < n; ++i) out[i] = line_value_of(x, i + 1 - p, fit);
    });
    return out;
}

Tuple damiani_volatmeter(MatrixView candles, SeriesView source, std::uint64_t vis_atr, std::uint64_t vis_std,
                         std::uint64_t sed_atr, std::uint64_t sed_std, double threshold) {
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    const std::size_t n = candles.rows;
    std::vector<double> atr_vis(n), atr_sed(n);
    wilder_atr(high, low, close, vis_atr, atr_vis.data());
    wilder_atr(high, low, close, sed_atr, atr_sed.data());

    // The ratio starts at sed_std, not at either ATR's first value.
    std::vector<double> ratio(n, 0.0);
    for (std::size_t i = sed_std; i < n; ++i) {
        if (atr_sed[i] != 0 && !std::isnan(atr_sed[i]) && !std::isnan(atr_vis[i])) ratio[i] = atr_vis[i] / atr_sed[i];
    }
    // A lagged blend with the fixed factor 0.5.
    Series vol(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0) {
            vol[i] = ratio[i];
        } else if (i < 3) {
            vol[i] = vol[i - 1] * 0.5 + ratio[i];
        } else {
            vol[i] = (ratio[i] + vol[i - 1] * 0.5) - vol[i - 3] * 0.5;
        }
    }
    Series anti(n, 0.0);
    if (n >= sed_std) {
        const std::size_t m = source.size();
        std::vector<double> std_vis(m), std_sed(m);
        with_view(source, [&](const auto& x) {
            rolling_std(x, vis_std, std_vis.data());
            rolling_std(x, sed_std, std_sed.data());
        });
        // Each value reads the deviations of the previous position; sed_std
        // = 0 reads before the first one, and a source shorter than the
        // candles runs out.
        for (std::size_t i = sed_std; i < n; ++i) {
            if (i == 0) index_out_of_range(std::numeric_limits<std::size_t>::max(), m);
            if (i - 1 >= m) index_out_of_range(i - 1, m);
            anti[i] = threshold - std_vis[i - 1] / std_sed[i - 1];
        }
    }
    return tuple_of(std::move(vol), std::move(anti));
}

double hurst_rs(SeriesView x, std::uint64_t min_chunksize, std::uint64_t max_chunksize, std::uint64_t num_chunksize) {
    const std::uint64_t k = num_chunksize;
    if (k == 0) return NaN;
    if (k > kMaxChunkSizes) throw InternalError("capacity overflow: too many chunk sizes");
    const std::size_t n = x.size();
    // The span is formed exactly (no unsigned wrap when max < min or at the
    // top of the range), then rounded once to double.
    const double span = static_cast<double>(static_cast<__int128>(max_chunksize) - min_chunksize + 1);
    const double step = k < 2 ? 1.0 : span / static_cast<double>(k - 1);
    const double mn = static_cast<double>(min_chunksize);
    // The least-squares sums are accumulated as the sizes are visited, in
    // index order; a size equal to the previous one reuses its mean range.
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    std::uint64_t prev_c = 0;
    double prev_rs = 0.0;
    with_view(x, [&](const auto& v) {
        for (std::uint64_t j = 0; j < k; ++j) {
            const std::uint64_t c = to_chunk_size(step * static_cast<double>(j) + mn);
            if (c == 0) throw InternalError("attempt to divide by zero");
            double rs;
            if (c > n) {
                rs = 0.0;
            } else if (j > 0 && c == prev_c) {
                rs = prev_rs;
            } else {
                rs = mean_rescaled_range(v, c);
            }
            prev_c = c;
            prev_rs = rs;
            const double lx = std::log(static_cast<double>(c));
            const double ly = rs > 0 ? std::log(rs) : 0.0;
            sx = sx + lx;
            sy = sy + ly;
            sxx = sxx + lx * lx;
            sxy = sxy + lx * ly;
        }
    });
    const double kd = static_cast<double>(k);
    return (sxy * kd - sx * sy) / (sxx * kd - sx * sx);
}

}  // namespace korva::statistical
