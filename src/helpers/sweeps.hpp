// Sweeps shared by the oscillator and volume families: the first-value EMA
// over a whole series and sums of every window computed afresh. Callers
// compare results bit for bit with the host's earlier code, so the per-window
// operation order is fixed; only independent windows run side by side.
#pragma once
#include <cstddef>
#include <cstdint>

#include "../moving_averages/kernels.hpp"

namespace korva {

// EMA recurrence seeded with the first value, written at every position
// (no warm-up): out[0] = x[0], out[i] = (1-a)*out[i-1] + a*x[i]. A NaN input
// stays in the recurrence. `out` may alias a contiguous `x`.
template <class V>
void ema_seeded(const V& x, std::size_t n, std::uint64_t period, double* out) {
    if (n == 0) return;
    const ma::EmaCoefficients c = ma::ema_coefficients(period);
    double e = x[0];
    out[0] = e;
    for (std::size_t i = 1; i < n; ++i) out[i] = e = ma::smooth(c, e, x[i]);
}

// out[i] = v[i-p+1] + ... + v[i] for i = p-1 .. n-1, each window summed
// afresh left to right from -0.0 (the identity, so a window of -0.0 values
// keeps its sign). Requires 1 <= p <= n.
void fresh_window_sums(const double* v, std::size_t n, std::uint64_t p, double* out);

}  // namespace korva
