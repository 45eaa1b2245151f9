// Choosing the kernel level: what the processor has, lowered by KORVA_SIMD.
#include "dispatch.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#if KORVA_SIMD_X86
#include <cpuid.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif
#endif

namespace korva::simd {
namespace {

#if KORVA_SIMD_X86
constexpr Level kAll[] = {Level::kBaseline, Level::kAvx2, Level::kAvx512};

struct Regs {
    unsigned a = 0, b = 0, c = 0, d = 0;
};

Regs cpuid(unsigned leaf, unsigned sub = 0) {
    Regs r;
    if (!__get_cpuid_count(leaf, sub, &r.a, &r.b, &r.c, &r.d)) return Regs{};
    return r;
}

// The register state the operating system saves on a context switch (XCR0);
// only readable once CPUID says the OS enabled XSAVE (OSXSAVE).
std::uint64_t saved_state() {
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t{hi} << 32) | lo;
}

constexpr bool all(unsigned reg, std::initializer_list<int> bits) {
    for (int b : bits)
        if (!(reg >> b & 1u)) return false;
    return true;
}

// macOS enables the AVX-512 state on a thread's first use of it, so XCR0
// may not show it yet; the kernel says whether it will.
bool os_gives_avx512_on_demand() {
#if defined(__APPLE__)
    int on = 0;
    std::size_t size = sizeof on;
    return sysctlbyname("hw.optional.avx512f", &on, &size, nullptr, 0) == 0 && on != 0;
#else
    return false;
#endif
}

Level detect() {
    const unsigned top = cpuid(0).a;
    if (top < 7) return Level::kBaseline;
    const Regs one = cpuid(1), seven = cpuid(7, 0);
    const Regs ext = cpuid(0x80000000u).a >= 0x80000001u ? cpuid(0x80000001u) : Regs{};
    // SSE3, SSSE3, SSE4.1, SSE4.2, POPCNT, XSAVE and OSXSAVE, AVX.
    if (!all(one.c, {0, 9, 19, 20, 23, 26, 27, 28})) return Level::kBaseline;
    const std::uint64_t xcr0 = saved_state();
    if ((xcr0 & 0x6) != 0x6) return Level::kBaseline;  // XMM and YMM state
    if (!all(seven.b, {5})) return Level::kBaseline;  // AVX2
    // The rest of x86-64-v3 (FMA, CX16, MOVBE, F16C; BMI1, BMI2; LAHF,
    // LZCNT) and AVX-512 F, DQ, CD, BW, VL: a compiler targeting
    // x86-64-v4 may use any of them.
    const bool v4 = all(one.c, {12, 13, 22, 29}) && all(seven.b, {3, 8, 16, 17, 28, 30, 31}) && all(ext.c, {0, 5});
    // Opmask, upper halves of ZMM0-15 and ZMM16-31 state.
    if (v4 && ((xcr0 & 0xE0) == 0xE0 || os_gives_avx512_on_demand())) return Level::kAvx512;
    return Level::kAvx2;
}
#else
constexpr Level kAll[] = {Level::kBaseline};
Level detect() { return Level::kBaseline; }
#endif

// Level names by rank; "neon" names aarch64's baseline and is accepted on
// every architecture, like the x86-64 names, so that one setting serves
// machines of both kinds.
struct Name {
    const char* text;
    Level rank;
};
constexpr Name kNames[] = {
    {"baseline", Level::kBaseline}, {"neon", Level::kBaseline}, {"avx2", Level::kAvx2}, {"avx512", Level::kAvx512}};

struct Request {
    bool known = true;
    Level cap = Level::kAvx512;  // the highest level asked for
};

Request read_request() {
    const char* v = std::getenv("KORVA_SIMD");
    if (!v || !*v) return {};
    for (const Name& n : kNames)
        if (std::strcmp(v, n.text) == 0) return {true, n.rank};
    return {false, Level::kAvx512};
}

Level choose() {
    const Level have = detect();
    const Request req = read_request();
    Level best = Level::kBaseline;
    for (Level l : kAll)
        if (l <= have && l <= req.cap) best = l;
    return best;
}

}  // namespace

std::span<const Level> levels() { return kAll; }

Level detected() {
    static const Level have = detect();
    return have;
}

namespace detail {
// Threads that race on the first call compute the same level.
std::atomic<unsigned char> chosen{kUnchosen};
Level choose_once() {
    const Level level = choose();
    chosen.store(static_cast<unsigned char>(level), std::memory_order_relaxed);
    return level;
}
}  // namespace detail

const char* name(Level level) {
    switch (level) {
        case Level::kAvx512: return "avx512";
        case Level::kAvx2: return "avx2";
        case Level::kBaseline: break;
    }
#if defined(__aarch64__) || defined(_M_ARM64)
    return "neon";
#else
    return "baseline";
#endif
}

const char* request_error() {
    if (read_request().known) return nullptr;
    return "KORVA_SIMD must be unset, empty or one of baseline, avx2, avx512, neon";
}

}  // namespace korva::simd
