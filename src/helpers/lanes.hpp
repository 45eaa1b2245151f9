// Vector lanes: the one toolkit for kernels that run independent windows,
// rows or series chunks side by side (dispatch.hpp builds them for every
// instruction-set level and picks one).
//
// Exactness. A kernel's lanes give the scalar loop's bits, whatever the lane
// width, the level or the chunking, when three conditions hold:
//  1. a step's scalar and vector forms do the same IEEE operations on the
//     same operands in the same order (one template instantiated for a
//     double and for a vector, nothing contracted into fused multiply-add or
//     reassociated: -ffp-contract=off, never -ffast-math), each lane a
//     separately rounded copy of the scalar operation;
//  2. no step reads a NaN's sign or payload (the operations here yield NaN
//     exactly where the scalar ones do, but the compiler may order the
//     operands of a commutative operation differently, so which NaN comes out
//     is not fixed, and callers treat all NaN alike);
//  3. outputs never overlap inputs (a lane may run ahead of another, so a
//     store must not change what a later lane reads), unless a kernel says
//     how it orders its stores (windows_in_place in sweeps.hpp).
// The helpers below each give one result for a double and for a vector, so
// that one step template serves both forms.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace korva {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// GCC and Clang vector extensions: element-wise operators that compile to
// SSE2/AVX/AVX-512 on x86-64 and to NEON on aarch64. On Windows with the
// Microsoft ABI, build with clang-cl, which has them; cl.exe does not.
#if defined(_MSC_VER) && !defined(__clang__)
#error "the vector lanes need GCC or Clang vector extensions: build with clang-cl on MSVC"
#endif
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef std::int64_t PairBits __attribute__((vector_size(2 * sizeof(std::int64_t))));
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
typedef std::int64_t LaneBits __attribute__((vector_size(4 * sizeof(std::int64_t))));
// Eight doubles: one AVX-512 register, two AVX2 or four SSE2 ones, four NEON
// registers. Values of this type are passed only between functions inlined
// into one kernel (dispatch.hpp), never across a call.
inline constexpr std::size_t kWidth = 8;
typedef double Wide __attribute__((vector_size(kWidth * sizeof(double))));
typedef std::int64_t WideBits __attribute__((vector_size(kWidth * sizeof(std::int64_t))));

// A vector of lanes (the templates below), as opposed to one double (the
// plain overloads, which a bool or int condition converts to).
template <class V>
concept LaneVector = !std::is_arithmetic_v<V>;

template <class T>
[[gnu::always_inline]] inline T lanes_at(const double* p) {
    T v;
    __builtin_memcpy(&v, p, sizeof v);  // callers' arrays need not be aligned
    return v;
}
template <class T>
[[gnu::always_inline]] inline void store_lanes(double* p, T v) {
    __builtin_memcpy(p, &v, sizeof v);
}

// A condition is a bool for a double and a mask of all-ones/all-zeros lanes
// for a vector. On a vector, use one comparison per selection: where two
// masks meet (an AND of masks, or keep() of a keep() under two conditions)
// GCC selects lane by lane through the integer registers, many times slower.
// The scalar forms select by bit masks too: written as c ? yes : no, GCC
// compiles them to a branch, which data can make unpredictable.

// c ? yes : no.
inline double pick(bool c, double yes, double no) {
    std::uint64_t y, n;
    std::memcpy(&y, &yes, sizeof y);
    std::memcpy(&n, &no, sizeof n);
    const std::uint64_t m = 0 - static_cast<std::uint64_t>(c);
    y = (y & m) | (n & ~m);
    std::memcpy(&yes, &y, sizeof yes);
    return yes;
}
template <LaneVector V, class M>
[[gnu::always_inline]] inline V pick(M c, V yes, V no) {
    return c ? yes : no;
}
// v where c holds, else +0.0 (by clearing the bits).
inline double keep(bool c, double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    b &= 0 - static_cast<std::uint64_t>(c);
    std::memcpy(&v, &b, sizeof v);
    return v;
}
template <LaneVector V, class M>
[[gnu::always_inline]] inline V keep(M c, V v) {
    return reinterpret_cast<V>(reinterpret_cast<M>(v) & c);
}
// v where c does not hold, else +0.0.
inline double drop(bool c, double v) { return keep(!c, v); }
template <LaneVector V, class M>
[[gnu::always_inline]] inline V drop(M c, V v) {
    return reinterpret_cast<V>(reinterpret_cast<M>(v) & ~c);
}
inline double magnitude(double v) { return std::fabs(v); }
template <LaneVector V>
[[gnu::always_inline]] inline V magnitude(V v) {
    typedef decltype(v != v) M;
    return reinterpret_cast<V>(reinterpret_cast<M>(v) & std::numeric_limits<std::int64_t>::max());
}
inline bool is_nan(double v) { return v != v; }
template <LaneVector V>
[[gnu::always_inline]] inline auto is_nan(V v) {
    return v != v;
}
// A constant of the step's type.
template <class T>
inline T splat(double v) {
    if constexpr (sizeof(T) == sizeof(double)) {
        return v;
    } else {
        T r;
        for (std::size_t j = 0; j < sizeof(T) / sizeof(double); ++j) r[j] = v;
        return r;
    }
}

