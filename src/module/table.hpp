// The function table's vocabulary. An entry is data: the Python name, the
// parameter names, the description and the computation. The parameter types
// come from the C++ signature of the computation, so they are written
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

struct Function {
    const char* name;
    std::size_t count;
    std::array<args::Param, args::kMaxParams> params;
    const char* description;
    Impl impl;  // nullptr only for run_coordinator, which the module registers itself
};

template <class T>
struct type_of;
template <> struct type_of<SeriesView> { static constexpr Type value = Type::Series; };
template <> struct type_of<MatrixView> { static constexpr Type value = Type::Candles; };
template <> struct type_of<MutableMatrixView> { static constexpr Type value = Type::CandlesMut; };
template <> struct type_of<Int64View> { static constexpr Type value = Type::Int64Series; };
template <> struct type_of<std::uint64_t> { static constexpr Type value = Type::Uint; };
template <> struct type_of<std::int64_t> { static constexpr Type value = Type::Int; };
template <> struct type_of<double> { static constexpr Type value = Type::Float; };
template <> struct type_of<std::string_view> { static constexpr Type value = Type::Str; };
template <> struct type_of<bool> { static constexpr Type value = Type::Bool; };

template <auto F>
struct traits;
template <class R, class... A, R (*F)(A...)>
struct traits<F> {
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr std::array<Type, sizeof...(A)> types{type_of<std::decay_t<A>>::value...};

    static Value call(std::span<const Arg> a) {
        return call_with(a, std::index_sequence_for<A...>{});
    }
    template <std::size_t... I>
    static Value call_with(std::span<const Arg> a, std::index_sequence<I...>) {
        return Value(F(std::get<std::decay_t<A>>(a[I])...));
    }
};

// An entry: parameter types from the computation's signature.
template <auto F, std::size_t N>
constexpr Function fn(const char* name, const char* const (&names)[N], const char* doc) {
    static_assert(N == traits<F>::arity, "parameter names must match the computation's signature");
    Function f{name, N, {}, doc, &traits<F>::call};
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
