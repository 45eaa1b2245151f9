// Trend overlays. The three regime-switching ones (SuperTrend, SAR and the
// SafeZone stops) compare against NaN on purpose: a comparison with NaN is
// false and selects the branch the host code fell into, and callers compare
// the stored lines bit for bit.
#include "overlays.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/true_range.hpp"
#include "movement.hpp"
#include "overlay_steps.hpp"

namespace korva::trend {
namespace {

// supertrend, sar and safezonestop report a narrow matrix as an index
// failure, not as the missing-dimension error.
void require_columns(const MatrixView& candles) {
    if (candles.cols <= col::low) index_out_of_range(col::low, candles.cols);
}

// Writes v at index `at` of out when that index exists and v is a number:
// the alligator lines are shifted forward and values past the end dropped.
void put_shifted(Series& out, std::size_t at, double v) {
    if (at < out.size() && !std::isnan(v)) out[at] = v;
}

// Midpoint of the highest high and the lowest low of the last p of `len`
// rows. maxNum/minNum ignore a single NaN; an empty window is
// (-inf + inf) * 0.5, NaN.
double midpoint(const SeriesView& high, const SeriesView& low, std::size_t len, std::uint64_t p) {
    if (len < p) return NaN;
    double hi = -kInf, lo = kInf;
    for (std::size_t k = len - static_cast<std::size_t>(p); k < len; ++k) {
        hi = max_num(hi, high[k]);
        lo = min_num(lo, low[k]);
    }
    return (hi + lo) * 0.5;
}

// End (exclusive) of the displaced ichimoku rows: 1 - displacement read as a
// signed end index, a negative one counting from the end. Computed without
// wrapping, so a displacement beyond the data is the out-of-range failure
// rather than a small wrapped index.
std::size_t displaced_end(std::uint64_t displacement, std::size_t n) {
    if (displacement == 0) {
        if (n == 0) throw InternalError("assertion failed: end <= axis_len");
        return 1;
    }
    if (displacement == 1) return 0;  // end index 0: no rows
    const std::uint64_t back = displacement - 1;
    if (back > n) throw InternalError("assertion failed: end <= axis_len");
    return n - static_cast<std::size_t>(back);
}

// Rolling maxNum (Max) or minNum fold over windows whose start never moves
// back, by the monotonic queue of overlay_steps.hpp over the indices of a
// series of candidates (at most one entry per row, so no bounds to check).
template <bool Max>
class NumExtreme {
public:
    explicit NumExtreme(const std::vector<double>& v) : v_(v), q_(v.size()) {}

    bool empty() const { return tail_ == head_; }
    double back() const { return v_[q_[tail_ - 1]]; }
    double front() const { return v_[q_[head_]]; }
    void pop_back() { --tail_; }
    void push_back(std::size_t i, double) { q_[tail_++] = i; }

