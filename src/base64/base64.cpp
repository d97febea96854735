// Base-64 encoder and strict decoder (RFC 4648 §4). The decoder accepts
// padding or its absence, whitespace anywhere, and refuses leftover bits
// that are not zero, so every accepted text has one canonical re-encoding.
#include "base64/base64.hpp"

#include <array>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cstring>

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
        const __m256i s0s2 = _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0FC0FC00)),
                                                _mm256_set1_epi32(0x04000040));
        const __m256i s1s3 = _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003F03F0)),
                                                _mm256_set1_epi32(0x01000010));
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

// 12 octets to 16 characters: the same method in one 128-bit lane. Reads
// 16 octets.
__attribute__((target("avx2"))) inline __m128i encode_12(const std::uint8_t* p) {
    const __m128i in = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                        _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
    const __m128i s0s2 = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
    const __m128i s1s3 = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
    const __m128i sextets = _mm_or_si128(s0s2, s1s3);
    __m128i range = _mm_subs_epu8(sextets, _mm_set1_epi8(51));
    range = _mm_sub_epi8(range, _mm_cmpgt_epi8(sextets, _mm_set1_epi8(25)));
    const __m128i offsets = _mm_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
    return _mm_add_epi8(sextets, _mm_shuffle_epi8(offsets, range));
}

// Streams the text of whole groups from `p` to the 16-aligned `a`, whose
// first character is character `Q` of the group at `p`: each aligned block
// is the end of one encoded vector and the start of the next. 128-bit
// vectors make that one byte-align, where 256-bit ones would need a
// cross-lane permute. Returns the octets whose text is written, apart from
// the first `Q` characters of the group that follows them.
template <int Q>
__attribute__((target("avx2"))) std::size_t stream_groups(const std::uint8_t* p, std::size_t n, char* a) {
    auto* out = reinterpret_cast<__m128i*>(a);
    std::size_t i = 0;
    __m128i v = encode_12(p);
    for (; n - i >= 64; i += 48, out += 4) {  // reads up to octet i + 64
        const __m128i w1 = encode_12(p + i + 12), w2 = encode_12(p + i + 24), w3 = encode_12(p + i + 36),
                      w4 = encode_12(p + i + 48);
        if constexpr (Q == 0) {
            _mm_stream_si128(out, v);
            _mm_stream_si128(out + 1, w1);
            _mm_stream_si128(out + 2, w2);
            _mm_stream_si128(out + 3, w3);
        } else {
            _mm_stream_si128(out, _mm_alignr_epi8(w1, v, Q));
            _mm_stream_si128(out + 1, _mm_alignr_epi8(w2, w1, Q));
            _mm_stream_si128(out + 2, _mm_alignr_epi8(w3, w2, Q));
            _mm_stream_si128(out + 3, _mm_alignr_epi8(w4, w3, Q));
        }
        v = w4;
    }
    return i;
}

bool has_avx2() {
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
    return yes;
}
#endif

}  // namespace

char* encode_to(Bytes octets, char* out) {
    const std::uint8_t* p = octets.data();
    std::size_t n = octets.size();
#if defined(__x86_64__)
    if (n >= 28 && has_avx2()) {
        const std::size_t done = encode_avx2(p, n, out);
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

char* encode_to_uncached(Bytes octets, char* out) {
#if defined(__x86_64__)
    const std::uint8_t* p = octets.data();
    const std::size_t n = octets.size();
    if (n >= 256 && has_avx2()) {
        // The characters before the first 16-aligned one, as usual.
        const std::size_t head = (16 - (reinterpret_cast<std::uintptr_t>(out) & 15)) & 15;
        char buf[encoded_size(64 + 2)];
        encode_to(Bytes(p, (head + 3) / 4 * 3), buf);
        std::memcpy(out, buf, head);
        const std::size_t from = head / 4 * 3;  // the group holding the first aligned character
        const int skip = static_cast<int>(head % 4);
        std::size_t done = 0;
        switch (skip) {
            case 0: done = stream_groups<0>(p + from, n - from, out + head); break;
            case 1: done = stream_groups<1>(p + from, n - from, out + head); break;
            case 2: done = stream_groups<2>(p + from, n - from, out + head); break;
            default: done = stream_groups<3>(p + from, n - from, out + head); break;
        }
        _mm_sfence();  // the streamed stores, weakly ordered, before any later store
        // The rest, fewer than 64 octets, as usual from where the stream stopped.
        char* end = out + head + done / 3 * 4;
        const std::size_t rest = n - from - done;
        const std::size_t len = static_cast<std::size_t>(encode_to(Bytes(p + from + done, rest), buf) - buf);
        std::memcpy(end, buf + skip, len - static_cast<std::size_t>(skip));
        return end + len - static_cast<std::size_t>(skip);
    }
#endif
    return encode_to(octets, out);
}

void encode(Bytes octets, std::string& out) {
    const std::size_t old = out.size();
    out.resize(old + encoded_size(octets.size()));
    encode_to(octets, out.data() + old);
}

std::expected<std::uint8_t*, DecodeError> decode_group(const std::uint8_t* s, unsigned k, std::uint8_t* out,
                                                       std::uint64_t offset) {
    switch (k) {
        case 0:
            return out;
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
        default:
            break;
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
    const __m256i lut_lo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                            0x1A, 0x1B, 0x1B, 0x1B, 0x1A,  //
                                            0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                            0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lut_hi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10,  //
                                            0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10);
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
            const auto good = static_cast<std::uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
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
    std::size_t blocks_from = has_avx2() ? 0 : n;
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
                const std::uint8_t a = decode_table[t[i]], b = decode_table[t[i + 1]],
                                   c = decode_table[t[i + 2]], d = decode_table[t[i + 3]];
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
