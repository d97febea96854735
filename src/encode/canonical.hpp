// The canonical representation (RFC 9804 §6.2): length-prefixed octet
// strings and parentheses, nothing else. The writer is a sink for any
// output; the core sizes a value first (`Sizer`) and writes it into a
// buffer of exactly that size.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/features.hpp"
#include "encode/output.hpp"
#include "encode/sink.hpp"
#include "types/copy.hpp"
#include "types/sexp.hpp"

namespace parvex::encode::canonical {

/// Number of decimal digits of `n`.
constexpr unsigned decimal_digits(std::uint64_t n) {
    unsigned d = 1;
    for (; n >= 10000; n /= 10000) d += 4;
    return d + (n >= 10) + (n >= 100) + (n >= 1000);
}

/// Adds without wrapping: a total that would overflow stays at 2**64 - 1.
constexpr std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? ~std::uint64_t{0} : r;
}

/// Counts the octets the writer produces.
class Sizer {
public:
    void open() { total_ = add_saturating(total_, 1); }
    void close() { total_ = add_saturating(total_, 1); }
    void atom(Bytes data) { total_ = add_saturating(total_, string_len(data.size())); }
    void atom(Bytes data, Bytes hint) {
        atom(data);
        total_ = add_saturating(total_, add_saturating(string_len(hint.size()), 2));
    }
    std::uint64_t total() const { return total_; }

private:
    static std::uint64_t string_len(std::uint64_t n) { return add_saturating(n, decimal_digits(n) + 1); }
    std::uint64_t total_ = 0;
};

static_assert(Sink<Sizer>);

/// The most octets a length prefix takes: 20 digits and the colon.
inline constexpr std::size_t kMaxPrefix = 21;

/// The prefixes of the lengths below 100, each in four octets: its digits
/// and colon, then its own length, which a four-octet store writes as
/// scratch past the colon.
constexpr std::array<std::array<std::uint8_t, 4>, 100> make_short_prefixes() {
    std::array<std::array<std::uint8_t, 4>, 100> t{};
    for (unsigned n = 0; n < 100; ++n) {
        if (n < 10) t[n] = {static_cast<std::uint8_t>('0' + n), ':', ':', 2};
        else t[n] = {static_cast<std::uint8_t>('0' + n / 10), static_cast<std::uint8_t>('0' + n % 10), ':', 3};
    }
    return t;
}

inline constexpr std::array<std::array<std::uint8_t, 4>, 100> kShortPrefixes = make_short_prefixes();

/// Writes the prefix of a length below 100 at `p`, which has room for 4
/// octets; returns one past its colon.
inline std::uint8_t* put_short_length(std::uint8_t* p, std::size_t n) {
    std::memcpy(p, kShortPrefixes[n].data(), 4);
    return p + kShortPrefixes[n][3];
}

/// Writes the decimal length `n` and its colon at `p`, which has room for
/// `kMaxPrefix` octets; returns one past the colon.
inline std::uint8_t* put_length(std::uint8_t* p, std::uint64_t n) {
    if (n < 100) return put_short_length(p, static_cast<std::size_t>(n));  // the common lengths
    std::uint8_t digits[kMaxPrefix];
    std::uint8_t* end = digits + sizeof digits;
    std::uint8_t* d = end;
    *--d = ':';
    do {
        *--d = static_cast<std::uint8_t>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    const std::size_t k = static_cast<std::size_t>(end - d);
    std::memcpy(p, d, k);
    return p + k;
}

/// The window that ends where `s` ends, readable as the caller knows,
/// moved so that the string comes first: a short string whole, without a
/// branch on its length, whichever way the machine orders octets.
inline unsigned __int128 window_of(Bytes s) {
    static_assert(sizeof(unsigned __int128) == kWindow);
    unsigned __int128 w;
    std::memcpy(&w, s.data() + s.size() - kWindow, sizeof w);
    const unsigned shift = 8 * static_cast<unsigned>(kWindow - s.size());
    if constexpr (std::endian::native == std::endian::little) return w >> shift;
    else return w << shift;
}

/// How far past `p` `put_backed_short_string` may store: "16:" and 16 octets.
inline constexpr std::size_t kShortStringReach = 19;

/// Writes the string of 1 to kWindow octets `s`, whose window before its
/// end is readable, with its length prefix at `p`, without a branch on its
/// length (which mispredicts where short lengths mix). Stores run up to
/// `kShortStringReach` octets past `p`. Returns the end of the string.
inline std::uint8_t* put_backed_short_string(std::uint8_t* p, Bytes s) {
    const std::size_t n = s.size();
    p = put_short_length(p, n);
    const unsigned __int128 w = window_of(s);
    std::memcpy(p, &w, sizeof w);
    return p + n;
}

#if defined(__x86_64__)
/// Row k moves octet k + i of a 16-octet window to octet i, zeros after.
constexpr std::array<std::array<std::uint8_t, 16>, 17> make_shifts_down() {
    std::array<std::array<std::uint8_t, 16>, 17> t{};
    for (std::size_t k = 0; k <= 16; ++k)
        for (std::size_t i = 0; i < 16; ++i) t[k][i] = static_cast<std::uint8_t>(k + i < 16 ? k + i : 0x80);
    return t;
}

inline constexpr std::array<std::array<std::uint8_t, 16>, 17> kShiftsDown = make_shifts_down();

/// `window_of` with one octet shuffle (SSSE3, which AVX2 implies): the 16
/// octets that end where `s` (1 to 16 octets) ends, readable as the caller
/// knows, with the string first and zeros after.
[[gnu::target(PARVEX_AVX2_TARGET)]] inline __m128i window_avx2(Bytes s) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + s.size() - 16));
    return _mm_shuffle_epi8(w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kShiftsDown[16 - s.size()].data())));
}

