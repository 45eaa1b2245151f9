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
Series vwap(MatrixView candles, std::string_view source_type, std::string_view anchor, bool sequential) {
    const std::size_t n = candles.rows;
    if (n == 0) return Series(0);
    const PriceSource price(candles, source_type, NameCase::Fold);
    const SeriesView y = price.view(), vol = candles.column(col::volume), ts = candles.column(col::timestamp);
    const VwapStep step(anchor);
    Series out(n);
    std::int64_t prev = step.key(ts[0]);
    double cum_v = 0.0, cum_pv = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t k = step.key(ts[i]);
        out[i] = VwapStep::add(cum_v, cum_pv, k != prev, vol[i], y[i]);
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
    VwmaTotals::run(close, volume, head, head + 1, lead, trail, out.data() + head + 1);
    return out;
}

}  // namespace korva::ma
