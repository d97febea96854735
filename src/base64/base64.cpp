// Base-64 encoder and strict decoder (RFC 4648 §4). The decoder accepts
// padding or its absence, whitespace anywhere, and refuses leftover bits
// that are not zero, so every accepted text has one canonical re-encoding.
#include "base64/base64.hpp"

#include <algorithm>
#include <array>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cstring>

#include "cpu/features.hpp"
#include "types/octet_classes.hpp"

namespace parvex::base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = kInvalid;
    for (int i = 0; i < 64; ++i) t[static_cast<std::uint8_t>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return t;
}

constexpr std::array<std::uint8_t, 256> decode_table = make_decode_table();

// Two characters for each 12-bit value, so three octets take two lookups.
constexpr std::array<std::array<char, 2>, 4096> make_pair_table() {
    std::array<std::array<char, 2>, 4096> t{};
    for (int i = 0; i < 4096; ++i) t[static_cast<std::size_t>(i)] = {alphabet[i >> 6], alphabet[i & 63]};
    return t;
}

constexpr std::array<std::array<char, 2>, 4096> pairs = make_pair_table();

}  // namespace

namespace {

#if defined(__x86_64__)
// 24 octets to 32 characters at a time with AVX2 (the method of Muła and
// Lemire): each 32-bit slot gathers the three octets a, b, c of a group as
// b a c b, two multiplies move the four sextets into place, and a table of
// offsets by range maps sextets to the alphabet. Returns the octets done.
__attribute__((target("avx2"))) std::size_t encode_avx2(const std::uint8_t* p, std::size_t n, char*& out) {
    const __m256i gather = _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,  //
                                           14, 15, 13, 14, 11, 12, 10, 11, 8, 9, 7, 8, 5, 6, 4, 5);
    const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,  //
                                             65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
    // A local cursor: `out` itself could alias the stores, which would put
    // a store-to-load round trip on every step.
    char* o = out;
    std::size_t i = 0;
    for (; n - i >= 28; i += 24) {  // each step reads 28 octets and uses 24
        // Lane 0 holds octets 0..11 at its bytes 4..15, lane 1 octets 12..23 at 0..11.
        const __m128i lo = _mm_slli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), 4);
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 12));
        const __m256i in = _mm256_shuffle_epi8(_mm256_set_m128i(hi, lo), gather);
        const __m256i s0s2 =
            _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0FC0FC00)), _mm256_set1_epi32(0x04000040));
        const __m256i s1s3 =
            _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003F03F0)), _mm256_set1_epi32(0x01000010));
        const __m256i sextets = _mm256_or_si256(s0s2, s1s3);
        // Range of each sextet: 0 for A-Z, 1 for a-z, 2..11 for digits, 12 for +, 13 for /.
        __m256i range = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
        range = _mm256_sub_epi8(range, _mm256_cmpgt_epi8(sextets, _mm256_set1_epi8(25)));
        const __m256i chars = _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, range));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), chars);
        o += 32;
    }
    out = o;
    return i;
}

// 48 octets to 64 characters at a time with AVX-512 VBMI (the method of
// Muła and Lemire): one octet permute puts the three octets a, b, c of each
// group into its 32-bit slot as b a c b, one multishift pulls each sextet
// into an octet of its own, and a second permute, with the alphabet as its
// table, maps the low six bits of each octet to its character. The tail of
// whole groups goes through masked loads and stores, which touch nothing
// past it. Returns the octets done: all whole groups.
[[gnu::target("avx512f,avx512bw,avx512vbmi"), gnu::always_inline]] inline __m512i encode_48(__m512i octets,
                                                                                            __m512i gather,
                                                                                            __m512i shifts,
                                                                                            __m512i table) {
    // The masked forms, all lanes on: GCC 12's unmasked ones warn about
    // their own placeholder operand.
    const __mmask64 all = ~std::uint64_t{0};
    const __m512i in = _mm512_maskz_permutexvar_epi8(all, gather, octets);
    return _mm512_maskz_permutexvar_epi8(all, _mm512_maskz_multishift_epi64_epi8(all, shifts, in), table);
}

// How far ahead of its stores the AVX-512 encoder claims the text's cache
// lines (PREFETCHW): where text and octets together outgrow the L2 cache, each
// store otherwise waits on its line's read for ownership (row "to_transport"
// of the sweep, 1 MiB: a sixth of the time). The AVX2 encoder, half as fast,
// does not wait so. Prefetches past the text's end touch nothing.
constexpr std::size_t kClaimAhead = 2048;

