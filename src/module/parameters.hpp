// The vocabulary shared by the function table and its front ends: parameter
// type words, parameter records and converted argument values. Knows nothing
// about the interpreter, so the table and the computations build without it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "../helpers/views.hpp"

namespace korva::args {

enum class Type : std::uint8_t {
    Series,  // 1-D float64, any stride
    Candles,  // 2-D float64
    CandlesMut,  // 2-D float64, writable (registered for writing)
    Int64Series,  // 1-D int64, any stride
    Uint,
    Int,
    Float,
    Str,
    Bool,
};

struct Param {
    const char* name = nullptr;
    Type type = Type::Series;
};

inline constexpr std::size_t kMaxParams = 8;

// A converted argument. The string view points into the argument's own UTF-8
// buffer, which lives as long as the call.
using Arg = std::variant<std::monostate, SeriesView, MatrixView, MutableMatrixView, Int64View, std::uint64_t,
                         std::int64_t, double, std::string_view, bool>;

struct Signature {
    const char* name;
    std::size_t count;
    const Param* params;
};

}  // namespace korva::args
