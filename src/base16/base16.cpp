// Hexadecimal decoding. Whole blocks of digits are decoded a vector at a
// time (on the portable path, two 64-bit words); a block that holds
// anything else still gives the octets of the digits before it, and what
// follows them (whitespace, a pair split by it, the tail shorter than a
// block, the octet that ends the string) is read one octet at a time until
// the next digit that starts a pair, where blocks are tried again. Unbroken
// runs, as GnuPG and our writer write them, go by blocks alone; lines of
// any length cost one short block and a few single steps each; where blocks
// keep finding little, single steps take over for a while.
#include "base16/base16.hpp"

#include <array>
#include <bit>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/features.hpp"
#include "types/byte_order.hpp"
#include "types/octet_classes.hpp"

namespace parvex::base16 {

namespace {

// Each block decoder reads kWidth octets at `t`, writes kWidth / 2 octets
// at `out`, and returns how many of the octets read, from the first on, are
// digits: of the octets written, the first k / 2 are theirs and the rest
// is to be written over.

// Portable: two words of eight octets, read as little-endian integers
// whatever the CPU's own order, so that octet i is bits 8i to 8i + 7.
struct Words {
    static constexpr unsigned kWidth = 16;
    static constexpr std::uint64_t kOnes = 0x0101010101010101;
    static constexpr std::uint64_t kHigh = kOnes * 0x80;

    // The octets of `x` that are not digits, as their high bit. Each range
    // test adds to octets whose high bit is clear, so no carry crosses
    // octets: c is in [lo, hi] when c + 0x80 - lo has its high bit set and
    // c + 0x7F - hi has not.
    static std::uint64_t not_digits(std::uint64_t x) {
        const std::uint64_t c = x & ~kHigh;
        const std::uint64_t l = c | (kOnes * 0x20);  // A-F to a-f
        const std::uint64_t digit = (c + kOnes * (0x80 - '0')) & ~(c + kOnes * (0x7F - '9'));
        const std::uint64_t letter = (l + kOnes * (0x80 - 'a')) & ~(l + kOnes * (0x7F - 'f'));
        return ~((digit | letter) & ~x) & kHigh;
    }
    // The four octets that the eight digits of `x` stand for, first at the
    // least significant end of the low 32 bits.
    static std::uint64_t pack(std::uint64_t x) {
        // The value of each digit: its low nibble, plus 9 for a letter (the
        // only digits with bit 6 set).
        const std::uint64_t v = (x & (kOnes * 0x0F)) + ((x >> 6) & kOnes) * 9;
        // 16 * first + second in the low octet of each 16-bit lane.
        std::uint64_t w = ((v << 4) + (v >> 8)) & 0x00FF00FF00FF00FF;
        w = (w | (w >> 8)) & 0x0000FFFF0000FFFF;
        return (w | (w >> 16)) & 0xFFFFFFFF;
    }
    static unsigned block(const std::uint8_t* t, std::uint8_t* out) {
        const std::uint64_t a = load_le64(t), b = load_le64(t + 8);
        store_le64(out, pack(a) | (pack(b) << 32));
        const std::uint64_t bad_a = not_digits(a), bad_b = not_digits(b);
        if ((bad_a | bad_b) == 0) return kWidth;
        return bad_a != 0 ? std::countr_zero(bad_a) / 8 : 8 + std::countr_zero(bad_b) / 8;
    }
};

#if defined(__x86_64__)
// AVX2: 32 octets. Two lookups, by the low and by the high nibble of each
// octet, give bit sets whose AND is empty exactly for the octets that are
// not digits (bit 0: 0-9, bit 1: a-f or A-F; octets from 0x80 on have no
// bit by their high nibble); a third lookup by the high nibble adds 9 to
// the low nibble of a letter. One multiply-add joins each pair of digits.
struct Avx2 {
    static constexpr unsigned kWidth = 32;
    static constexpr std::array<std::uint8_t, 16> kByLow = {1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    static constexpr std::array<std::uint8_t, 16> kByHigh = {0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    static constexpr std::array<std::uint8_t, 16> kAdd = {0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0};

    [[gnu::target(PARVEX_AVX2_TARGET)]] static inline __m256i table(const std::array<std::uint8_t, 16>& t) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
    }
    [[gnu::target(PARVEX_AVX2_TARGET)]] static inline unsigned block(const std::uint8_t* t, std::uint8_t* out) {
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t));
        const __m256i lo = _mm256_and_si256(in, nibble);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble);
        const __m256i kind =
            _mm256_and_si256(_mm256_shuffle_epi8(table(kByLow), lo), _mm256_shuffle_epi8(table(kByHigh), hi));
        const auto bad =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(kind, _mm256_setzero_si256())));
        const __m256i values = _mm256_add_epi8(lo, _mm256_shuffle_epi8(table(kAdd), hi));
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi16(0x0110));  // 16 * first + second
        const __m256i packed = _mm256_packus_epi16(pairs, pairs);                       // each lane's 8 octets, twice
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)));
        return bad == 0 ? kWidth : static_cast<unsigned>(std::countr_zero(bad));
    }
};

// AVX-512 with VBMI: 64 octets. One two-table octet permute looks up the
// value of each octet's low seven bits (0xFF for what is not a digit), and
// the high bit of the value or of the octet marks the octets that are not
// digits; a multiply-add joins each pair, a truncating narrow packs them.
struct Avx512 {
    static constexpr unsigned kWidth = 64;

