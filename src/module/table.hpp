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

// The warm-up of a series result: how many leading positions hold no
// computed value, and what they hold instead. `count` is an integer
// expression in the parameter names and `n` (the input's length): + - * //
// %, min, max, isqrt and `a if cond else b`. The reference renders it and a
// test evaluates it against the module for every entry, so it is data, not
// prose. `members` (comma-separated) limits it to some members of a tuple or
// dict result; a note adds what the count cannot say.
enum class Fill : std::uint8_t { NaN, Zero, Copy };
struct Warmup {
    const char* count = nullptr;
    Fill fill = Fill::NaN;
    const char* of = nullptr;  // Copy: the parameter or member copied
    const char* members = nullptr;
    const char* note = nullptr;

    constexpr Warmup only(const char* names) const {
        Warmup w = *this;
        w.members = names;
        return w;
    }
    constexpr Warmup noting(const char* text) const {
        Warmup w = *this;
        w.note = text;
        return w;
    }
};
constexpr Warmup nans(const char* count) { return {count, Fill::NaN}; }
constexpr Warmup zeros(const char* count) { return {count, Fill::Zero}; }
constexpr Warmup copies(const char* count, const char* of) { return {count, Fill::Copy, of}; }
// Position 0 already holds a computed value.
constexpr Warmup none() { return nans("0"); }
inline constexpr std::size_t kMaxWarmups = 4;

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
    // Empty where nothing is a series.
    std::size_t warmup_count = 0;
    std::array<Warmup, kMaxWarmups> warmups{};
    // Computes through the C library's transcendental functions (pow, exp,
    // log, log10, sin, cos, atan), which C lets round differently in the last
    // bit: between C libraries, and within glibc between processors (its FMA
    // and non-FMA variants). Comparisons of results across platforms accept
    // such differences in these functions only (korva_golden --libm).
    bool libm = false;

    constexpr Function in(Family f) const {
        Function c = *this;
        c.family = f;
        return c;
    }
    constexpr Function uses_libm() const {
        Function c = *this;
        c.libm = true;
        return c;
    }
    // One call per group of members with the same warm-up.
    constexpr Function warm(Warmup w) const {
        Function c = *this;
        c.warmups[c.warmup_count++] = w;  // past kMaxWarmups: not a constant expression
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

// The parameter type word and the result kind of a C++ type; a type the
// table cannot carry fails to compile. Kept one mapping a line.
// clang-format off
template <class T>
constexpr Type type_of() {
    if constexpr (std::is_same_v<T, SeriesView>) return Type::Series;
    else if constexpr (std::is_same_v<T, MatrixView>) return Type::Candles;
    else if constexpr (std::is_same_v<T, MutableMatrixView>) return Type::CandlesMut;
    else if constexpr (std::is_same_v<T, Int64View>) return Type::Int64Series;
    else if constexpr (std::is_same_v<T, std::uint64_t>) return Type::Uint;
    else if constexpr (std::is_same_v<T, std::int64_t>) return Type::Int;
    else if constexpr (std::is_same_v<T, double>) return Type::Float;
    else if constexpr (std::is_same_v<T, std::string_view>) return Type::Str;
    else if constexpr (std::is_same_v<T, bool>) return Type::Bool;
    else static_assert(sizeof(T) == 0, "no parameter type word for this C++ type");
}

template <class R>
constexpr Result result_of() {
    if constexpr (std::is_same_v<R, None>) return Result::None;
    else if constexpr (std::is_same_v<R, double>) return Result::Float;
    else if constexpr (std::is_same_v<R, std::int64_t>) return Result::Int;
    else if constexpr (std::is_same_v<R, Series>) return Result::Series;
    else if constexpr (std::is_same_v<R, Mask>) return Result::Mask;
    else if constexpr (std::is_same_v<R, Matrix>) return Result::Matrix;
    else if constexpr (std::is_same_v<R, Tuple>) return Result::Tuple;
    else if constexpr (std::is_same_v<R, Dict>) return Result::Dict;
    else static_assert(sizeof(R) == 0, "no result kind for this C++ type");
}
// clang-format on

template <auto F>
struct traits;
template <class R, class... A, R (*F)(A...)>
struct traits<F> {
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr Result result = result_of<R>();
    static constexpr std::array<Type, sizeof...(A)> types{type_of<std::decay_t<A>>()...};

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
