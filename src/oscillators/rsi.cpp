// RSI-type oscillators. Results are compared bit for bit with the host's
// earlier code, so every recurrence keeps its operation order; rsi, rsi_last
// and srsi share one Wilder average-gain/average-loss routine so that the
// three can never drift apart.
#include "rsi.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/sweeps.hpp"
#include "rsi_steps.hpp"

namespace korva::osc {
namespace {

// The averages from position p + 1 to the end (from the seed r), writing each
// RSI value to out (nullptr: nothing written); returns the last RSI value.
template <class V>
double rsi_walk(const V& s, std::uint64_t p, const WilderRsi& r, double* out) {
    const std::size_t n = s.size();
    double st[3] = {r.loss(), r.gain(), s[p]};
    double* o[1] = {out};
    if (out) {
        rec::run_view(RsiStep<1>{r.P(), r.Q()}, s, o, p + 1, n, st);
    } else {
        rec::run_view(RsiStep<0>{r.P(), r.Q()}, s, o, p + 1, n, st);
    }
    return rsi_value(st[1], st[0]);
}

// The largest |s[i] - s[i-1]| for i = 1 .. j, eight moves per vector; finite
// is false when a move is NaN or infinite (m * 0.0 is then NaN, and a sum
// of such products stays NaN), which the maximum alone would skip.
template <class V>
[[gnu::always_inline]] inline double largest_move_lanes(const V& s_in, std::size_t j, bool& finite) {
    const V s = s_in;
    constexpr std::size_t W = kWidth;
    Wide top{}, bad{};
    std::size_t i = 1;
    for (; i + W <= j + 1; i += W) {
        Wide a, b;
        if constexpr (requires { s.p; }) {
            __builtin_memcpy(&a, s.p + i, sizeof a);
            __builtin_memcpy(&b, s.p + i - 1, sizeof b);
        } else {
            KORVA_UNROLL
            for (std::size_t k = 0; k < W; ++k) {
                a[k] = s[i + k];
                b[k] = s[i + k - 1];
            }
        }
        const Wide m = magnitude(a - b);
        top = m > top ? m : top;
        bad = bad + m * 0.0;
    }
    double d = 0.0, z = 0.0;
    for (std::size_t k = 0; k < W; ++k) {
        d = top[k] > d ? top[k] : d;
        z = z + bad[k];
    }
    for (; i <= j; ++i) {
        const double m = std::fabs(s[i] - s[i - 1]);
        d = m > d ? m : d;
        z = z + m * 0.0;
    }
    finite = z == 0.0;
    return d;
}

template <class V>
[[gnu::noinline]] double largest_move(const V& s_in, std::size_t j, bool& finite) {
    return simd::dispatch([&](auto) KORVA_LANES { return largest_move_lanes(s_in, j, finite); });
}

// The last RSI value from a suffix of the series, where that is provably
// exact; false when it is not (the caller then walks the whole series).
//
// Why it is exact. Take the state (average loss, average gain) after the
// move at position j. Both averages start from sums of non-negative moves
// and are updated by x -> ((Q * x) + m) / P with Q = P - 1 >= 0, P > 0 and a
// move m >= 0 that depends only on the data. Each operation is rounded to
// nearest, which is monotone, so a step maps x <= y to step(x) <= step(y):
// two copies started below and above the true state stay below and above it
// at every later position. Where the two copies are equal, the true state
// equals them: in value, and so in bits, as the averages are never -0.0 or
// NaN while the moves are finite. From there the copy is the serial walk
// itself.
//
// The bounds. Below: +0.0. Above: every true average up to j is at most D,
// the largest |move| up to j, times (1 + 2^-53)^(3j + p + 1) (three
// roundings per update, each at most 2^-53 relative, and (Q + 1) / P = 1
// exactly), which stays below D (1 + 2^-16) for the series lengths and
// periods accepted here. Finding D reads the prefix once, without the
// divisions that bound the walk; a NaN or infinite move in it rules the
// shortcut out (it can persist in the state).
//
// The copies lose their distance by Q / P per step and stop at a stretch
// long enough for the upper one to fall from D to the last bit of a state
// far smaller than D; when they have not met by the end (a state that is
// tiny against an early move), the full walk runs.
template <class V>
bool rsi_last_from_suffix(const V& s, std::uint64_t period, double& last) {
    const std::size_t n = s.size();
    if (period == 0 || period > (std::uint64_t{1} << 20) || n > (std::size_t{1} << 32)) return false;
    const double P = static_cast<double>(period), Q = P + (-1.0);
    const double forget = std::log(P / Q);  // +inf for P = 1: one step forgets everything
    const double stretch = 4.0 * (64.0 * 0.6931471805599453 + 40.0) / forget + 64.0;
    if (!(stretch < 0.5 * static_cast<double>(n))) return false;
    const std::size_t j = n - static_cast<std::size_t>(stretch);
    if (j <= period) return false;
    bool finite;
    const double D = largest_move(s, j, finite);
    // Far from overflow, and not so small that D * 2^-16 underflows.
    if (!finite || !(D <= 0x1p1000) || (D > 0.0 && D < 0x1p-900)) return false;
    const double U = D + D * 0x1p-16;
    double lo_loss = 0.0, lo_gain = 0.0, hi_loss = U, hi_gain = U;
    for (std::size_t i = j + 1; i < n; ++i) {
        const double d = s[i] - s[i - 1];
        if (!(std::fabs(d) <= std::numeric_limits<double>::max())) return false;
        wilder_update(lo_loss, lo_gain, d, P, Q);
        wilder_update(hi_loss, hi_gain, d, P, Q);
        if (rec::same_bits(lo_loss, hi_loss) && rec::same_bits(lo_gain, hi_gain)) {
            for (++i; i < n; ++i) wilder_update(lo_loss, lo_gain, s[i] - s[i - 1], P, Q);
            last = rsi_value(lo_gain, lo_loss);
            return true;
        }
    }
    return false;
}

// NaN-ignoring minimum and maximum of the last w RSI values (w >= 1). RSI
// values lie in [0, 100] and are never -0.0, so a window's extremes do not
// depend on the order it is folded in; two interchangeable ways of finding
// them follow, picked by window length.

// Short windows: a ring of the last w values, folded afresh at every step.
// Each fold step is a compare-and-select, which has no branch to mispredict.
class FoldedWindow {
public:
    explicit FoldedWindow(std::size_t w) : ring_(w, NaN) {}
    void push(std::size_t, double v) {
        ring_[pos_] = v;
        pos_ = pos_ + 1 == ring_.size() ? 0 : pos_ + 1;
    }
    void extremes(std::size_t, double& lo, double& hi) const {
        rsi_window_extremes(ring_.data(), ring_.size(), lo, hi);
    }

private:
    std::vector<double> ring_;
    std::size_t pos_ = 0;
};

// Long windows: monotonic queues of (position, value), so a step costs O(1)
// amortised instead of O(w). Each position enters and leaves once.
class QueuedWindow {
public:
    QueuedWindow(std::size_t w, std::size_t count) : w_(w), lows_(count), highs_(count) {}
    void push(std::size_t t, double v) {
        if (std::isnan(v)) return;
        while (lo_tail_ != lo_head_ && v <= lows_[lo_tail_ - 1].v) --lo_tail_;
        lows_[lo_tail_++] = {t, v};
        while (hi_tail_ != hi_head_ && v >= highs_[hi_tail_ - 1].v) --hi_tail_;
        highs_[hi_tail_++] = {t, v};
    }
    // The window of the value pushed at t starts at t + 1 - w.
    void extremes(std::size_t t, double& lo, double& hi) {
        const std::size_t first = t + 1 - w_;
        while (lo_head_ != lo_tail_ && lows_[lo_head_].t < first) ++lo_head_;
        while (hi_head_ != hi_tail_ && highs_[hi_head_].t < first) ++hi_head_;
        lo = lo_head_ != lo_tail_ ? lows_[lo_head_].v : kInf;
        hi = hi_head_ != hi_tail_ ? highs_[hi_head_].v : -kInf;
    }

private:
    struct Entry {
        std::size_t t;
        double v;
    };
    std::size_t w_;
    std::vector<Entry> lows_, highs_;
    std::size_t lo_head_ = 0, lo_tail_ = 0, hi_head_ = 0, hi_tail_ = 0;
};

constexpr std::size_t kFoldedWindowMax = 64;

// CMO's sums of up and down moves over the window, moved along by the
// entering and leaving moves. Up and down moves of difference j (a zero or
// NaN difference is neither) are formed again when they leave the window
// rather than stored: the same subtraction gives the same bits. Only the two
// running sums are a chain; the moves entering and leaving, and the final
// quotients, are independent per position and run in vector lanes a few
// hundred positions at a time, each lane with the scalar operations.
//
// Positions from .. n-1 (from > period) go to out[0 ..], from the sums su
// and sd of the window ending at from - 1, which are left at the last one: a
// stream runs it over its kept values and a new chunk.
template <class V>
[[gnu::always_inline]] inline void cmo_slide_lanes(const V& s, std::uint64_t period, std::size_t from, double& sums_up,
                                                   double& sums_down, double* out) {
    constexpr std::size_t W = sizeof(Wide) / sizeof(double);
    constexpr std::size_t kChunk = 256;
    const std::size_t n = s.size();
    using M = CmoMoves;
    const auto diffs = [&](std::size_t j) __attribute__((always_inline)) {
        Wide a, b;
        if constexpr (std::is_same_v<V, ContiguousView<double>>) {
            a = lanes_at<Wide>(s.p + j + 1);
            b = lanes_at<Wide>(s.p + j);
        } else {
            for (std::size_t u = 0; u < W; ++u) {
                a[u] = s[j + u + 1];
                b[u] = s[j + u];
            }
        }
        return a - b;
    };
    double su = sums_up, sd = sums_down;
    // Step k (k = 0 .. n-from-1) adds the move of difference from - 1 + k,
    // drops that of difference from - 1 - period + k and writes position
    // from + k.
    const std::size_t steps = n - from, in0 = from - 1, gone0 = from - 1 - static_cast<std::size_t>(period);
    double du[kChunk], dd[kChunk], su_at[kChunk], sd_at[kChunk];
    for (std::size_t k0 = 0; k0 < steps; k0 += kChunk) {
        const std::size_t m = steps - k0 < kChunk ? steps - k0 : kChunk;
        std::size_t j = 0;
        for (; j + W <= m; j += W) {
            const Wide in = diffs(in0 + k0 + j), gone = diffs(gone0 + k0 + j);
            store_lanes(du + j, M::up(in) - M::up(gone));
            store_lanes(dd + j, M::down(in) - M::down(gone));
        }
        for (; j < m; ++j) {
            const double in = s[in0 + k0 + j + 1] - s[in0 + k0 + j], gone = s[gone0 + k0 + j + 1] - s[gone0 + k0 + j];
            du[j] = M::up(in) - M::up(gone);
            dd[j] = M::down(in) - M::down(gone);
        }
        for (j = 0; j < m; ++j) {
            su = su + du[j];
            sd = sd + dd[j];
            su_at[j] = su;
            sd_at[j] = sd;
        }
        double* o = out + k0;
        for (j = 0; j + W <= m; j += W) {
            store_lanes(o + j, M::value(lanes_at<Wide>(su_at + j), lanes_at<Wide>(sd_at + j)));
        }
        for (; j < m; ++j) o[j] = M::value(su_at[j], sd_at[j]);
    }
    sums_up = su;
    sums_down = sd;
}

template <class V>
[[gnu::always_inline]] inline void cmo_sweep_lanes(const V& s, std::uint64_t period, double* out) {
    double su = 0.0, sd = 0.0;
    for (std::size_t j = 0; j < period; ++j) {
        const double d = s[j + 1] - s[j];
        su = su + CmoMoves::up(d);
        sd = sd + CmoMoves::down(d);
    }
    out[period] = CmoMoves::value(su, sd);
    cmo_slide_lanes(s, period, period + 1, su, sd, out + period + 1);
}

template <class V>
[[gnu::noinline]] void cmo_sweep(const V& s, std::uint64_t period, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { cmo_sweep_lanes(s, period, out); });
}

KORVA_CHECK_STEP("rsi", RsiStep<1>{14.0, 13.0})
KORVA_CHECK_STEP("rsi_last", RsiStep<0>{14.0, 13.0})
KORVA_CHECK_STEP("cmo moves", CmoSlideStep{})

// The whole lane sweep against the serial slide on hostile prices, at
// periods around the lane width and past a chunk.
std::size_t cmo_sweep_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 700);
    const std::size_t n = x.size();
    std::size_t bad = 0;
    const std::uint64_t periods[] = {1, 2, 7, 8, 9, 33, 300};
    for (const std::uint64_t period : periods) {
        std::vector<double> lanes(n), serial(n);
        cmo_sweep(ContiguousView<double>{x.data(), n}, period, lanes.data());
        double su = 0.0, sd = 0.0;
        for (std::size_t j = 0; j < period; ++j) {
            su = su + CmoMoves::up(x[j + 1] - x[j]);
            sd = sd + CmoMoves::down(x[j + 1] - x[j]);
        }
        serial[period] = CmoMoves::value(su, sd);
        for (std::size_t i = period + 1; i < n; ++i) {
            CmoMoves::slide(su, sd, x[i] - x[i - 1], x[i - period] - x[i - period - 1]);
            serial[i] = CmoMoves::value(su, sd);
        }
        bad += rec::check::mismatches(lanes.data() + period, serial.data() + period, n - period);
    }
    return bad;
}
KORVA_CHECK_KERNEL("cmo sweep", cmo_sweep_mismatches)

