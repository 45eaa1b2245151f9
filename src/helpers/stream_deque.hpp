// Rolling extremes for streams: the monotonic deque of window_extreme.hpp
// with storage that grows with the rows fed rather than with the window (a
// window of 2^64 - 1 rows costs only what was fed), rows counted in 64 bits,
// and a saved state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "errors.hpp"
#include "stream.hpp"
#include "window_extreme.hpp"

namespace korva::stream {

// (row, value) pairs, oldest first; rows strictly increase.
class GrowingDeque {
public:
    bool empty() const { return head_ == vals_.size(); }
    double front() const { return vals_[head_]; }
    double back() const { return vals_.back(); }
    void pop_back() {
        vals_.pop_back();
        rows_.pop_back();
    }
    void pop_front() {
        ++head_;
        // Amortised O(1): the dead front is dropped once it is half the store.
        if (head_ >= 32 && 2 * head_ >= vals_.size()) compact();
    }
    // Keeps the front entry only.
    void keep_front() {
        if (empty()) return;
        compact();
        rows_.resize(1);
        vals_.resize(1);
    }
    void push_back(std::uint64_t row, double v) {
        rows_.push_back(row);
        vals_.push_back(v);
    }
    std::uint64_t back_row() const { return rows_.back(); }
    // Whether no entry displaces the one before it under `Rule`, as adding
    // through `displaces` leaves them.
    template <class Rule>
    bool kept_by() const {
        for (std::size_t i = head_ + 1; i < vals_.size(); ++i) {
            if (Rule::displaces(vals_[i], vals_[i - 1])) return false;
        }
        return true;
    }
    // The entries from the oldest a window of p rows ending at `row` keeps
    // (`end()` when it keeps none); at(i) is entry i's value.
    std::size_t first_kept(std::uint64_t row, std::uint64_t p) const {
        std::size_t i = head_;
        while (i < vals_.size() && row - rows_[i] >= p) ++i;
        return i;
    }
    std::size_t end() const { return vals_.size(); }
    double at(std::size_t i) const { return vals_[i]; }
    // What front() gives once the window moves on to `row` and v, pushed
    // there, has displaced from the back the entries it `covers`; the deque
    // untouched. O(1) unless v displaces the window's front (a new extreme):
    // then the entries between are looked at, as the push itself would.
    template <class Covers>
    double front_with(std::uint64_t row, std::uint64_t p, double v, Covers covers) const {
        const std::size_t first = first_kept(row, p);
        if (first == end() || !covers(v, vals_[first])) return first == end() ? v : vals_[first];
        std::size_t i = end();
        while (i > first && covers(v, vals_[i - 1])) --i;
        return i == first ? v : vals_[first];
    }
    // Drops the rows that left a window of p rows ending at `row` (those at
    // least p rows back), without forming row - p + 1: p may exceed row.
    void expire(std::uint64_t row, std::uint64_t p) {
        while (!empty() && row - rows_[head_] >= p) pop_front();
    }
    // The entries, and a check that they fit a window of p rows after `fed`
    // rows: increasing rows, none fed later, none expired.
    void fields(Fields& f, std::uint64_t fed, std::uint64_t p) {
        compact();
        f.values(vals_);  // a restored size is bounded by the bytes read
        rows_.resize(vals_.size());
        for (std::uint64_t& r : rows_) f.count(r);
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            if (rows_[i] >= fed || fed - 1 - rows_[i] >= p || (i > 0 && rows_[i] <= rows_[i - 1]))
                throw ValueError("invalid stream state");
        }
    }

private:
    void compact() {
        rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(head_));
        vals_.erase(vals_.begin(), vals_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    std::vector<std::uint64_t> rows_;
    std::vector<double> vals_;
    std::size_t head_ = 0;
};

// `window_extreme`'s rolling maximum (KeepMax) or minimum (KeepMin) of the
// last p rows, one row at a time: expire, add, read the front.
template <class Rule>
class StreamExtreme {
public:
    StreamExtreme() = default;
    explicit StreamExtreme(std::uint64_t p) : p_(p) {}
    // Adds row j, rows in order from 0 (p >= 1).
    void add(std::uint64_t j, double v) {
        q_.expire(j, p_);
        while (!q_.empty() && Rule::displaces(v, q_.back())) q_.pop_back();
        q_.push_back(j, v);
    }
    double value() const { return q_.front(); }
    // What value() gives after add(j, v), the window untouched.
    double peek(std::uint64_t j, double v) const { return q_.front_with(j, p_, v, Rule::displaces); }
    // Every row added is kept at the back until a later one displaces it,
    // so after rows were fed the newest is there, and the entries are in
    // the order adding leaves them.
    void fields(Fields& f, std::uint64_t fed) {
        q_.fields(f, fed, p_);
        if (fed > 0 && (q_.empty() || q_.back_row() != fed - 1)) throw ValueError("invalid stream state");
        if (!q_.kept_by<Rule>()) throw ValueError("invalid stream state");
    }

private:
    std::uint64_t p_ = 1;
    GrowingDeque q_;
};

}  // namespace korva::stream
