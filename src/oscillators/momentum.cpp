// EMA-smoothed momentum oscillators: MACD, the dynamic trend index, the mass
// index and polarized fractal efficiency. Results are compared bit for bit
// with the host's earlier code, so every sum and recurrence keeps its
// operation order; the EMA stages are the shared first-value recurrence
// (`smooth`) seeded with their first input.
#include "momentum.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "../helpers/dispatch.hpp"
#include "../helpers/errors.hpp"
#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/sweeps.hpp"
#include "momentum_steps.hpp"

namespace korva::osc {
namespace {

// The q-th forward difference of d[0 .. n-1] (q < n), one order at a time
// in place: d[i] = d[i+1] - d[i] for each order, so the first n-q values end
// as the result. Every order is a whole pass, O(n*q) in all, so the lanes
// matter for long periods; each element is still one separately rounded
// subtraction of the same two values.
[[gnu::always_inline]] inline void forward_differences_lanes(double* d, std::size_t n, std::size_t q) {
    for (std::size_t len = n; len > n - q; --len) {
        std::size_t i = 0;
        // Both operands of a block are loaded before the block is stored, and
        // later blocks read only positions this one does not write.
        for (; i + 8 < len; i += 8) {
            Lanes a0, a1, b0, b1;
            __builtin_memcpy(&a0, d + i, sizeof a0);
            __builtin_memcpy(&a1, d + i + 4, sizeof a1);
            __builtin_memcpy(&b0, d + i + 1, sizeof b0);
            __builtin_memcpy(&b1, d + i + 5, sizeof b1);
            a0 = b0 - a0;
            a1 = b1 - a1;
            __builtin_memcpy(d + i, &a0, sizeof a0);
            __builtin_memcpy(d + i + 4, &a1, sizeof a1);
        }
        for (; i + 1 < len; ++i) d[i] = d[i + 1] - d[i];
    }
}

[[gnu::noinline]] void forward_differences(double* d, std::size_t n, std::size_t q) {
    simd::dispatch<simd::Level::kAvx2>([&](auto) KORVA_LANES { forward_differences_lanes(d, n, q); });
}

}  // namespace

namespace {

KORVA_CHECK_STEP("macd", MacdStep{ema_coefficients(12), ema_coefficients(26), ema_coefficients(9)})

// The lanes' forward differences against one subtraction at a time.
std::size_t forward_difference_mismatches(std::uint64_t seed) {
    const std::vector<double> x = rec::check::hostile_values(seed, 300);
    const std::size_t n = x.size();
    std::size_t bad = 0;
    const std::size_t orders[] = {1, 2, 5, 17};
    for (const std::size_t q : orders) {
        std::vector<double> lanes = x, serial = x;
        forward_differences(lanes.data(), n, q);
        for (std::size_t len = n; len > n - q; --len) {
            for (std::size_t i = 0; i + 1 < len; ++i) serial[i] = serial[i + 1] - serial[i];
        }
        bad += rec::check::mismatches(lanes.data(), serial.data(), n - q);
    }
    return bad;
}
KORVA_CHECK_KERNEL("forward differences", forward_difference_mismatches)

}  // namespace

Tuple macd(SeriesView source, std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period) {
    const std::size_t n = source.size();
    Series line(n), signal(n), hist(n);
    if (n > 0) {
        const MacdStep step{ema_coefficients(fast_period), ema_coefficients(slow_period),
                            ema_coefficients(signal_period)};
        with_view(source, [&](const auto& x) {
            // Position 0: both EMAs are x[0] and the signal starts at the line.
            double s[3];
            double* out[3] = {line.data(), signal.data(), hist.data()};
            MacdStep::start(x[0], s, out);
            rec::run_view(step, x, out, 1, n, s);
        });
    }
    return tuple_of(std::move(line), std::move(signal), std::move(hist));
}

Series dti(MatrixView candles, std::uint64_t r, std::uint64_t s, std::uint64_t u) {
    const std::size_t n = candles.rows;
    if (!(r < n && s < n && u < n)) return Series(n, NaN);
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    const EmaCoefficients c[3] = {ema_coefficients(r), ema_coefficients(s), ema_coefficients(u)};
    Series out(n);
    // Row 0 has no movement: both inputs are 0.0 and so is every stage.
    DtiState st;
    st.start(high[0], low[0]);
    out[0] = 0.0;
    for (std::size_t i = 1; i < n; ++i) out[i] = st.next(c, high[i], low[i]);
    return out;
}

Series mass(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, 0.0);
    if (n == 0) return out;
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    std::vector<double> ratio(n);
    MassRatio m;
    for (std::size_t i = 0; i < n; ++i) ratio[i] = m.next(high[i], low[i], i == 0);
    if (period == 0 || period > n) return out;
    fresh_window_sums(ratio.data(), n, period, out.data());
    return out;
}

Series pfe(SeriesView source, std::uint64_t period, std::uint64_t smoothing) {
    // The efficiency compares a move over period-1 steps with its path, so
    // it needs at least one step.
    if (period < 2) throw ValueError("pfe period must be at least 2");
    const std::size_t n = source.size();
    Series out(n, -0.0);  // sign -1 times a raw 0.0 where nothing is computed
    if (n >= period) {
        const std::size_t p = period, q = p - 1;
        const double P = static_cast<double>(p);
        with_view(source, [&](const auto& s) {
            std::vector<double> d(n);
            for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
            forward_differences(d.data(), n, q);
            auto step = [&](std::size_t i) { return Efficiency::step(s[i], s[i + 1]); };
            double path = 0.0;  // path length over the q steps ending at i+q
            for (std::size_t k = 0; k < q; ++k) path = path + step(k);
            for (std::size_t i = 0; i + p <= n; ++i) {
                if (i > 0) {
                    const std::size_t k = i + q - 1;
                    Efficiency::slide(path, step(k), step(k - q));
                }
                out[i + q] = Efficiency::value(d[i], path, P);
            }
        });
    }
    double* y = out.data();
    seeded_recurrence(y, n, ema_coefficients(smoothing), y);
    return out;
}
}  // namespace korva::osc
