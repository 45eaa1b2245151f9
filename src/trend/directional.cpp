// Directional movement family. Each function keeps the seed, smoothing form
// and operation order of the host code it replaces (callers compare bit for
// bit), so the six loops below look alike but must not be merged: a sum seed
// against a mean seed, `x - x/p` against `(x*(p-1) + v)/p`, and where the
// factor 100 is applied all change the last bits.
#include "directional.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/sweeps.hpp"
#include "../helpers/true_range.hpp"
#include "../helpers/unrolled_sum.hpp"
#include "directional_steps.hpp"
#include "movement.hpp"

namespace korva::trend {
namespace {

// Columns of a candle matrix read by the family; a matrix narrower than five
// columns fails here with the missing-dimension error.
struct Prices {
    SeriesView close, high, low;
    explicit Prices(const MatrixView& candles)
        : close(candles.column(col::close)), high(candles.column(col::high)), low(candles.column(col::low)) {}

    double tr(std::size_t i) const { return true_range_step(high[i], low[i], close[i - 1]); }
    Movement dm(std::size_t i) const { return movement_at(high, low, i); }
};

// The zero-filled TR, +DM, -DM row 0 that dx and adxr start from: the first
// true range is the plain bar range, and the first row has no movement.
struct Row {
    double tr, plus, minus;
};

[[gnu::always_inline]] inline Row row_at(const Prices& px, std::size_t i) {
    if (i == 0) return {true_range_first(px.high, px.low), 0.0, 0.0};
    const Movement m = px.dm(i);
    return {px.tr(i), m.plus, m.minus};
}

// The movement rule of movement.hpp on a vector of rows, with one
// comparison per mask: GCC selects lane by lane through the integer
// registers wherever two masks meet, even when each is ANDed into the value
// separately. "up > down and up > 0" is "up > t" for t = (0 > down ? +0 :
// down): a NaN on either side makes both false; for down < 0 both say
// up > 0, and for down >= 0 (or -0) up > down implies up > 0.
inline Wide lane_move(Wide up, Wide down) {
    const Wide zero{};
    const Wide t = zero > down ? zero : down;
    return keep(up > t, up);
}

// What directional_rows writes to plus and minus: the directional movements
// of movement_at, or the vortex movements |high - previous low| and
// |low - previous high|.
enum class Moves { kDirectional, kVortex };

// Ranges (when Ranged) and movements of rows [first, b), first >= 1, into
// tr, plus and minus, each indexed from `first`: the same operations per row
// as true_range_step and the scalar movement rule, eight rows per vector
// from staged copies of the columns (see true_range.hpp), at every kernel
// level like true_ranges.
template <bool Ranged, Moves Kind = Moves::kDirectional>
[[gnu::always_inline]] inline void directional_rows_lanes(const SeriesView& high_in, const SeriesView& low_in,
                                                          const SeriesView& close_in, std::size_t first, std::size_t b,
                                                          double* tr, double* plus, double* minus) {
    // Local copies: the stores cannot change them, so they stay in registers.
    const SeriesView high = high_in, low = low_in, close = close_in;
    constexpr std::size_t W = kWidth, S = kStagedRows;
    double hs[S + 1], ls[S + 1], cs[S + 1];
    for (std::size_t i0 = first; i0 < b; i0 += S) {
        const std::size_t m = std::min(S, b - i0), at = i0 - first;
        stage_rows<Ranged>(high, low, close, i0, m, hs, ls, cs);
        std::size_t k = 0;
        for (; k + W <= m; k += W) {
            Wide h, h1, l, l1;
            __builtin_memcpy(&h, hs + 1 + k, sizeof h);
            __builtin_memcpy(&h1, hs + k, sizeof h1);
            __builtin_memcpy(&l, ls + 1 + k, sizeof l);
            __builtin_memcpy(&l1, ls + k, sizeof l1);
            Wide p, mn;
            if constexpr (Kind == Moves::kDirectional) {
                const Wide up = h - h1, down = l1 - l;
                p = lane_move(up, down);
                mn = lane_move(down, up);
            } else {
                vortex_moves(h, l, h1, l1, p, mn);
            }
            __builtin_memcpy(plus + at + k, &p, sizeof p);
            __builtin_memcpy(minus + at + k, &mn, sizeof mn);
            if constexpr (Ranged) {
                Wide c1;
                __builtin_memcpy(&c1, cs + k, sizeof c1);
                const Wide t = true_range_step(h, l, c1);
                __builtin_memcpy(tr + at + k, &t, sizeof t);
            }
        }
        for (; k < m; ++k) {
            if constexpr (Kind == Moves::kDirectional) {
                const Movement mv = directional_movement(hs[k + 1] - hs[k], ls[k] - ls[k + 1]);
                plus[at + k] = mv.plus;
                minus[at + k] = mv.minus;
            } else {
                vortex_moves(hs[k + 1], ls[k + 1], hs[k], ls[k], plus[at + k], minus[at + k]);
            }
            if constexpr (Ranged) tr[at + k] = true_range_step(hs[k + 1], ls[k + 1], cs[k]);
        }
    }
}

template <bool Ranged, Moves Kind = Moves::kDirectional>
[[gnu::noinline]] void directional_rows(const SeriesView& high_in, const SeriesView& low_in, const SeriesView& close_in,
                                        std::size_t first, std::size_t b, double* tr, double* plus, double* minus) {
    simd::dispatch([&](auto) KORVA_LANES {
        directional_rows_lanes<Ranged, Kind>(high_in, low_in, close_in, first, b, tr, plus, minus);
    });
}

// TR, +DM and -DM of rows [a, b) into three buffers, for the lane
// recurrences below (row 0 as row_at gives it).
struct Rows {
    const Prices& px;
    [[gnu::always_inline]] void operator()(std::size_t a, std::size_t b, double* const* bufs) const {
        std::size_t first = a;
        if (a == 0) {
            const Row r = row_at(px, 0);
            bufs[0][0] = r.tr;
            bufs[1][0] = r.plus;
            bufs[2][0] = r.minus;
            first = 1;
        }
        if (first < b)
            directional_rows<true>(px.high, px.low, px.close, first, b, bufs[0] + (first - a), bufs[1] + (first - a),
                                   bufs[2] + (first - a));
    }
};

// dx's first stage: the RMA of TR, +DM and -DM and the two indicators, 0.0
// where the smoothed range is zero (NaN counts as non-zero).
struct DxStep {
    static constexpr std::size_t kState = 3, kInputs = 3, kOutputs = 2;
    static constexpr int kStages = 1;
    EmaCoefficients c;
    double contraction() const { return std::fabs(c.beta); }
    template <class T>
    void guess(T* s, const T* in) const {
        KORVA_UNROLL
        for (std::size_t k = 0; k < 3; ++k) s[k] = in[k];
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        KORVA_UNROLL
        for (std::size_t k = 0; k < 3; ++k) s[k] = smooth(c, s[k], in[k]);
        if constexpr (Emit) {
            const auto nonzero = s[0] != 0.0;
            out[0] = keep(nonzero, (s[1] * 100.0) / s[0]);
            out[1] = keep(nonzero, (s[2] * 100.0) / s[0]);
        }
    }
};

// |+DI - -DI| / (+DI + -DI), the difference itself where the sum is zero.
template <class T>
inline T di_ratio(T plus, T minus) {
    const T diff = magnitude(plus - minus);
    const T sum = minus + plus;
    return pick(sum == 0.0, diff, diff / sum);
}

// dx's second stage over the two indicators: prev = b * prev + a100 * ratio.
struct DxAdxStep {
    static constexpr std::size_t kState = 1, kInputs = 2, kOutputs = 1;
    static constexpr int kStages = 1;
    double b, a100;
    double contraction() const { return std::fabs(b); }
    template <class T>
    void guess(T* s, const T* in) const {
        s[0] = di_ratio(in[0], in[1]) * 100.0;
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        s[0] = b * s[0] + a100 * di_ratio(in[0], in[1]);
        if constexpr (Emit) out[0] = s[0];
    }
};

// adxr reports missing rows or columns as an index failure rather than the
// missing-dimension error of the other functions.
void require_candles(const MatrixView& candles) {
    if (candles.rows == 0) index_out_of_range(0, 0);
    if (candles.cols <= col::low) index_out_of_range(col::low, candles.cols);
}

KORVA_CHECK_STEP("dm", DmStep{14.0})
KORVA_CHECK_STEP("di", DiStep{13.0, 14.0})
KORVA_CHECK_STEP("dx", DxStep{wilder_coefficients(14)})
KORVA_CHECK_STEP("dx adx", DxAdxStep{1.0 - 1.0 / 14.0, 100.0 / 14.0})
KORVA_CHECK_STEP("adx", AdxStep{14.0, 13.0})
KORVA_CHECK_STEP("adxr", AdxrStep{14.0})

}  // namespace

void movement_rows(const SeriesView& high, const SeriesView& low, const SeriesView& close, std::size_t first,
                   std::size_t b, double* tr, double* plus, double* minus) {
    if (tr) {
        directional_rows<true>(high, low, close, first, b, tr, plus, minus);
    } else {
        directional_rows<false>(high, low, high, first, b, nullptr, plus, minus);
    }
}

void vortex_windows(const SeriesView& high, const SeriesView& low, const SeriesView& close, std::size_t e_begin,
                    std::size_t n, std::size_t p, double* plus, double* minus) {
    // Each window is summed with the eight-lane kernel over contiguous
    // copies of TR, VM+ and VM-, made for blocks of window ends so the
    // copies stay small.
    const std::size_t block = std::max<std::size_t>(4096, p);
    const std::size_t rows = std::min(n, block + p - 1);
    std::vector<double> tr(rows), up(rows), down(rows), t(rows), su(rows), sd(rows);
    for (std::size_t e0 = e_begin; e0 < n; e0 += block) {
        const std::size_t e1 = std::min(n, e0 + block);
        const std::size_t first = e0 + 1 - p;
        const std::size_t m = e1 - first;
        directional_rows<true, Moves::kVortex>(high, low, close, first, first + m, tr.data(), up.data(), down.data());
        unrolled_window_sums(tr.data(), m, p, t.data());
        unrolled_window_sums(up.data(), m, p, su.data());
        unrolled_window_sums(down.data(), m, p, sd.data());
        // A zero range leaves NaN (NaN counts as non-zero); two rows at a
        // time, with the same division per row. Row r of the block is the
        // window ending at first + r.
        double* const po = plus + (e0 - e_begin);
        double* const mo = minus + (e0 - e_begin);
        std::size_t r = p - 1;
        for (; r + 2 <= m; r += 2) {
            Pair tv, uv, dv;
            __builtin_memcpy(&tv, t.data() + r, sizeof tv);
            __builtin_memcpy(&uv, su.data() + r, sizeof uv);
            __builtin_memcpy(&dv, sd.data() + r, sizeof dv);
            const Pair pv = vortex_ratio(uv, tv);
            const Pair mv = vortex_ratio(dv, tv);
            __builtin_memcpy(po + (r - (p - 1)), &pv, sizeof pv);
            __builtin_memcpy(mo + (r - (p - 1)), &mv, sizeof mv);
        }
        for (; r < m; ++r) {
            po[r - (p - 1)] = vortex_ratio(su[r], t[r]);
            mo[r - (p - 1)] = vortex_ratio(sd[r], t[r]);
        }
    }
}

Tuple dm(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series plus(n, NaN), minus(n, NaN);
    if (period >= n) return tuple_of(std::move(plus), std::move(minus));
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    const std::size_t p = static_cast<std::size_t>(period);

    // Seed: the plain sums of the first p movements (sums, not means).
    DirectionalSeed seed;
    for (std::size_t i = 1; i <= p; ++i) seed.add(0.0, movement_at(high, low, i));
    const double sp = seed.plus.sum, sm = seed.minus.sum;
    plus[p] = sp;
    minus[p] = sm;
    const auto moves = [&](std::size_t a, std::size_t b, double* const* bufs) __attribute__((always_inline)) {
        directional_rows<false>(high, low, high, a, b, nullptr, bufs[0], bufs[1]);
    };
    double s[2] = {sp, sm};
    double* out[2] = {plus.data(), minus.data()};
    rec::run_blocked(DmStep{static_cast<double>(p)}, moves, out, p + 1, n, s);
    return tuple_of(std::move(plus), std::move(minus));
}

Tuple di(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series plus(n, NaN), minus(n, NaN);
    if (n < 2 || period >= n) return tuple_of(std::move(plus), std::move(minus));
    const Prices px(candles);
    const std::size_t p = static_cast<std::size_t>(period);

    DirectionalSeed seed;
    for (std::size_t i = 1; i <= p; ++i) seed.add(px.tr(i), px.dm(i));
    seed.di(plus[p], minus[p]);
    const double tr = seed.range.sum, sp = seed.plus.sum, sm = seed.minus.sum;
    // period - 1 is formed in unsigned arithmetic, as the host did: a zero
    // period wraps to 2^64 - 1 instead of -1 (only reachable with p = 0,
    // where every later value is infinite or NaN either way).
    const double w = static_cast<double>(period - 1);
    double s[3] = {tr, sp, sm};
    double* out[2] = {plus.data(), minus.data()};
    rec::run_blocked(DiStep{w, static_cast<double>(p)}, Rows{px}, out, p + 1, n, s);
    return tuple_of(std::move(plus), std::move(minus));
}

Tuple dx(MatrixView candles, std::uint64_t di_length, std::uint64_t adx_smoothing, bool /*sequential*/) {
    const std::size_t n = candles.rows;
    if (n == 0) return tuple_of(Series(0), Series(0), Series(0));
    const Prices px(candles);
    Series adx_out(n), plus_di(n), minus_di(n);

    // RMA with the wrap-around seed: the value "before" row 0 is the last
    // row's, so the smoothing of every series starts from its final element.
    const EmaCoefficients c = wilder_coefficients(di_length);
    const Row last = row_at(px, n - 1);
    double s[3] = {last.tr, last.plus, last.minus};
    double* di_out[2] = {plus_di.data(), minus_di.data()};
    rec::run_blocked(DxStep{c}, Rows{px}, di_out, 0, n, s);

    const auto ratio = [&](std::size_t i) { return di_ratio(plus_di[i], minus_di[i]); };
    // The factor 100 sits outside the seed but inside the recurrence's
    // coefficient; both placements are part of the stored results.
    const double a = 1.0 / static_cast<double>(adx_smoothing);
    const double b = 1.0 - a;
    const double a100 = a * 100.0;
    double prev = (a * ratio(0) + b * ratio(n - 1)) * 100.0;
    adx_out[0] = prev;
    const double* in[2] = {plus_di.data(), minus_di.data()};
    double* adx_o[1] = {adx_out.data()};
    rec::run(DxAdxStep{b, a100}, in, adx_o, 1, n, &prev);
    return tuple_of(std::move(adx_out), std::move(plus_di), std::move(minus_di));
}

Series adx(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    // period < n here, so doubling it cannot wrap.
    if (period >= n || 2 * period >= n) return out;
    const Prices px(candles);
    if (period == 0) return out;  // 0/0 everywhere
    const std::size_t p = static_cast<std::size_t>(period);
    const double pd = static_cast<double>(p);
    const double w = static_cast<double>(p - 1);

    AdxSeed seed(pd);
    for (std::size_t i = 1; i <= p; ++i) seed.advance(px.tr(i), px.dm(i), false);
    double sum = -0.0 + seed.dx_now();  // DX[p .. 2p-1] summed from -0.0
    for (std::size_t i = p + 1; i < 2 * p; ++i) {
        seed.advance(px.tr(i), px.dm(i), true);
        sum = sum + seed.dx_now();
    }
    seed.advance(px.tr(2 * p), px.dm(2 * p), true);  // its DX is not used
    double prev = sum / pd;
    out[2 * p] = prev;
    // A NaN ADX stays NaN to the end: the walk may stop there.
    if (std::isnan(prev)) return out;
    const double tr = seed.tr;
    const Pair dm_sums = seed.dm_sums;
    double s[4] = {tr, dm_sums[0], dm_sums[1], prev};
    double* o[1] = {out.data()};
    rec::run_blocked(AdxStep{pd, w}, Rows{px}, o, 2 * p + 1, n, s);
    return out;
}

Series adxr(MatrixView candles, std::uint64_t period) {
    AdxrEnd end;
    return adxr_over(candles, period, end);
}

Series adxr_over(MatrixView candles, std::uint64_t period, AdxrEnd& end) {
    require_candles(candles);
    const std::size_t n = candles.rows;
    const Prices px(candles);
    Series out(n, NaN);
    // The first value needs rows i and i - p with i >= 2p - 1.
    if (period == 0 || period >= n) return out;
    const std::size_t p = static_cast<std::size_t>(period);
    const double pd = static_cast<double>(p);

    // Wilder sum smoothing from the first element, then DX (zero-filled).
    // The plus and minus values share two-lane vector operations.
    std::vector<double> dxs(n);
    const Row r0 = row_at(px, 0);
    double s[3] = {r0.tr, r0.plus, r0.minus};
    dxs[0] = AdxrStep::dx_of(s[0], s[1], s[2]);
    double* o[1] = {dxs.data()};
    rec::run_blocked(AdxrStep{pd}, Rows{px}, o, 1, n, s);

    // ADX: every window summed afresh from -0.0 (a running sum would round
    // differently), then divided by p; kept in the output buffer, which the
    // rating then overwrites from the end (row i needs rows i and i - p only).
    double* adx_values = out.data();
    fresh_window_sums(dxs.data(), n, p, adx_values);
    for (std::size_t j = p - 1; j < n; ++j) adx_values[j] = adx_values[j] / pd;
    if (end.from < n) {
        end.dx.assign(dxs.begin() + static_cast<std::ptrdiff_t>(end.from), dxs.end());
        end.adx.assign(adx_values + end.from, adx_values + n);
    }
    std::copy_n(s, 3, end.s);
    for (std::size_t i = n; i-- > p;) {
        out[i] = AdxrStep::rating(adx_values[i], adx_values[i - p]);
    }
    std::fill_n(out.data(), p, NaN);
    return out;
}

Tuple vi(MatrixView candles, std::uint64_t period, bool sequential) {
    const std::size_t n = candles.rows;
    if (period >= n) return tuple_of(Series(n, NaN), Series(n, NaN));
    const Prices px(candles);
    const std::size_t p = static_cast<std::size_t>(period);
    // Without `sequential` only the last window is needed: the same sums,
    // so the same bits as the last element of the full series.
    Series plus(sequential ? n : 1, NaN), minus(sequential ? n : 1, NaN);
    const std::size_t offset = sequential ? 0 : n - 1;

    // Windows end at p .. n-1 and so never include row 0 (position p - 1
    // stays NaN although a full window exists there); an empty window
    // (p = 0) sums to zero and leaves NaN.
    if (p > 0) {
        const std::size_t e = sequential ? p : n - 1;
        vortex_windows(px.high, px.low, px.close, e, n, p, plus.data() + (e - offset), minus.data() + (e - offset));
    }
    return tuple_of(std::move(plus), std::move(minus));
}

}  // namespace korva::trend
