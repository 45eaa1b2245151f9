// The one include of the interpreter's headers. The build defines
// Py_LIMITED_API=0x030C0000: one abi3 binary serves every CPython >= 3.12.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030C0000
#error "build against the 3.12 limited API (Py_LIMITED_API=0x030C0000)"
#endif

#include <utility>

namespace korva::py {

// Owned reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {}
    Ref(Ref&& r) noexcept : o_(std::exchange(r.o_, nullptr)) {}
    Ref& operator=(Ref&& r) noexcept {
        if (this != &r) {
            Py_XDECREF(o_);
            o_ = std::exchange(r.o_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

// Thrown when a Python exception is already set and must propagate as is.
struct ErrorAlreadySet {};

inline PyObject* check(PyObject* o) {
    if (!o) throw ErrorAlreadySet{};
    return o;
}

}  // namespace korva::py
