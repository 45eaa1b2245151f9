// korva_rust.stream: one constructor per registered stream, taking the table
// entry's parameters without the series or candles, and one Stream type whose
// update/extend feed the kernel and return what the batch function returns
// at the new positions. Arguments go through the same argument layer as the
// batch functions, so conversions and their errors are the batch ones.
#include "stream.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "guard.hpp"
#include "numpy_api.hpp"
#include "stream_table.hpp"
#include "table.hpp"

namespace korva {
namespace {

using args::Arg;
using args::Param;
using args::Type;

// A stream as the module presents it: its registry entry, its table entry
// and the parameters derived from that.
struct Kind {
    const stream::Entry* entry = nullptr;
    const table::Function* fn = nullptr;
    Param data;  // the series or candles parameter, named in errors
    std::size_t count = 0;
    std::array<Param, args::kMaxParams> params{};
    std::size_t outputs = 1;
    std::string doc;
};

constexpr std::size_t kCapacity = 128;
std::array<Kind, kCapacity> kinds;
std::size_t kind_count = 0;

struct StreamObject {
    PyObject_HEAD const Kind* kind;
    stream::Kernel* kernel;
    PyObject* params;  // tuple of the parameters, as Python values
};

PyTypeObject* stream_type = nullptr;
PyObject* stream_module = nullptr;

StreamObject* as_stream(PyObject* o) { return reinterpret_cast<StreamObject*>(o); }

PyObject* new_stream(const Kind* kind, std::unique_ptr<stream::Kernel> kernel, PyObject* params) {
    PyObject* o = PyType_GenericAlloc(stream_type, 0);
    if (!o) throw py::ErrorAlreadySet{};
    StreamObject* s = as_stream(o);
    s->kind = kind;
    s->kernel = kernel.release();
    Py_INCREF(params);
    s->params = params;
    return o;
}

void dealloc(PyObject* self) {
    StreamObject* s = as_stream(self);
    delete s->kernel;
    Py_XDECREF(s->params);
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(reinterpret_cast<PyObject*>(tp));
}

// A converted parameter as a Python value (for pickling and repr).
struct ToPython {
    PyObject* operator()(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(std::int64_t v) { return PyLong_FromLongLong(v); }
    PyObject* operator()(double v) { return PyFloat_FromDouble(v); }
    PyObject* operator()(std::string_view v) {
        return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
    }
    PyObject* operator()(bool v) { return PyBool_FromLong(v); }
    template <class T>
    PyObject* operator()(const T&) {
        PyErr_SetString(PyExc_SystemError, "a stream parameter that is an array");
        return nullptr;
    }
};

PyObject* python_value(const Arg& a) { return py::check(std::visit(ToPython{}, a)); }

// Parsed arguments of one call, in slots that need no clearing.
union Slots {
    Slots() {}
    Arg v[args::kMaxParams];
};

template <std::size_t I>
PyObject* construct(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const Kind& k = kinds[I];
        Slots slots;
        args::Borrows borrows;
        args::parse(args::Signature{k.fn->name, k.count, k.params.data()}, argv, nargs, kwnames, slots.v, borrows);
        const std::span<const Arg> values(slots.v, k.count);
        py::Ref params(py::check(PyTuple_New(static_cast<Py_ssize_t>(k.count))));
        for (std::size_t i = 0; i < k.count; ++i) {
            PyTuple_SetItem(params.get(), static_cast<Py_ssize_t>(i), python_value(values[i]));
        }
        return new_stream(&k, k.entry->make(*k.entry, values), params.get());
    });
}

template <std::size_t... I>
constexpr std::array<PyCFunction, kCapacity> make_constructors(std::index_sequence<I...>) {
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&construct<I>))...};
}
const std::array<PyCFunction, kCapacity> constructors = make_constructors(std::make_index_sequence<kCapacity>{});
PyMethodDef constructor_defs[kCapacity + 1];

// One converted argument of update/extend, through the argument layer.
Arg convert_one(const char* name, Type type, PyObject* o, args::Borrows& borrows) {
    const Param p{name, type};
    Slots slots;
    PyObject* argv[1] = {o};
    args::parse(args::Signature{"update", 1, &p}, argv, 1, nullptr, slots.v, borrows);
    return slots.v[0];
}

// Whether output q of a several-valued result is a bool array; a kernel
// writes its values as 1.0 or 0.0.
bool is_mask(const Kind& k, std::size_t q) {
    return k.fn->result != table::Result::Series && k.fn->outputs[q].item == table::Item::Mask;
}

