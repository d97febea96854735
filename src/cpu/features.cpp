// Detecting the processor's vector instructions, once, and the switch that
// turns them all off.
#include "cpu/features.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace parvex::cpu {

namespace {

// Whether the environment forces the portable paths.
bool portable_forced() {
    const char* v = std::getenv("PARVEX_PORTABLE");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

Features detected() {
    Features f;
#if defined(__x86_64__)
    // libgcc's checks include the operating system's support for the
    // registers (XGETBV), not only the processor's.
    __builtin_cpu_init();
    f.sse2 = true;
    f.avx2 = __builtin_cpu_supports("avx2");
    f.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
    f.avx512vbmi = f.avx512 && __builtin_cpu_supports("avx512vbmi");
#endif
    return f;
}

unsigned pack(Features f) {
    return (f.sse2 ? 1u : 0u) | (f.avx2 ? 2u : 0u) | (f.avx512 ? 4u : 0u) | (f.avx512vbmi ? 8u : 0u);
}
Features unpack(unsigned b) { return Features{(b & 1) != 0, (b & 2) != 0, (b & 4) != 0, (b & 8) != 0}; }

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
