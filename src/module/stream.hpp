// korva_rust.stream: the Python front end of the stream registry.
#pragma once
#include "python.hpp"

namespace korva {

// Creates korva_rust.stream, sets it as the attribute `stream` of the parent
// module and in sys.modules (so that `import korva_rust.stream` finds it).
// Returns -1 with a Python exception set on failure.
int add_stream_module(PyObject* parent);

}  // namespace korva
