// Several output positions of a window sum at a time, as SSE2-sized pairs:
// the baseline instruction set, with enough independent accumulators to hide
// the add latency. A step written once as a template over T runs on a double
// (one position: the scalar tail of a batch loop, and the streams) and on
// Lanes<N> (2N positions); each lane is its own window with its own
// accumulator, summed in the same order as the scalar loop, so the lanes
// change the speed and never the bits.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "../helpers/lanes.hpp"

namespace korva::ehlers {

// Lanes<N> holds 2N positions (not the wide vector of helpers/lanes.hpp).
template <std::size_t N>
struct Lanes {
    static constexpr std::size_t width = 2 * N;
    Pair v[N];
    double operator[](std::size_t q) const { return v[q / 2][q % 2]; }
};

// Applies f to every pair index, expanded at compile time so that the pairs
// stay in registers rather than being looped over through memory.
template <std::size_t N, class F, std::size_t... I>
Lanes<N> pairwise(F f, std::index_sequence<I...>) {
    return Lanes<N>{{f(I)...}};
}
template <std::size_t N, class F>
Lanes<N> pairwise(F f) {
    return pairwise<N>(f, std::make_index_sequence<N>{});
}

#define KORVA_LANEWISE(op)                                                   \
    template <std::size_t N>                                                 \
    Lanes<N> operator op(const Lanes<N>& a, const Lanes<N>& b) {             \
        return pairwise<N>([&](std::size_t q) { return a.v[q] op b.v[q]; }); \
    }                                                                        \
    template <std::size_t N>                                                 \
    Lanes<N> operator op(const Lanes<N>& a, double b) {                      \
        return pairwise<N>([&](std::size_t q) { return a.v[q] op b; });      \
    }
KORVA_LANEWISE(+)
KORVA_LANEWISE(-)
KORVA_LANEWISE(*)
KORVA_LANEWISE(/)
#undef KORVA_LANEWISE
template <std::size_t N>
Lanes<N> operator*(double a, const Lanes<N>& b) {
    return pairwise<N>([&](std::size_t q) { return a * b.v[q]; });
}

template <class T>
struct LaneTraits;
template <>
struct LaneTraits<double> {
    [[maybe_unused]] static constexpr std::size_t width = 1;
    static double load(const double* p) { return *p; }
    static void store(double* p, double v) { *p = v; }
    static double zeros() { return 0.0; }
    static double zero_nan(double v) { return std::isnan(v) ? 0.0 : v; }
};
template <std::size_t N>
struct LaneTraits<Lanes<N>> {
    static constexpr std::size_t width = 2 * N;
    static Lanes<N> load(const double* p) {
        return pairwise<N>([&](std::size_t q) {
            Pair v;
            std::memcpy(&v, p + 2 * q, sizeof v);
            return v;
        });
    }
    static void store(double* p, const Lanes<N>& v) { std::memcpy(p, v.v, sizeof v.v); }
    // +0.0 in every lane.
    static Lanes<N> zeros() {
        return pairwise<N>([](std::size_t) { return Pair{0.0, 0.0}; });
    }
    // NaN lanes become +0.0: a lane compares equal to itself unless it is
    // NaN, and the all-ones mask keeps every other value's bits.
    static Lanes<N> zero_nan(const Lanes<N>& v) {
        using Mask = PairBits;
        return pairwise<N>([&](std::size_t q) {
            const Mask keep = v.v[q] == v.v[q];
            return reinterpret_cast<Pair>(reinterpret_cast<Mask>(v.v[q]) & keep);
        });
    }
};

template <class T>
T load_as(const double* p) {
    return LaneTraits<T>::load(p);
}
template <class T>
T zeros() {
    return LaneTraits<T>::zeros();
}
template <class T>
void store_as(double* p, const T& v) {
    LaneTraits<T>::store(p, v);
}

// Calls f(i, T{}) for whole blocks of positions from `first`, then
// f(i, double{}) for the positions left over at the end.
template <class T, class F>
void blocked(std::size_t first, std::size_t n, F&& f) {
    constexpr std::size_t w = LaneTraits<T>::width;
    std::size_t i = first;
    for (; n >= w && i <= n - w; i += w) f(i, T{});
    for (; i < n; ++i) f(i, 0.0);
}

}  // namespace korva::ehlers
