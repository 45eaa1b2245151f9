// Vector lanes for kernels that run independent windows or series side by
// side. Each lane performs exactly the IEEE operations the scalar loop would,
// in the same order, so lanes change speed and never bits. Function clones
// let one binary pick the widest instruction set the processor has.
#pragma once
#include <cstdint>
#include <limits>

namespace korva {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// GCC and Clang vector extensions: element-wise operators that compile to
// SSE2/AVX on x86-64 and to NEON on aarch64. On Windows with the Microsoft
// ABI, build with clang-cl, which has them; cl.exe does not.
#if defined(_MSC_VER) && !defined(__clang__)
#error "the vector lanes need GCC or Clang vector extensions: build with clang-cl on MSVC"
#endif
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef std::int64_t PairBits __attribute__((vector_size(2 * sizeof(std::int64_t))));
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
typedef std::int64_t LaneBits __attribute__((vector_size(4 * sizeof(std::int64_t))));

}  // namespace korva

// Where a wider instruction set is chosen at run time. Lanes give the same
// bits at every width, so each choice below only changes speed, and every
// target falls back to one build for its baseline (SSE2 on x86-64, NEON on
// aarch64, whatever the compiler's generic vectors become elsewhere).
//
// KORVA_CLONES: clones of one function for several instruction sets, chosen
// once at load time. GCC on x86-64 ELF only: the loader resolves the clones
// through IFUNC, and Clang does not clone templates.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__)
#define KORVA_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#else
#define KORVA_CLONES(...)
#endif

// KORVA_X86_DISPATCH: a function compiled for one instruction set with
// KORVA_TARGET("avx") and called only when KORVA_CPU_HAS("avx"). x86-64 with
// GCC or Clang, not on Windows: there the stack is only 16-byte aligned and
// GCC spills 32-byte registers with aligned stores.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define KORVA_X86_DISPATCH 1
#define KORVA_TARGET(isa) __attribute__((target(isa)))
#define KORVA_CPU_HAS(isa) (__builtin_cpu_init(), __builtin_cpu_supports(isa))
#else
#define KORVA_X86_DISPATCH 0
#endif
