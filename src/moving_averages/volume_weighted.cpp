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
    std::vector<double> pv(n), v(n);
    double sp = 0.0, sv = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double c = close[i], vo = volume[i];
        sp = i == 0 ? c * vo : sp + c * vo;
        sv = i == 0 ? vo : sv + vo;
        pv[i] = sp;
        v[i] = sv;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double num, den;
        if (i < period) {
            num = pv[i];
            den = v[i];
        } else {
            num = pv[i] - pv[i - period];
            den = v[i] - v[i - period];
        }
        out[i] = den == 0.0 ? NaN : num / den;
    }
    return out;
}

}  // namespace korva::ma
