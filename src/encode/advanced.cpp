// Advanced writer: the escapes of quoted strings, hexadecimal, and the core
// value's text.
#include "encode/advanced.hpp"

#include <array>
#include <cstring>

#include "cpu/features.hpp"

namespace parvex::encode::advanced {

namespace {

// The escape letter for an octet a quoted string cannot hold as it is, or 0
// where it stands unchanged.
constexpr std::array<char, 256> make_escapes() {
    std::array<char, 256> t{};
    t[0x07] = 'a';
    t[0x08] = 'b';
    t[0x09] = 't';
    t[0x0A] = 'n';
    t[0x0B] = 'v';
    t[0x0C] = 'f';
    t[0x0D] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}

constexpr std::array<char, 256> escapes = make_escapes();

constexpr char kHexDigits[] = "0123456789abcdef";

// Both hexadecimal digits of each octet, for one lookup an octet.
constexpr std::array<std::array<char, 2>, 256> make_hex_pairs() {
    std::array<std::array<char, 2>, 256> t{};
    for (int i = 0; i < 256; ++i) t[static_cast<std::size_t>(i)] = {kHexDigits[i >> 4], kHexDigits[i & 15]};
    return t;
}

constexpr std::array<std::array<char, 2>, 256> hex_pairs = make_hex_pairs();

#if defined(__x86_64__)
// Sixteen octets to their 32 digits with SSE2: each nibble n becomes
// "0" + n, plus the distance from "9" + 1 to "a" where n > 9.
std::size_t hexadecimal_sse2(const std::uint8_t* s, std::size_t n, std::uint8_t* out) {
    const __m128i low = _mm_set1_epi8(0x0F), nine = _mm_set1_epi8(9);
    const auto digits = [&](__m128i v) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(v, nine), _mm_set1_epi8('a' - '0' - 10));
        return _mm_add_epi8(_mm_add_epi8(v, _mm_set1_epi8('0')), letters);
    };
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i hi = digits(_mm_and_si128(_mm_srli_epi16(x, 4), low));
        const __m128i lo = digits(_mm_and_si128(x, low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi8(hi, lo));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_unpackhi_epi8(hi, lo));
    }
    return i;
}

// With octet shuffles each nibble's digit is looked up in a 16-entry table.
[[gnu::target(PARVEX_AVX2_TARGET), gnu::always_inline]] inline void hexadecimal_32(const std::uint8_t* s,
                                                                                   std::uint8_t* out) {
    const __m256i digits = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kHexDigits)));
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
    const __m256i hi = _mm256_shuffle_epi8(digits, _mm256_and_si256(_mm256_srli_epi16(x, 4), low));
    const __m256i lo = _mm256_shuffle_epi8(digits, _mm256_and_si256(x, low));
    // Each lane interleaves its own half: octets 0-7 and 16-23, then 8-15 and 24-31.
    const __m256i a = _mm256_unpacklo_epi8(hi, lo), b = _mm256_unpackhi_epi8(hi, lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(a, b, 0x31));
}

[[gnu::target(PARVEX_AVX2_TARGET), gnu::always_inline]] inline void hexadecimal_16(const std::uint8_t* s,
                                                                                   std::uint8_t* out) {
    const __m128i digits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kHexDigits));
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i hi = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(x, 4), low));
    const __m128i lo = _mm_shuffle_epi8(digits, _mm_and_si128(x, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(hi, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(hi, lo));
}

// 32 octets a step; the last step takes the 32 (or 16) octets that end the
// string, some a second time, so that only strings under 16 octets are left
// to the caller.
[[gnu::target(PARVEX_AVX2_TARGET)]] std::size_t hexadecimal_avx2(const std::uint8_t* s, std::size_t n,
                                                                 std::uint8_t* out) {
    if (n < 16) return 0;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) hexadecimal_32(s + i, out + 2 * i);
    if (i == n) return n;
    if (n >= 32) {
        hexadecimal_32(s + n - 32, out + 2 * (n - 32));
    } else {
        hexadecimal_16(s, out);
        if (n > 16) hexadecimal_16(s + n - 16, out + 2 * (n - 16));
    }
    return n;
}

