// Oscillators of where price stands in its window's range or spread: CCI,
// the Aroon oscillator and the Fisher transform. Results are compared bit for
// bit with the host's earlier code, so every window sum keeps its order and
// every extreme follows the host's tie and NaN rules.
#include "range.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/sweeps.hpp"
#include "range_steps.hpp"

namespace korva::osc {
namespace {

double cci_value(double tp, double mean, double md) { return md == 0.0 ? 0.0 : (tp - mean) / (md * 0.015); }

// CCI of the windows ending at p-1 .. n-1 into out[p-1 .. n-1], each
// window's mean and mean deviation summed afresh in index order. The typical
// prices are formed in `out` first (their sums row by row, then the
// divisions by 3 in vector lanes) and the windows then replace them in
// place. Thirty-two windows run side by side, each lane its own accumulator,
// so every window rounds as the plain loop; the final quotients are taken in
// the same lanes, a zero deviation's lane discarded by a mask. out[0 .. p-2]
// are left holding typical prices.
[[gnu::always_inline]] inline void cci_windows_lanes(const SeriesView& high, const SeriesView& low,
                                                     const SeriesView& close, std::uint64_t p, double* out) {
    constexpr std::size_t W = sizeof(Wide) / sizeof(double);
    const std::size_t n = high.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = (high[i] + low[i]) + close[i];
    std::size_t i = 0;
    for (; i + W <= n; i += W) store_lanes(out + i, lanes_at<Wide>(out + i) / 3.0);
    for (; i < n; ++i) out[i] = out[i] / 3.0;

    const double P = static_cast<double>(p);
    const auto block = [&](const double* tp, std::size_t i) __attribute__((always_inline)) {
        const double* first = tp + (i + 1 - p);
        Wide s[4] = {};
        for (std::uint64_t j = 0; j < p; ++j) {
#pragma GCC unroll 4
            for (std::size_t g = 0; g < 4; ++g) s[g] = s[g] + lanes_at<Wide>(first + j + g * W);
        }
        Wide m[4], d[4] = {};
#pragma GCC unroll 4
        for (std::size_t g = 0; g < 4; ++g) m[g] = s[g] / P;
        // |v - mean| by clearing the sign bit, as fabs does.
        const WideBits magnitude = WideBits{} + 0x7fffffffffffffffLL;
        for (std::uint64_t j = 0; j < p; ++j) {
#pragma GCC unroll 4
            for (std::size_t g = 0; g < 4; ++g) {
                const Wide v = lanes_at<Wide>(first + j + g * W);
                d[g] = d[g] + reinterpret_cast<Wide>(reinterpret_cast<WideBits>(v - m[g]) & magnitude);
            }
        }
        Wide value[4];
#pragma GCC unroll 4
        for (std::size_t g = 0; g < 4; ++g) {
            const Wide md = d[g] / P;
            value[g] = pick(md != 0.0, (lanes_at<Wide>(tp + i + g * W) - m[g]) / (md * 0.015), Wide{});
        }
        // Stored only now: with tp == out, the block's own inputs come first.
#pragma GCC unroll 4
        for (std::size_t g = 0; g < 4; ++g) store_lanes(out + i + g * W, value[g]);
    };
    const auto one = [&](const double* tp, std::size_t i) {
        const std::size_t b = i + 1 - p;
        double s = 0.0;
        for (std::size_t k = b; k <= i; ++k) s = s + tp[k];
        const double mean = s / P;
        double d = 0.0;
        for (std::size_t k = b; k <= i; ++k) d = d + std::fabs(tp[k] - mean);
        out[i] = cci_value(tp[i], mean, d / P);
    };
    windows_in_place<4 * W>(out, n, p, block, one);
}

[[gnu::noinline]] void cci_windows(const SeriesView& high, const SeriesView& low, const SeriesView& close,
                                   std::uint64_t p, double* out) {
    simd::dispatch([&](auto) KORVA_LANES { cci_windows_lanes(high, low, close, p, out); });
}

// The lanes' CCI windows against one window at a time on hostile highs,
// lows and closes.
std::size_t cci_window_mismatches(std::uint64_t seed) {
    const std::vector<double> high = rec::check::hostile_values(seed, 300),
                              low = rec::check::hostile_values(seed + 1000, 300),
                              close = rec::check::hostile_values(seed + 2000, 300);
    const std::size_t n = high.size();
    const auto view = [n](const std::vector<double>& v) {
        return SeriesView{reinterpret_cast<const char*>(v.data()), sizeof(double), n};
    };
    std::vector<double> tp(n);
    for (std::size_t i = 0; i < n; ++i) tp[i] = ((high[i] + low[i]) + close[i]) / 3.0;
    std::size_t bad = 0;
    const std::uint64_t periods[] = {1, 2, 5, 14, 40};
    for (const std::uint64_t p : periods) {
        std::vector<double> lanes(n), serial(n);
        cci_windows(view(high), view(low), view(close), p, lanes.data());
        const double P = static_cast<double>(p);
        for (std::size_t i = p - 1; i < n; ++i) {
            double s = 0.0, d = 0.0;
            for (std::size_t k = i + 1 - p; k <= i; ++k) s = s + tp[k];
            const double mean = s / P;
            for (std::size_t k = i + 1 - p; k <= i; ++k) d = d + std::fabs(tp[k] - mean);
            serial[i] = cci_value(tp[i], mean, d / P);
        }
        bad += rec::check::mismatches(lanes.data() + p - 1, serial.data() + p - 1, n - p + 1);
    }
    return bad;
}
KORVA_CHECK_KERNEL("cci windows", cci_window_mismatches)

// First position of a window's extreme as a scan of the window keeps it:
// the running extreme moves only to a strictly better value (ties keep the
// earlier position) and NaN never wins. Both trackers below answer, after
// x[k] entered, for the window x[first .. k]; kNone means the window holds
// only NaN.
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
constexpr std::uint64_t kShortWindow = 64;

// Keeps the current first extreme and rescans the window when it leaves.
// While no NaN has been seen, `update_clean` skips the NaN tests: the scan
// starts at the window's first value and only a strictly better one moves it.
// Both updates keep the same state, so a sweep can switch to `update` at the
// first NaN.
template <class Better>
class RescannedFirstExtreme {
public:
    RescannedFirstExtreme(SeriesView x, Better better) : x_(x), better_(better) {}
    std::size_t update_clean(std::size_t first, std::size_t k) {
        if (best_ == kNone || best_ < first) {
            best_ = first;
            value_ = x_[first];
            for (std::size_t j = first + 1; j <= k; ++j) offer_clean(j, x_[j]);
        } else {
            offer_clean(k, x_[k]);
        }
        return best_;
    }
    std::size_t update(std::size_t first, std::size_t k) {
        if (best_ != kNone && best_ < first) {
            best_ = kNone;
            for (std::size_t j = first; j <= k; ++j) offer(j, x_[j]);
        } else {
            offer(k, x_[k]);
        }
        return best_;
    }

private:
    void offer_clean(std::size_t j, double v) {
        if (better_(v, value_)) {
            best_ = j;
            value_ = v;
        }
    }
    void offer(std::size_t j, double v) {
        if (!std::isnan(v) && (best_ == kNone || better_(v, value_))) {
            best_ = j;
            value_ = v;
        }
    }
    SeriesView x_;
    Better better_;
    std::size_t best_ = kNone;
    double value_ = 0.0;
};

// Candidates in a ring of at least window + 1 slots: a value that a later,
// strictly better one beats can never be the first extreme again; equal
// values stay queued behind the earlier one.
template <class Better>
class QueuedFirstExtreme {
public:
    QueuedFirstExtreme(SeriesView x, std::size_t window, Better better) : x_(x), better_(better) {
        std::size_t cap = 1;
        while (cap <= window) cap <<= 1;
        mask_ = cap - 1;
        index_.resize(cap);
        value_.resize(cap);
    }
    std::size_t update(std::size_t first, std::size_t k) {
        const double v = x_[k];
        if (!std::isnan(v)) {
            while (head_ != tail_ && better_(v, value_[(tail_ - 1) & mask_])) --tail_;
            index_[tail_ & mask_] = k;
            value_[tail_ & mask_] = v;
            ++tail_;
        }
        while (head_ != tail_ && index_[head_ & mask_] < first) ++head_;
        return head_ != tail_ ? index_[head_ & mask_] : kNone;
    }

private:
    SeriesView x_;
    Better better_;
    std::size_t mask_ = 0, head_ = 0, tail_ = 0;
    std::vector<std::size_t> index_;
    std::vector<double> value_;
};

// The first extreme's {value, row} of a run of rows without NaN: the later
// candidate wins only when strictly better, so the fold gives the extreme
// and its earliest row whatever the grouping. Lows enter negated (their
// first minimum is the first maximum of the negations), so both sides share
// the rule and neither needs a branch.
[[gnu::always_inline]] inline Pair first_max(Pair earlier, Pair later) {
    // The values compared in both lanes: the mask comes out whole, with no
    // widening of one lane's result on the fold's chain.
    const Pair a = __builtin_shufflevector(earlier, earlier, 0, 0), b = __builtin_shufflevector(later, later, 0, 0);
    const PairBits take = b > a;
    return reinterpret_cast<Pair>((reinterpret_cast<PairBits>(later) & take) |
                                  (reinterpret_cast<PairBits>(earlier) & ~take));
}

// Aroon values of the rows before the first NaN high or low, in the block
// form of the rolling extremes (window_extreme.hpp): blocks of p rows, a
// window being a suffix of the previous block and a prefix of its own,
// three folds per row and side whatever the data. Returns the first row
// holding a NaN (n when none does); rows before it are final. Short windows
// only (p <= kShortWindow).
template <class Value>
[[gnu::always_inline]] inline std::size_t clean_aroon_rows(const SeriesView& high, const SeriesView& low, std::size_t p,
                                                           double* out, Value value) {
    const std::size_t n = high.size();
    // Rows are below 2^53: converted as signed values, the same numbers
    // without the unsigned conversion's fix-up sequence.
    const auto row = [](std::size_t j) { return static_cast<double>(static_cast<std::int64_t>(j)); };
    const auto hi_at = [&](std::size_t j) { return Pair{high[j], row(j)}; };
    const auto lo_at = [&](std::size_t j) { return Pair{-low[j], row(j)}; };
    const auto emit = [&](std::size_t i, Pair h, Pair l) {
        const std::size_t first = i + 1 - p;
        out[i] = value(static_cast<std::size_t>(static_cast<std::int64_t>(h[1])) - first,
                       static_cast<std::size_t>(static_cast<std::int64_t>(l[1])) - first);
    };
    Pair suffix_hi[kShortWindow], suffix_lo[kShortWindow];  // of the previous block
    // Each row is checked for NaN as the prefix fold reaches it, before any
    // window holding it is emitted; the suffix folds read only checked rows.
    const auto has_nan = [](Pair v) { return std::isnan(v[0]); };
    for (std::size_t start = 0; start < n; start += p) {
        const std::size_t len = std::min(p, n - start);
        Pair h = hi_at(start), l = lo_at(start);
        if (has_nan(h) || has_nan(l)) return start;
        for (std::size_t k = 0;;) {
            const std::size_t i = start + k;
            if (k + 1 == p) {
                emit(i, h, l);
            } else if (start != 0) {
                emit(i, first_max(suffix_hi[k + 1], h), first_max(suffix_lo[k + 1], l));
            }
            if (++k == len) break;
            const Pair hk = hi_at(start + k), lk = lo_at(start + k);
            if (has_nan(hk) || has_nan(lk)) return start + k;
            h = first_max(h, hk);
            l = first_max(l, lk);
        }
        if (len == p && start + p < n) {
            Pair ah = hi_at(start + p - 1), al = lo_at(start + p - 1);
            suffix_hi[p - 1] = ah;
            suffix_lo[p - 1] = al;
            for (std::size_t k = p - 1; k-- > 0;) {
                ah = first_max(hi_at(start + k), ah);
                al = first_max(lo_at(start + k), al);
                suffix_hi[k] = ah;
                suffix_lo[k] = al;
            }
        }
    }
    return n;
}

// Aroon oscillator over windows of p rows, rows first .. k. A window that
// starts with a NaN keeps position 0 on that side: nothing compares better
// than NaN. Where the trackers have an `update_clean`, the rows before the
// first NaN take the block form instead, and the trackers, seeded with the
// window before that row, go on from there.
template <class Hi, class Lo, class Value>
void aroon_sweep(SeriesView high, SeriesView low, std::size_t p, double* out, Hi& hi, Lo& lo, Value value) {
    const std::size_t n = high.size();
    std::size_t k = 0;
    if constexpr (requires { hi.update_clean(0, 0); }) {
        // At the widest instruction set the processor has: the same
        // operations, fewer register copies on the folds' chains.
        k = simd::dispatch([&](auto) KORVA_LANES { return clean_aroon_rows(high, low, p, out, value); });
        if (k > 0 && k < n) {  // the trackers take over at the first NaN
            const std::size_t first = k >= p ? k - p : 0;
            hi.update_clean(first, k - 1);
            lo.update_clean(first, k - 1);
        }
    }
    for (; k < n; ++k) {
        const std::size_t first = k + 1 >= p ? k + 1 - p : 0;
        const std::size_t top = hi.update(first, k), bottom = lo.update(first, k);
        if (k + 1 < p) continue;
        const std::size_t jmax = std::isnan(high[first]) ? 0 : top - first;
        const std::size_t jmin = std::isnan(low[first]) ? 0 : bottom - first;
        out[k] = value(jmax, jmin);
    }
}

}  // namespace

Series cci(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    if (n == 0) return Series(n, NaN);
    const SeriesView close = candles.column(col::close), high = candles.column(col::high),
                     low = candles.column(col::low);
    if (period == 0 || period > n) return Series(n, NaN);
    Series out(n);
    cci_windows(high, low, close, period, out.data());
    std::fill_n(out.data(), period - 1, NaN);
    return out;
}

Series aroonosc(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    const double P = static_cast<double>(period);
    const auto divided = [P](std::size_t jmax, std::size_t jmin) {
        return ((static_cast<double>(jmax) - static_cast<double>(jmin)) * 100.0) / P;
    };
    const auto higher = [](double a, double b) { return a > b; };
    const auto lower = [](double a, double b) { return a < b; };
    // Short windows rescan when their extreme leaves (cheap and branch-
    // predictable); long ones keep candidate queues, linear in n whatever
    // the data. Both keep the same first position.
    if (period <= kShortWindow) {
        // Only 2p-1 position differences exist: their values are computed
        // once, with the same operations, instead of a division per row.
        double table[2 * kShortWindow - 1];
        const std::size_t mid = period - 1;
        for (std::size_t d = 0; d < 2 * period - 1; ++d) table[d] = divided(d, mid);
        RescannedFirstExtreme hi(high, higher);
        RescannedFirstExtreme lo(low, lower);
        const double* at_mid = table + mid;  // held by value: no reload per row
        aroon_sweep(high, low, period, out.data(), hi, lo, [at_mid](std::size_t jmax, std::size_t jmin) {
            return at_mid[static_cast<std::ptrdiff_t>(jmax) - static_cast<std::ptrdiff_t>(jmin)];
        });
    } else {
        QueuedFirstExtreme hi(high, period, higher);
        QueuedFirstExtreme lo(low, period, lower);
        aroon_sweep(high, low, period, out.data(), hi, lo, divided);
    }
    return out;
}

Tuple fisher(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series fish(n, 0.0), signal(n, 0.0);
    if (n == 0) return tuple_of(std::move(fish), std::move(signal));
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    if (period == 0) throw InternalError("fisher period must be at least 1");
    if (period >= n) return tuple_of(std::move(fish), std::move(signal));
    const std::size_t p = period;
    std::vector<double> price(n);
    for (std::size_t i = 0; i < n; ++i) price[i] = FisherState::price(high[i], low[i]);
    // NaN-ignoring extremes of each window, in linear time whatever the
    // period. Under the order of `below` the extreme value is unique, so the
    // queues give the value a maxNum/minNum fold over the window gives.
    const SeriesView pv{reinterpret_cast<const char*>(price.data()), sizeof(double), n};
    QueuedFirstExtreme highs(pv, p, [](double a, double b) { return below(b, a); });
    QueuedFirstExtreme lows(pv, p, [](double a, double b) { return below(a, b); });
    FisherState st;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t first = k + 1 >= p ? k + 1 - p : 0;
        const std::size_t top = highs.update(first, k), bottom = lows.update(first, k);
        if (k < p) continue;
        const double hi = top == kNone ? -kInf : price[top];
        const double lo = bottom == kNone ? kInf : price[bottom];
        st.next(price[k], hi, lo, fish[k], signal[k]);
    }
    return tuple_of(std::move(fish), std::move(signal));
}
}  // namespace korva::osc