// Output q's value at a new position, as a Python float or bool.
PyObject* position_item(const Kind& k, std::size_t q, double v) {
    return py::check(is_mask(k, q) ? PyBool_FromLong(v != 0.0) : PyFloat_FromDouble(v));
}

// The value of a new position as the batch function returns it there.
PyObject* position_result(const Kind& k, const double* v) {
    switch (k.fn->result) {
        case table::Result::Tuple: {
            py::Ref t(py::check(PyTuple_New(static_cast<Py_ssize_t>(k.outputs))));
            for (std::size_t q = 0; q < k.outputs; ++q) {
                PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(q), position_item(k, q, v[q]));
            }
            return t.release();
        }
        case table::Result::Dict: {
            py::Ref d(py::check(PyDict_New()));
            for (std::size_t q = 0; q < k.outputs; ++q) {
                py::Ref item(position_item(k, q, v[q]));
                if (PyDict_SetItemString(d.get(), k.fn->outputs[q].name, item.get()) < 0) throw py::ErrorAlreadySet{};
            }
            return d.release();
        }
        default: return py::check(PyFloat_FromDouble(v[0]));
    }
}

// A candle row: a 1-D float64 array is read in place; any other sequence
// item by item. Only the columns the stream reads are converted.
void read_row(const Kind& k, PyObject* row, double* values) {
    const stream::Entry& e = *k.entry;
    numpy::ensure_api();
    if (numpy::is_array(row) && numpy::fields(row)->nd == 1 && numpy::dtype_is(row, numpy::Double)) {
        const numpy::ArrayFields* a = numpy::fields(row);
        e.require_columns(static_cast<std::size_t>(a->dimensions[0]));
        for (std::size_t c = 0; c < e.column_count; ++c) {
            values[c] = load<double>(a->data + static_cast<std::ptrdiff_t>(e.columns[c]) * a->strides[0]);
        }
        return;
    }
    if (!PySequence_Check(row) || PyUnicode_Check(row)) {
        py::Ref q(py::check(PyType_GetQualName(Py_TYPE(row))));
        PyErr_Format(PyExc_TypeError, "argument '%s': a candle row must be a sequence of numbers, not '%U'",
                     k.data.name, q.get());
        throw py::ErrorAlreadySet{};
    }
    const Py_ssize_t len = PySequence_Size(row);
    if (len < 0) throw py::ErrorAlreadySet{};
    e.require_columns(static_cast<std::size_t>(len));
    for (std::size_t c = 0; c < e.column_count; ++c) {
        py::Ref item(py::check(PySequence_GetItem(row, static_cast<Py_ssize_t>(e.columns[c]))));
        // The argument layer's float conversion, called directly; on failure
        // the layer itself raises its error, named after the argument.
        values[c] = PyFloat_AsDouble(item.get());
        if (values[c] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            args::Borrows borrows;
            values[c] = std::get<double>(convert_one(k.data.name, Type::Float, item.get(), borrows));
        }
    }
}

PyObject* update(PyObject* self, PyObject* value) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        const Kind& k = *s->kind;
        double row[6];
        if (k.entry->column_count > 0) {
            read_row(k, value, row);
        } else {
            row[0] = PyFloat_AsDouble(value);
            if (row[0] == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                args::Borrows borrows;
                row[0] = std::get<double>(convert_one(k.data.name, Type::Float, value, borrows));
            }
        }
        s->kernel->admit(s->kernel->fed() + 1);
        const double* in[6];
        for (std::size_t c = 0; c < 6; ++c) in[c] = row + c;
        double v[table::kMaxOutputs];
        double* out[table::kMaxOutputs];
        for (std::size_t q = 0; q < table::kMaxOutputs; ++q) out[q] = v + q;
        s->kernel->feed(in, 1, out);
        return position_result(k, v);
    });
}

// The batch function on an empty matrix narrower than the columns a stream
// reads: whether that is an error is its to say (some take their columns
// before they look at the rows), so it runs on it and raises what it raises.
void batch_on_empty(const StreamObject* s, const Arg& data) {
    const Kind& k = *s->kind;
    PyObject* given[args::kMaxParams] = {};
    for (std::size_t i = 0; i < k.count; ++i) given[i] = PyTuple_GetItem(s->params, static_cast<Py_ssize_t>(i));
    Slots slots;
    args::Borrows borrows;
    args::parse(args::Signature{k.fn->name, k.count, k.params.data()}, given, static_cast<Py_ssize_t>(k.count), nullptr,
                slots.v, borrows);
    std::array<Arg, args::kMaxParams> all{};
    all[stream::table_arguments(*k.fn, std::span<const Arg>(slots.v, k.count), all)] = data;
    k.fn->impl(std::span<const Arg>(all.data(), k.fn->count));
}