// 64 octets a step, the last with masked loads and stores, so that every
// string is written here whatever its length.
[[gnu::target(PARVEX_AVX512_TARGET)]] std::size_t hexadecimal_avx512(const std::uint8_t* s, std::size_t n,
                                                                     std::uint8_t* out) {
    // The zero-masked broadcast: the plain one's header, in g++ 12, warns of
    // an uninitialized operand it never reads.
    const __m512i digits =
        _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kHexDigits)));
    const __m512i low = _mm512_set1_epi8(0x0F);
    // Each 128-bit lane interleaves its own half; these put the lanes back in order.
    const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    for (std::size_t i = 0; i < n; i += 64) {
        const std::size_t left = n - i;
        const __mmask64 in = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(left < 64 ? left : 64));
        const __m512i x = _mm512_maskz_loadu_epi8(in, s + i);
        const __m512i hi = _mm512_shuffle_epi8(digits, _mm512_and_si512(_mm512_srli_epi16(x, 4), low));
        const __m512i lo = _mm512_shuffle_epi8(digits, _mm512_and_si512(x, low));
        const __m512i a = _mm512_unpacklo_epi8(hi, lo), b = _mm512_unpackhi_epi8(hi, lo);
        const std::size_t chars = 2 * (left < 64 ? left : 64);
        _mm512_mask_storeu_epi8(out + 2 * i,
                                _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(chars < 64 ? chars : 64)),
                                _mm512_permutex2var_epi64(a, first, b));
        if (chars > 64)
            _mm512_mask_storeu_epi8(out + 2 * i + 64, _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(chars - 64)),
                                    _mm512_permutex2var_epi64(a, second, b));
    }
    return n;
}
#endif

}  // namespace

std::uint8_t* put_quoted(std::uint8_t* out, Bytes s) {
    *out++ = '"';
    std::size_t run = 0;  // start of the octets not yet copied
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char e = escapes[s[i]];
        if (e == 0) continue;
        copy_octets(out, s.data() + run, i - run);
        out += i - run;
        *out++ = '\\';
        *out++ = static_cast<std::uint8_t>(e);
        run = i + 1;
    }
    copy_octets(out, s.data() + run, s.size() - run);
    out += s.size() - run;
    *out++ = '"';
    return out;
}

std::uint8_t* put_hexadecimal(std::uint8_t* out, Bytes s, cpu::Path path) {
    *out++ = '#';
    std::size_t i = 0;
    switch (path) {
#if defined(__x86_64__)
        case cpu::Path::Avx512: i = hexadecimal_avx512(s.data(), s.size(), out); break;
        case cpu::Path::Avx2: i = hexadecimal_avx2(s.data(), s.size(), out); break;
        case cpu::Path::Sse2: i = hexadecimal_sse2(s.data(), s.size(), out); break;
#endif
        default: break;
    }
    for (; i < s.size(); ++i) std::memcpy(out + 2 * i, hex_pairs[s[i]].data(), 2);
    out += 2 * s.size();
    *out++ = '#';
    return out;
}

void write_octet_string(Bytes s, std::string& out) {
    BasicWriter<TextOut, cpu::Path::Portable> w;
    w.atom(s);
    out += text_of(w.out());
}

namespace {

template <cpu::Path P>
std::string text_on(const Sexp& value) {
    BasicWriter<TextOut, P> w;
    walk(value, w);
    return text_of(w.out());
}

#if defined(__x86_64__)
[[gnu::target(PARVEX_AVX512_TARGET), gnu::flatten]] std::string text_on_avx512(const Sexp& value) {
    return text_on<cpu::Path::Avx512>(value);
}
[[gnu::target(PARVEX_AVX2_TARGET), gnu::flatten]] std::string text_on_avx2(const Sexp& value) {
    return text_on<cpu::Path::Avx2>(value);
}
#endif

}  // namespace

std::string to_string(const Sexp& value) {
    switch (cpu::best_path(cpu::active())) {
#if defined(__x86_64__)
        case cpu::Path::Avx512: return text_on_avx512(value);
        case cpu::Path::Avx2: return text_on_avx2(value);
        case cpu::Path::Sse2: return text_on<cpu::Path::Sse2>(value);
#endif
        default: return text_on<cpu::Path::Portable>(value);
    }
}

}  // namespace parvex::encode::advanced
