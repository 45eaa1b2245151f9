// The price series that candle functions pick with a `source_type` name:
// close, open, high, low, hl2, hlc3 or ohlc4 (anything else is close). Plain
// columns are read in place; derived ones are built once per call, element by
// element in the host's NumPy operation order, so they match it bit for bit.
#pragma once
#include <string_view>
#include <vector>

#include "views.hpp"

namespace korva {

// How the name is compared: some callers lower-case it first, others
// compare it exactly as given (so "HL2" selects close for them).
enum class NameCase { Fold, Exact };

class PriceSource {
public:
    PriceSource(MatrixView candles, std::string_view source_type, NameCase name_case)
        : PriceSource(candles, source_type, name_case, owned_) {}
    // A derived source built in the caller's `storage` (whose capacity a
    // stream reuses from call to call), which must outlive view().
    PriceSource(MatrixView candles, std::string_view source_type, NameCase name_case, std::vector<double>& storage);
    PriceSource(const PriceSource&) = delete;
    PriceSource& operator=(const PriceSource&) = delete;

    // The selected series, n = candles.rows.
    SeriesView view() const { return view_; }

private:
    std::vector<double> owned_;  // only for the derived sources
    SeriesView view_;
};

}  // namespace korva
