// Range kernels shared by the directional-movement, channel, overlay and
// statistics families: the true range and the weighted-form Wilder ATR.
// Results are compared bit for bit with the host's earlier code, so the
// nesting of the maxima and the order of every operation below are fixed.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "dispatch.hpp"
#include "errors.hpp"
#include "lanes.hpp"
#include "recurrence_lanes.hpp"
#include "result.hpp"

namespace korva {

// True range of a row that has a previous close. The NaN-ignoring maximum
// lets one missing price through: a NaN high with a finite low and previous
// close still gives |low - prev_close|.
// The maxima are taken without branches: on hostile data (highs below lows)
// which candidate wins is a coin toss, and a branchy maximum ran four times
// slower there than on real candles. T is a double or a vector of lanes.
template <class T>
inline T true_range_step(T high, T low, T prev_close) {
    if constexpr (std::is_same_v<T, double>) {
        return true_range_step(Pair{high}, Pair{low}, Pair{prev_close})[0];  // one row in lane 0
    } else {
        return max_num(max_num(high - low, magnitude(high - prev_close)), magnitude(low - prev_close));
    }
}

// Candle columns are strided views of a row-major matrix. The row kernels
// below copy the rows they need a stretch at a time into small contiguous
// arrays (plain loads and stores) and then run eight rows per vector from
// there: building a vector from eight strided loads went through the
// integer registers and spilled, and cost more than the arithmetic.
inline constexpr std::size_t kStagedRows = 256;

// Rows a - 1 .. a - 1 + m of high, low and (when WithClose) close into
// hs, ls and cs[0 .. m], in one pass over the rows: a matrix row's prices
// share a cache line, and one sweep reads the matrix at close to its
// streaming speed where a sweep per column did not.
template <bool WithClose, class H, class L, class C>
[[gnu::always_inline]] inline void stage_rows(const H& high, const L& low, const C& close, std::size_t a, std::size_t m,
                                              double* hs, double* ls, double* cs) {
    for (std::size_t k = 0; k <= m; ++k) {
        hs[k] = high[a - 1 + k];
        ls[k] = low[a - 1 + k];
        if constexpr (WithClose) cs[k] = close[a - 1 + k];
    }
}

// True ranges of rows [a, b) (a >= 1) into tr[0 .. b-a), the same operations
// per row as true_range_step, at every kernel level (narrower levels split
// the vector into their registers).
template <class H, class L, class C>
[[gnu::always_inline]] inline void true_ranges_lanes(const H& high_in, const L& low_in, const C& close_in,
                                                     std::size_t a, std::size_t b, double* tr) {
    // Local copies of the views: the stores to tr cannot change them, so
    // their pointers and strides stay in registers.
    const H high = high_in;
    const L low = low_in;
    const C close = close_in;
    constexpr std::size_t W = kWidth;
    double hs[kStagedRows + 1], ls[kStagedRows + 1], cs[kStagedRows + 1];
    for (std::size_t i0 = a; i0 < b; i0 += kStagedRows) {
        const std::size_t m = std::min(kStagedRows, b - i0);
        stage_rows<true>(high, low, close, i0, m, hs, ls, cs);
        double* const t = tr + (i0 - a);
        std::size_t k = 0;
        for (; k + W <= m; k += W) {
            Wide h, l, c;
            __builtin_memcpy(&h, hs + 1 + k, sizeof h);
            __builtin_memcpy(&l, ls + 1 + k, sizeof l);
            __builtin_memcpy(&c, cs + k, sizeof c);
            const Wide v = true_range_step(h, l, c);
            __builtin_memcpy(t + k, &v, sizeof v);
        }
        for (; k < m; ++k) t[k] = true_range_step(hs[k + 1], ls[k + 1], cs[k]);
    }
}

template <class H, class L, class C>
[[gnu::noinline]] void true_ranges(const H& high_in, const L& low_in, const C& close_in, std::size_t a, std::size_t b,
                                   double* tr) {
    simd::dispatch([&](auto) KORVA_LANES { true_ranges_lanes(high_in, low_in, close_in, a, b, tr); });
}

// The first row has no previous close: a plain difference.
template <class H, class L>
double true_range_first(const H& high, const L& low) {
    return high[0] - low[0];
}

// TR of row k (k < the shortest input).
template <class H, class L, class C>
double true_range_at(const H& high, const L& low, const C& close, std::size_t k) {
    return k == 0 ? true_range_first(high, low) : true_range_step(high[k], low[k], close[k - 1]);
}

// Checks that high and low cover the n rows of close before a kernel reads them.
template <class H, class L>
void require_rows(const H& high, const L& low, std::size_t n) {
    if (n == 0) return;
    if (high.size() < n) index_out_of_range(n - 1, high.size());
    if (low.size() < n) index_out_of_range(n - 1, low.size());
}

// TR[0 .. n-1] into tr, n = close.size(); high and low must be at least as long.
template <class H, class L, class C>
void true_range(const H& high, const L& low, const C& close, double* tr) {
    const std::size_t n = close.size();
    require_rows(high, low, n);
    if (n == 0) return;
    tr[0] = true_range_first(high, low);
    true_ranges(high, low, close, 1, n, tr + 1);
}

// The weighted-form Wilder ATR's state: the seed sum of the first p true
// ranges (from -0.0), then the average ((p - 1) * prev + TR) / p.
class WilderAtr {
public:
    explicit WilderAtr(std::uint64_t p) : pd_(static_cast<double>(p)), q_(pd_ + (-1.0)) {}
    void seed(double tr) { prev_ = prev_ + tr; }
    double start() { return prev_ = prev_ / pd_; }
    double step(double tr) { return prev_ = (q_ * prev_ + tr) / pd_; }
    double& state() { return prev_; }

private:
    double pd_, q_;
    double prev_ = -0.0;  // the seed sum, then the average
};

// Weighted-form Wilder ATR over close.size() rows into out (that many
// values): NaN before p-1, the seed mean of TR[0 .. p-1] summed from -0.0 at
// p-1, then ((p - 1) * prev + TR[k]) / p. This rounds differently from the
// incremental prev + (TR - prev) / p form of `atr`; each caller uses the form
// its results were defined with. The TR values are formed on the fly: each is
// used once, in order, so no scratch series is needed.
template <class H, class L, class C>
void wilder_atr(const H& high, const L& low, const C& close, std::uint64_t p, double* out) {
    const std::size_t n = close.size();
    if (n == 0) index_out_of_range(0, 0);
    require_rows(high, low, n);
    std::fill_n(out, n, NaN);
    if (n < p) return;
    if (p == 0) index_out_of_range(static_cast<std::size_t>(-1), n);  // the seed sits at index p - 1
    WilderAtr atr(p);
    for (std::size_t k = 0; k < p; ++k) atr.seed(true_range_at(high, low, close, k));
    out[p - 1] = atr.start();
    for (std::size_t k = p; k < n; ++k) out[k] = atr.step(true_range_step(high[k], low[k], close[k - 1]));
}

}  // namespace korva