// The columns a stream reads, out of the matrix in one pass over its rows
// (each row's values share a cache line), into scratch the thread keeps for
// the next call: a long history's copy then costs no fresh pages. Scratch
// beyond kKeptScratch values is given back after the call.
constexpr std::size_t kKeptScratch = std::size_t{1} << 21;
thread_local std::vector<double> column_scratch;

struct ScratchTrim {
    ~ScratchTrim() {
        if (column_scratch.capacity() > kKeptScratch) column_scratch = std::vector<double>();
    }
};

template <std::size_t Cols>
void copy_rows(const MatrixView& m, double* const* dst, const std::ptrdiff_t* at) {
    for (std::size_t i = 0; i < m.rows; ++i) {
        const char* row = m.base + static_cast<std::ptrdiff_t>(i) * m.row_stride;
        for (std::size_t c = 0; c < Cols; ++c) dst[c][i] = load<double>(row + at[c]);
    }
}

void copy_columns(const MatrixView& m, const stream::Entry& e, const double** in) {
    const std::size_t n = m.rows, cols = e.column_count;
    if (column_scratch.size() < n * cols) column_scratch.resize(n * cols);
    double* dst[6];
    std::ptrdiff_t at[6];
    for (std::size_t c = 0; c < cols; ++c) {
        dst[c] = column_scratch.data() + c * n;
        at[c] = static_cast<std::ptrdiff_t>(e.columns[c]) * m.col_stride;
        in[c] = dst[c];
    }
    [&]<std::size_t... C>(std::index_sequence<C...>) { ((cols == C + 1 ? copy_rows<C + 1>(m, dst, at) : void()), ...); }
    (std::make_index_sequence<6>{});
}

PyObject* extend(PyObject* self, PyObject* values) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        const Kind& k = *s->kind;
        const stream::Entry& e = *k.entry;
        args::Borrows borrows;
        const Arg a = convert_one(k.data.name, k.data.type, values, borrows);
        std::vector<std::vector<double>> columns;
        const double* in[6] = {};
        std::size_t n = 0;
        const MatrixView* rows = nullptr;
        if (e.column_count > 0) {
            const MatrixView& m = std::get<MatrixView>(a);
            n = m.rows;
            if (n == 0) {
                if (!e.has_columns(m.cols)) batch_on_empty(s, a);
            } else {
                e.require_columns(m.cols);
                rows = &m;
            }
        } else {
            const SeriesView x = std::get<SeriesView>(a);
            n = x.size();
            if (n > 0 && x.unit_stride()) {
                in[0] = reinterpret_cast<const double*>(x.base);
            } else {
                columns.emplace_back(n);
                for (std::size_t i = 0; i < n; ++i) columns[0][i] = x[i];
                in[0] = columns[0].data();
            }
        }
        const ScratchTrim trim;
        s->kernel->admit(s->kernel->fed() + n);
        std::vector<Series> results;
        results.reserve(k.outputs);
        double* out[table::kMaxOutputs] = {};
        for (std::size_t q = 0; q < k.outputs; ++q) {
            results.emplace_back(n);
            out[q] = results.back().data();
        }
        if (!rows || n < stream::kLongChunk || !s->kernel->feed_rows(*rows, out)) {
            if (rows) copy_columns(*rows, e, in);
            s->kernel->feed(in, n, out);
        }
        if (k.fn->result == table::Result::Series) return static_cast<PyObject*>(results[0].release());
        // Output q as an array: the float64 one itself, or its values as bools.
        const auto array = [&](std::size_t q) {
            if (!is_mask(k, q)) return py::Ref(static_cast<PyObject*>(results[q].release()));
            Mask m(n);
            for (std::size_t i = 0; i < n; ++i) m[i] = results[q].data()[i] != 0.0;
            return py::Ref(static_cast<PyObject*>(m.release()));
        };
        if (k.fn->result == table::Result::Dict) {
            py::Ref d(py::check(PyDict_New()));
            for (std::size_t q = 0; q < k.outputs; ++q) {
                py::Ref item = array(q);
                if (PyDict_SetItemString(d.get(), k.fn->outputs[q].name, item.get()) < 0) throw py::ErrorAlreadySet{};
            }
            return d.release();
        }
        py::Ref t(py::check(PyTuple_New(static_cast<Py_ssize_t>(k.outputs))));
        for (std::size_t q = 0; q < k.outputs; ++q) {
            PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(q), array(q).release());
        }
        return t.release();
    });
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(as_stream(self)->kernel->fed()); }