    void push(std::size_t i) { num_extreme_add<Max>(*this, i, v_[i]); }
    // The rows queued, oldest first, and their values.
    void entries(std::vector<std::size_t>& rows, std::vector<double>& values) const {
        for (std::size_t j = head_; j < tail_; ++j) {
            rows.push_back(q_[j]);
            values.push_back(v_[q_[j]]);
        }
    }
    double extreme(std::size_t start) {
        while (head_ < tail_ && q_[head_] < start) ++head_;
        return num_extreme_value<Max>(*this);
    }

private:
    const std::vector<double>& v_;
    std::vector<std::size_t> q_;
    std::size_t head_ = 0, tail_ = 0;
};

template <bool Max>
void window_fold(const std::vector<double>& c, std::uint64_t lookback, double* out, SafezoneEnd& end) {
    NumExtreme<Max> q(c);
    for (std::size_t i = 0; i < c.size(); ++i) {
        q.push(i);
        const std::size_t start = (lookback == 0 || i < lookback) ? 0 : i - static_cast<std::size_t>(lookback - 1);
        out[i] = q.extreme(start);
    }
    q.entries(end.rows, end.values);
}

}  // namespace

Tuple alligator(SeriesView source) {
    const std::size_t n = source.size();
    Series jaw(n, NaN), teeth(n, NaN), lips(n, NaN);
    if (n <= 12) return tuple_of(std::move(jaw), std::move(teeth), std::move(lips));
    with_view(source, [&](const auto& x) {
        // One running sum seeds all three lines.
        double sum = 0.0, seeds[3] = {};
        for (std::size_t k = 0; k < kJaw.period; ++k) {
            sum = alligator_sum(k, sum, x[k]);
            if (k + 1 == kLips.period) seeds[2] = sum;
            if (k + 1 == kTeeth.period) seeds[1] = sum;
        }
        seeds[0] = sum;
        const auto draw = [&](const AlligatorLine& line, double seed, Series& out) {
            double v = line.seed(seed);
            put_shifted(out, line.period - 1 + line.shift, v);
            for (std::size_t i = line.period; i + line.shift < n; ++i) {
                v = line.step(v, x[i]);
                put_shifted(out, i + line.shift, v);
            }
        };
        draw(kJaw, seeds[0], jaw);
        draw(kTeeth, seeds[1], teeth);
        draw(kLips, seeds[2], lips);
    });
    return tuple_of(std::move(jaw), std::move(teeth), std::move(lips));
}

Tuple ichimoku_cloud(MatrixView candles, std::uint64_t conversion_line_period, std::uint64_t base_line_period,
                     std::uint64_t lagging_line_period, std::uint64_t displacement) {
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    const std::size_t n = candles.rows;
    const std::size_t end = displaced_end(displacement, n);

    const double conversion = midpoint(high, low, n, conversion_line_period);
    const double base = midpoint(high, low, n, base_line_period);
    const double span_a =
        (midpoint(high, low, end, conversion_line_period) + midpoint(high, low, end, base_line_period)) * 0.5;
    const double span_b = midpoint(high, low, end, lagging_line_period);
    return tuple_of(conversion, base, span_a, span_b);
}

Tuple supertrend(MatrixView candles, std::uint64_t period, double factor) {
    const std::size_t n = candles.rows;
    if (n == 0) index_out_of_range(0, 0);
    require_columns(candles);
    const SeriesView close = candles.column(col::close);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);

    // The ATR is written into the trend buffer: row i's ATR is read just
    // before row i's trend value replaces it. A zero period fails inside.
    Series trend(n), changed(n, 0.0);
    wilder_atr(high, low, close, period, trend.data());
    if (period > n) {
        std::fill_n(trend.data(), n, 0.0);
        return tuple_of(std::move(trend), std::move(changed));
    }
    const std::size_t p = static_cast<std::size_t>(period);
    const SupertrendBands bands{factor};
    const auto atr_at = [&](std::size_t i) { return trend[i]; };
    const std::size_t s = p - 1;
    SupertrendState st;
    std::fill_n(trend.data(), s, 0.0);
    trend[s] = st.start(bands, atr_at(s), high[s], low[s], close[s]);
    for (std::size_t i = p; i < n; ++i) {
        trend[i] = st.step(bands, atr_at(i), high[i], low[i], close[i], close[i - 1], changed[i]);
    }
    return tuple_of(std::move(trend), std::move(changed));
}

Series sar(MatrixView candles, double acceleration, double maximum) {
    const std::size_t n = candles.rows;
    if (n == 0) return Series(0);
    require_columns(candles);
    if (n == 1) index_out_of_range(1, 1);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);
    Series out(n);
    SarState st{acceleration, maximum};
    out[1] = st.start(high[0], low[0], high[1], low[1], out[0]);
    for (std::size_t i = 2; i < n; ++i) out[i] = st.step(high[i], low[i]);
    return out;
}

Series safezonestop(MatrixView candles, std::uint64_t period, double mult, std::uint64_t max_lookback, bool direction) {
    const std::size_t n = candles.rows;
    if (n == 0) index_out_of_range(0, 0);
    if (n == 1) return Series(1, 0.0);
    SafezoneEnd end;
    return safezonestop_over(candles, period, mult, max_lookback, direction, end);
}

Series safezonestop_over(MatrixView candles, std::uint64_t period, double mult, std::uint64_t max_lookback,
                         bool direction, SafezoneEnd& end) {
    const std::size_t n = candles.rows;
    require_columns(candles);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);

    // Candidate stops: row i's smoothed movement paired with row i-1's price.
    SafezoneStep step{1.0 - (1.0 / static_cast<double>(period)), mult, direction};
    std::vector<double> c(n, 0.0);
    for (std::size_t i = 1; i < n; ++i) c[i] = step.candidate(high[i], low[i], high[i - 1], low[i - 1]);

    Series out(n);
    if (direction) {
        window_fold<true>(c, max_lookback, out.data(), end);
    } else {
        window_fold<false>(c, max_lookback, out.data(), end);
    }
    end.plus = step.plus;
    end.minus = step.minus;
    return out;
}

}  // namespace korva::trend
