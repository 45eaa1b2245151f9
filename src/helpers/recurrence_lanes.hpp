// First-order recurrences (EMA and Wilder averages, RSI's gain and loss
// averages, ATR, the smoothing stages of ADX, MACD, T3, ...) computed in
// vector lanes with results bit for bit equal to the serial loop.
//
// The series is cut into chunks that run side by side, one chunk per lane.
// Lane c starts `warm` steps before its chunk from a guessed state and runs
// the recurrence over those inputs without writing anything, then writes its
// whole chunk. Lane 0 is given the true state carried in from before the
// round, so its chunk is the serial computation itself. After the round the
// lanes are checked in order: the state lane c reached at the start of its
// chunk is compared bit for bit with the true state at that point, which is
// the end state of chunk c - 1 once that chunk is known to be exact.
//
// Why equal bits make the chunk exact. A recurrence here is written once as a
// step template (`step<Emit>(state, inputs, outputs)`) instantiated for a
// double and for a vector of doubles, under the conditions stated in
// lanes.hpp. The state holds everything a step reads besides the inputs at
// its position (both averages and the previous close for RSI, every stage of
// a chained EMA). So a lane whose state equals the true state before position
// i performs, from i on, the same operations on the same operands as the
// serial loop, and produces the same results and the same end state.
//
// NaN: the comparison is of bit patterns, so a NaN state matches only a NaN
// with the same payload. The two paths may differ in the payload of a NaN
// result where both operands of a commutative operation are NaN (the compiler
// chooses the operand order), but every operation used yields NaN exactly
// when the serial one does and never looks at a payload, so equal bits still
// imply equal results up to NaN payload, which callers treat alike; a
// payload difference only makes the comparison fail, which is safe. Signed
// zeros are distinct bit patterns, so -0.0 never stands in for +0.0.
//
// Not equal: the chunk is recomputed serially from the true state (the lane's
// outputs there are overwritten), and its end state becomes the true one.
// Convergence only decides the speed, never a result: a state that never
// forgets its start (a NaN the recurrence keeps, a contraction factor of 1,
// two rounded fixed points on a constant stretch) costs the serial time for
// the chunks it affects. When most chunks of a round fail, the rest of the
// series runs serially.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "dispatch.hpp"
#include "lanes.hpp"

// Loops over lanes, stages and tile rows have constant trip counts; they
// must be unrolled so that their arrays live in registers.
#define KORVA_UNROLL _Pragma("GCC unroll 16")

