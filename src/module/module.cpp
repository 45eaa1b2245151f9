// Module entry and the call path shared by every function: one trampoline
// per table entry, one guard that turns C++ failures into Python exceptions,
// and the conversion of results into Python objects.
#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "../../coordination/src/coordinator.hpp"
#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "args.hpp"
#include "guard.hpp"
#include "numpy_api.hpp"
#include "python.hpp"
#include "stream.hpp"
#include "table.hpp"

namespace korva {

PyObject* internal_error = nullptr;

namespace {

PyObject* tuple_to_python(Tuple&& t) {
    py::Ref out(py::check(PyTuple_New(static_cast<Py_ssize_t>(t.size()))));
    for (std::size_t i = 0; i < t.size(); ++i) {
        PyObject* item = to_python(std::move(t[i]));
        PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return out.release();
}

PyObject* dict_to_python(Dict&& d) {
    py::Ref out(py::check(PyDict_New()));
    for (auto& [key, value] : d.items) {
        py::Ref item(to_python(std::move(value)));
        if (PyDict_SetItemString(out.get(), key, item.get()) < 0) throw py::ErrorAlreadySet{};
    }
    return out.release();
}

}  // namespace

PyObject* to_python(Value&& v) {
    struct Visitor {
        PyObject* operator()(None) { Py_RETURN_NONE; }
        PyObject* operator()(double d) { return py::check(PyFloat_FromDouble(d)); }
        PyObject* operator()(std::int64_t i) { return py::check(PyLong_FromLongLong(i)); }
        PyObject* operator()(bool b) { return PyBool_FromLong(b); }
        PyObject* operator()(std::string& s) {
            return py::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
        }
        PyObject* operator()(ArrayHandle& a) { return static_cast<PyObject*>(a.release()); }
        PyObject* operator()(Tuple& t) { return tuple_to_python(std::move(t)); }
        PyObject* operator()(Dict& d) { return dict_to_python(std::move(d)); }
    };
    return std::visit(Visitor{}, v.v);
}

namespace {

PyObject* call(const table::Function& f, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        // Slots left unconstructed: parse constructs each one it fills (the
        // argument values are trivially destructible), which spares clearing
        // all of them on every call.
        union Slots {
            Slots() {}
            args::Arg v[args::kMaxParams];
        } slots;
        args::Arg* const values = slots.v;
        args::Borrows borrows;
        args::parse(args::Signature{f.name, f.count, f.params.data()}, argv, nargs, kwnames, values, borrows);
        Value result = f.impl(std::span<const args::Arg>(values, f.count));
        return to_python(std::move(result));
    });
}

template <std::size_t I>
PyObject* trampoline(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return call(table::functions()[I], argv, nargs, kwnames);
}

PyObject* run_coordinator(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        std::string failure;
        Py_BEGIN_ALLOW_THREADS try { failure = coordination::run(); } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "coordinator failed";
        }
        Py_END_ALLOW_THREADS PyErr_SetString(PyExc_RuntimeError, failure.c_str());
        return nullptr;
    });
}

constexpr std::size_t kFunctions = table::kCapacity;

template <std::size_t... I>
constexpr std::array<PyCFunction, kFunctions> make_trampolines(std::index_sequence<I...>) {
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<I>))...};
}
const std::array<PyCFunction, kFunctions> trampolines = make_trampolines(std::make_index_sequence<kFunctions>{});

// Method records and docstrings live for the life of the process: the
// module is never finalised. One slot per possible entry, plus the sentinel.
PyMethodDef methods[kFunctions + 1];
std::string docstrings[kFunctions];

// m_size 0 rather than -1: a repeated import calls PyInit again, which hands
// back the one module object instead of a copy of its dict.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "korva_rust", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<std::int64_t> owner{-1};
PyObject* the_module = nullptr;

// "name(a, b)\n--\n\n<description>": the interpreter derives
// __text_signature__ from the first line.
std::string docstring(const table::Function& f) {
    std::string d = f.name;
    d += '(';
    for (std::size_t i = 0; i < f.count; ++i) {
        if (i) d += ", ";
        d += f.params[i].name;
    }
    d += ")\n--\n\n";
    d += f.description;
    return d;
}

int register_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    py::Ref fn(PyCFunction_NewEx(def, module, module_name));
    if (!fn) return -1;
    py::Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = py::Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    py::Ref name(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    return PyObject_SetAttr(module, name.get(), fn.get());
}

PyObject* create_module() {
    // A misspelt KORVA_SIMD would otherwise go unnoticed: the kernels would
    // just run at the processor's level.
    if (const char* error = simd::request_error()) {
        PyErr_SetString(PyExc_ImportError, error);
        return nullptr;
    }
    const auto table = table::functions();
    const std::size_t count = table.size();
    for (std::size_t i = 0; i < count; ++i) {
        docstrings[i] = docstring(table[i]);
        methods[i].ml_name = table[i].name;
        methods[i].ml_doc = docstrings[i].c_str();
        if (i == 0) {
            methods[i].ml_meth = &run_coordinator;
            methods[i].ml_flags = METH_NOARGS;
        } else {
            methods[i].ml_meth = trampolines[i];
            methods[i].ml_flags = METH_FASTCALL | METH_KEYWORDS;
        }
    }
    py::Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    py::Ref module_name(PyUnicode_FromString("korva_rust"));
    if (!module_name) return nullptr;
    internal_error = PyErr_NewExceptionWithDoc(
        "korva_rust.InternalError",
        "An index or invariant that cannot hold for the given input. Derives from BaseException.", PyExc_BaseException,
        nullptr);
    if (!internal_error) return nullptr;
    Py_INCREF(internal_error);
    if (PyModule_AddObject(module.get(), "InternalError", internal_error) < 0) {
        Py_DECREF(internal_error);
        return nullptr;
    }
    // The kernel level in use, for tests that force one with KORVA_SIMD.
    if (PyModule_AddStringConstant(module.get(), "_simd_level", simd::name(simd::active())) < 0) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        if (register_function(module.get(), module_name.get(), &methods[i]) < 0) return nullptr;
    }
    if (add_stream_module(module.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace korva

PyMODINIT_FUNC PyInit_korva_rust(void) {  // the macro gives C linkage in C++
    using namespace korva;
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "korva_rust does not support subinterpreters: it was first imported by another interpreter");
        return nullptr;
    }
    if (the_module) {
        Py_INCREF(the_module);
        return the_module;
    }
    the_module = create_module();
    if (!the_module) return nullptr;
    Py_INCREF(the_module);
    return the_module;
}
