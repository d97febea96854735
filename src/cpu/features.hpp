// The vector instructions the core may use, found once per process. Every
// path that uses them has a portable twin in plain C++ that gives the same
// output, and the environment variable PARVEX_PORTABLE (set to anything
// but "" or "0" before the first use) makes every caller take that twin:
// so a machine that has the instructions also tests the code of one that
// has not.
#pragma once

// The NEON paths are compiled in on AArch64 (little-endian: their masks are
// read off in memory order).
#if defined(__aarch64__) && !defined(__ARM_BIG_ENDIAN)
#define PARVEX_NEON 1
#endif

namespace parvex::cpu {

/// Instruction sets beyond what the compiler may assume everywhere.
struct Features {
    /// SSE2, which every x86-64 processor has: set on x86-64 unless the
    /// portable paths are forced. The SSE2 paths are compiled in on x86-64
    /// only, and chosen through this flag so that the switch reaches them.
    bool sse2 = false;
    /// AVX2 (x86-64): 32 octets a step.
    bool avx2 = false;
    /// AVX-512 F, BW and VL, and BMI2 (x86-64): masked loads and stores of
    /// single octets.
    bool avx512 = false;
    /// AVX-512 VBMI as well (x86-64): octet permutes across 64 octets.
    bool avx512vbmi = false;
    /// NEON, which every AArch64 processor has (little-endian builds): set
    /// there unless the portable paths are forced, as `sse2` is on x86-64.
    bool neon = false;

    friend bool operator==(const Features&, const Features&) = default;
};

/// What the processor offers, less everything when PARVEX_PORTABLE is set.
/// Read once; afterwards a plain load.
Features active() noexcept;

/// Restricts `active()` to `allowed` (and what the processor offers), for
/// checks that run each path against the portable one in one process;
/// returns what was active before. Not for use while another thread writes.
Features restrict_to(Features allowed) noexcept;

/// Whether `f` allows the steps of 16 octets that every processor of its
/// kind has: SSE2 on x86-64, NEON on AArch64.
constexpr bool has_base_vectors(Features f) { return f.sse2 || f.neon; }

/// Every path off: what PARVEX_PORTABLE gives.
inline constexpr Features kPortable{};

/// The instruction set a writer's code is instantiated for, chosen once
/// per call: plain C++; SSE2; AVX2, whose octet shuffles move a string and
/// look up 16-entry tables; or AVX-512 with VBMI and BMI2, whose masked
/// loads touch no octet outside a string and whose octet permutes look up
/// 128-entry tables.
enum class Path : unsigned char { Portable, Sse2, Avx2, Avx512 };

/// The richest path that `f` allows.
constexpr Path best_path(Features f) {
    return f.avx512vbmi ? Path::Avx512 : f.avx2 ? Path::Avx2 : f.sse2 ? Path::Sse2 : Path::Portable;
}

/// What code compiled for `Path::Avx512` is compiled with: a function whose
/// instantiations take that path carries this target and GCC's `flatten`,
/// so that every helper, templates included, is compiled into it with these
/// instructions allowed, and none outside it.
#define PARVEX_AVX512_TARGET "avx2,bmi2,avx512f,avx512bw,avx512vl,avx512vbmi"
/// The same for `Path::Avx2`.
#define PARVEX_AVX2_TARGET "avx2"

}  // namespace parvex::cpu
