// The function table's vocabulary. An entry is data: the Python name, the
// parameter names, the description and the computation, plus what callers
// read in the reference and the type stubs (family, names of the members of
// a tuple or dict result, warm-up). The parameter types and the kind of
// result come from the C++ signature of the computation, so they are written
// exactly once.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "../helpers/result.hpp"
#include "parameters.hpp"

namespace korva::table {

using args::Arg;
using args::Type;

using Impl = Value (*)(std::span<const Arg>);

// What a call returns, from the computation's return type.
enum class Result : std::uint8_t { None, Float, Int, Series, Mask, Matrix, Tuple, Dict };

// One member of a tuple or dict result: the computation's type says only that
// it returns several values, so their names and kinds are data of the entry.
enum class Item : std::uint8_t { Series, Mask, Float };
struct Output {
    constexpr Output() = default;
    constexpr Output(const char* n, Item i = Item::Series) : name(n), item(i) {}
    const char* name = nullptr;
    Item item = Item::Series;
};
inline constexpr std::size_t kMaxOutputs = 8;

// Families in the order the reference lists them.
enum class Family : std::uint8_t {
    Coordinator,
    MovingAverages,
    Oscillators,
    Trend,
    Volume,
    Bands,
    Cycles,
    Candles,
    Statistics,
};
inline constexpr std::size_t kFamilies = 9;
constexpr const char* family_name(Family f) {
    constexpr const char* names[kFamilies] = {
        "Coordinator",
        "Moving averages",
        "Oscillators",
        "Trend",
        "Volume",
        "Volatility and bands",
        "Cycle filters",
        "Candles and trading hours",
        "Statistics and numeric helpers",
    };
    return names[static_cast<std::size_t>(f)];
}

struct Function {
    const char* name;
    std::size_t count;
    std::array<args::Param, args::kMaxParams> params;
    const char* description;
    Impl impl;  // nullptr only for run_coordinator, which the module registers itself
    Result result = Result::None;
    Family family = Family::Coordinator;
    std::size_t output_count = 0;
    std::array<Output, kMaxOutputs> outputs{};
    // Leading positions of the series results that hold no computed value
    // (NaN, zeros or input copies), as a formula in the parameters; nullptr
    // where nothing is a series.
    const char* warmup = nullptr;

    constexpr Function in(Family f) const {
        Function c = *this;
        c.family = f;
        return c;
    }
    constexpr Function warm(const char* text) const {
        Function c = *this;
        c.warmup = text;
        return c;
    }
    template <std::size_t N>
    constexpr Function returns(const Output (&members)[N]) const {
        static_assert(N <= kMaxOutputs, "raise table::kMaxOutputs");
        Function c = *this;
        c.output_count = N;
        for (std::size_t i = 0; i < N; ++i) c.outputs[i] = members[i];
        return c;
    }
};

template <class T>
struct type_of;
template <>
struct type_of<SeriesView> {
    static constexpr Type value = Type::Series;
};
template <>
struct type_of<MatrixView> {
    static constexpr Type value = Type::Candles;
};
template <>
struct type_of<MutableMatrixView> {
    static constexpr Type value = Type::CandlesMut;
};
template <>
struct type_of<Int64View> {
    static constexpr Type value = Type::Int64Series;
};
template <>
struct type_of<std::uint64_t> {
    static constexpr Type value = Type::Uint;
};
template <>
struct type_of<std::int64_t> {
    static constexpr Type value = Type::Int;
};
template <>
struct type_of<double> {
    static constexpr Type value = Type::Float;
};
template <>
struct type_of<std::string_view> {
    static constexpr Type value = Type::Str;
};
template <>
struct type_of<bool> {
    static constexpr Type value = Type::Bool;
};

template <class R>
struct result_of;
template <>
struct result_of<None> {
    static constexpr Result value = Result::None;
};
template <>
struct result_of<double> {
    static constexpr Result value = Result::Float;
};
template <>
struct result_of<std::int64_t> {
    static constexpr Result value = Result::Int;
};
template <>
struct result_of<Series> {
    static constexpr Result value = Result::Series;
};
template <>
struct result_of<Mask> {
    static constexpr Result value = Result::Mask;
};
template <>
struct result_of<Matrix> {
    static constexpr Result value = Result::Matrix;
};
template <>
struct result_of<Tuple> {
    static constexpr Result value = Result::Tuple;
};
template <>
struct result_of<Dict> {
    static constexpr Result value = Result::Dict;
};

template <auto F>
struct traits;
template <class R, class... A, R (*F)(A...)>
struct traits<F> {
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr Result result = result_of<R>::value;
    static constexpr std::array<Type, sizeof...(A)> types{type_of<std::decay_t<A>>::value...};

    static Value call(std::span<const Arg> a) { return call_with(a, std::index_sequence_for<A...>{}); }
    template <std::size_t... I>
    static Value call_with(std::span<const Arg> a, std::index_sequence<I...>) {
        return Value(F(std::get<std::decay_t<A>>(a[I])...));
    }
};

// An entry: parameter types from the computation's signature.
template <auto F, std::size_t N>
constexpr Function fn(const char* name, const char* const (&names)[N], const char* doc) {
    static_assert(N == traits<F>::arity, "parameter names must match the computation's signature");
    Function f{name, N, {}, doc, &traits<F>::call, traits<F>::result};
    for (std::size_t i = 0; i < N; ++i) f.params[i] = {names[i], traits<F>::types[i]};
    return f;
}

// Every exported function in registration order (table.cpp); entry 0 is
// run_coordinator, which takes no arguments and is registered separately.
std::span<const Function> functions();

// Room for this many entries: the module layer instantiates one call
// trampoline per slot at compile time, and table.cpp checks the table fits.
inline constexpr std::size_t kCapacity = 128;

}  // namespace korva::table
