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
// SSE2/AVX on x86-64 and to NEON on aarch64.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef std::int64_t PairBits __attribute__((vector_size(2 * sizeof(std::int64_t))));
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
typedef std::int64_t LaneBits __attribute__((vector_size(4 * sizeof(std::int64_t))));

}  // namespace korva

// Clones of one function for several instruction sets, chosen once at load
// time. Only where the loader supports it (ELF on x86-64); elsewhere the
// function is compiled once for the target's baseline.
#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define KORVA_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#else
#define KORVA_CLONES(...)
#endif
