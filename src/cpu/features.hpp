// The vector instructions the core may use, found once per process. Every
// path that uses them has a portable twin in plain C++ that gives the same
// output, and the environment variable PARVEX_PORTABLE (set to anything
// but "" or "0" before the first use) makes every caller take that twin:
// so a machine that has the instructions also tests the code of one that
// has not.
#pragma once

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

    friend bool operator==(const Features&, const Features&) = default;
};

/// What the processor offers, less everything when PARVEX_PORTABLE is set.
/// Read once; afterwards a plain load.
Features active() noexcept;

/// Restricts `active()` to `allowed` (and what the processor offers), for
/// checks that run each path against the portable one in one process;
/// returns what was active before. Not for use while another thread writes.
Features restrict_to(Features allowed) noexcept;

/// Every path off: what PARVEX_PORTABLE gives.
inline constexpr Features kPortable{};

}  // namespace parvex::cpu
