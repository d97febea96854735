// 256-entry octet classification tables shared by the reader, the base-64
// codec and the advanced writer (RFC 9804 §4.3 tokens, §6.4 whitespace).
// Built by constexpr code so that the rules stand next to the tables.
#pragma once

#include <array>
#include <cstdint>

#include "cpu/features.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#elif defined(PARVEX_NEON)
#include <arm_neon.h>
#endif

// Whether `token_run16` and `quote_plain_run16` below exist: SSE2 and NEON
// are each their processor's baseline.
#if defined(__x86_64__) || defined(PARVEX_NEON)
#define PARVEX_RUN16 1
#else
#define PARVEX_RUN16 0
#endif

namespace parvex::octet {

enum Class : std::uint8_t {
    kWhitespace = 1 << 0,  // 9..13, 32
    kDigit = 1 << 1,       // 0-9
    kTokenStart = 1 << 2,  // letters and * + - . / : = _
    kHexDigit = 1 << 3,    // 0-9 a-f A-F
    kPrintable = 1 << 4,   // 32..126
    kQuotable = 1 << 5,    // printable or 7..13: written as a quoted string
    kTokenOctet = 1 << 6,  // token start or digit
    kQuotePlain = 1 << 7,  // printable but for '"' and '\\': stands unescaped in a quoted string
};

constexpr std::array<std::uint8_t, 256> make_class_table() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t v = 0;
        if ((c >= 9 && c <= 13) || c == 32) v |= kWhitespace;
        if (c >= '0' && c <= '9') v |= kDigit | kHexDigit;
        if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) v |= kHexDigit;
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool punct = c == '*' || c == '+' || c == '-' || c == '.' || c == '/' || c == ':' || c == '=' || c == '_';
        if (letter || punct) v |= kTokenStart | kTokenOctet;
        if (c >= '0' && c <= '9') v |= kTokenOctet;
        if (c >= 32 && c <= 126) v |= kPrintable;
        if ((c >= 32 && c <= 126) || (c >= 7 && c <= 13)) v |= kQuotable;
        if (c >= 32 && c <= 126 && c != '"' && c != '\\') v |= kQuotePlain;
        t[static_cast<std::size_t>(c)] = v;
    }
    return t;
}

inline constexpr std::array<std::uint8_t, 256> class_table = make_class_table();

constexpr bool is(std::uint8_t c, Class k) { return (class_table[c] & k) != 0; }
constexpr bool is_whitespace(std::uint8_t c) { return is(c, kWhitespace); }
constexpr bool is_digit(std::uint8_t c) { return is(c, kDigit); }
constexpr bool is_token_start(std::uint8_t c) { return is(c, kTokenStart); }
constexpr bool is_token_octet(std::uint8_t c) { return is(c, kTokenOctet); }
constexpr bool is_hex_digit(std::uint8_t c) { return is(c, kHexDigit); }
constexpr bool is_printable(std::uint8_t c) { return is(c, kPrintable); }
constexpr bool is_quotable(std::uint8_t c) { return is(c, kQuotable); }

/// Value of a hexadecimal digit; 0xFF for any other octet.
constexpr std::array<std::uint8_t, 256> make_hex_value_table() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t v = 0xFF;
        if (c >= '0' && c <= '9') v = static_cast<std::uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') v = static_cast<std::uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') v = static_cast<std::uint8_t>(c - 'A' + 10);
        t[static_cast<std::size_t>(c)] = v;
    }
    return t;
}

inline constexpr std::array<std::uint8_t, 256> hex_value = make_hex_value_table();

#if defined(__x86_64__)
/// All ones in each octet of `v` from `lo` to `hi`, as unsigned octets;
/// SSE2, which every x86-64 processor has.
inline __m128i within_sse2(__m128i v, int lo, int hi) {
    const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(lo)));
    return _mm_cmpeq_epi8(_mm_subs_epu8(t, _mm_set1_epi8(static_cast<char>(hi - lo))), _mm_setzero_si128());
}

/// All ones in each octet of `x` that is a token octet (kTokenOctet).
inline __m128i token_octets_sse2(__m128i x) {
    const auto is = [&](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
    const __m128i letter = within_sse2(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'z');
    // "*" to ":" holds "*+,-./", the digits and ":"; only "," is not a token octet.
    const __m128i punct_digit = _mm_andnot_si128(is(','), within_sse2(x, '*', ':'));
    return _mm_or_si128(_mm_or_si128(letter, punct_digit), _mm_or_si128(is('='), is('_')));
}

/// All ones in each octet of `x` that stands unescaped in a quoted string
/// (kQuotePlain), `printable` being within_sse2(x, 0x20, 0x7E).
inline __m128i quote_plain_sse2(__m128i x, __m128i printable) {
    const auto is = [&](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
    return _mm_andnot_si128(_mm_or_si128(is('"'), is('\\')), printable);
}

// How many of the 16 octets marked in `in_class` (all ones or none each)
// come before the first unmarked one: 16 where all are marked.
inline unsigned leading_run(__m128i in_class) {
    return static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(in_class)) ^ 0x1FFFFu));
}

inline unsigned token_run16(const std::uint8_t* p) {
    return leading_run(token_octets_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

inline unsigned quote_plain_run16(const std::uint8_t* p, bool high) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i plain = quote_plain_sse2(x, within_sse2(x, 0x20, 0x7E));
    return leading_run(high ? _mm_or_si128(plain, _mm_cmplt_epi8(x, _mm_setzero_si128())) : plain);
}
#elif defined(PARVEX_NEON)
// The same tests with NEON, the same way.
inline uint8x16_t within_neon(uint8x16_t v, std::uint8_t lo, std::uint8_t hi) {
    return vcleq_u8(vsubq_u8(v, vdupq_n_u8(lo)), vdupq_n_u8(static_cast<std::uint8_t>(hi - lo)));
}

inline unsigned leading_run(uint8x16_t in_class) {
    // Four bits an octet, in memory order: 16 octets in one 64-bit word.
    const std::uint64_t out = ~vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(in_class), 4)), 0);
    return out == 0 ? 16 : static_cast<unsigned>(__builtin_ctzll(out)) / 4;
}

inline unsigned token_run16(const std::uint8_t* p) {
    const uint8x16_t x = vld1q_u8(p);
    const auto is = [&](char c) { return vceqq_u8(x, vdupq_n_u8(static_cast<std::uint8_t>(c))); };
    const uint8x16_t letter = within_neon(vorrq_u8(x, vdupq_n_u8(0x20)), 'a', 'z');
    const uint8x16_t punct_digit = vbicq_u8(within_neon(x, '*', ':'), is(','));
    return leading_run(vorrq_u8(vorrq_u8(letter, punct_digit), vorrq_u8(is('='), is('_'))));
}

inline unsigned quote_plain_run16(const std::uint8_t* p, bool high) {
    const uint8x16_t x = vld1q_u8(p);
    const auto is = [&](char c) { return vceqq_u8(x, vdupq_n_u8(static_cast<std::uint8_t>(c))); };
    uint8x16_t plain = vbicq_u8(within_neon(x, 0x20, 0x7E), vorrq_u8(is('"'), is('\\')));
    if (high) plain = vorrq_u8(plain, vcgeq_u8(x, vdupq_n_u8(0x80)));
    return leading_run(plain);
}
#endif

}  // namespace parvex::octet