/// Writes the string of 1 to 32 octets `s` with its length prefix at `p`,
/// with AVX-512 masked loads that read no octet past the string, without a
/// branch on its length. Stores run up to `kMaskedReach` octets past `p`.
[[gnu::target(PARVEX_AVX512_TARGET)]] inline std::uint8_t* put_short_string_avx512(std::uint8_t* p, Bytes s) {
    const std::size_t n = s.size();
    p = put_short_length(p, n);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                        _mm256_maskz_loadu_epi8(_bzhi_u32(~0u, static_cast<unsigned>(n)), s.data()));
    return p + n;
}
#endif

/// How far past `p` `put_short_string_avx512` may store: "32:" and 32 octets.
inline constexpr std::size_t kMaskedReach = 35;

/// Writes the canonical octets of each event to an output. `P` chooses the
/// vector paths (x86-64 only).
template <Output Out, cpu::Path P = cpu::Path::Portable>
class BasicWriter {
public:
    template <class... Args>
    explicit BasicWriter(Args&&... args) : out_(std::forward<Args>(args)...) {}
    void open() { out_.octet('('); }
    void close() { out_.octet(')'); }
    // The short-string paths are inlined into the walk, which clang (the
    // wheels' compiler) otherwise calls out of line for each atom.
    [[gnu::always_inline]] void atom(Bytes data) {
        if constexpr (P == cpu::Path::Avx512) {
            if (data.size() - 1 < kShortest) {
                if (std::uint8_t* p = out_.room(kReach)) {
                    out_.commit(put_short(p, data));
                    return;
                }
            }
        }
        write_string(data);
    }
    [[gnu::always_inline]] void backed_atom(Bytes data) {
        if constexpr (P != cpu::Path::Avx512) {
            if (data.size() - 1 < kShortest) {
                if (std::uint8_t* p = out_.room(kReach)) {
                    out_.commit(put_short(p, data));
                    return;
                }
            }
        }
        atom(data);
    }
    template <BackedRun R>
    void backed_atoms(R& run) {
        Bytes b;
        if (!run.next(b)) return;
        for (;;) {
            if (std::uint8_t* p = out_.room(kRunRoom)) {
                std::uint8_t* const last = p + (kRunRoom - kReach);  // the last place a short string fits
                while (b.size() - 1 < kShortest && p <= last) {
                    p = put_short(p, b);
                    if (!run.next(b)) {
                        out_.commit(p);
                        return;
                    }
                }
                out_.commit(p);
                if (b.size() - 1 < kShortest) continue;  // the room ran out
            }
            backed_atom(b);
            if (!run.next(b)) return;
        }
    }
    void atom(Bytes data, Bytes hint) {
        out_.octet('[');
        write_string(hint);
        out_.octet(']');
        write_string(data);
    }
    Out& out() { return out_; }

private:
    // The longest string `put_short` takes, and how far past `p` it stores.
    static constexpr std::size_t kShortest = P == cpu::Path::Avx512 ? 32 : kWindow;
    static constexpr std::size_t kReach = P == cpu::Path::Avx512 ? kMaskedReach : kShortStringReach;
    static_assert(kReach <= kRunRoom);

    // A string of 1 to kShortest octets, backed but on the AVX-512 path,
    // with its prefix, without a branch on its length.
    [[gnu::always_inline]] static std::uint8_t* put_short(std::uint8_t* p, Bytes s) {
#if defined(__x86_64__)
        if constexpr (P == cpu::Path::Avx512) {
            return put_short_string_avx512(p, s);
        } else if constexpr (P == cpu::Path::Avx2) {
            p = put_short_length(p, s.size());
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), window_avx2(s));
            return p + s.size();
        }
#endif
        return put_backed_short_string(p, s);
    }

    void write_string(Bytes s) {
        const std::size_t n = s.size();
        if constexpr (DeferringOutput<Out>) {
            if (n >= kDeferFrom) {
                std::uint8_t* p = out_.room(kMaxPrefix);
                out_.commit(put_length(p, n));
                out_.defer(s);
                return;
            }
        }
        if (std::uint8_t* p = out_.room(n + kMaxPrefix)) {
            p = put_length(p, n);
            copy_octets(p, s.data(), n);
            out_.commit(p + n);
            return;
        }
        std::uint8_t prefix[kMaxPrefix];
        out_.octets(prefix, static_cast<std::size_t>(put_length(prefix, n) - prefix));
        out_.octets(s.data(), n);
    }
    Out out_;
};

using Writer = BasicWriter<ExactOut>;
static_assert(BackedSink<Writer>);

/// The number of octets of the canonical form of `value`, saturating.
std::uint64_t encoded_len(const Sexp& value);

/// The canonical octets of `value`.
Octets to_vec(const Sexp& value);

}  // namespace parvex::encode::canonical
