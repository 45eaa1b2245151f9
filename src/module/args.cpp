// Argument matching and conversion, with the exact messages callers see.
#include "args.hpp"

#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "numpy_api.hpp"

namespace korva::args {
namespace {

using py::ErrorAlreadySet;

[[noreturn]] void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw ErrorAlreadySet{};
}

std::string qualname(PyObject* o) {
    py::Ref q(PyType_GetQualName(Py_TYPE(o)));
    if (!q) throw ErrorAlreadySet{};
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(q.get(), &len);
    if (!s) throw ErrorAlreadySet{};
    return std::string(s, static_cast<std::size_t>(len));
}

// A TypeError of the conversion's own, to be prefixed with the argument name.
[[noreturn]] void conversion_type_error(const std::string& msg) { raise(PyExc_TypeError, msg); }

[[noreturn]] void cannot_convert(PyObject* o, const char* target) {
    conversion_type_error("'" + qualname(o) + "' object cannot be converted to '" + target + "'");
}

std::string str_of(PyObject* o) {
    py::Ref s(PyObject_Str(o));
    if (!s) throw ErrorAlreadySet{};
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.get(), &len);
    if (!p) throw ErrorAlreadySet{};
    return std::string(p, static_cast<std::size_t>(len));
}

// Checks array-ness, dimensionality and dtype, in that order.
PyObject* array_of(PyObject* o, int nd, numpy::TypeNum t) {
    numpy::ensure_api();
    if (!numpy::is_array(o)) cannot_convert(o, "PyArray<T, D>");
    const numpy::ArrayFields* a = numpy::fields(o);
    if (a->nd != nd) {
        conversion_type_error("dimensionality mismatch:\n from=" + std::to_string(a->nd) +
                              ", to=" + std::to_string(nd));
    }
    if (!numpy::dtype_is(o, t)) {
        py::Ref expected(numpy::descr_from_type(t));
        conversion_type_error("type mismatch:\n from=" + str_of(a->descr) + ", to=" + str_of(expected.get()));
    }
    return o;
}

template <class T>
StridedView<T> vector_view(PyObject* o) {
    const numpy::ArrayFields* a = numpy::fields(o);
    return StridedView<T>{a->data, a->strides[0], static_cast<std::size_t>(a->dimensions[0])};
}

MatrixView matrix_view(PyObject* o) {
    const numpy::ArrayFields* a = numpy::fields(o);
    return MatrixView{a->data, a->strides[0], a->strides[1], static_cast<std::size_t>(a->dimensions[0]),
                      static_cast<std::size_t>(a->dimensions[1])};
}

// Constructs the converted value straight in its slot, which may hold no
// value yet: building the variant elsewhere and copying it in costs more
// than the conversion itself.
template <class T, class... A>
void put(Arg& dst, A&&... a) {
    static_assert(std::is_trivially_destructible_v<Arg>);
    ::new (static_cast<void*>(&dst)) Arg(std::in_place_type<T>, std::forward<A>(a)...);
}