PyObject* copy(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        return new_stream(s->kind, s->kernel->clone(), s->params);
    });
}

PyObject* deepcopy(PyObject* self, PyObject*) { return copy(self, nullptr); }

// The saved state: a tag naming the stream, then its fields (little-endian
// 8-byte numbers; a list of values is its length, then the values).
const std::string kTag = "korva_rust.stream/1:";

class Writer : public stream::Fields {
public:
    std::string bytes;
    void num(double& v) override { put(&v); }
    void count(std::uint64_t& v) override { put(&v); }
    void values(std::vector<double>& v) override {
        std::uint64_t n = v.size();
        put(&n);
        for (double& x : v) put(&x);
    }

private:
    void put(const void* p) {
        unsigned char b[8];
        std::memcpy(b, p, 8);
        if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + 8);
        bytes.append(reinterpret_cast<const char*>(b), 8);
    }
};

class Reader : public stream::Fields {
public:
    Reader(const char* p, std::size_t n) : p_(p), left_(n) {}
    void num(double& v) override { take(&v); }
    void count(std::uint64_t& v) override { take(&v); }
    void values(std::vector<double>& v) override {
        std::uint64_t n;
        take(&n);
        if (n > left_ / 8) invalid();
        v.resize(static_cast<std::size_t>(n));
        for (double& x : v) take(&x);
    }
    bool done() const { return left_ == 0; }
    [[noreturn]] static void invalid() { throw ValueError("invalid stream state"); }

private:
    void take(void* p) {
        if (left_ < 8) invalid();
        unsigned char b[8];
        std::memcpy(b, p_, 8);
        if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + 8);
        std::memcpy(p, b, 8);
        p_ += 8;
        left_ -= 8;
    }
    const char* p_;
    std::size_t left_;
};

PyObject* reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        Writer w;
        w.bytes = kTag + s->kind->fn->name + ":";
        std::unique_ptr<stream::Kernel> k = s->kernel->clone();  // fields() takes a mutable state
        k->fields(w);
        py::Ref ctor(py::check(PyObject_GetAttrString(stream_module, s->kind->fn->name)));
        py::Ref state(py::check(PyBytes_FromStringAndSize(w.bytes.data(), static_cast<Py_ssize_t>(w.bytes.size()))));
        return py::check(Py_BuildValue("(OOO)", ctor.get(), s->params, state.get()));
    });
}

PyObject* setstate(PyObject* self, PyObject* state) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        char* data = nullptr;
        Py_ssize_t len = 0;
        if (!PyBytes_Check(state)) throw TypeError("a stream state is bytes");
        if (PyBytes_AsStringAndSize(state, &data, &len) < 0) throw py::ErrorAlreadySet{};
        const std::string head = kTag + s->kind->fn->name + ":";
        if (static_cast<std::size_t>(len) < head.size() || std::memcmp(data, head.data(), head.size()) != 0) {
            throw ValueError("not a state of a korva_rust.stream." + std::string(s->kind->fn->name) + " stream");
        }
        Reader r(data + head.size(), static_cast<std::size_t>(len) - head.size());
        std::unique_ptr<stream::Kernel> k = s->kernel->clone();
        k->fields(r);
        if (!r.done()) Reader::invalid();
        delete s->kernel;
        s->kernel = k.release();
        Py_RETURN_NONE;
    });
}

PyObject* repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        const Kind& k = *s->kind;
        std::string text = std::string("korva_rust.stream.") + k.fn->name + "(";
        for (std::size_t i = 0; i < k.count; ++i) {
            py::Ref r(py::check(PyObject_Repr(PyTuple_GetItem(s->params, static_cast<Py_ssize_t>(i)))));
            Py_ssize_t n = 0;
            const char* p = PyUnicode_AsUTF8AndSize(r.get(), &n);
            if (!p) throw py::ErrorAlreadySet{};
            text += (i ? ", " : "") + std::string(k.params[i].name) + "=" + std::string(p, static_cast<std::size_t>(n));
        }
        text += ") after " + std::to_string(s->kernel->fed()) + " values";
        return py::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyMethodDef methods[] = {
    {"update", update, METH_O,
     "update($self, value, /)\n--\n\nFeeds one value (a candle row for candle functions); returns the function's value "
     "at "
     "the new position."},
    {"extend", extend, METH_O,
     "extend($self, values, /)\n--\n\nFeeds an array (a candle matrix for candle functions); returns the function's "
     "values "
     "at the new positions, as arrays."},
    {"copy", copy, METH_NOARGS, "copy($self, /)\n--\n\nAn independent stream in the same state."},
    {"__copy__", copy, METH_NOARGS, nullptr},
    {"__deepcopy__", deepcopy, METH_O, nullptr},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"__setstate__", setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char* const kTypeDoc =
    "A stream of one function: update() and extend() return, for each value fed, what the function returns at "
    "that position on the whole history fed so far, bit for bit. len() counts the values fed; copies and pickles "
    "keep the exact state.";

PyType_Slot type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)}, {Py_tp_methods, methods},
    {Py_sq_length, reinterpret_cast<void*>(length)},   {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},          {0, nullptr},
};

