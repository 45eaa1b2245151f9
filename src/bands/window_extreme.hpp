// Rolling maximum and minimum over the last p rows by a monotonic deque of
// (row, value) pairs, shared by the channel and stochastic families.
//
// The pop rule is a plain comparison, and a comparison with NaN is false: a
// NaN never removes anything and is never removed from the back, so it sits
// behind larger values and reaches the front once they expire. Callers see
// that NaN as the window's extreme; their results depend on it, so the rule
// must not be "fixed" to skip NaN.
#pragma once
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korva::bands {

// Ring buffer of (row, value) pairs. The capacity is a power of two no
// smaller than the window, so it never grows: after expiring, at most p - 1
// rows remain and one more is added.
class MonotonicDeque {
public:
    explicit MonotonicDeque(std::size_t window)
        : mask_(std::bit_ceil(window < 1 ? std::size_t{1} : window) - 1), row_(mask_ + 1), val_(mask_ + 1) {}

    bool empty() const { return size_ == 0; }
    double front() const { return val_[head_]; }
    std::size_t front_row() const { return row_[head_]; }
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
// as extreme. False for NaN on either side.
struct KeepMax {
    static bool displaces(double v, double back) { return v >= back; }
};
struct KeepMin {
    static bool displaces(double v, double back) { return v <= back; }
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

// NaN-ignoring extremes (the maxNum/minNum rule, with -0 < +0) over the last
// p rows. Every window's result equals a fold of its non-NaN values from
// -inf (maximum) or +inf (minimum), whatever the fold order, because the
// rule is a total order on the values it keeps; the deque gives that fold in
// O(1) per row instead of rescanning the window.
struct KeepMaxNum {
    static constexpr double empty = -INFINITY;
    // The back survives only when it is strictly larger, +0 counting as
    // larger than -0, which is what max_num returns for the pair.
    static bool displaces(double v, double back) {
        return v > back || (v == back && !(std::signbit(v) && !std::signbit(back)));
    }
};
struct KeepMinNum {
    static constexpr double empty = INFINITY;
    static bool displaces(double v, double back) {
        return v < back || (v == back && !(!std::signbit(v) && std::signbit(back)));
    }
};

template <class Rule>
class WindowExtremeNum {
public:
    explicit WindowExtremeNum(std::size_t p) : p_(p), q_(p) {}

    void add(std::size_t j, double v) {
        q_.expire(j, p_);
        if (std::isnan(v)) return;  // skipped, as the fold skips it
        while (!q_.empty() && Rule::displaces(v, q_.back())) q_.pop_back();
        q_.push_back(j, v);
    }
    // An all-NaN window leaves the fold's start value.
    double value() const { return q_.empty() ? Rule::empty : q_.front(); }

private:
    std::size_t p_;
    MonotonicDeque q_;
};

}  // namespace korva::bands
