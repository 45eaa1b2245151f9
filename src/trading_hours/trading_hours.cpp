// Session membership with a search cursor. The cursor is the number of
// interval starts at or before the previous timestamp; sorted timestamps only
// ever move it forward, so a whole day of minutes costs one comparison per
// timestamp plus one short search per interval boundary crossed.
#include "trading_hours.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "../helpers/errors.hpp"

namespace korva::trading_hours {
namespace {

constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max();

// An interval bound array read as a plain slice (contiguity is checked by
// the caller); loads are unaligned-safe.
struct Bounds {
    const char* p;
    std::size_t n;
    std::int64_t operator[](std::size_t i) const { return load<std::int64_t>(p + i * sizeof(std::int64_t)); }
};

// Validation shared by both functions, in the order callers see the errors.
void check_intervals(const Int64View& starts, const Int64View& ends) {
    if (!plain_slice(starts) || !plain_slice(ends)) throw TypeError("The given array is not contiguous");
    bool ok = starts.n == ends.n;
    for (std::size_t i = 1; ok && i < starts.n; ++i) ok = starts[i] >= starts[i - 1];
    if (!ok) throw ValueError("interval starts and ends must have equal lengths and starts must be sorted");
}

class Membership {
public:
    Membership(const Int64View& starts, const Int64View& ends) : s_{starts.base, starts.n}, e_{ends.base, ends.n} {
        settle(0);
    }

    bool inside(std::int64_t t) {
        if (t < prev_start_) {
            settle(partition(0, t));  // went back in time: search everything again
        } else if (next_start_ <= t) {
            settle(partition(c_, t));  // moved past the next start: search the rest
        }
        return t < end_;
    }

private:
    // base + the number of starts in [base, L) that are <= t (halving search).
    std::size_t partition(std::size_t base, std::int64_t t) const {
        std::size_t size = s_.n - base;
        if (size == 0) return base;
        while (size > 1) {
            const std::size_t half = size / 2;
            // a select, not a branch: unordered timestamps make it a coin flip
            base = s_[base + half] <= t ? base + half : base;
            size -= half;
        }
        return base + (s_[base] <= t ? 1 : 0);
    }

    // Caches the bounds around cursor c. The sentinels make the tests in
    // inside() fail without extra branches: nothing is before kLowest, so with
    // c = 0 there is no backward step and every timestamp is outside. With
    // c = L the next start is kHighest, and a timestamp equal to it searches
    // an empty suffix, which leaves the cursor where it is.
    void settle(std::size_t c) {
        c_ = c;
        prev_start_ = c > 0 ? s_[c - 1] : kLowest;
        end_ = c > 0 ? e_[c - 1] : kLowest;
        next_start_ = c < s_.n ? s_[c] : kHighest;
    }

    Bounds s_, e_;
    std::size_t c_ = 0;
    std::int64_t prev_start_ = kLowest, end_ = kLowest, next_start_ = kHighest;
};

}  // namespace

Mask trading_hours_mask(Int64View timestamps, Int64View starts, Int64View ends) {
    check_intervals(starts, ends);
    const std::size_t n = timestamps.size();
    Mask out(n);
    unsigned char* o = out.data();
    with_view(timestamps, [&](const auto& ts) {
        // A local cursor: byte stores into the mask could alias a captured
        // one and force it back to memory on every step.
        Membership m(starts, ends);
        for (std::size_t i = 0; i < n; ++i) o[i] = m.inside(ts[i]) ? 1 : 0;
    });
    return out;
}

Matrix filter_candles_by_intervals(MatrixView candles, Int64View timestamps, Int64View starts, Int64View ends) {
    if (candles.rows != timestamps.size()) throw ValueError("one timestamp is required per candle row");
    check_intervals(starts, ends);
    const std::size_t n = candles.rows;
    const std::size_t m = candles.cols;

    // Selected rows as runs [first, last + 1): no mask, no row index list.
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    std::size_t k = 0;
    with_view(timestamps, [&](const auto& ts) {
        Membership mem(starts, ends);
        std::size_t i = 0;
        while (i < n) {
            if (!mem.inside(ts[i])) {
                ++i;
                continue;
            }
            const std::size_t first = i;
            while (++i < n && mem.inside(ts[i])) {}
            runs.emplace_back(first, i);
            k += i - first;
            if (i < n) ++i;  // ts[i] was tested and is outside
        }
    });

    Matrix out(k, m);
    if (k == 0 || m == 0) return out;
    char* dst = reinterpret_cast<char*>(out.data());
    constexpr auto w = static_cast<std::ptrdiff_t>(sizeof(double));
    const bool row_major =
        (m == 1 || candles.col_stride == w) && (n == 1 || candles.row_stride == w * static_cast<std::ptrdiff_t>(m));
    // Bytes are copied, not doubles: NaN payloads and -0.0 arrive unchanged.
    for (const auto& [first, last] : runs) {
        if (row_major) {
            const std::size_t bytes = (last - first) * m * sizeof(double);
            std::memcpy(dst, candles.base + static_cast<std::ptrdiff_t>(first) * candles.row_stride, bytes);
            dst += bytes;
            continue;
        }
        for (std::size_t r = first; r < last; ++r) {
            const char* row = candles.base + static_cast<std::ptrdiff_t>(r) * candles.row_stride;
            for (std::size_t c = 0; c < m; ++c, dst += w) {
                std::memcpy(dst, row + static_cast<std::ptrdiff_t>(c) * candles.col_stride, sizeof(double));
            }
        }
    }
    return out;
}

}  // namespace korva::trading_hours
