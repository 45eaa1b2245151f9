#include "price_source.hpp"

#include <string>

namespace korva {
namespace {

enum class Kind { Close, Open, High, Low, Hl2, Hlc3, Ohlc4 };

// ASCII folding is the full Unicode lower-case mapping as far as these names
// go: the only non-ASCII character that lower-cases to ASCII is the Kelvin
// sign (to "k"), and no name contains a "k". Other non-ASCII bytes are left
// as they are and simply never match.
Kind kind_of(std::string_view name, NameCase name_case) {
    std::string folded;
    if (name_case == NameCase::Fold) {
        folded.assign(name);
        for (char& ch : folded) {
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        name = folded;
    }
    if (name == "close") return Kind::Close;
    if (name == "open") return Kind::Open;
    if (name == "high") return Kind::High;
    if (name == "low") return Kind::Low;
    if (name == "hl2") return Kind::Hl2;
    if (name == "hlc3") return Kind::Hlc3;
    if (name == "ohlc4") return Kind::Ohlc4;
    return Kind::Close;
}

}  // namespace

PriceSource::PriceSource(MatrixView candles, std::string_view source_type, NameCase name_case,
                         std::vector<double>& storage) {
    const std::size_t n = candles.rows;
    switch (kind_of(source_type, name_case)) {
        case Kind::Close: view_ = candles.column(col::close); return;
        case Kind::Open: view_ = candles.column(col::open); return;
        case Kind::High: view_ = candles.column(col::high); return;
        case Kind::Low: view_ = candles.column(col::low); return;
        case Kind::Hl2: {
            const SeriesView h = candles.column(col::high), l = candles.column(col::low);
            storage.resize(n);
            for (std::size_t i = 0; i < n; ++i) storage[i] = (h[i] + l[i]) * 0.5;
            break;
        }
        case Kind::Hlc3: {
            const SeriesView h = candles.column(col::high), l = candles.column(col::low),
                             c = candles.column(col::close);
            storage.resize(n);
            // A division, not a multiplication by a third: they round differently.
            for (std::size_t i = 0; i < n; ++i) storage[i] = ((h[i] + l[i]) + c[i]) / 3.0;
            break;
        }
        case Kind::Ohlc4: {
            const SeriesView o = candles.column(col::open), h = candles.column(col::high), l = candles.column(col::low),
                             c = candles.column(col::close);
            storage.resize(n);
            for (std::size_t i = 0; i < n; ++i) storage[i] = (((o[i] + h[i]) + l[i]) + c[i]) * 0.25;
            break;
        }
    }
    view_ = SeriesView{reinterpret_cast<const char*>(storage.data()), sizeof(double), n};
}

}  // namespace korva