// The lanes' largest move and its finiteness against one move at a time,
// over prefixes that end inside and after a vector.
std::size_t largest_move_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 64);
    std::size_t bad = 0;
    for (std::size_t j = 1; j < x.size(); j += 3) {
        bool finite = false;
        const double lanes = largest_move(ContiguousView<double>{x.data(), x.size()}, j, finite);
        double top = 0.0;
        bool all_finite = true;
        for (std::size_t i = 1; i <= j; ++i) {
            const double m = std::fabs(x[i] - x[i - 1]);
            top = m > top ? m : top;
            all_finite = all_finite && std::isfinite(m);
        }
        bad += !rec::check::agree(lanes, top) + (finite != all_finite);
    }
    return bad;
}
KORVA_CHECK_KERNEL("largest move", largest_move_mismatches)

}  // namespace

Series rsi(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    if (n <= period) return Series(n, NaN);
    Series out(n);
    std::fill_n(out.data(), period, NaN);
    with_view(source, [&](const auto& s) {
        WilderRsi r(s, period);
        out[period] = r.value();
        rsi_walk(s, period, r, out.data());
    });
    return out;
}

double rsi_last(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    if (n == 0) empty_last_index();
    if (n <= period) return NaN;
    return with_view(source, [&](const auto& s) {
        double last;
        if (rsi_last_from_suffix(s, period, last)) return last;
        return rsi_walk(s, period, WilderRsi(s, period), nullptr);
    });
}

