// Results of the computations. Output series are allocated once, directly as
// the array object handed back to Python (src/module/numpy_api.cpp provides
// the allocator), so a result is never copied after it is computed. Kernels
// see only a pointer and a length.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace korva {

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

enum class Dtype { Float64, Bool };

namespace detail {
// Allocate a fresh C-contiguous array of `nd` (1 or 2) dimensions, shape
// (rows) or (rows, cols), and return its owner; throws std::bad_alloc on
// failure. Implemented by the module layer.
void* allocate_array(Dtype dtype, int nd, std::size_t rows, std::size_t cols, void** data);
void release_array(void* owner) noexcept;
}  // namespace detail

// Owner of one freshly allocated array.
class ArrayHandle {
public:
    ArrayHandle() = default;
    ArrayHandle(Dtype dtype, int nd, std::size_t rows, std::size_t cols) {
        owner_ = detail::allocate_array(dtype, nd, rows, cols, &data_);
    }
    ArrayHandle(ArrayHandle&& o) noexcept : owner_(std::exchange(o.owner_, nullptr)), data_(o.data_) {}
    ArrayHandle& operator=(ArrayHandle&& o) noexcept {
        if (this != &o) {
            reset();
            owner_ = std::exchange(o.owner_, nullptr);
            data_ = o.data_;
        }
        return *this;
    }
    ArrayHandle(const ArrayHandle&) = delete;
    ArrayHandle& operator=(const ArrayHandle&) = delete;
    ~ArrayHandle() { reset(); }

    // Hands the owner to the caller (the module layer, when returning).
    void* release() noexcept { return std::exchange(owner_, nullptr); }

protected:
    void reset() noexcept {
        if (owner_) detail::release_array(std::exchange(owner_, nullptr));
    }
    void* owner_ = nullptr;
    void* data_ = nullptr;
};

// 1-D float64 result.
class Series : public ArrayHandle {
public:
    Series() : Series(0) {}
    explicit Series(std::size_t n) : ArrayHandle(Dtype::Float64, 1, n, 1), n_(n) {}
    Series(std::size_t n, double fill) : Series(n) { std::fill_n(data(), n, fill); }

    double* data() { return static_cast<double*>(data_); }
    const double* data() const { return static_cast<const double*>(data_); }
    std::size_t size() const { return n_; }
    double& operator[](std::size_t i) { return data()[i]; }
    double operator[](std::size_t i) const { return data()[i]; }
    double* begin() { return data(); }
    double* end() { return data() + n_; }

private:
    std::size_t n_;
};

// 1-D bool result.
class Mask : public ArrayHandle {
public:
    explicit Mask(std::size_t n) : ArrayHandle(Dtype::Bool, 1, n, 1), n_(n) {}
    unsigned char* data() { return static_cast<unsigned char*>(data_); }
    std::size_t size() const { return n_; }
    unsigned char& operator[](std::size_t i) { return data()[i]; }

private:
    std::size_t n_;
};

// 2-D C-contiguous float64 result.
class Matrix : public ArrayHandle {
public:
    Matrix(std::size_t rows, std::size_t cols) : ArrayHandle(Dtype::Float64, 2, rows, cols), rows_(rows), cols_(cols) {}
    double* data() { return static_cast<double*>(data_); }
    double* row(std::size_t r) { return data() + r * cols_; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

private:
    std::size_t rows_, cols_;
};

struct None {};
struct Value;
using Tuple = std::vector<Value>;
struct Dict {
    std::vector<std::pair<const char*, Value>> items;
};

// Whatever a function returns; the module layer turns it into Python objects
// (float, int, str, None, arrays, tuples, dicts).
struct Value {
    std::variant<None, double, std::int64_t, bool, std::string, Series, Mask, Matrix, Tuple, Dict> v;

    Value() = default;
    Value(None) {}
    Value(double d) : v(d) {}
    Value(std::int64_t i) : v(i) {}
    Value(bool b) : v(b) {}
    Value(std::string s) : v(std::move(s)) {}
    Value(Series s) : v(std::move(s)) {}
    Value(Mask m) : v(std::move(m)) {}
    Value(Matrix m) : v(std::move(m)) {}
    Value(Tuple t) : v(std::move(t)) {}
    Value(Dict d) : v(std::move(d)) {}
};

// Builds a tuple result from its members, in order.
template <class... Ts>
Tuple tuple_of(Ts&&... xs) {
    Tuple t;
    t.reserve(sizeof...(Ts));
    (t.emplace_back(std::forward<Ts>(xs)), ...);
    return t;
}

}  // namespace korva
