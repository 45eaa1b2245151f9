// The stream registry: which functions of the table stream, keyed by name,
// and how. The parameters of a stream are those of its table entry without
// the series or candles and without `sequential`; the module checks at
// import that each factory's signature agrees, so names and converters stay
// written once, in the table.
#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "../helpers/stream.hpp"
#include "table.hpp"

namespace korva::stream {

struct Entry;
using Factory = std::unique_ptr<Kernel> (*)(const Entry&, std::span<const args::Arg>);
// The rows a window-local function needs to give its value at a position,
// from the stream's parameters.
using Lookback = std::uint64_t (*)(std::span<const args::Arg>);
// Raises what the batch function raises for these parameters on n rows.
using Admit = void (*)(std::span<const args::Arg>, std::uint64_t n);

inline constexpr std::size_t kTableParams = static_cast<std::size_t>(-1);

struct Entry {
    const char* name;  // the table function it streams
    Approach approach;
    std::size_t count;  // parameters of the factory (kTableParams: the table entry's)
    std::array<args::Type, args::kMaxParams> types;
    Factory make;
    Lookback lookback = nullptr;  // window re-runs only
    Admit admit = nullptr;
    // Candle columns fed to the kernel, in order (none for a series).
    std::size_t column_count = 0;
    std::array<std::size_t, 6> columns{};
    // Whether the batch function reports a matrix without those columns as
    // an index failure rather than the missing-dimension error.
    bool narrow_as_index = false;

    // Rows of `cols` values lack a column read: the batch function's error.
    constexpr std::size_t columns_needed() const {
        std::size_t need = 0;
        for (std::size_t c = 0; c < column_count; ++c) need = columns[c] + 1 > need ? columns[c] + 1 : need;
        return need;
    }
    constexpr bool has_columns(std::size_t cols) const { return cols >= columns_needed(); }
    void require_columns(std::size_t cols) const {
        const std::size_t need = columns_needed();
        if (cols >= need) return;
        if (narrow_as_index) index_out_of_range(need - 1, cols);
        missing_dimension();
    }
    constexpr Entry narrow_index() const {
        Entry e = *this;
        e.narrow_as_index = true;
        return e;
    }

    constexpr Entry reads(std::initializer_list<std::size_t> cs) const {
        Entry e = *this;
        e.column_count = 0;
        for (std::size_t c : cs) e.columns[e.column_count++] = c;
        return e;
    }
};

template <auto F>
struct factory;
template <class... A, std::unique_ptr<Kernel> (*F)(A...)>
struct factory<F> {
    static std::unique_ptr<Kernel> make(const Entry&, std::span<const args::Arg> a) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) { return F(std::get<std::decay_t<A>>(a[I])...); }
        (std::index_sequence_for<A...>{});
    }
    static constexpr Entry entry(const char* name, Approach approach) {
        Entry e{name, approach, sizeof...(A), {}, &make};
        std::size_t i = 0;
        ((e.types[i++] = table::type_of<std::decay_t<A>>()), ...);
        return e;
    }
};

// An entry for the kernel factory F.
template <auto F>
constexpr Entry entry(const char* name, Approach approach) {
    return factory<F>::entry(name, approach);
}

// A window re-run: for a function whose value at a position is computed
// afresh from the last `lookback` rows (no state carried along), the stream
// keeps those rows and runs the batch function itself on them. O(window)
// memory and time per value.
std::unique_ptr<Kernel> window_rerun(const Entry& e, std::span<const args::Arg> params);
// The table function's arguments for a stream's parameters, in the table's
// order and with `sequential` true; returns the position of the series or
// candles, which the caller fills in.
std::size_t table_arguments(const table::Function& fn, std::span<const args::Arg> params,
                            std::array<args::Arg, args::kMaxParams>& all);

constexpr Entry rerun(const char* name, Lookback lookback, Admit admit = nullptr) {
    Entry e{name, Approach::WindowRerun, kTableParams, {}, &window_rerun};
    e.lookback = lookback;
    e.admit = admit;
    return e;
}

// Every stream.
std::span<const Entry> streams();
const Entry* find(std::string_view name);

// The table entry's parameters a stream takes: all but the series or
// candles and `sequential`.
inline bool stream_param(const args::Param& p) {
    using args::Type;
    const bool data =
        p.type == Type::Series || p.type == Type::Candles || p.type == Type::CandlesMut || p.type == Type::Int64Series;
    return !data && std::string_view(p.name) != "sequential";
}

}  // namespace korva::stream