void convert(PyObject* o, Type type, Borrows& borrows, Arg& dst) {
    switch (type) {
        case Type::Series: {
            PyObject* a = array_of(o, 1, numpy::Double);
            borrows.add(a, false);
            put<SeriesView>(dst, vector_view<double>(a));
            return;
        }
        case Type::Int64Series: {
            PyObject* a = array_of(o, 1, numpy::LongLong);
            borrows.add(a, false);
            put<Int64View>(dst, vector_view<std::int64_t>(a));
            return;
        }
        case Type::Candles: put<MatrixView>(dst, matrix_view(array_of(o, 2, numpy::Double))); return;
        case Type::CandlesMut: {
            PyObject* a = array_of(o, 2, numpy::Double);
            borrows.add(a, true);
            MatrixView v = matrix_view(a);
            put<MutableMatrixView>(
                dst, MutableMatrixView{const_cast<char*>(v.base), v.row_stride, v.col_stride, v.rows, v.cols});
            return;
        }
        case Type::Uint: {
            py::Ref i(py::check(PyNumber_Index(o)));
            unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
            put<std::uint64_t>(dst, static_cast<std::uint64_t>(v));
            return;
        }
        case Type::Int: {
            py::Ref i(py::check(PyNumber_Index(o)));
            long long v = PyLong_AsLongLong(i.get());
            if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
            put<std::int64_t>(dst, static_cast<std::int64_t>(v));
            return;
        }
        case Type::Float: {
            double v = PyFloat_AsDouble(o);
            if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
            put<double>(dst, v);
            return;
        }
        case Type::Str: {
            if (!PyUnicode_Check(o)) cannot_convert(o, "PyString");
            Py_ssize_t len = 0;
            const char* s = PyUnicode_AsUTF8AndSize(o, &len);
            if (!s) throw ErrorAlreadySet{};
            put<std::string_view>(dst, s, static_cast<std::size_t>(len));
            return;
        }
        case Type::Bool:
            if (o == Py_True) {
                put<bool>(dst, true);
                return;
            }
            if (o == Py_False) {
                put<bool>(dst, false);
                return;
            }
            cannot_convert(o, "PyBool");
    }
    throw InternalError("unknown parameter type");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

// Re-raises a conversion TypeError as "argument '<name>': <message>" with the
// original as its cause; other exception types pass unchanged.
[[noreturn]] void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet{};
    PyObject* cause = PyErr_GetRaisedException();
    std::string msg = "argument '" + std::string(name) + "': ";
    if (py::Ref text{PyObject_Str(cause)}) {
        Py_ssize_t len = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(text.get(), &len)) msg.append(p, static_cast<std::size_t>(len));
    }
    PyErr_Clear();
    PyObject* exc = PyObject_CallFunction(PyExc_TypeError, "s#", msg.data(), static_cast<Py_ssize_t>(msg.size()));
    if (!exc) {
        Py_DECREF(cause);
        throw ErrorAlreadySet{};
    }
    PyException_SetCause(exc, cause);  // steals `cause`
    PyErr_SetRaisedException(exc);  // steals `exc`
    throw ErrorAlreadySet{};
}

// Registry of arrays in use by the running calls, keyed by object identity.
struct Registration {
    PyObject* array;
    bool write;
};
std::vector<Registration> registry;

}  // namespace

void Borrows::add(PyObject* array, bool write) {
    for (const Registration& r : registry) {
        if (r.array == array && (r.write || write)) throw InternalError("AlreadyBorrowed");
    }
    if (write && !(numpy::fields(array)->flags & numpy::kWriteable)) throw InternalError("NotWriteable");
    registry.push_back({array, write});
    ++count_;
}

Borrows::~Borrows() {
    // Registrations of one call are the newest entries: pop them.
    registry.resize(registry.size() - count_);
}

void parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arg* out,
           Borrows& borrows) {
    const std::size_t n = sig.count;
    std::array<PyObject*, kMaxParams> slot{};
    if (static_cast<std::size_t>(nargs) > n) {
        raise(PyExc_TypeError, std::string(sig.name) + "() takes " + std::to_string(n) + " positional arguments but " +
                                   std::to_string(nargs) + (nargs == 1 ? " was given" : " were given"));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slot[static_cast<std::size_t>(i)] = args[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            std::size_t idx = n;
            for (std::size_t p = 0; p < n; ++p) {
                if (PyUnicode_CompareWithASCIIString(key, sig.params[p].name) == 0) {
                    idx = p;
                    break;
                }
            }
            if (idx == n) {
                raise(PyExc_TypeError,
                      std::string(sig.name) + "() got an unexpected keyword argument '" + str_of(key) + "'");
            }
            if (slot[idx]) {
                raise(PyExc_TypeError,
                      std::string(sig.name) + "() got multiple values for argument '" + sig.params[idx].name + "'");
            }
            slot[idx] = args[nargs + k];
        }
    }

    std::vector<const char*> missing;
    for (std::size_t p = 0; p < n; ++p) {
        if (!slot[p]) missing.push_back(sig.params[p].name);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, std::string(sig.name) + "() missing " + std::to_string(missing.size()) +
                                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                                   name_list(missing));
    }

    for (std::size_t p = 0; p < n; ++p) {
        try {
            convert(slot[p], sig.params[p].type, borrows, out[p]);
        } catch (const ErrorAlreadySet&) {
            prefix_type_error(sig.params[p].name);
        }
    }
}

}  // namespace korva::args
