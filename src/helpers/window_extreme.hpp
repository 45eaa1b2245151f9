// Rolling maximum and minimum over the last p rows by a monotonic deque of
// (row, value) pairs, shared by the channel and stochastic families.
//
// The pop rule is a plain comparison, and a comparison with NaN is false: a
// NaN never removes anything and is never removed from the back, so it sits
// behind larger values and reaches the front once they expire. Callers see
// that NaN as the window's extreme; their results depend on it, so the rule
// must not be "fixed" to skip NaN.
#pragma once
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lanes.hpp"

namespace korva {

// Ring buffer of (row, value) pairs. The capacity is a power of two no
// smaller than the window, so it never grows: after expiring, at most p - 1
// rows remain and one more is added.
class MonotonicDeque {
public:
    explicit MonotonicDeque(std::size_t window)
        : mask_(std::bit_ceil(window < 1 ? std::size_t{1} : window) - 1), row_(mask_ + 1), val_(mask_ + 1) {}

    bool empty() const { return size_ == 0; }
    double front() const { return val_[head_]; }
    double back() const { return val_[(head_ + size_ - 1) & mask_]; }
    void pop_front() {
        head_ = (head_ + 1) & mask_;
        --size_;
    }
    void pop_back() { --size_; }
    void push_back(std::size_t row, double v) {
        const std::size_t at = (head_ + size_) & mask_;
        row_[at] = row;
        val_[at] = v;
        ++size_;
    }
    // Drops the rows that left a window of p rows now ending before `row`
    // (indices <= row - p), written without the subtraction so that p may be
    // larger than row.
    void expire(std::size_t row, std::size_t p) {
        while (size_ != 0 && row_[head_] + p <= row) pop_front();
    }

private:
    std::size_t mask_;
    std::vector<std::size_t> row_;
    std::vector<double> val_;
    std::size_t head_ = 0, size_ = 0;
};

// Pop conditions: the new value displaces the back one when it is at least
// as extreme, false for NaN on either side. `combine` is the block form's
// fold for NaN-free data.
struct KeepMax {
    static bool displaces(double v, double back) { return v >= back; }
    // Without NaN: the later of two equal values wins, as in the deque.
    static double combine(double earlier, double later) { return max_later(earlier, later); }
};
struct KeepMin {
    static bool displaces(double v, double back) { return v <= back; }
    static double combine(double earlier, double later) { return min_later(earlier, later); }
};

// `window_extreme`: add rows 0 .. p-1, then for each later row expire, add,
// read the front. `Rule` is KeepMax or KeepMin.
template <class Rule>
class WindowExtreme {
public:
    explicit WindowExtreme(std::size_t p) : p_(p), q_(p) {}

