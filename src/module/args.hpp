// The argument layer: matching Python arguments to parameter names and
// converting them to plain values and views. It knows parameter types, never
// indicators; the function table (table.cpp) supplies the names and types.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "parameters.hpp"
#include "python.hpp"

namespace korva::args {

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
// signature, then converts them in parameter order into `out`, whose first
// sig.count slots need not hold values yet (each is constructed). Throws
// py::ErrorAlreadySet with the Python exception set, or InternalError.
void parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arg* out,
           Borrows& borrows);

}  // namespace korva::args
