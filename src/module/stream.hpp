// korva_rust.stream: the Python front end of the stream registry.
#pragma once
#include "../helpers/result.hpp"
#include "python.hpp"

namespace korva {

// Creates korva_rust.stream, sets it as the attribute `stream` of the parent
// module and in sys.modules (so that `import korva_rust.stream` finds it).
// Returns -1 with a Python exception set on failure.
int add_stream_module(PyObject* parent);

// A function's result as the Python objects it returns (module.cpp); a
// stream's extend returns the batch function's own result this way when it
// ran it on the whole history.
PyObject* to_python(Value&& v);

}  // namespace korva
