// Helpers for streams whose long chunks run their batch function's passes
// and then bring the kept state up to date without a step per value.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "stream.hpp"

namespace korva::stream {

// How many of `count` new values to push to a Tail of window w that holds
// `held` values, the newest ones, so that it ends exactly as pushing all of
// them one by one leaves it (its buffer, whose length follows the push
// count, is the newest values in order): at most 3w + 1. A Tail's length
// after each push is one more, or w after a full 2w.
inline std::size_t pushes_needed_held(std::uint64_t w, std::uint64_t held, std::size_t count) {
    if (w == 0) return 0;
    // The pushes left before it is next full (2w), formed without wrapping
    // for any w.
    const std::uint64_t to_full = held <= w ? saturated(w - held, w) : w - (held - w);
    // Past that point the lengths repeat every w + 1 pushes: fewer pushes
    // leave the same length, w + r. Every value it then holds must be one of
    // those pushed (not one held before them): one round more when the
    // first full buffer would keep older ones.
    std::uint64_t pushes = count;
    if (pushes > to_full) {
        const std::uint64_t r = (pushes - to_full - 1) % (w + 1);
        pushes = to_full + 1 + r;
        if (pushes < count && pushes < w + r) pushes += w + 1;
    }
    return static_cast<std::size_t>(pushes);
}

// The same for a Tail that has had `before` values pushed.
inline std::size_t pushes_needed(std::uint64_t w, std::uint64_t before, std::size_t count) {
    return pushes_needed_held(w, Tail::held_after(before, w), count);
}

// Those pushes: value(j) is new value j, oldest first.
template <class Value>
void push_newest(Tail& t, std::size_t count, Value&& value) {
    for (std::size_t j = count - pushes_needed_held(t.width(), t.held(), count); j < count; ++j) t.push(value(j));
}

// A long chunk x[0 .. k-1] of each of N series (their tails of one width w)
// through a batch kernel, `run(views, from, at)`, which writes the positions
// from .. size-1 of the views to the outputs' positions at, at+1, ...: first
// over the kept values joined with the chunk's first min(k, w) (the windows
// that reach back into the kept values; a copy of at most w values), then
// over the chunk itself from w on, where every window lies in the chunk
// (as plain arrays, or as the candle matrix's columns read in place). The
// tails then hold what pushing every value leaves (push_newest). A kernel
// carrying running state between its positions is called in that order.
inline ContiguousView<double> chunk_view(const double* x, std::size_t k) { return ContiguousView<double>{x, k}; }
inline SeriesView chunk_view(const SeriesView& x, std::size_t) { return x; }

template <std::size_t N, class X, class Run>
void run_long(const std::array<Tail*, N>& tails, const std::array<X, N>& x, std::size_t k, Run&& run) {
    const std::uint64_t w = tails[0]->width();
    const std::size_t m = k < w ? k : static_cast<std::size_t>(w);
    std::array<ContiguousView<double>, N> v;
    for (std::size_t c = 0; c < N; ++c) v[c] = tails[c]->join(x[c], m);
    run(v, v[0].size() - m, std::size_t{0});
    for (Tail* t : tails) t->unjoin(m);
    if (m < k) {
        std::array<decltype(chunk_view(x[0], k)), N> whole;
        for (std::size_t c = 0; c < N; ++c) whole[c] = chunk_view(x[c], k);
        run(whole, m, m);
    }
    for (std::size_t c = 0; c < N; ++c) push_newest(*tails[c], k, [&](std::size_t j) { return x[c][j]; });
}

template <std::size_t N, class Run>
void run_long(const std::array<Tail*, N>& tails, const std::array<const double*, N>& x, std::size_t k, Run&& run) {
    run_long<N, const double*>(tails, x, k, run);
}

// The rows from `at` on of a view or array.
inline const double* rows_from(const double* x, std::size_t at) { return x + at; }
inline SeriesView rows_from(const SeriesView& x, std::size_t at) {
    return SeriesView{x.base + static_cast<std::ptrdiff_t>(at) * x.stride, x.stride, x.n - at};
}

}  // namespace korva::stream