PyType_Spec type_spec = {"korva_rust.stream.Stream", sizeof(StreamObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, type_slots};

// The stream's parameters from its table entry; false when the factory's
// signature disagrees with them (a build fault).
bool derive(const stream::Entry& e, const table::Function& f, Kind& k) {
    k.entry = &e;
    k.fn = &f;
    std::size_t data = 0;
    for (std::size_t i = 0; i < f.count; ++i) {
        const Param& p = f.params[i];
        if (stream::stream_param(p)) {
            const bool mine = e.count == stream::kTableParams;
            if (!mine && (k.count == e.count || e.types[k.count] != p.type)) return false;
            if (p.type == Type::Str && mine) return false;  // a kept view would outlive its string
            k.params[k.count++] = p;
        } else if (p.type == Type::Series || p.type == Type::Candles) {
            k.data = p;
            ++data;
        }
    }
    if ((e.count != stream::kTableParams && k.count != e.count) || data != 1) return false;
    if ((k.data.type == Type::Candles) != (e.column_count > 0)) return false;
    k.outputs = f.result == table::Result::Series ? 1 : f.output_count;
    if (f.result != table::Result::Series && f.result != table::Result::Tuple && f.result != table::Result::Dict)
        return false;
    std::string sig = std::string(f.name) + "(";
    for (std::size_t i = 0; i < k.count; ++i) sig += (i ? ", " : "") + std::string(k.params[i].name);
    k.doc = sig + ")\n--\n\nStream of `" + f.name + "` (" + stream::approach_name(e.approach) +
            "): update() and extend() return what `" + f.name + "(history, ...)` returns at the new positions.";
    return true;
}

}  // namespace

int add_stream_module(PyObject* parent) {
    py::Ref module(PyModule_New("korva_rust.stream"));
    if (!module) return -1;
    if (PyModule_AddStringConstant(module.get(), "__doc__",
                                   "Streams: exact updates of the functions whose value at a position depends only "
                                   "on that position and earlier ones.") < 0)
        return -1;
    py::Ref module_name(PyUnicode_FromString("korva_rust.stream"));
    py::Ref all(PyList_New(0));
    if (!module_name || !all) return -1;
    stream_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!stream_type) return -1;
    Py_INCREF(reinterpret_cast<PyObject*>(stream_type));
    if (PyModule_AddObject(module.get(), "Stream", reinterpret_cast<PyObject*>(stream_type)) < 0) {
        Py_DECREF(reinterpret_cast<PyObject*>(stream_type));
        return -1;
    }
    // In table order.
    kind_count = 0;
    for (const table::Function& f : table::functions()) {
        const stream::Entry* e = stream::find(f.name);
        if (!e) continue;
        if (kind_count == kCapacity) {
            PyErr_SetString(PyExc_SystemError, "raise the capacity of korva_rust.stream");
            return -1;
        }
        Kind& k = kinds[kind_count];
        if (!derive(*e, f, k)) {
            PyErr_Format(PyExc_SystemError, "the stream of %s disagrees with the function table", f.name);
            return -1;
        }
        PyMethodDef& def = constructor_defs[kind_count];
        def = {f.name, constructors[kind_count], METH_FASTCALL | METH_KEYWORDS, k.doc.c_str()};
        ++kind_count;
        py::Ref fn(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        if (!fn) return -1;
        py::Ref name(PyUnicode_FromString(f.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0 ||
            PyObject_SetAttr(module.get(), name.get(), fn.get()) < 0)
            return -1;
    }
    if (kind_count != stream::streams().size()) {
        PyErr_SetString(PyExc_SystemError, "a stream names no function of the table");
        return -1;
    }
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_SetItemString(modules, "korva_rust.stream", module.get()) < 0) return -1;
    if (PyObject_SetAttrString(parent, "stream", module.get()) < 0) return -1;
    stream_module = module.release();
    return 0;
}

}  // namespace korva