__attribute__((target("avx512f,avx512bw,avx512vbmi,prfchw"))) std::size_t encode_avx512(const std::uint8_t* p,
                                                                                        std::size_t n, char*& out) {
    const __m512i gather = _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0a0b090a, 0x0d0e0c0d, 0x10110f10,
                                             0x13141213, 0x16171516, 0x191a1819, 0x1c1d1b1c, 0x1f201e1f, 0x22232122,
                                             0x25262425, 0x28292728, 0x2b2c2a2b, 0x2e2f2d2e);
    // Per 64-bit lane, the bit at which each output octet's sextet starts:
    // 10, 4, 22 and 16 within each 32-bit slot.
    const __m512i shifts = _mm512_set1_epi64(0x3036242a1016040a);
    const __m512i table = _mm512_loadu_si512(alphabet);
    const __mmask64 all = ~std::uint64_t{0};
    char* o = out;
    std::size_t i = 0;
    for (; n - i >= 64; i += 48, o += 64) {  // reads 64 octets, uses 48
        __builtin_prefetch(o + kClaimAhead, 1, 3);
        _mm512_storeu_si512(o, encode_48(_mm512_loadu_si512(p + i), gather, shifts, table));
    }
    // Fewer than 64 octets left: at most two steps of whole groups.
    while (n - i >= 3) {
        const std::size_t whole = std::min<std::size_t>(48, (n - i) / 3 * 3);
        const std::size_t chars = whole / 3 * 4;
        const __mmask64 keep = chars == 64 ? all : (std::uint64_t{1} << chars) - 1;
        _mm512_mask_storeu_epi8(o, keep,
                                encode_48(_mm512_maskz_loadu_epi8(all >> (64 - whole), p + i), gather, shifts, table));
        i += whole;
        o += chars;
    }
    out = o;
    return i;
}
#endif

}  // namespace

char* encode_to(Bytes octets, char* out) {
    const std::uint8_t* p = octets.data();
    std::size_t n = octets.size();
#if defined(__x86_64__)
    if (n >= 28) {
        const cpu::Features f = cpu::active();
        const std::size_t done = f.avx512vbmi ? encode_avx512(p, n, out) : f.avx2 ? encode_avx2(p, n, out) : 0;
        p += done;
        n -= done;
    }
#endif
    for (; n >= 3; n -= 3, p += 3) {
        const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
        std::memcpy(out, pairs[v >> 12].data(), 2);
        std::memcpy(out + 2, pairs[v & 0xFFF].data(), 2);
        out += 4;
    }
    if (n != 0) {
        const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (n == 2 ? std::uint32_t{p[1]} << 8 : 0);
        out[0] = alphabet[v >> 18];
        out[1] = alphabet[(v >> 12) & 63];
        out[2] = n == 2 ? alphabet[(v >> 6) & 63] : '=';
        out[3] = '=';
        out += 4;
    }
    return out;
}

void encode(Bytes octets, std::string& out) {
    const std::size_t old = out.size();
    out.resize(old + encoded_size(octets.size()));
    encode_to(octets, out.data() + old);
}

std::expected<std::uint8_t*, DecodeError> decode_group(const std::uint8_t* s, unsigned k, std::uint8_t* out,
                                                       std::uint64_t offset) {
    switch (k) {
        case 0: return out;
        case 2:
            if ((s[1] & 0x0F) != 0) break;
            out[0] = static_cast<std::uint8_t>((s[0] << 2) | (s[1] >> 4));
            return out + 1;
        case 3:
            if ((s[2] & 0x03) != 0) break;
            out[0] = static_cast<std::uint8_t>((s[0] << 2) | (s[1] >> 4));
            out[1] = static_cast<std::uint8_t>((s[1] << 4) | (s[2] >> 2));
            return out + 2;
        case 4:
            out[0] = static_cast<std::uint8_t>((s[0] << 2) | (s[1] >> 4));
            out[1] = static_cast<std::uint8_t>((s[1] << 4) | (s[2] >> 2));
            out[2] = static_cast<std::uint8_t>((s[2] << 6) | s[3]);
            return out + 3;
        default: break;
    }
    return std::unexpected(DecodeError{offset});
}

