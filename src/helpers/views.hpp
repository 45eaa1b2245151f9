// Borrowed, read-only views of caller arrays. A view is a base pointer, a
// length and a byte stride: strided column slices and reversed views are read
// in place, never copied. Kernels are templates over the view type so that the
// unit-stride case compiles to plain pointer loads with the same operation
// order as the strided one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "errors.hpp"

namespace korva {

template <class T>
inline T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));  // NumPy arrays need not be aligned
    return v;
}

// 1-D view with any stride.
template <class T>
struct StridedView {
    const char* base = nullptr;
    std::ptrdiff_t stride = sizeof(T);
    std::size_t n = 0;

    std::size_t size() const { return n; }
    T operator[](std::size_t i) const { return load<T>(base + static_cast<std::ptrdiff_t>(i) * stride); }
    bool unit_stride() const {
        return stride == static_cast<std::ptrdiff_t>(sizeof(T)) &&
               reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0;
    }
};

// 1-D view with unit stride and natural alignment.
template <class T>
struct ContiguousView {
    const T* p = nullptr;
    std::size_t n = 0;

    std::size_t size() const { return n; }
    T operator[](std::size_t i) const { return p[i]; }
};

using SeriesView = StridedView<double>;

// True when the view can be read as one plain slice (unit stride, not
// reversed); views of fewer than two elements always can.
template <class T>
bool plain_slice(const StridedView<T>& v) {
    return v.n <= 1 || v.stride == static_cast<std::ptrdiff_t>(sizeof(T));
}

// A few computations read their input as one plain slice, as the host did;
// any other layout is an internal error there.
template <class T>
void require_plain_slice(const StridedView<T>& v) {
    if (!plain_slice(v)) throw InternalError("The given array is not contiguous");
}
using Int64View = StridedView<std::int64_t>;

// Calls f with the fastest view type that reads `v` element for element.
template <class T, class F>
decltype(auto) with_view(const StridedView<T>& v, F&& f) {
    if (v.n == 0 || v.unit_stride()) {
        return f(ContiguousView<T>{reinterpret_cast<const T*>(v.base), v.n});
    }
    return f(v);
}

// 2-D float64 view (a candle matrix or any float matrix), any strides.
struct MatrixView {
    const char* base = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;

    double at(std::size_t r, std::size_t c) const {
        return load<double>(base + static_cast<std::ptrdiff_t>(r) * row_stride +
                            static_cast<std::ptrdiff_t>(c) * col_stride);
    }
    // Column c as a series; a matrix without that column is an internal error.
    SeriesView column(std::size_t c) const {
        if (c >= cols) missing_dimension();
        return SeriesView{base + static_cast<std::ptrdiff_t>(c) * col_stride, row_stride, rows};
    }
};

// Candle matrix column order.
namespace col {
inline constexpr std::size_t timestamp = 0, open = 1, close = 2, high = 3, low = 4, volume = 5;
}

// Writable 2-D view; only functions that repair candles in place take one.
struct MutableMatrixView {
    char* base = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;

    double* ptr(std::size_t r, std::size_t c) const {
        return reinterpret_cast<double*>(base + static_cast<std::ptrdiff_t>(r) * row_stride +
                                         static_cast<std::ptrdiff_t>(c) * col_stride);
    }
    double get(std::size_t r, std::size_t c) const { return load<double>(reinterpret_cast<const char*>(ptr(r, c))); }
    void set(std::size_t r, std::size_t c, double v) const { std::memcpy(ptr(r, c), &v, sizeof v); }
    MatrixView read() const { return MatrixView{base, row_stride, col_stride, rows, cols}; }
};

}  // namespace korva
