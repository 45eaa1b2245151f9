// NumPy C API table, looked up on first use. The module imports without NumPy
// and never needs NumPy's headers to build.
#include "numpy_api.hpp"

#include <new>

#include "../helpers/errors.hpp"
#include "../helpers/result.hpp"

namespace korva::numpy {
namespace {

void** api = nullptr;
PyTypeObject* array_type = nullptr;
PyObject* builtin_descr[13] = {};  // borrowed forever: NumPy keeps builtin dtypes alive

// Slots of NumPy's C API table (stable since NumPy 1.0).
enum Slot { kArrayType = 2, kDescrFromType = 45, kNew = 93, kEquivTypes = 182 };

using DescrFromTypeFn = PyObject* (*)(int);
using NewFn = PyObject* (*)(PyTypeObject*, int, Py_ssize_t*, int, Py_ssize_t*, void*, int, int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);

// NumPy 2 moved its internals to numpy._core and warns on the old path; NumPy
// 1.26 answers under both names, older 1.x only under numpy.core.
PyObject* import_multiarray() {
    PyObject* m = PyImport_ImportModule("numpy._core.multiarray");
    if (m) return m;
    PyErr_Clear();
    return PyImport_ImportModule("numpy.core.multiarray");
}

}  // namespace

void ensure_api() {
    if (api) return;
    py::Ref module(import_multiarray());
    void** table = nullptr;
    if (module) {
        py::Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
        if (capsule && PyCapsule_CheckExact(capsule.get())) {
            table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
        }
    }
    if (!table) {
        PyErr_Clear();
        throw InternalError("Failed to access NumPy array API capsule");
    }
    auto from_type = reinterpret_cast<DescrFromTypeFn>(table[kDescrFromType]);
    for (int t : {int(Bool), int(Long), int(LongLong), int(Double)}) {
        PyObject* d = from_type(t);
        if (!d) {
            PyErr_Clear();
            throw InternalError("Failed to access NumPy array API capsule");
        }
        builtin_descr[t] = d;  // keep the reference for the life of the process
    }
    array_type = static_cast<PyTypeObject*>(table[kArrayType]);
    api = table;
}

bool is_array(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == array_type || PyType_IsSubtype(t, array_type);
}

bool dtype_is(PyObject* array, TypeNum t) {
    const DescrFields* d = descr(array);
    // Fast path: the native builtin type itself.
    if (d->type_num == t && d->byteorder != '>') return true;
    auto equiv = reinterpret_cast<EquivTypesFn>(api[kEquivTypes]);
    return equiv(fields(array)->descr, builtin_descr[t]) != 0;
}

PyObject* descr_from_type(TypeNum t) {
    PyObject* d = builtin_descr[t];
    Py_INCREF(d);
    return d;
}

PyObject* new_array(TypeNum t, int nd, const Py_ssize_t* dims) {
    auto make = reinterpret_cast<NewFn>(api[kNew]);
    return make(array_type, nd, const_cast<Py_ssize_t*>(dims), t, nullptr, nullptr, 0, 0, nullptr);
}

}  // namespace korva::numpy

namespace korva::detail {

void* allocate_array(Dtype dtype, int nd, std::size_t rows, std::size_t cols, void** data) {
    numpy::ensure_api();
    Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
    if (rows > static_cast<std::size_t>(PY_SSIZE_T_MAX) || cols > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        throw std::bad_alloc();
    }
    PyObject* a = numpy::new_array(dtype == Dtype::Bool ? numpy::Bool : numpy::Double, nd, dims);
    if (!a) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    *data = numpy::fields(a)->data;
    return a;
}

void release_array(void* owner) noexcept { Py_DECREF(static_cast<PyObject*>(owner)); }

}  // namespace korva::detail
