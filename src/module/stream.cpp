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
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
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
    std::unique_ptr<stream::Kernel> scratch;  // what peek feeds, kept for its buffers
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
    new (&s->scratch) std::unique_ptr<stream::Kernel>();
    Py_INCREF(params);
    s->params = params;
    return o;
}

void dealloc(PyObject* self) {
    StreamObject* s = as_stream(self);
    delete s->kernel;
    s->scratch.~unique_ptr();
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

// Whether a row is read by position: a mapping (a dict, or a labelled row
// such as a pandas Series, which has keys()) would be indexed by label, and
// its column 2 is whatever "2" names there, if anything.
bool positional_row(PyObject* row) {
    if (PyList_Check(row) || PyTuple_Check(row)) return true;
    if (!PySequence_Check(row) || PyUnicode_Check(row) || PyDict_Check(row)) return false;
    const int keyed = PyObject_HasAttrString(row, "keys");
    return keyed == 0;
}

// A candle row: a 1-D float64 array is read in place; any other positional
// sequence item by item. Only the columns the stream reads are converted.
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
    if (!positional_row(row)) {
        py::Ref q(py::check(PyType_GetQualName(Py_TYPE(row))));
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': a candle row must be a list, tuple or 1-D array of numbers indexed by "
                     "position, not '%U'",
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

// The most values a stream counts: len() must be able to say how many were
// fed, and the count must never wrap (a kernel compares positions with it).
constexpr std::uint64_t kMaxFed = std::uint64_t{1} << 62;
static_assert(kMaxFed <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX));

// Refuses, before any state changes, values that would take the stream past
// that count.
void make_room(const stream::Kernel& kernel, std::uint64_t n) {
    if (n <= kMaxFed - kernel.fed()) return;
    PyErr_SetString(PyExc_OverflowError, "a stream takes at most 2**62 values");
    throw py::ErrorAlreadySet{};
}

// One more value (or candle row) for update and peek: converted, and what
// the batch function raises on the longer history raised, before anything
// is fed; `in` and `out` point into the row and the outputs.
struct OneRow {
    double row[6];
    double v[table::kMaxOutputs];
    const double* in[6];
    double* out[table::kMaxOutputs];

    OneRow(const StreamObject* s, PyObject* value) {
        const Kind& k = *s->kind;
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
        make_room(*s->kernel, 1);
        s->kernel->admit(s->kernel->fed() + 1);
        for (std::size_t c = 0; c < 6; ++c) in[c] = row + c;
        for (std::size_t q = 0; q < table::kMaxOutputs; ++q) out[q] = v + q;
    }
};

PyObject* update(PyObject* self, PyObject* value) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        OneRow r(s, value);
        s->kernel->feed(r.in, 1, r.out);
        return position_result(*s->kind, r.v);
    });
}

PyObject* peek(PyObject* self, PyObject* value) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        OneRow r(s, value);
        s->kernel->peek(r.in, r.out, s->scratch);
        return position_result(*s->kind, r.v);
    });
}

// The stream's parameters converted again from their Python values, as
// the constructor converted them.
void parse_params(const StreamObject* s, Slots& slots, args::Borrows& borrows) {
    const Kind& k = *s->kind;
    PyObject* given[args::kMaxParams] = {};
    for (std::size_t i = 0; i < k.count; ++i) given[i] = PyTuple_GetItem(s->params, static_cast<Py_ssize_t>(i));
    args::parse(args::Signature{k.fn->name, k.count, k.params.data()}, given, static_cast<Py_ssize_t>(k.count), nullptr,
                slots.v, borrows);
}

// The batch function on an empty matrix narrower than the columns a stream
// reads: whether that is an error is its to say (some take their columns
// before they look at the rows), so it runs on it and raises what it raises.
void batch_on_empty(const StreamObject* s, const Arg& data) {
    const Kind& k = *s->kind;
    Slots slots;
    args::Borrows borrows;
    parse_params(s, slots, borrows);
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
        make_room(*s->kernel, n);
        const ScratchTrim trim;
        s->kernel->admit(s->kernel->fed() + n);
        if (n >= stream::kLongChunk) {
            Value whole;
            if (s->kernel->feed_whole(in, rows, n, whole)) return to_python(std::move(whole));
        }
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

// Within Py_ssize_t: the count is bounded by kMaxFed.
Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(as_stream(self)->kernel->fed()); }

PyObject* copy(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        StreamObject* s = as_stream(self);
        return new_stream(s->kind, s->kernel->clone(), s->params);
    });
}

PyObject* deepcopy(PyObject* self, PyObject*) { return copy(self, nullptr); }