// x = a / c and y = b / d. For doubles both run in the two lanes of one pair
// (one division instruction for two, the same per-lane operations), where a
// serial loop is bound by its divisions; for vectors one division each.
template <class T, class D>
[[gnu::always_inline]] inline void divide_both(T a, T b, D c, D d, T& x, T& y) {
    if constexpr (sizeof(T) == sizeof(double)) {
        const Pair q = Pair{a, b} / Pair{c, d};
        x = q[0];
        y = q[1];
    } else {
        x = a / c;
        y = b / d;
    }
}

// Plain comparisons, which are false on NaN: the later operand wins on NaN
// and on ties. x86-64 compiles them to maxpd/minpd, whose rule this is.
template <LaneVector V>
[[gnu::always_inline]] inline V max_later(V earlier, V later) {
    return earlier > later ? earlier : later;
}
template <LaneVector V>
[[gnu::always_inline]] inline V min_later(V earlier, V later) {
    return earlier < later ? earlier : later;
}
inline double max_later(double earlier, double later) { return max_later(Pair{earlier}, Pair{later})[0]; }
inline double min_later(double earlier, double later) { return min_later(Pair{earlier}, Pair{later})[0]; }

// NaN-ignoring maximum and minimum (the maxNum/minNum rule): when exactly one
// operand is NaN the other one wins, and two NaNs give b. Zeros are ordered
// -0 < +0, so max_num(-0.0, +0.0) is +0.0 in either argument order: results
// are compared bit for bit, sign of zero included, so the answer must not
// depend on which operand happens to come first.
//
// Without branches: which operand wins is data, and on hostile data a branch
// mispredicts half the time. A NaN operand is first replaced by the other
// one. Then the plain comparison is taken both ways round: for different
// numbers both give the winner, for equal ones they give a and b, and
// combining the bits keeps equal numbers (equal bits) and turns +0 and -0
// into +0 (AND, for the maximum) or -0 (OR, for the minimum). Each selection
// is a ternary on one comparison, which x86-64 compiles to a blend or to
// maxpd/minpd and aarch64 to a bit select.
template <LaneVector V>
[[gnu::always_inline]] inline V max_num(V a, V b) {
    typedef decltype(a != a) M;
    const V a1 = a == a ? a : b;
    const V b1 = b == b ? b : a1;
    const V up = a1 > b1 ? a1 : b1;
    const V down = b1 > a1 ? b1 : a1;
    return reinterpret_cast<V>(reinterpret_cast<M>(up) & reinterpret_cast<M>(down));
}
template <LaneVector V>
[[gnu::always_inline]] inline V min_num(V a, V b) {
    typedef decltype(a != a) M;
    const V a1 = a == a ? a : b;
    const V b1 = b == b ? b : a1;
    const V lo = a1 < b1 ? a1 : b1;
    const V hi = b1 < a1 ? b1 : a1;
    return reinterpret_cast<V>(reinterpret_cast<M>(lo) | reinterpret_cast<M>(hi));
}
// The same on one double, the same results bit for bit. Ordered comparisons
// first: they are false on NaN, so two distinct numbers cost one or two
// comparisons and a branch that real data predicts well. Where which operand
// wins is a coin toss (true ranges on hostile rows), a caller runs the
// vector form in lane 0 of a Pair instead.
inline double max_num(double a, double b) {
    if (a > b) return a;
    if (b > a) return b;
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return std::signbit(a) ? b : a;  // equal: +0 over -0
}
inline double min_num(double a, double b) {
    if (a < b) return a;
    if (b < a) return b;
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return std::signbit(a) ? a : b;  // equal: -0 over +0
}

}  // namespace korva
