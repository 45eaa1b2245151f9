// Volume-weighted averages over candles: the anchored VWAP, which restarts
// at every anchor period, and the rolling volume-weighted moving average.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "../helpers/price_source.hpp"
#include "../helpers/sequential.hpp"
#include "steps.hpp"
#include "volume_weighted.hpp"

namespace korva::ma {
namespace {

// Length of an anchor period in seconds. ASCII upper-casing is the full
// Unicode mapping as far as these names go: the non-ASCII characters that
// upper-case to ASCII give only F, I, L, S and T. Anything unknown is a day.
std::int64_t anchor_seconds(std::string_view anchor) {
    std::string name(anchor);
    for (char& ch : name) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    if (name == "H") return 3600;
    if (name == "4H") return 14400;
    if (name == "12H") return 43200;
    if (name == "M") return 60;
    if (name == "W") return 604800;  // seven days from the epoch, a Thursday
    if (name == "MN") return 2592000;  // thirty days from the epoch, not calendar months
    return 86400;
}

// Float to integer as the host converted it: truncation toward zero,
// saturating at the ends of the range, NaN as 0. Timestamps out of range
// must not be undefined behaviour.
std::int64_t saturating_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

}  // namespace

Series vwap(MatrixView candles, std::string_view source_type, std::string_view anchor, bool sequential) {
    const std::size_t n = candles.rows;
    if (n == 0) return Series(0);
    const PriceSource price(candles, source_type, NameCase::Fold);
    const SeriesView y = price.view(), vol = candles.column(col::volume), ts = candles.column(col::timestamp);
    const std::int64_t seconds = anchor_seconds(anchor);
    auto key = [&](std::size_t i) { return saturating_int(ts[i] / 1000.0) / seconds; };
    Series out(n, NaN);
    std::int64_t prev = key(0);
    double cum_v = 0.0, cum_pv = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        // Periods are told apart only by comparing neighbours: a return to an
        // earlier period starts a new accumulation.
        const std::int64_t k = key(i);
        if (k != prev) cum_v = cum_pv = 0.0;
        const double v = vol[i];
        cum_v = cum_v + v;
        cum_pv = cum_pv + v * y[i];
        if (cum_v != 0.0) out[i] = cum_pv / cum_v;
        prev = k;
    }
    return whole_or_last(std::move(out), sequential);
}

Series vwma(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n);
    if (n == 0) return out;
    const SeriesView close = candles.column(col::close), volume = candles.column(col::volume);
    // Window sums are differences of running totals, not re-summed windows:
    // they carry the totals' rounding, as the host's cumulative sums did.
    // The totals at i - period are formed a second time by a trailing
    // cursor, with the same operations in the same order, so they are the
    // same bits without a stored series of totals (two arrays of n doubles
    // cost more in page faults than the whole computation).
    // Rows before the first full window (row 0 starts the totals), then the
    // rows whose window drops row i - period (its first one starts the
    // trailing totals; with a zero period, row 0 starts both).
    VwmaTotals lead, trail;
    const std::size_t head = period < n ? static_cast<std::size_t>(period) : n;
    if (head > 0) {
        lead.add(close[0], volume[0], true);
        out[0] = VwmaTotals::value(lead.price_volume, lead.volume);
    }
    for (std::size_t i = 1; i < head; ++i) {
        lead.next(close[i], volume[i]);
        out[i] = VwmaTotals::value(lead.price_volume, lead.volume);
    }
    if (head == n) return out;
    lead.add(close[head], volume[head], head == 0);
    trail.add(close[0], volume[0], true);
    out[head] = VwmaTotals::value(lead.price_volume - trail.price_volume, lead.volume - trail.volume);
    for (std::size_t i = head + 1; i < n; ++i) {
        lead.next(close[i], volume[i]);
        trail.next(close[i - head], volume[i - head]);
        out[i] = VwmaTotals::value(lead.price_volume - trail.price_volume, lead.volume - trail.volume);
    }
    return out;
}

}  // namespace korva::ma
