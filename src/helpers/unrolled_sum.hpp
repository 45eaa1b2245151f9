// Eight-lane sum of a contiguous run. Callers compare results bit for bit
// with an earlier implementation that summed this way, so the grouping is
// fixed: lane j collects elements 8g+j, the lanes are combined as
// ((((0 + (a0+a4)) + (a1+a5)) + (a2+a6)) + (a3+a7)), and the tail (fewer
// than eight elements) is added after that, one by one. This is neither a
// plain running sum nor NumPy's pairwise sum; for fewer than eight elements
// it reduces to the plain left-to-right sum starting from 0.0.
#pragma once
#include <cstddef>

namespace korva {

// The sum of load(0), ..., load(m-1) with accumulators of type T. T may be a
// vector of doubles holding several independent runs (say, neighbouring
// windows), one per lane: each lane then gets exactly the scalar sum. Always
// inlined, and so must `load` be when T is a vector: a vector-typed call
// between differently targeted functions would not agree on the registers.
template <class T, class Load>
[[gnu::always_inline]] inline T unrolled_sum_of(Load&& load, std::size_t m) {
    T a0{}, a1{}, a2{}, a3{}, a4{}, a5{}, a6{}, a7{};
    std::size_t i = 0;
    const std::size_t groups_end = m - m % 8;
    for (; i < groups_end; i += 8) {
        a0 += load(i);
        a1 += load(i + 1);
        a2 += load(i + 2);
        a3 += load(i + 3);
        a4 += load(i + 4);
        a5 += load(i + 5);
        a6 += load(i + 6);
        a7 += load(i + 7);
    }
    T acc{};
    acc = acc + (a0 + a4);
    acc = acc + (a1 + a5);
    acc = acc + (a2 + a6);
    acc = acc + (a3 + a7);
    for (; i < m; ++i) acc = acc + load(i);
    return acc;
}

// Sum of x[begin], ..., x[begin+m-1] for any indexable x (pointer or view).
template <class X>
inline double unrolled_sum(const X& x, std::size_t begin, std::size_t m) {
    return unrolled_sum_of<double>([&](std::size_t i) { return x[begin + i]; }, m);
}

inline double unrolled_sum(const double* x, std::size_t m) { return unrolled_sum(x, 0, m); }

}  // namespace korva

namespace korva {

// out[i] = the eight-lane sum of v[i-p+1 .. i] for i = p-1 .. n-1 (each
// window summed afresh; neighbouring windows run side by side, one per
// vector lane, so each keeps the scalar grouping). Requires 1 <= p <= n.
void unrolled_window_sums(const double* v, std::size_t n, std::size_t p, double* out);

}  // namespace korva
