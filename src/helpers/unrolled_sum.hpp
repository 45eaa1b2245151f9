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

// Sum of x[begin], ..., x[begin+m-1] for any indexable x (pointer or view).
template <class X>
inline double unrolled_sum(const X& x, std::size_t begin, std::size_t m) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0, a4 = 0.0, a5 = 0.0, a6 = 0.0, a7 = 0.0;
    std::size_t i = begin;
    const std::size_t groups_end = begin + (m / 8) * 8;
    for (; i < groups_end; i += 8) {
        a0 += x[i];
        a1 += x[i + 1];
        a2 += x[i + 2];
        a3 += x[i + 3];
        a4 += x[i + 4];
        a5 += x[i + 5];
        a6 += x[i + 6];
        a7 += x[i + 7];
    }
    double acc = 0.0;
    acc = acc + (a0 + a4);
    acc = acc + (a1 + a5);
    acc = acc + (a2 + a6);
    acc = acc + (a3 + a7);
    for (const std::size_t end = begin + m; i < end; ++i) acc = acc + x[i];
    return acc;
}

inline double unrolled_sum(const double* x, std::size_t m) { return unrolled_sum(x, 0, m); }

}  // namespace korva
