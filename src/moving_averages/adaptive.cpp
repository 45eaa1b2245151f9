// Adaptive averages: the smoothing constant changes from bar to bar with the
// efficiency, fractal dimension, momentum or volatility of the price. Each
// is one forward pass that reproduces the host's earlier loop bit for bit.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/price_source.hpp"
#include "../helpers/sequential.hpp"
#include "../helpers/smoothing.hpp"
#include "adaptive.hpp"
#include "core.hpp"
#include "steps.hpp"

namespace korva::ma {
namespace {

// The host sliced its window sums with period - 1 (and period - 2); a zero
// period made that slice bound wrap around.
[[noreturn]] void zero_period(std::size_t n) { index_out_of_range(static_cast<std::size_t>(-1), n); }

// Shortest round-trip text of a float, always with a fraction ("2.0").
std::string float_text(double v) {
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    std::string s(buf, end);
    if (std::isfinite(v) && s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

}  // namespace

// The host's clamp failure.
void empty_clamp_range(double lo, double hi) {
    throw InternalError("min > max, or either was NaN. min = " + float_text(lo) + ", max = " + float_text(hi));
}

Series kama(SeriesView source, std::uint64_t period, std::uint64_t fast_length, std::uint64_t slow_length) {
    const std::size_t n = source.size();
    if (period >= n) return detail::copy_of(source);
    if (period == 0) zero_period(n);
    Series out(n);
    with_view(source, [&](const auto& x) {
        for (std::size_t i = 0; i < period; ++i) out[i] = x[i];
        double vol = 0.0;
        for (std::size_t j = 0; j + 1 < period; ++j) vol = KamaStep::enter(vol, x[j], x[j + 1]);
        const KamaStep k(fast_length, slow_length);
        double prev = out[period - 1];
        vol = KamaStep::enter(vol, x[period - 1], x[period]);
        out[period] = prev = k.value(vol, prev, x[period], x[0]);
        k.run(x, period, period + 1, vol, prev, out.data() + period + 1);
    });
    return out;
}

Series frama(MatrixView candles, std::uint64_t window, std::uint64_t fc, std::uint64_t sc) {
    if (window == 0) index_out_of_range(static_cast<std::size_t>(-1), candles.rows);
    const SeriesView high = candles.column(col::high), low = candles.column(col::low),
                     close = candles.column(col::close);
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    // An odd window becomes the next even one; the largest odd window would
    // wrap to 0 but is longer than any input anyway.
    if (window == std::numeric_limits<std::uint64_t>::max()) return out;
    const std::uint64_t w = window + window % 2;
    if (n < w) return out;
    const FramaStep step(w, fc, sc);
    double seed = -0.0;
    for (std::size_t i = 0; i < w; ++i) seed = seed + close[i];
    out[w - 1] = seed / static_cast<double>(w);
    double dim = 0.0;
    for (std::size_t i = w; i < n; ++i) {
        dim = step.dimension(high, low, i - w, dim);
        out[i] = FramaStep::blend(step.alpha(dim), out[i - 1], close[i]);
    }
    return out;
}

Series maaq(SeriesView source, std::uint64_t period, std::uint64_t fast_period, std::uint64_t slow_period) {
    const std::size_t n = source.size();
    if (period >= n) return detail::copy_of(source);
    if (period == 0) zero_period(n);
    Series out = detail::copy_of(source);
    const MaaqStep step(fast_period, slow_period);
    with_view(source, [&](const auto& x) {
        auto dif = [&](std::size_t j) { return MaaqStep::change(x[j - 1], x[j]); };
        double noise = -0.0;
        for (std::size_t j = 1; j <= period; ++j) noise = noise + dif(j);
        double prev = out[period] = step.value(noise, out[period - 1], x[period], x[0]);
        step.run(x, period, period + 1, noise, prev, out.data() + period + 1);
    });
    return out;
}

Series vidya(SeriesView source, std::uint64_t length, bool fix_cmo, bool select) {
    const std::size_t n = source.size();
    if (n < 2) return detail::copy_of(source);
    // The volatility mode read its input as one plain slice.
    if (!select) require_plain_slice(source);
    Series out = detail::copy_of(source);
    const VidyaStep step(length);
    with_view(source, [&](const auto& x) {
        if (select) {
            const std::uint64_t m = fix_cmo ? 9 : length;
            // While the window still starts at 0 its sums are running sums
            // in the same order, so they are carried instead of re-summed:
            // a long window costs O(n), not O(n^2).
            double run_up, run_down;
            VidyaStep::start(run_up, run_down);
            for (std::size_t i = 1; i < n; ++i) {
                const std::size_t start = VidyaStep::window_start(i, m);
                double up, down;
                if (start == 0) {
                    VidyaStep::tally(x[i] - x[i - 1], run_up, run_down);
                    up = run_up;
                    down = run_down;
                } else {
                    VidyaStep::tally_changes(x, start, i, up, down);
                }
                out[i] = VidyaStep::blend(step.momentum_factor(up, down), out[i - 1], x[i]);
            }
        } else {
            for (std::size_t i = 1; i < n; ++i) {
                const double kk = step.volatility_factor(x, VidyaStep::window_start(i, length), i + 1);
                out[i] = VidyaStep::blend(kk, out[i - 1], x[i]);
            }
        }
    });
    return out;
}

Series vlma_inner(SeriesView source, SeriesView a, SeriesView b, SeriesView c, SeriesView d, std::uint64_t min_period,
                  std::uint64_t max_period) {
    Series out = detail::copy_of(source);
    const std::size_t n = out.size();
    if (n <= 1) return out;
    // Every band must cover the source, whatever the data: the check comes
    // before the loop, so a short band fails even where a comparison would
    // never have read it. The message names the first index a read in bar
    // order would have missed.
    for (const SeriesView* band : {&a, &b, &c, &d}) {
        if (band->size() < n) index_out_of_range(std::max<std::size_t>(band->size(), 1), band->size());
    }
    const double lo = static_cast<double>(min_period), hi = static_cast<double>(max_period);
    double period = hi;
    for (std::size_t i = 1; i < n; ++i) {
        const double v = out[i];
        if (v < b[i] || v > c[i]) {
            if (!(a[i] <= v && v <= d[i])) period = period - 1.0;
        } else {
            period = period + 1.0;
        }
        period = std::min(std::max(period, lo), hi);
        const double alpha = 2.0 / (period + 1.0);
        out[i] = smooth({alpha, 1.0 - alpha}, out[i - 1], v);
    }
    return out;
}

Series mcginley_dynamic(SeriesView source, std::uint64_t period, double k) {
    const std::size_t n = source.size();
    Series out(n);
    if (n == 0) return out;
    const McGinleyStep step(period, k);
    with_view(source, [&](const auto& x) {
        double md = x[0];
        out[0] = md;
        for (std::size_t i = 1; i < n; ++i) out[i] = md = step.next(md, x[i]);
    });
    return out;
}

namespace {

KORVA_CHECK_STEP("trix", TrixStep{{ema_coefficients(30)}})
KORVA_CHECK_STEP("t3", T3Step(5, 0.7))

}  // namespace

Series trix(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n);
    if (n == 0) return out;
    with_view(source, [&](const auto& x) {
        // The logarithms a block at a time, in their own pass: they do not
        // depend on each other, so they overlap instead of waiting on the
        // recurrence.
        const auto logs = [&](std::size_t a, std::size_t b, double* const* bufs) {
            for (std::size_t i = a; i < b; ++i) bufs[0][i - a] = TrixStep::input(x[i]);
        };
        const double l0 = TrixStep::input(x[0]);
        double s[3] = {l0, l0, l0};
        double* o[1] = {out.data()};
        rec::run_blocked(TrixStep{{ema_coefficients(period)}}, logs, o, 1, n, s);
    });
    out[0] = NaN;
    return out;
}

Series t3(MatrixView candles, std::uint64_t period, double vfactor, std::string_view source_type, bool sequential) {
    const std::size_t n = candles.rows;
    const PriceSource price(candles, source_type, NameCase::Fold);
    Series out(n);
    if (n == 0) return out;
    const T3Step step(period, vfactor);
    with_view(price.view(), [&](const auto& y) {
        const double y0 = y[0];
        out[0] = step.first(y0);
        double s[6] = {y0, y0, y0, y0, y0, y0};
        double* o[1] = {out.data()};
        rec::run_view(step, y, o, 1, n, s);
    });
    return whole_or_last(std::move(out), sequential);
}

}  // namespace korva::ma