namespace {

// The stochastic RSI walk over positions period .. n-1, writing k; Window
// finds the extremes of the last w RSI values (w >= 1 here).
template <class Window, class V>
void stochastic_rsi(const V& s, std::uint64_t period, std::size_t w, std::uint64_t k_period, Window& window, Series& k,
                    SrsiEnd& end) {
    const std::size_t count = s.size() - period;
    std::vector<double>& raw = end.raw;  // raw stochastic values from the first full window on, when k smooths them
    if (k_period >= 2) raw.resize(count - (w - 1));
    std::size_t raw_nan = 0;  // NaN among the last k_period raw values
    WilderRsi r(s, period);
    for (std::size_t t = 0; t < count; ++t) {
        const std::size_t i = period + t;
        if (t > 0) r.update(s[i] - s[i - 1]);
        const double v = r.value();
        window.push(t, v);
        if (t >= end.rsi_from) end.rsi.push_back(v);
        if (t + 1 < w) continue;  // window not full yet

        double lo, hi;
        window.extremes(t, lo, hi);
        const double stoch = stochastic_of(v, lo, hi);
        if (k_period < 2) {
            k[i] = stoch;
            continue;
        }
        const std::size_t u = t + 1 - w;
        raw[u] = stoch;
        if (std::isnan(stoch)) ++raw_nan;
        if (u >= k_period && std::isnan(raw[u - k_period])) --raw_nan;
        if (u + 1 >= k_period && raw_nan == 0) {
            k[i] = list_sum(raw.data() + (u + 1 - k_period), k_period) / static_cast<double>(k_period);
        }
    }
    end.loss = r.loss();
    end.gain = r.gain();
}

}  // namespace

