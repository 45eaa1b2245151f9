// The argument layer: matching Python arguments to parameter names and
// converting them to plain values and views. It knows parameter types, never
// indicators; the function table (table.cpp) supplies the names and types.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "../helpers/views.hpp"
#include "python.hpp"

namespace korva::args {

enum class Type : std::uint8_t {
    Series,       // 1-D float64, any stride
    Candles,      // 2-D float64
    CandlesMut,   // 2-D float64, writable (registered for writing)
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

// Array registrations of one call, released when it ends on every path.
class Borrows {
public:
    Borrows() = default;
    Borrows(const Borrows&) = delete;
    Borrows& operator=(const Borrows&) = delete;
    ~Borrows();
    void add(PyObject* array, bool write);

private:
    std::size_t count_ = 0;
};

// Matches positional and keyword arguments (vectorcall layout) to the
// signature, then converts them in parameter order into `out`. Throws
// py::ErrorAlreadySet with the Python exception set, or InternalError.
void parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arg* out,
           Borrows& borrows);

}  // namespace korva::args
