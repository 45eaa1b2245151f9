// Access to NumPy arrays without NumPy's headers at build time: the C API
// table comes from the `_ARRAY_API` capsule at first use, and the few array
// and dtype fields we read are mirrored from NumPy's ABI, which is the same
// in NumPy 1.x and 2.x.
#pragma once
#include <cstdint>

#include "python.hpp"

namespace korva::numpy {

enum TypeNum : int { Bool = 0, Long = 7, LongLong = 9, Double = 12 };

// NumPy's array object layout (PyArrayObject_fields), identical in 1.x and 2.x.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// The dtype fields shared by 1.x and 2.x.
struct DescrFields {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
};

inline constexpr int kCContiguous = 0x0001;
inline constexpr int kAligned = 0x0100;
inline constexpr int kWriteable = 0x0400;

// Loads the API table once; throws InternalError when NumPy is unavailable.
void ensure_api();

// Whether `o` is an ndarray or a subclass (after ensure_api()).
bool is_array(PyObject* o);

inline ArrayFields* fields(PyObject* a) { return reinterpret_cast<ArrayFields*>(a); }
inline DescrFields* descr(PyObject* a) { return reinterpret_cast<DescrFields*>(fields(a)->descr); }

// True when the array's dtype is equivalent to the given builtin type.
bool dtype_is(PyObject* array, TypeNum t);

// New reference to the dtype object of a builtin type number.
PyObject* descr_from_type(TypeNum t);

// New C-contiguous array, or NULL with a Python error set.
PyObject* new_array(TypeNum t, int nd, const Py_ssize_t* dims);

}  // namespace korva::numpy
