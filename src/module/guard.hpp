// The one place where C++ failures become Python exceptions, shared by the
// module's functions and its stream objects.
#pragma once
#include "../helpers/errors.hpp"
#include "python.hpp"

namespace korva {

extern PyObject* internal_error;  // the module's InternalError class

inline PyObject* exception_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Index: return PyExc_IndexError;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Memory: return PyExc_MemoryError;
        case ErrorKind::Internal: break;
    }
    return internal_error;
}

template <class F>
inline PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const py::ErrorAlreadySet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (...) {
        const Failure f = current_failure();
        PyErr_SetString(exception_class(f.kind), f.text);
    }
    return nullptr;
}

}  // namespace korva
