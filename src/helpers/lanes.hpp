// Vector lanes for kernels that run independent windows or series side by
// side. Each lane performs exactly the IEEE operations the scalar loop would,
// in the same order, so lanes change speed and never bits; dispatch.hpp
// lets one binary run them at the widest instruction set the processor has.
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
