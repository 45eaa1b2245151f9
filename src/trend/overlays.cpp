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
// back. The fold ignores NaN and orders -0 below +0, so it is the extreme of
// the window's numbers whatever the order: a monotonic queue of indices
// gives the same bits as refolding each window. An all-NaN window folds to
// the start value, -inf or +inf.
template <bool Max>
class NumExtreme {
public:
    explicit NumExtreme(const std::vector<double>& v) : v_(v), q_(v.size()) {}

    void push(std::size_t i) {
        const double x = v_[i];
        if (std::isnan(x)) return;
        while (tail_ > head_ && covers(x, v_[q_[tail_ - 1]])) --tail_;
        q_[tail_++] = i;
    }
    double extreme(std::size_t start) {
        while (head_ < tail_ && q_[head_] < start) ++head_;
        if (head_ == tail_) return Max ? -kInf : kInf;
        return v_[q_[head_]];
    }

private:
    // x is at least as extreme as y, with -0 < +0.
    static bool covers(double x, double y) {
        if (Max) return x > y || (x == y && (!std::signbit(x) || std::signbit(y)));
        return x < y || (x == y && (std::signbit(x) || !std::signbit(y)));
    }
    const std::vector<double>& v_;
    std::vector<std::size_t> q_;
    std::size_t head_ = 0, tail_ = 0;
};

template <bool Max>
void window_fold(const std::vector<double>& c, std::uint64_t lookback, double* out) {
    NumExtreme<Max> q(c);
    for (std::size_t i = 0; i < c.size(); ++i) {
        q.push(i);
        const std::size_t start = (lookback == 0 || i < lookback) ? 0 : i - static_cast<std::size_t>(lookback - 1);
        out[i] = q.extreme(start);
    }
}

}  // namespace

Tuple alligator(SeriesView source) {
    const std::size_t n = source.size();
    Series jaw(n, NaN), teeth(n, NaN), lips(n, NaN);
    if (n <= 12) return tuple_of(std::move(jaw), std::move(teeth), std::move(lips));
    with_view(source, [&](const auto& x) {
        // One running sum seeds all three lines.
        const double s5 = ((((x[0] + 0.0) + x[1]) + x[2]) + x[3]) + x[4];
        const double s8 = ((s5 + x[5]) + x[6]) + x[7];
        const double s13 = ((((s8 + x[8]) + x[9]) + x[10]) + x[11]) + x[12];

        double j = s13 / 13.0;
        put_shifted(jaw, 12 + 8, j);
        for (std::size_t i = 13; i + 8 < n; ++i) {
            j = j * 0.9230769230769231 + x[i] * 0.07692307692307693;
            put_shifted(jaw, i + 8, j);
        }
        double t = s8 * 0.125;
        put_shifted(teeth, 7 + 5, t);
        for (std::size_t i = 8; i + 5 < n; ++i) {
            t = t * 0.875 + x[i] * 0.125;
            put_shifted(teeth, i + 5, t);
        }
        double l = s5 / 5.0;
        put_shifted(lips, 4 + 3, l);
        for (std::size_t i = 5; i + 3 < n; ++i) {
            l = l * 0.8 + x[i] * 0.2;
            put_shifted(lips, i + 3, l);
        }
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
    require_columns(candles);
    const SeriesView high = candles.column(col::high);
    const SeriesView low = candles.column(col::low);

    // Candidate stops: row i's smoothed movement paired with row i-1's price.
    const double k = 1.0 - (1.0 / static_cast<double>(period));
    std::vector<double> c(n, 0.0);
    double s_plus = 0.0, s_minus = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        double up = high[i] - high[i - 1];
        double dn = low[i - 1] - low[i];
        if (std::isnan(up)) up = 0.0;
        if (std::isnan(dn)) dn = 0.0;
        const Movement m = directional_movement(up, dn);
        s_plus = (k * s_plus) + m.plus;
        s_minus = (k * s_minus) + m.minus;
        c[i] = direction ? low[i - 1] - (s_minus * mult) : high[i - 1] + (s_plus * mult);
    }

    Series out(n);
    if (direction) {
        window_fold<true>(c, max_lookback, out.data());
    } else {
        window_fold<false>(c, max_lookback, out.data());
    }
    return out;
}

}  // namespace korva::trend
