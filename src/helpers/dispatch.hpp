// Kernel levels: one binary carries each lane kernel compiled for several
// instruction sets and runs the widest one the processor has. Lanes give the
// same bits at every width (every lane performs the scalar loop's IEEE
// operations in its order), so a level changes speed, never results.
//
// The levels of each architecture, lowest first:
//   x86-64   baseline (SSE2), avx2 (AVX2 and AVX), avx512 (x86-64-v4: AVX-512
//            F, BW, CD, DQ and VL with everything of x86-64-v3)
//   aarch64  neon (the baseline: NEON is part of the architecture)
//   others   baseline (whatever the compiler's generic vectors become)
//
// The level is chosen once, on first use, from the processor (and, on x86-64,
// whether the operating system saves the wider registers). The environment
// variable KORVA_SIMD lowers it: a level name (baseline, avx2, avx512, neon)
// runs the highest level of this build that is at most that one and at most
// what the processor has, so asking for more than the processor has gives
// the processor's level. Unset or empty: the processor's level. Any other
// value is an error the front ends report (`simd::request_error`); the
// kernels themselves then run at the processor's level.
//
// A dispatched kernel is written once, as a lambda taking the level as a
// compile-time tag:
//
//     simd::dispatch([&](auto level) KORVA_LANES { body(...); });
//
// simd::dispatch calls it through one wrapper function per level, each
// compiled for that level's instruction set; the lambda and the always-inline
// helpers it calls are inlined into the wrappers and so compiled three times.
// The lambda only passes its captures on, by value where they are numbers or
// pointers, to an always-inline function holding the body: captured by
// reference, they would be read through the closure, and reread after every
// store the compiler cannot tell apart from the closure (memcpy stores).
// The function that calls simd::dispatch is kept out of line
// ([[gnu::noinline]]): inlined into its caller, the lambda's by-reference
// captures would make the caller's own variables escape into the wrappers'
// calls, and the caller would keep them in memory instead of registers.
// simd::dispatch<Level::kAvx2>(...) stops at AVX2, for kernels that run no
// faster with AVX-512 (the processor's AVX2 form is used there instead).
// The lambda must be marked KORVA_LANES (always inline). Vectors wider than
// the baseline's registers are passed by value only between functions that
// are inlined into one wrapper, never to or from the wrapper itself (for
// Clang such a call across targets changes the calling convention).
#pragma once
#include <atomic>
#include <span>
#include <type_traits>

namespace korva::simd {

// Ranks shared by every architecture, so that a kernel can test
// `level >= Level::kAvx2` anywhere; an architecture has only some of them.
enum class Level : unsigned char { kBaseline = 0, kAvx2 = 1, kAvx512 = 2 };

template <Level L>
using At = std::integral_constant<Level, L>;

// The levels of this build's architecture, lowest first.
std::span<const Level> levels();
// The highest level the processor and the operating system support.
Level detected();
namespace detail {
// The chosen level, or kUnchosen before the first call of active().
inline constexpr unsigned char kUnchosen = 0xFF;
extern std::atomic<unsigned char> chosen;
Level choose_once();
}  // namespace detail
// The level the kernels run at (chosen on the first call, then fixed): one
// load on every later call.
inline Level active() {
    const unsigned char level = detail::chosen.load(std::memory_order_relaxed);
    return level != detail::kUnchosen ? static_cast<Level>(level) : detail::choose_once();
}
// The name of a level on this architecture ("neon" for aarch64's baseline).
const char* name(Level level);
// Null when KORVA_SIMD is unset, empty or a level name; otherwise a message
// naming the accepted values (static storage).
const char* request_error();

#define KORVA_LANES __attribute__((always_inline))

// x86-64 with GCC or Clang. GCC on 64-bit Windows spills vector registers to
// a stack it assumes is 32- or 64-byte aligned but is only 16-byte aligned;
// there the build must have the assembler turn aligned moves into unaligned
// ones (CMakeLists.txt defines KORVA_UNALIGNED_VECTOR_MOVES when it does),
// else only the baseline is built.
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__)) && \
    (!defined(_WIN32) || defined(__clang__) || defined(KORVA_UNALIGNED_VECTOR_MOVES))
#define KORVA_SIMD_X86 1
// The AVX-512 level: x86-64-v4's instruction sets. GCC takes the level's
// name; Clang is given the sets themselves, because some Clang builds (zig's)
// ignore an arch= target attribute without a word and compile the baseline,
// and because Clang tunes x86-64-v4 for 256-bit vectors and splits a 512-bit
// vector type into two unless the function asks for the full width.
#if defined(__clang__)
#define KORVA_SIMD_AVX512                                                                                           \
    __attribute__((target("avx512f,avx512bw,avx512cd,avx512dq,avx512vl,avx2,bmi,bmi2,f16c,fma,lzcnt,movbe,popcnt"), \
                   min_vector_width(512)))
#else
#define KORVA_SIMD_AVX512 __attribute__((target("arch=x86-64-v4")))
#endif
namespace detail {
template <class F>
[[gnu::noinline]] KORVA_SIMD_AVX512 decltype(auto) at_avx512(F& kernel) {
    return kernel(At<Level::kAvx512>{});
}
template <class F>
[[gnu::noinline]] __attribute__((target("avx2"))) decltype(auto) at_avx2(F& kernel) {
    return kernel(At<Level::kAvx2>{});
}
template <class F>
[[gnu::noinline]] decltype(auto) at_baseline(F& kernel) {
    return kernel(At<Level::kBaseline>{});
}
}  // namespace detail

template <Level Max = Level::kAvx512, class F>
[[gnu::always_inline]] inline decltype(auto) dispatch(F&& kernel) {
    switch (active()) {
        case Level::kAvx512:
            if constexpr (Max >= Level::kAvx512) return detail::at_avx512(kernel);
            [[fallthrough]];
        case Level::kAvx2:
            if constexpr (Max >= Level::kAvx2) return detail::at_avx2(kernel);
            [[fallthrough]];
        case Level::kBaseline: break;
    }
    return detail::at_baseline(kernel);
}
#else
#define KORVA_SIMD_X86 0
// One level: the kernel is called as it is.
template <Level = Level::kAvx512, class F>
[[gnu::always_inline]] inline decltype(auto) dispatch(F&& kernel) {
    return kernel(At<Level::kBaseline>{});
}
#endif

}  // namespace korva::simd