Tuple srsi(SeriesView source, std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period,
           std::uint64_t d_period) {
    SrsiEnd end;
    return srsi_over(source, period, period_stoch, k_period, d_period, end);
}

Tuple srsi_over(SeriesView source, std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period,
                std::uint64_t d_period, SrsiEnd& end) {
    const std::size_t n = source.size();
    Series k(n, NaN), d(n, NaN);
    if (period >= n) return tuple_of(std::move(k), std::move(d));
    const std::size_t count = n - period;  // RSI values, one per index period .. n-1
    // A stochastic window longer than the RSI series never fills: nothing is
    // written, and d has no k values to average.
    if (period_stoch > count) return tuple_of(std::move(k), std::move(d));
    const std::size_t w = period_stoch;

    if (w == 0) {
        // An empty window has lo = +inf and hi = -inf: every raw value is NaN,
        // so k is NaN (or the raw NaN) everywhere and d has nothing to average.
        return tuple_of(std::move(k), std::move(d));
    }
    with_view(source, [&](const auto& s) {
        if (w <= kFoldedWindowMax) {
            FoldedWindow window(w);
            stochastic_rsi(s, period, w, k_period, window, k, end);
        } else {
            QueuedWindow window(w, count);
            stochastic_rsi(s, period, w, k_period, window, k, end);
        }
    });

    // d averages the last d_period non-NaN k values, however far apart: a NaN
    // k is skipped without restarting the window.
    if (d_period > 0) {
        std::vector<double>& kept = end.kept;
        for (std::size_t j = period; j < n; ++j) {
            if (std::isnan(k[j])) continue;
            kept.push_back(k[j]);
            if (kept.size() >= d_period) {
                d[j] = list_sum(kept.data() + (kept.size() - d_period), d_period) / static_cast<double>(d_period);
            }
        }
    }
    return tuple_of(std::move(k), std::move(d));
}

Series rsx(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period >= n) return out;
    with_view(source, [&](const auto& s) {
        RsxState st;
        for (std::size_t i = period; i < n; ++i) out[i] = st.next(s[i], period);
    });
    return out;
}

Series lrsi(MatrixView candles, double alpha) {
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    const std::size_t n = candles.rows;
    if (n == 0) index_out_of_range(0, 0);  // the filter states start from the first price
    Series out(n);
    const double a = alpha, g = 1.0 - a;
    LaguerreRsi f;
    f.start(LaguerreRsi::price(high[0], low[0]));
    for (std::size_t i = 0; i < n; ++i) out[i] = f.next(a, g, LaguerreRsi::price(high[i], low[i]));
    return out;
}

void cmo_from(ContiguousView<double> s, std::uint64_t period, std::size_t from, double& su, double& sd, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { cmo_slide_lanes(s, period, from, su, sd, out); });
}

Series cmo(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period >= n) return out;
    with_view(source, [&](const auto& s) { cmo_sweep(s, period, out.data()); });
    return out;
}

}  // namespace korva::osc