    [[gnu::target(PARVEX_AVX512_TARGET)]] static inline unsigned block(const std::uint8_t* t, std::uint8_t* out) {
        const std::uint8_t* values7 = octet::hex_value.data();
        const __m512i low = _mm512_loadu_si512(values7), high = _mm512_loadu_si512(values7 + 64);
        const __m512i in = _mm512_loadu_si512(t);
        // The masked forms, all lanes on: GCC 12's unmasked ones warn about
        // their own placeholder operand.
        const __mmask64 all = ~std::uint64_t{0};
        const __m512i values = _mm512_maskz_permutex2var_epi8(all, low, in, high);
        const std::uint64_t bad = _mm512_movepi8_mask(_mm512_or_si512(values, in));
        const __m512i pairs = _mm512_maddubs_epi16(values, _mm512_set1_epi16(0x0110));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_maskz_cvtepi16_epi8(~__mmask32{0}, pairs));
        return bad == 0 ? kWidth : static_cast<unsigned>(std::countr_zero(bad));
    }
};
#endif

template <class Block>
inline Scan run(const std::uint8_t* t, std::uint64_t n, std::uint8_t* out, std::uint64_t max, Half half) {
    constexpr unsigned W = Block::kWidth;
    std::uint64_t p = 0, o = 0;
    // Blocks are not tried before this offset: set where two blocks in a
    // row found fewer than W / 4 digits, the mark of dense whitespace.
    std::uint64_t singles_until = 0;
    bool poor = false;  // the latest block found fewer than W / 4 digits
    // A block is stored whole, so it is tried only where the room `out`
    // has (decode_room) and `max` allow all of it; each octet it writes
    // stands for two of at least W octets left.
    const auto blocks_fit = [&] { return p >= singles_until && n - p >= W && max - o >= W / 2; };
    for (;;) {
        if (!half.pending) {  // otherwise a pair carried in comes first
            // A wide block is not tried on an octet that is not a digit,
            // where each line of a text in lines ends: that halves the
            // cost of lines of 64 digits, for a sixth more on unbroken runs
            // (still far beyond the speed of memory).
            while (blocks_fit() && (W < 32 || octet::hex_value[t[p]] < 16)) {
                const unsigned k = Block::block(t + p, out + o);
                // A branch, not arithmetic on k, so that the next block's
                // loads wait for no test of this one's octets.
                if (k == W) [[likely]] {
                    o += W / 2;
                    p += W;
                    poor = false;
                    continue;
                }
                o += k / 2;
                p += k & ~1u;
                // The block ended at a digit alone before an octet that is
                // not one, or at such an octet: single steps from past it.
                if (k % 2 != 0) half = Half{true, octet::hex_value[t[p++]]};
                const bool now_poor = k < W / 4;
                if (now_poor && poor) singles_until = p + W;
                poor = now_poor;
                break;
            }
        }
        // Single octets until a digit that starts a pair where a block fits.
        for (;;) {
            if (p == n) return Scan{n, o, half, Stop::End};
            const std::uint8_t c = t[p];
            const std::uint8_t v = octet::hex_value[c];
            if (v < 16) {
                if (half.pending) {
                    if (o == max) return Scan{p, o, half, Stop::Full};
                    out[o++] = static_cast<std::uint8_t>((half.value << 4) | v);
                    half = Half{};
                } else {
                    if (blocks_fit()) break;
                    // A whole pair at once, the common case between
                    // whitespace.
                    const std::uint8_t low = p + 1 < n ? octet::hex_value[t[p + 1]] : 0xFF;
                    if (low < 16 && o != max) {
                        out[o++] = static_cast<std::uint8_t>((v << 4) | low);
                        p += 2;
                        continue;
                    }
                    half = Half{true, v};
                }
            } else if (!octet::is_whitespace(c)) {
                return Scan{p, o, half, c == '#' ? Stop::Close : Stop::Invalid};
            }
            ++p;
        }
    }
}

Scan decode_portable(const std::uint8_t* t, std::uint64_t n, std::uint8_t* out, std::uint64_t max, Half half) {
    return run<Words>(t, n, out, max, half);
}

#if defined(__x86_64__)
[[gnu::target(PARVEX_AVX512_TARGET), gnu::flatten]] Scan decode_avx512(const std::uint8_t* t, std::uint64_t n,
                                                                       std::uint8_t* out, std::uint64_t max,
                                                                       Half half) {
    return run<Avx512>(t, n, out, max, half);
}
[[gnu::target(PARVEX_AVX2_TARGET), gnu::flatten]] Scan decode_avx2(const std::uint8_t* t, std::uint64_t n,
                                                                   std::uint8_t* out, std::uint64_t max, Half half) {
    return run<Avx2>(t, n, out, max, half);
}
#endif

}  // namespace

Scan decode(Bytes text, std::uint8_t* out, std::uint64_t max_octets, Half carried) {
    const std::uint8_t* t = text.data();
    const std::uint64_t n = text.size();
    switch (cpu::best_path(cpu::active())) {
#if defined(__x86_64__)
        case cpu::Path::Avx512: return decode_avx512(t, n, out, max_octets, carried);
        case cpu::Path::Avx2: return decode_avx2(t, n, out, max_octets, carried);
#endif
        default: return decode_portable(t, n, out, max_octets, carried);
    }
}

}  // namespace parvex::base16
