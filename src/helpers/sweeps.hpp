// Sweeps shared by the oscillator, volume, trend and average families: sums
// of every window computed afresh. Callers compare results bit for bit with
// the host's earlier code, so the per-window operation order is fixed; only
// independent windows run side by side.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lanes.hpp"

namespace korva {

// Calls block(i) for the positions begin, begin + B, ... while B of them fit
// below n, then once for the last B positions: a block recomputing outputs
// already written gives the same bits, so the ragged end needs no scalar
// loop (only where a block's outputs are not among its inputs). Returns the
// first position not done: n, or begin when fewer than B positions exist.
template <std::size_t B, class Block>
[[gnu::always_inline]] inline std::size_t in_blocks(std::size_t begin, std::size_t n, Block&& block) {
    if (begin > n || n - begin < B) return begin;
    std::size_t i = begin;
    for (; i + B <= n; i += B) block(i);
    if (i < n) block(n - B);
    return n;
}

// Window kernels that write their results over their own input v[0 .. n-1]
// (so no second series is allocated): block(x, i) computes the outputs for
// window ends i .. i+B-1 from x, where x[k] is the input value k, and writes
// them to v[i .. i+B-1]; one(x, i) does the same for the end i alone.
// Blocks run from the top down, so every block still reads its inputs: a
// window ending at e reads positions at most e, and only positions above
// the current block have been overwritten. The ends left below the last
// whole block read a copy of the first p - 1 + B inputs, as one overlapping
// block when there are B ends in all, else one by one. Requires 1 <= p <= n;
// v[0 .. p-2] keep their inputs.
template <std::size_t B, class Block, class One>
[[gnu::always_inline]] inline void windows_in_place(double* v, std::size_t n, std::size_t p, Block&& block, One&& one) {
    const std::size_t head_len = n - (p - 1) < B ? n : p - 1 + B;
    std::vector<double> head(v, v + head_len);
    std::size_t i = n;
    while (i - (p - 1) >= B) {
        i -= B;
        block(static_cast<const double*>(v), i);
    }
    if (i == p - 1) return;
    if (n - (p - 1) >= B) {
        block(static_cast<const double*>(head.data()), p - 1);
    } else {
        for (std::size_t e = p - 1; e < i; ++e) one(static_cast<const double*>(head.data()), e);
    }
}

// out[i] = v[i-p+1] + ... + v[i] for i = p-1 .. n-1, each window summed
// afresh left to right from -0.0 (the identity, so a window of -0.0 values
// keeps its sign). Requires 1 <= p <= n.
void fresh_window_sums(const double* v, std::size_t n, std::uint64_t p, double* out);
// The same for the windows ending at first .. n-1 (first >= p - 1), into
// out[0 ..]: a stream's over its kept values and a new chunk.
void fresh_window_sums_from(const double* v, std::size_t n, std::uint64_t p, std::size_t first, double* out);
// The same sums divided by p, written over v itself: v[p-1 .. n-1] become
// the means.
void fresh_window_means_in_place(double* v, std::size_t n, std::uint64_t p);

}  // namespace korva