    // Adds row j (rows come in order); expires first once j >= p.
    void add(std::size_t j, double v) {
        q_.expire(j, p_);
        while (!q_.empty() && Rule::displaces(v, q_.back())) q_.pop_back();
        q_.push_back(j, v);
    }
    // The extreme of the current window (NaN if a NaN reached the front).
    double value() const { return q_.front(); }

private:
    std::size_t p_;
    MonotonicDeque q_;
};

// Block form of the same rolling extremes (van Herk / Gil-Werman): the
// series is cut into blocks of p rows; a window ending at row i is the
// suffix of the previous block from its first row plus the prefix of the
// current block up to i. Three `combine` steps per row, no data-dependent
// branches, O(n) whatever the data. `combine(earlier, later)` must be
// associative over the window's rows in order.
template <class V, class Combine, class Emit>
void block_extreme(const V& x, std::size_t p, Combine&& combine, Emit&& emit) {
    const std::size_t n = x.size();
    std::vector<double> suffix(p);  // of the previous block
    for (std::size_t start = 0; start < n; start += p) {
        const std::size_t len = std::min(p, n - start);
        double prefix = x[start];
        for (std::size_t k = 0;;) {
            const std::size_t i = start + k;
            if (k + 1 == p) {
                emit(i, prefix);  // the window is this whole block
            } else if (start != 0) {
                emit(i, combine(suffix[k + 1], prefix));
            }
            if (++k == len) break;
            prefix = combine(prefix, x[start + k]);
        }
        if (len == p && start + p < n) {
            double acc = x[start + p - 1];
            suffix[p - 1] = acc;
            for (std::size_t k = p - 1; k-- > 0;) {
                acc = combine(x[start + k], acc);
                suffix[k] = acc;
            }
        }
    }
}

template <class V>
bool has_nan(const V& x) {
    bool any = false;
    for (std::size_t i = 0; i < x.size(); ++i) any |= std::isnan(x[i]);
    return any;
}

// `window_extreme` over a whole series: calls emit(i, extreme) for every
// window end i = p-1 .. n-1 (n >= p >= 1). Without NaN the deque's front is
// the window's extreme taken at its latest row (ties, which differ only in
// the sign of zero, go to the later row), which the block form gives
// without the deque's unpredictable pops; with NaN the deque itself runs.
template <class Rule, class V, class Emit>
void window_extreme(const V& x, std::size_t p, Emit&& emit) {
    if (has_nan(x)) {
        WindowExtreme<Rule> w(p);
        for (std::size_t j = 0; j < x.size(); ++j) {
            w.add(j, x[j]);
            if (j + 1 >= p) emit(j, w.value());
        }
        return;
    }
    block_extreme(x, p, Rule::combine, emit);
}

// Rolling maximum of `high` and minimum of `low` together, in one pass over
// the rows (candle columns share cache lines, so one pass reads the matrix
// once): emit(i, hh, ll) for every window end i = p-1 .. n-1, n = high.size()
// >= p >= 1, low at least as long. With `NanAware` the block form runs with
// the NaN-ignoring rules as they are; otherwise it gives the deque's results
// only while no NaN shows, so at the first NaN it stops and returns false
// (positions already emitted must then be recomputed by the deque).
//
// Both folds run as one on the pair {high, -low}: a minimum is the negated
// maximum of the negated values under either rule (negation is exact and
// mirrors the order, the zero signs and the tie rule included), so one
// two-lane step does the work of two scalar ones.
template <bool NanAware>
[[gnu::always_inline]] inline Pair high_low_combine(Pair earlier, Pair later) {
    if constexpr (NanAware) {
        return max_num(earlier, later);
    } else {
        return max_later(earlier, later);
    }
}

template <bool NanAware, class VH, class VL, class Emit>
bool block_high_low(const VH& high, const VL& low, std::size_t p, Emit&& emit) {
    const auto combine = [](Pair earlier, Pair later) { return high_low_combine<NanAware>(earlier, later); };
    const auto row = [&](std::size_t j) { return Pair{high[j], -low[j]}; };
    const auto has_nan = [](Pair v) { return std::isnan(v[0]) || std::isnan(v[1]); };
    const std::size_t n = high.size();
    std::vector<Pair> suffix(p);  // of the previous block
    for (std::size_t start = 0; start < n; start += p) {
        const std::size_t len = std::min(p, n - start);
        Pair acc = row(start);
        if (!NanAware && has_nan(acc)) return false;
        for (std::size_t k = 0;;) {
            const std::size_t i = start + k;
            if (k + 1 == p) {
                emit(i, acc[0], -acc[1]);
            } else if (start != 0) {
                const Pair r = combine(suffix[k + 1], acc);
                emit(i, r[0], -r[1]);
            }
            if (++k == len) break;
            const Pair v = row(start + k);
            if (!NanAware && has_nan(v)) return false;
            acc = combine(acc, v);
        }
        if (len == p && start + p < n) {
            Pair a = row(start + p - 1);
            suffix[p - 1] = a;
            for (std::size_t k = p - 1; k-- > 0;) {
                a = combine(row(start + k), a);
                suffix[k] = a;
            }
        }
    }
    return true;
}

// `window_extreme` of high (maximum) and low (minimum) side by side:
// emit(i, hh, ll) for i = p-1 .. n-1 (n >= p >= 1).
template <class VH, class VL, class Emit>
void window_high_low(const VH& high, const VL& low, std::size_t p, Emit&& emit) {
    if (block_high_low<false>(high, low, p, emit)) return;
    WindowExtreme<KeepMax> hh(p);
    WindowExtreme<KeepMin> ll(p);
    for (std::size_t j = 0; j < high.size(); ++j) {
        hh.add(j, high[j]);
        ll.add(j, low[j]);
        if (j + 1 >= p) emit(j, hh.value(), ll.value());
    }
}

// What window_high_low gives for the one window high[0 .. m-1], low[0 ..
// m-1] (m >= 1), folded afresh, for streams that keep only the last rows.
// The result at a window end is the deques' front, which depends only on the
// window's rows (a row leaves a deque from the back only for a later one):
// a column's first value if it is NaN (a NaN never leaves but from the
// front), else the latest extreme of the rows before the column's first
// NaN (a NaN stops the pops of every later value). A NaN-free window gives
// the block form's value the same way, ties going to the later row.
inline void high_low_of_window(const double* high, const double* low, std::size_t m, double& hh, double& ll) {
    Pair acc{high[0], -low[0]};
    PairBits stopped = acc != acc;
    for (std::size_t j = 1; j < m; ++j) {
        const Pair v{high[j], -low[j]};
        stopped |= v != v;
        if (stopped[0] && stopped[1]) break;
        acc = stopped ? acc : high_low_combine<false>(acc, v);
    }
    hh = acc[0];
    ll = -acc[1];
}

// What block_high_low<true> gives for the one window high[0 .. m-1], low[0
// .. m-1] (m >= 1), folded afresh: maxNum is associative, commutative and
// idempotent on values, zero signs included, so any grouping of the
// window's rows gives the block form's extremes (an all-NaN column: NaN).
// Four folds side by side, each started at the first row, shorten the
// chain of dependent steps.
inline void high_low_num_of_window(const double* high, const double* low, std::size_t m, double& hh, double& ll) {
    const auto row = [&](std::size_t j) { return Pair{high[j], -low[j]}; };
    Pair acc[4] = {row(0), row(0), row(0), row(0)};
    std::size_t j = 1;
    for (; j + 4 <= m; j += 4) {
        for (std::size_t g = 0; g < 4; ++g) acc[g] = high_low_combine<true>(acc[g], row(j + g));
    }
    for (; j < m; ++j) acc[0] = high_low_combine<true>(acc[0], row(j));
    const Pair r =
        high_low_combine<true>(high_low_combine<true>(acc[0], acc[1]), high_low_combine<true>(acc[2], acc[3]));
    hh = r[0];
    ll = -r[1];
}

// NaN-ignoring extremes of high and low side by side, an all-NaN window
// giving -inf and +inf.
template <class VH, class VL, class Emit>
void window_high_low_num(const VH& high, const VL& low, std::size_t p, Emit&& emit) {
    block_high_low<true>(high, low, p, [&](std::size_t i, double hh, double ll) {
        emit(i, max_num(-INFINITY, hh), min_num(INFINITY, ll));
    });
}

}  // namespace korva