namespace korva::rec {

// Steps of warm-up after which a state contracting by at most `factor` per
// step (|d state' / d state|, with `stages` such maps chained) has forgotten
// a start of its own scale down to the last bit, with a margin for the final
// roundings to meet; SIZE_MAX when it does not contract.
inline std::size_t warmup_steps(double factor, int stages) {
    if (!(factor >= 0.0 && factor < 1.0)) return std::numeric_limits<std::size_t>::max();
    if (factor == 0.0) return kWidth;
    const double shrink = -std::log2(factor);  // bits forgotten per step
    const double steps = (64.0 + 8.0 * stages) / shrink + 2.0 / (1.0 - factor) * stages;
    if (!(steps < 1e9)) return std::numeric_limits<std::size_t>::max();
    const auto w = static_cast<std::size_t>(steps) + 1;
    return (w + kWidth - 1) / kWidth * kWidth;
}

// The serial recurrence over positions [a, b), from state s (updated).
// R: the recurrence; in: M input streams read at each position; out: the R
// output streams written at each position (none for the `_last` forms).
template <class Rc>
[[gnu::always_inline]] inline void serial(const Rc& r, const double* const* in, double* const* out, std::size_t a,
                                          std::size_t b, double* s) {
    // A copy of the coefficients the outputs cannot alias, so they stay in
    // registers rather than being reloaded after every store.
    const Rc rc = r;
    double st[Rc::kState];
    KORVA_UNROLL
    for (std::size_t k = 0; k < Rc::kState; ++k) st[k] = s[k];
    for (std::size_t i = a; i < b; ++i) {
        double v[Rc::kInputs];
        KORVA_UNROLL
        for (std::size_t m = 0; m < Rc::kInputs; ++m) v[m] = in[m][i];
        if constexpr (Rc::kOutputs > 0) {
            double o[Rc::kOutputs];
            rc.template step<true>(st, v, o);
            KORVA_UNROLL
            for (std::size_t q = 0; q < Rc::kOutputs; ++q) out[q][i] = o[q];
        } else {
            double* o = nullptr;
            rc.template step<false>(st, v, o);
        }
    }
    KORVA_UNROLL
    for (std::size_t k = 0; k < Rc::kState; ++k) s[k] = st[k];
}

// Equal bit patterns (a NaN matches only the same NaN; -0.0 is not +0.0).
inline bool same_bits(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

namespace detail {

// 8 x 8 transpose: r[j][k] becomes r[k][j].
[[gnu::always_inline]] inline void transpose(Wide (&r)[kWidth]) {
    Wide t[kWidth], u[kWidth];
    KORVA_UNROLL
    for (std::size_t j = 0; j < kWidth; j += 2) {
        t[j] = __builtin_shufflevector(r[j], r[j + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        t[j + 1] = __builtin_shufflevector(r[j], r[j + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    KORVA_UNROLL
    for (std::size_t j = 0; j < kWidth; j += 4) {
        KORVA_UNROLL
        for (std::size_t h = 0; h < 2; ++h) {
            u[j + h] = __builtin_shufflevector(t[j + h], t[j + h + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            u[j + h + 2] = __builtin_shufflevector(t[j + h], t[j + h + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    }
    KORVA_UNROLL
    for (std::size_t h = 0; h < 4; ++h) {
        r[h] = __builtin_shufflevector(u[h], u[h + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        r[h + 4] = __builtin_shufflevector(u[h], u[h + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// Rows j of a tile: 8 consecutive values of stream p from lane j's position.
[[gnu::always_inline]] inline void load_tile(const double* p, const std::size_t* at, Wide (&r)[kWidth]) {
    KORVA_UNROLL
    for (std::size_t j = 0; j < kWidth; ++j) __builtin_memcpy(&r[j], p + at[j], sizeof(Wide));
    transpose(r);
}

[[gnu::always_inline]] inline void store_tile(double* p, const std::size_t* at, Wide (&r)[kWidth]) {
    transpose(r);
    KORVA_UNROLL
    for (std::size_t j = 0; j < kWidth; ++j) __builtin_memcpy(p + at[j], &r[j], sizeof(Wide));
}

// Runs kWidth lanes for `steps` steps (a multiple of kWidth) from the lane
// positions at[] (advanced as they go).
template <bool Emit, class Rc>
[[gnu::always_inline]] inline void lane_steps(const Rc& r, const double* const* in, double* const* out, std::size_t* at,
                                              std::size_t steps, Wide (&s)[Rc::kState]) {
    constexpr std::size_t M = Rc::kInputs, Q = Emit ? Rc::kOutputs : 0;
    for (std::size_t t = 0; t < steps; t += kWidth) {
        Wide v[M][kWidth];
        KORVA_UNROLL
        for (std::size_t m = 0; m < M; ++m) load_tile(in[m], at, v[m]);
        Wide o[Q > 0 ? Q : 1][kWidth];
        KORVA_UNROLL
        for (std::size_t k = 0; k < kWidth; ++k) {
            Wide x[M];
            KORVA_UNROLL
            for (std::size_t m = 0; m < M; ++m) x[m] = v[m][k];
            if constexpr (Q > 0) {
                Wide y[Q];
                r.template step<true>(s, x, y);
                KORVA_UNROLL
                for (std::size_t q = 0; q < Q; ++q) o[q][k] = y[q];
            } else {
                Wide* y = nullptr;
                r.template step<false>(s, x, y);
            }
        }
        if constexpr (Q > 0) {
            KORVA_UNROLL
            for (std::size_t q = 0; q < Q; ++q) store_tile(out[q], at, o[q]);
        }
        KORVA_UNROLL
        for (std::size_t c = 0; c < kWidth; ++c) at[c] += kWidth;
    }
}

// Rounds of kWidth chunks from position `pos` (updated) while whole rounds
// fit; s holds the true state before `pos` and is carried along.
template <class Rc>
[[gnu::always_inline]] inline void lane_rounds_lanes(const Rc& r, const double* const* in, double* const* out,
                                                     std::size_t& pos, std::size_t n, double* s, std::size_t warm) {
    constexpr std::size_t L = kWidth, K = Rc::kState;
    constexpr bool Emit = Rc::kOutputs > 0;
    const Rc rc = r;  // coefficients the stores cannot alias (see serial)
    // Chunks long against the warm-up (little repeated work) and short
    // against the series (little serial tail, cheap recomputation).
    const std::size_t longest = std::max<std::size_t>(16 * warm, 4096);
    while (true) {
        // An odd number of cache lines per chunk: lanes a power-of-two apart
        // would all fall into the same cache sets.
        std::size_t chunk = std::min(longest, (n - pos) / L) / kWidth;
        if (chunk % 2 == 0 && chunk > 0) --chunk;
        chunk *= kWidth;
        if (chunk < std::max<std::size_t>(warm, 8 * kWidth)) return;
        std::size_t at[L];
        // Lane 0 is overwritten with the true state after the warm-up, so its
        // warm-up only needs readable inputs: those of its own chunk.
        at[0] = pos;
        for (std::size_t c = 1; c < L; ++c) at[c] = pos + c * chunk - warm;
        Wide st[K];
        {
            Wide x[Rc::kInputs];
            KORVA_UNROLL
            for (std::size_t m = 0; m < Rc::kInputs; ++m)
                for (std::size_t j = 0; j < kWidth; ++j) x[m][j] = in[m][at[j]];
            rc.guess(st, x);
        }
        lane_steps<false>(rc, in, out, at, warm, st);
        Wide start[K];
        KORVA_UNROLL
        for (std::size_t k = 0; k < K; ++k) start[k] = st[k];
        KORVA_UNROLL
        for (std::size_t k = 0; k < K; ++k) st[k][0] = s[k];
        for (std::size_t c = 0; c < L; ++c) at[c] = pos + c * chunk;
        lane_steps<Emit>(rc, in, out, at, chunk, st);

        std::size_t misses = 0;
        for (std::size_t c = 0; c < L; ++c) {
            bool exact = true;
            for (std::size_t k = 0; k < K && c > 0; ++k) exact = exact && same_bits(start[k][c], s[k]);
            if (exact) {
                KORVA_UNROLL
                for (std::size_t k = 0; k < K; ++k) s[k] = st[k][c];
            } else {
                ++misses;
                serial(r, in, out, pos + c * chunk, pos + (c + 1) * chunk, s);
            }
        }
        pos += L * chunk;
        if (2 * misses > L) return;  // not contracting here: the caller finishes serially
    }
}

template <class Rc>
[[gnu::noinline]] void lane_rounds(const Rc& r, const double* const* in, double* const* out, std::size_t& pos,
                                   std::size_t n, double* s, std::size_t warm) {
    simd::dispatch([&](auto) KORVA_LANES { lane_rounds_lanes<Rc>(r, in, out, pos, n, s, warm); });
}

}  // namespace detail

// The recurrence r over positions [first, n) from the true state s before
// `first` (s ends as the state after n - 1). Input and output streams are
// contiguous and indexed by position; an output must not overlap an input.
template <class Rc>
void run(const Rc& r, const double* const* in, double* const* out, std::size_t first, std::size_t n, double* s) {
    std::size_t pos = first;
    if (n > first) {
        const std::size_t warm = warmup_steps(r.contraction(), Rc::kStages);
        if (warm != std::numeric_limits<std::size_t>::max() && (n - first) / kWidth >= 2 * warm)
            detail::lane_rounds(r, in, out, pos, n, s, warm);
    }
    serial(r, in, out, pos, n, s);
}

// Room for n doubles, kept by the thread between calls: a fresh buffer of
// this size costs more in page faults than the recurrence itself. Callers
// must not nest (run_blocked is the only user, and its producers do not call
// it).
inline double* scratch(std::size_t n) {
    thread_local std::vector<double> buf;
    if (buf.size() < n) buf.resize(n);
    return buf.data();
}

// The recurrence r over positions [first, n) with inputs made block by block:
// produce(a, b, bufs) writes the input of each position i in [a, b) to
// bufs[m][i - a]. Used where the inputs are formed from other data (true
// ranges, a strided column) so that only a block of them is ever held.
template <class Rc, class Produce>
void run_blocked(const Rc& r, Produce&& produce, double* const* out, std::size_t first, std::size_t n, double* s) {
    if (n <= first) return;
    constexpr std::size_t M = Rc::kInputs, Q = Rc::kOutputs;
    // A series too short for lanes (they need 2 * warm >= 2 * kWidth steps
    // each) runs serially, its inputs made a few rows at a time into a stack
    // buffer just before their steps: the input work overlaps the
    // recurrence's dependency chain, and no thread-local buffer is looked up.
    const std::size_t warm = n - first < 2 * kWidth * kWidth ? std::numeric_limits<std::size_t>::max()
                                                             : warmup_steps(r.contraction(), Rc::kStages);
    if (warm == std::numeric_limits<std::size_t>::max() || (n - first) / kWidth < 2 * warm) {
        constexpr std::size_t kRows = 2 * kWidth;
        double v[M][kRows];
        double* bufs[M];
        const double* in[M];
        for (std::size_t m = 0; m < M; ++m) in[m] = bufs[m] = v[m];
        for (std::size_t a = first; a < n; a += kRows) {
            const std::size_t b = std::min(n, a + kRows);
            produce(a, b, bufs);
            double* o[Q > 0 ? Q : 1] = {};
            KORVA_UNROLL
            for (std::size_t q = 0; q < Q; ++q) o[q] = out[q] + a;
            serial(r, in, o, 0, b - a, s);
        }
        return;
    }
    // The block is capped so that the buffer a thread keeps stays a few MB
    // whatever the period and length: a block too short for lanes at a huge
    // period just runs serially, with the same results.
    const std::size_t block = std::min({std::max(std::size_t{1} << 17, 32 * warm), std::size_t{1} << 18, n - first});
    double* bufs[M];
    double* const base = scratch(M * block);
    for (std::size_t m = 0; m < M; ++m) bufs[m] = base + m * block;
    const double* in[M];
    for (std::size_t m = 0; m < M; ++m) in[m] = bufs[m];
    for (std::size_t a = first; a < n; a += block) {
        const std::size_t b = std::min(n, a + block);
        produce(a, b, bufs);
        double* o[Q > 0 ? Q : 1] = {};
        KORVA_UNROLL
        for (std::size_t q = 0; q < Q; ++q) o[q] = out[q] + a;
        run(r, in, o, 0, b - a, s);
    }
}

// A one-input recurrence over the elements of a view: read in place when
// the view is unit-stride, else copied a block at a time.
template <class Rc, class V>
void run_view(const Rc& r, const V& x, double* const* out, std::size_t first, std::size_t n, double* s) {
    if constexpr (requires { x.p; }) {
        const double* in[1] = {x.p};
        run(r, in, out, first, n, s);
    } else {
        const auto copy = [&](std::size_t a, std::size_t b, double* const* bufs) {
            for (std::size_t i = a; i < b; ++i) bufs[0][i - a] = x[i];
        };
        run_blocked(r, copy, out, first, n, s);
    }
}

// Checks of the first two conditions of lanes.hpp on each step structure:
// its scalar and vector forms run side by side, lane by lane from the same
// states on the same inputs, and must give the same states and outputs (NaN
// matching any NaN), whatever the chunking. Each file holding a step
// registers it (KORVA_CHECK_STEP); the harness runs them all
// (korva_golden --steps) at the level in use.
namespace check {

// Ordinary values with the ones exactness arguments trip on mixed in: signed
// zeros, NaN, infinities, a subnormal and values near overflow.
inline double hostile(std::uint64_t& x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    switch (x % 16) {
        case 0: return 0.0;
        case 1: return -0.0;
        case 2: return std::numeric_limits<double>::quiet_NaN();
        case 3: return kInf;
        case 4: return -kInf;
        case 5: return 4.9e-324;
        case 6: return -1e308;
        case 7: return 1e308;
        default: return static_cast<double>(static_cast<std::int64_t>(x >> 20) - (std::int64_t{1} << 43)) * 0x1p-32;
    }
}

inline bool agree(double a, double b) { return same_bits(a, b) || (a != a && b != b); }

// Mismatches over `rounds` runs of 16 steps from fresh random states.
template <class Rc>
[[gnu::always_inline]] inline std::size_t step_mismatches_lanes(const Rc& r, std::uint64_t seed, std::size_t rounds) {
    constexpr std::size_t K = Rc::kState, M = Rc::kInputs, Q = Rc::kOutputs > 0 ? Rc::kOutputs : 1;
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull | 1;
    std::size_t bad = 0;
    for (std::size_t round = 0; round < rounds; ++round) {
        Wide sv[K];
        double ss[kWidth][K];
        for (std::size_t k = 0; k < K; ++k)
            for (std::size_t j = 0; j < kWidth; ++j) sv[k][j] = ss[j][k] = hostile(x);
        for (std::size_t t = 0; t < 16; ++t) {
            Wide xv[M], yv[Q] = {};
            double xs[kWidth][M], ys[kWidth][Q] = {};
            for (std::size_t m = 0; m < M; ++m)
                for (std::size_t j = 0; j < kWidth; ++j) xv[m][j] = xs[j][m] = hostile(x);
            if constexpr (Rc::kOutputs > 0) {
                r.template step<true>(sv, xv, yv);
                for (std::size_t j = 0; j < kWidth; ++j) r.template step<true>(ss[j], xs[j], ys[j]);
            } else {
                Wide* none = nullptr;
                r.template step<false>(sv, xv, none);
                for (std::size_t j = 0; j < kWidth; ++j) {
                    double* nothing = nullptr;
                    r.template step<false>(ss[j], xs[j], nothing);
                }
            }
            for (std::size_t j = 0; j < kWidth; ++j) {
                for (std::size_t k = 0; k < K; ++k) bad += !agree(sv[k][j], ss[j][k]);
                for (std::size_t q = 0; q < Rc::kOutputs; ++q) bad += !agree(yv[q][j], ys[j][q]);
            }
        }
    }
    return bad;
}

template <class Rc>
[[gnu::noinline]] std::size_t step_mismatches(const Rc& r, std::uint64_t seed) {
    return simd::dispatch([&](auto) KORVA_LANES { return step_mismatches_lanes(r, seed, 256); });
}

// A whole lane kernel's check: hostile values to run it over, and the
// positions where its results and the scalar form's differ.
inline std::vector<double> hostile_values(std::uint64_t seed, std::size_t n) {
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull | 1;
    std::vector<double> v(n);
    for (double& d : v) d = hostile(x);
    return v;
}
inline std::size_t mismatches(const double* a, const double* b, std::size_t n) {
    std::size_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) bad += !agree(a[i], b[i]);
    return bad;
}

struct Registered {
    const char* name;
    std::size_t (*mismatches)(std::uint64_t seed);
};
// Every registered step check, in no particular order.
inline std::vector<Registered>& registry() {
    static std::vector<Registered> checks;
    return checks;
}
inline bool enroll(const char* name, std::size_t (*mismatches)(std::uint64_t)) {
    registry().push_back({name, mismatches});
    return true;
}

}  // namespace check

}  // namespace korva::rec

// Registers the step structure made by the expression after the name for
// korva_golden --steps (at namespace scope in the file that defines it).
#define KORVA_CHECK_STEP_NAMED(line, name, ...)                                        \
    [[maybe_unused]] const bool korva_step_check_##line = ::korva::rec::check::enroll( \
        name, [](std::uint64_t seed) { return ::korva::rec::check::step_mismatches(__VA_ARGS__, seed); });
#define KORVA_CHECK_STEP_AT(line, name, ...) KORVA_CHECK_STEP_NAMED(line, name, __VA_ARGS__)
#define KORVA_CHECK_STEP(name, ...) KORVA_CHECK_STEP_AT(__LINE__, name, __VA_ARGS__)
// Registers a lane kernel's own check, a std::size_t (std::uint64_t seed)
// giving its mismatches against the scalar form, for korva_golden --steps.
#define KORVA_CHECK_KERNEL_NAMED(line, name, mismatches) \
    [[maybe_unused]] const bool korva_kernel_check_##line = ::korva::rec::check::enroll(name, mismatches);
#define KORVA_CHECK_KERNEL_AT(line, name, mismatches) KORVA_CHECK_KERNEL_NAMED(line, name, mismatches)
#define KORVA_CHECK_KERNEL(name, mismatches) KORVA_CHECK_KERNEL_AT(__LINE__, name, mismatches)