// The saved state: a head naming the stream and its parameters, its fields
// (little-endian 8-byte numbers; a list of values is its length, then the
// values), then a check word. The head keeps a state from loading into a
// stream of another kind or other parameters (whose windows and
// coefficients it does not fit); the check word (zlib's CRC-32, so that
// tools can verify and seal states too) refuses a state altered or cut
// short. The fields' own checks stay: a forged check word must not make a
// kernel read outside its buffers.
const std::string kTag = "korva_rust.stream/2:";

// A parameter's exact encoding: its type, then its value (a float by its
// bits, so that -0.0 and each NaN stay what they were; a string by its
// length, then its bytes).
struct Encode {
    std::string& out;
    void operator()(std::uint64_t v) { out += "u" + std::to_string(v); }
    void operator()(std::int64_t v) { out += "i" + std::to_string(v); }
    void operator()(double v) {
        static constexpr char kHex[] = "0123456789abcdef";
        const auto bits = std::bit_cast<std::uint64_t>(v);
        out += "f";
        for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(bits >> shift) & 0xF];
    }
    void operator()(std::string_view v) {
        out += "s" + std::to_string(v.size()) + ":";
        out.append(v);
    }
    void operator()(bool v) { out += v ? "b1" : "b0"; }
    template <class T>
    void operator()(const T&) {
        throw InternalError("a stream parameter that is an array");
    }
};

// "korva_rust.stream/2:<name>(<parameters>):", the parameters as the
// argument layer converts them.
std::string state_head(const StreamObject* s) {
    const Kind& k = *s->kind;
    Slots slots;
    args::Borrows borrows;
    parse_params(s, slots, borrows);
    std::string head = kTag + k.fn->name + "(";
    for (std::size_t i = 0; i < k.count; ++i) {
        if (i > 0) head += ",";
        std::visit(Encode{head}, slots.v[i]);
    }
    return head + "):";
}

// zlib's CRC-32 of the bytes.
std::uint64_t check_word(const char* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= static_cast<unsigned char>(p[i]);
        for (int b = 0; b < 8; ++b) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// One 8-byte word, little-endian.
void put_word(std::string& out, const void* p) {
    unsigned char b[8];
    std::memcpy(b, p, 8);
    if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + 8);
    out.append(reinterpret_cast<const char*>(b), 8);
}

void get_word(const char* in, void* p) {
    unsigned char b[8];
    std::memcpy(b, in, 8);
    if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + 8);
    std::memcpy(p, b, 8);
}

class Writer : public stream::Fields {
public:
    std::string bytes;
    void num(double& v) override { put_word(bytes, &v); }
    void count(std::uint64_t& v) override { put_word(bytes, &v); }
    void values(std::vector<double>& v) override {
        std::uint64_t n = v.size();
        put_word(bytes, &n);
        for (double& x : v) put_word(bytes, &x);
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
        get_word(p_, p);
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
        w.bytes = state_head(s);
        std::unique_ptr<stream::Kernel> k = s->kernel->clone();  // fields() takes a mutable state
        k->fields(w);
        const std::uint64_t check = check_word(w.bytes.data(), w.bytes.size());
        put_word(w.bytes, &check);
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
        const auto size = static_cast<std::size_t>(len);
        const std::string_view bytes(data, size);
        const std::string name = s->kind->fn->name;
        const std::string kind = kTag + name + "(";
        if (!bytes.starts_with(kind)) throw ValueError("not a state of a korva_rust.stream." + name + " stream");
        const std::string head = state_head(s);
        if (!bytes.starts_with(head)) {
            throw ValueError("a state of a korva_rust.stream." + name + " stream with other parameters");
        }
        std::uint64_t check = 0;
        if (size < head.size() + 8) Reader::invalid();
        get_word(data + size - 8, &check);
        if (check != check_word(data, size - 8)) throw ValueError("invalid stream state: altered or cut short");
        Reader r(data + head.size(), size - 8 - head.size());
        std::unique_ptr<stream::Kernel> k = s->kernel->clone();
        k->fields(r);
        if (!r.done() || k->fed() > kMaxFed) Reader::invalid();
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
    {"peek", peek, METH_O,
     "peek($self, value, /)\n--\n\nWhat update(value) would return (a forming bar's value), feeding nothing: the "
     "stream stays as it was."},
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
    "that position on the whole history fed so far, bit for bit; peek() returns what update() would, feeding "
    "nothing. len() counts the values fed; copies and pickles keep the exact state.";

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
            "): update() and extend() return what `" + f.name +
            "(history, ...)` returns at the new positions; peek() what update() would, feeding nothing.";
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