namespace {

#if defined(__x86_64__)
// 32 characters to 24 octets at a time with AVX2 (the method of Muła and
// Lemire). Two lookups, by the low and by the high nibble of each
// character, give bit sets whose AND is empty exactly for the 64 alphabet
// characters; a third lookup by the high nibble gives what to add to the
// character to reach its sextet ("/" is the one character whose high nibble
// does not tell its range, so it is moved to a slot of its own). Two
// multiply-adds then pack each four sextets into three octets.
//
// Decodes whole blocks from t[i] on while every character of the block is
// in the alphabet, and returns where it stopped. `resume` receives the
// index just past the first character outside the alphabet in the block it
// refused, or n if it ran out of blocks: the caller reads the stretch up to
// there the ordinary way. Each block stores 32 octets, of which it keeps
// 24: `out` needs 8 octets of room beyond the decoded ones.
__attribute__((target("avx2"))) std::size_t decode_avx2(const std::uint8_t* t, std::size_t i, std::size_t n,
                                                        std::uint8_t*& out, std::size_t& resume) {
    const __m256i lut_lo = _mm256_setr_epi8(
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A,  //
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lut_hi = _mm256_setr_epi8(
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  //
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // By high nibble, "/" taking slot 1: "/" +16, "+" +19, digits +4,
    // A-Z -65, a-z -71.
    const __m256i lut_roll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                              0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    // In each 32-bit slot the packed group is s0 s1 s2 s3 from bit 23 down:
    // its three octets, high first, to 12 octets per lane, then both lanes
    // to the low 24 octets.
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                           2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    std::uint8_t* o = out;  // a local cursor, which the stores cannot alias
    for (; n - i >= 32; i += 32, o += 24) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + i));
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(in, 4), nibble);
        const __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(lut_lo, _mm256_and_si256(in, nibble)),
                                             _mm256_shuffle_epi8(lut_hi, hi));
        if (!_mm256_testz_si256(bad, bad)) {
            const auto good =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
            resume = i + static_cast<std::size_t>(__builtin_ctz(~good)) + 1;
            out = o;
            return i;
        }
        const __m256i slash = _mm256_cmpeq_epi8(in, _mm256_set1_epi8('/'));
        const __m256i sextets = _mm256_add_epi8(in, _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(hi, slash)));
        const __m256i pairs12 = _mm256_maddubs_epi16(sextets, _mm256_set1_epi32(0x01400140));
        const __m256i groups = _mm256_madd_epi16(pairs12, _mm256_set1_epi32(0x00011000));
        const __m256i octets = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups, order), lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), octets);
    }
    resume = n;
    out = o;
    return i;
}
#endif

}  // namespace

std::expected<std::uint8_t*, DecodeError> decode_to(Bytes text, std::uint8_t* o) {
    const std::uint8_t* t = text.data();
    const std::size_t n = text.size();
    std::uint8_t group[4];
    unsigned k = 0;          // sextets in the current group
    unsigned pad = 0;        // "=" seen in the current group
    bool closed = false;     // a group was completed by padding
    std::uint64_t last = 0;  // offset of the latest alphabet character
    std::size_t i = 0;
#if defined(__x86_64__)
    // The block decoder is not tried again before this index: a refused
    // block is read the ordinary way up to its first non-alphabet octet.
    std::size_t blocks_from = cpu::active().avx2 ? 0 : n;
#endif
    while (i < n) {
        if (k == 0 && !closed) {
#if defined(__x86_64__)
            if (i >= blocks_from) {
                const std::size_t from = i;
                i = decode_avx2(t, i, n, o, blocks_from);
                if (i != from) last = i - 1;
                if (i == n) break;
            }
#endif
            // Whole groups of four alphabet characters, the common case.
            if (i + 4 <= n) {
                const std::uint8_t a = decode_table[t[i]], b = decode_table[t[i + 1]], c = decode_table[t[i + 2]],
                                   d = decode_table[t[i + 3]];
                if (((a | b | c | d) & 0xC0) == 0) {  // no kInvalid among them
                    o[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
                    o[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
                    o[2] = static_cast<std::uint8_t>((c << 6) | d);
                    o += 3;
                    last = i + 3;
                    i += 4;
                    continue;
                }
            }
        }
        const std::uint8_t ch = t[i];
        if (octet::is_whitespace(ch)) {
            ++i;
            continue;
        }
        if (closed) return std::unexpected(DecodeError{i});
        if (ch == '=') {
            if (k + pad < 2) return std::unexpected(DecodeError{i});
            if (k + pad + 1 == 4) {
                auto r = decode_group(group, k, o, last);
                if (!r) return std::unexpected(r.error());
                o = *r;
                closed = true;
                k = 0;
                pad = 0;
            } else {
                ++pad;
            }
            ++i;
            continue;
        }
        if (pad > 0) return std::unexpected(DecodeError{i});
        const std::uint8_t v = decode_table[ch];
        if (v == kInvalid) return std::unexpected(DecodeError{i});
        group[k++] = v;
        last = i;
        if (k == 4) {
            o = *decode_group(group, 4, o, last);
            k = 0;
        }
        ++i;
    }
    if (pad > 0) return std::unexpected(DecodeError{n});
    return decode_group(group, k, o, last);
}

std::expected<Octets, DecodeError> decode(Bytes text) {
    // Sized once for the most the text can hold, and trimmed.
    Octets out(decode_room(text.size()));
    auto end = decode_to(text, out.data());
    if (!end) return std::unexpected(end.error());
    out.resize(static_cast<std::size_t>(*end - out.data()));
    return out;
}

}  // namespace parvex::base64
