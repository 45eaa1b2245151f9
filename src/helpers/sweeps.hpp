// Sweeps shared by the oscillator, volume and trend families: sums of every
// window computed afresh. Callers compare results bit for bit with the host's
// earlier code, so the per-window operation order is fixed; only independent
// windows run side by side.
#pragma once
#include <cstddef>
#include <cstdint>


namespace korva {

// out[i] = v[i-p+1] + ... + v[i] for i = p-1 .. n-1, each window summed
// afresh left to right from -0.0 (the identity, so a window of -0.0 values
// keeps its sign). Requires 1 <= p <= n.
void fresh_window_sums(const double* v, std::size_t n, std::uint64_t p, double* out);

}  // namespace korva
