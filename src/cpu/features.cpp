// Detecting the processor's vector instructions, once, and the switch that
// turns them all off.
#include "cpu/features.hpp"

#include <atomic>
#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <cstdlib>
#include <cstring>

namespace parvex::cpu {

namespace {

// Whether the environment forces the portable paths.
bool portable_forced() {
    const char* v = std::getenv("PARVEX_PORTABLE");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

#if defined(__x86_64__)
// CPUID and XGETBV asked directly: __builtin_cpu_supports needs the
// compiler's runtime to have filled in its table, which not every
// toolchain's does (zig's left it empty, and every vector path off).
bool bit(unsigned word, unsigned n) { return (word >> n & 1u) != 0; }

Features detected() {
    Features f;
    f.sse2 = true;
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || !bit(c, 27) || !bit(c, 28)) return f;  // OSXSAVE, AVX
    // Whether the operating system saves the registers (XCR0): YMM, and
    // for AVX-512 the mask and ZMM registers too.
    unsigned xcr0, xcr0_high;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if ((xcr0 & 0x06) != 0x06 || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return f;
    f.avx2 = bit(b, 5);
    f.avx512 = (xcr0 & 0xE6) == 0xE6 && bit(b, 16) && bit(b, 30) && bit(b, 31) && bit(b, 8);  // F, BW, VL, BMI2
    f.avx512vbmi = f.avx512 && bit(c, 1);
    return f;
}
#elif defined(PARVEX_NEON)
Features detected() {
    Features f;
    f.neon = true;
    return f;
}
#else
Features detected() { return Features{}; }
#endif

unsigned pack(Features f) {
    return (f.sse2 ? 1u : 0u) | (f.avx2 ? 2u : 0u) | (f.avx512 ? 4u : 0u) | (f.avx512vbmi ? 8u : 0u) |
           (f.neon ? 16u : 0u);
}
Features unpack(unsigned b) { return Features{(b & 1) != 0, (b & 2) != 0, (b & 4) != 0, (b & 8) != 0, (b & 16) != 0}; }

struct State {
    Features hardware = detected();
    std::atomic<unsigned> active{portable_forced() ? 0u : pack(hardware)};
};

State& state() {
    static State s;
    return s;
}

}  // namespace

Features active() noexcept { return unpack(state().active.load(std::memory_order_relaxed)); }

Features restrict_to(Features allowed) noexcept {
    State& s = state();
    return unpack(s.active.exchange(pack(allowed) & pack(s.hardware), std::memory_order_relaxed));
}

}  // namespace parvex::cpu
