// The advanced representation (RFC 9804 §6.4) on one line: each octet
// string as a token, a quoted string or hexadecimal, whichever the first of
// those rules allows; list elements separated by single spaces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/features.hpp"
#include "encode/canonical.hpp"
#include "encode/output.hpp"
#include "encode/sink.hpp"
#include "types/copy.hpp"
#include "types/octet_classes.hpp"
#include "types/sexp.hpp"

namespace parvex::encode::advanced {

/// How one octet string is written. A quoted string that needs no escape
/// is told apart, as it is written by a plain copy.
enum class Form : std::uint8_t { Token, PlainQuoted, Quoted, Hexadecimal };

/// The form of an octet string, one octet at a time: a token if it can be
/// one, else a quoted string if every octet is printable or an escapable
/// control, else hexadecimal.
inline Form form_of(Bytes s) {
    // The classes every octet shares, four octets a step; the first octet
    // that is not quotable settles it.
    std::uint8_t all = octet::kTokenOctet | octet::kQuotable | octet::kQuotePlain;
    const std::uint8_t* p = s.data();
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (; i + 4 <= n && (all & octet::kQuotable); i += 4)
        all &= octet::class_table[p[i]] & octet::class_table[p[i + 1]] & octet::class_table[p[i + 2]] &
               octet::class_table[p[i + 3]];
    for (; i < n; ++i) all &= octet::class_table[p[i]];
    if (n != 0 && (all & octet::kTokenOctet) && octet::is_token_start(p[0])) return Form::Token;
    if (all & octet::kQuotePlain) return Form::PlainQuoted;
    return (all & octet::kQuotable) ? Form::Quoted : Form::Hexadecimal;
}

/// The most characters any form of `n` octets takes: hexadecimal, or a
/// quoted string with every octet escaped.
constexpr std::size_t most(std::size_t n) { return 2 * n + 2; }

/// Writes `s` as a quoted string with escapes where needed; returns one
/// past the closing quote.
std::uint8_t* put_quoted(std::uint8_t* out, Bytes s);
/// Writes `s` in hexadecimal on `path` (the vector paths store only within
/// the text); returns one past the closing "#".
std::uint8_t* put_hexadecimal(std::uint8_t* out, Bytes s, cpu::Path path);

/// Whether every token octet stands plain in a quoted string.
constexpr bool tokens_quote_plain() {
    for (const std::uint8_t c : octet::class_table)
        if ((c & octet::kTokenOctet) && !(c & octet::kQuotePlain)) return false;
    return true;
}

/// How a short string is written, from the masks of its octets that are
/// not token octets and that do not stand plain in a quoted string, and
/// whether its first octet may start a token: 0 as a token, 1 as a quoted
/// string without escapes, 2 otherwise. In a run of atoms tokens and quoted
/// strings mix at random, so the writers store both the same way there
/// (`Mixed`), the string at `p + quoted` between two quotes, with no branch
/// on which it is. An atom alone or in a short run, most often a list's
/// head or a token, takes a branch instead: predicted, it lets the place of whatever follows
/// be known before the string's classes are.
inline unsigned quoted_short(unsigned not_token, unsigned not_plain, bool starts_token) {
    static_assert(tokens_quote_plain(), "a string that is not plain is not a token");
    const unsigned quoted = static_cast<unsigned>(not_token != 0) | !starts_token;
    return quoted + static_cast<unsigned>(not_plain != 0);
}

#if defined(__x86_64__)
/// Bit i set where octet i of `x` is a token octet, printable but for the
/// double quote and the backslash, or quotable (printable or an escapable
/// control): the classes of octet::class_table, sixteen octets at a time
/// with SSE2, which every x86-64 processor has.
struct Classes {
    unsigned token, plain, quotable;
};

[[gnu::always_inline]] inline Classes classes_of(__m128i x) {
    const __m128i printable = octet::within_sse2(x, 0x20, 0x7E);
    const __m128i plain = octet::quote_plain_sse2(x, printable);
    const __m128i quotable = _mm_or_si128(printable, octet::within_sse2(x, 0x07, 0x0D));
    return {static_cast<unsigned>(_mm_movemask_epi8(octet::token_octets_sse2(x))),
            static_cast<unsigned>(_mm_movemask_epi8(plain)), static_cast<unsigned>(_mm_movemask_epi8(quotable))};
}

/// A token or a quoted string without escapes of 1 to 32 octets, in one
/// step without branches on its length, with AVX-512 masked
/// loads that read no octet past the string; nullptr, having written nothing
/// that counts, for any other string. Stores run up to 33 octets past `p`.
template <bool Mixed>
[[gnu::target(PARVEX_AVX512_TARGET)]] inline std::uint8_t* put_short_avx512(std::uint8_t* p, Bytes s) {
    const std::size_t n = s.size();
    if (n - 1 >= 32) return nullptr;
    const __mmask32 mine = _bzhi_u32(~0u, static_cast<unsigned>(n));
    const __m256i x = _mm256_maskz_loadu_epi8(mine, s.data());
    // The classes of octet::class_table, looked up by one permute across
    // its first 128 entries; an octet from 0x80 up is in neither class.
    const __m512i classes =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(octet::class_table.data()), _mm512_castsi256_si512(x),
                                 _mm512_loadu_si512(octet::class_table.data() + 64));
    // The two classes are the top two bits of a class octet, so each is
    // read off as sign bits, with no constant to build.
    static_assert(octet::kQuotePlain == 0x80 && octet::kTokenOctet == 0x40);
    const std::uint32_t ascii = mine & ~static_cast<std::uint32_t>(_mm256_movepi8_mask(x));
    const auto token = static_cast<std::uint32_t>(_mm512_movepi8_mask(_mm512_add_epi8(classes, classes)));
    // The first octet's class is the first of `classes` (valid where that
    // octet is below 0x80, as a token's are).
    const bool starts_token = _mm512_cvtsi512_si32(classes) & octet::kTokenStart;
    if (!Mixed && (token & ascii) == mine && starts_token) {  // the other class is not needed
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), x);
        return p + n;
    }
    const auto plain = static_cast<std::uint32_t>(_mm512_movepi8_mask(classes));
    const unsigned quoted = quoted_short(mine & ~(token & ascii), mine & ~(plain & ascii), starts_token);
    if (quoted > 1) return nullptr;
    p[0] = '"';
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + quoted), x);
    p[quoted + n] = '"';
    return p + n + 2 * quoted;
}

/// For each low nibble, the high nibbles (0 to 7, one bit each) that make an
/// octet of class `k` with it; octets from 0x80 up are in neither class the
/// tables serve. Two octet shuffles then test 16 octets at once.
constexpr std::array<std::uint8_t, 16> make_nibble_table(std::uint8_t k) {
    std::array<std::uint8_t, 16> t{};
    for (unsigned lo = 0; lo < 16; ++lo)
        for (unsigned hi = 0; hi < 8; ++hi)
            if (octet::class_table[hi << 4 | lo] & k) t[lo] = static_cast<std::uint8_t>(t[lo] | 1u << hi);
    return t;
}

inline constexpr std::array<std::uint8_t, 16> kTokenByLow = make_nibble_table(octet::kTokenOctet);
inline constexpr std::array<std::uint8_t, 16> kPlainByLow = make_nibble_table(octet::kQuotePlain);
inline constexpr std::array<std::uint8_t, 16> kHighBit = {1, 2, 4, 8, 16, 32, 64, 128, 0, 0, 0, 0, 0, 0, 0, 0};

// Bit i set where octet i is not in the class whose table is `table`,
// given its low nibbles and the bit of its high nibble.
[[gnu::target(PARVEX_AVX2_TARGET)]] inline unsigned not_in_class(const std::array<std::uint8_t, 16>& table, __m128i low,
                                                                 __m128i high) {
    const __m128i hit =
        _mm_and_si128(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())), low), high);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(hit, _mm_setzero_si128())));
}

/// A token or a quoted string without escapes of 1 to 16 octets, whose 16
/// octets before its end are readable, with AVX2's octet shuffles: nullptr,
/// having written nothing that counts, for any other string. Stores run up
/// to 17 octets past `p`.
template <bool Mixed>
[[gnu::target(PARVEX_AVX2_TARGET)]] inline std::uint8_t* put_short_avx2(std::uint8_t* p, Bytes s) {
    const std::size_t n = s.size();
    if (n - 1 >= 16) return nullptr;
    const __m128i x = canonical::window_avx2(s);  // the string, then zeros
    const __m128i low = _mm_and_si128(x, _mm_set1_epi8(0x0F));
    const __m128i high = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kHighBit.data())),
                                          _mm_and_si128(_mm_srli_epi16(x, 4), _mm_set1_epi8(0x0F)));
    const unsigned mine = (1u << n) - 1;
    const unsigned not_token = not_in_class(kTokenByLow, low, high) & mine;
    const bool starts_token = octet::is_token_start(s[0]);
    if (!Mixed && not_token == 0 && starts_token) {  // the other class is not needed
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), x);
        return p + n;
    }
    const unsigned quoted = quoted_short(not_token, not_in_class(kPlainByLow, low, high) & mine, starts_token);
    if (quoted > 1) return nullptr;
    p[0] = '"';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + quoted), x);
    p[quoted + n] = '"';
    return p + n + 2 * quoted;
}

/// `form_of` for a string of at least 16 octets, sixteen at a time.
inline Form form_of_sse2(Bytes s) {
    const std::uint8_t* p = s.data();
    const std::size_t n = s.size();
    unsigned token = 0xFFFF, plain = 0xFFFF, quotable = 0xFFFF;
    for (std::size_t i = 0;; i += 16) {
        // The last step takes the 16 octets that end the string, some again.
        const std::size_t at = i + 16 <= n ? i : n - 16;
        const Classes c = classes_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)));
        token &= c.token;
        plain &= c.plain;
        quotable &= c.quotable;
        if (quotable != 0xFFFF) return Form::Hexadecimal;
        if (at + 16 == n) break;
    }
    if (token == 0xFFFF && octet::is_token_start(p[0])) return Form::Token;
    return plain == 0xFFFF ? Form::PlainQuoted : Form::Quoted;
}
#endif

/// Writes the advanced text of each event to a growing output. Elements of
/// a list are separated by one space, written before anything that follows
/// an element. `P` chooses the vector paths (x86-64 only).
template <Output Out, cpu::Path P>
class BasicWriter {
    static_assert(Out::kGrows, "the advanced text is not sized in advance");

public:
    template <class... Args>
    explicit BasicWriter(Args&&... args) : out_(std::forward<Args>(args)...) {}

    void open() {
        std::uint8_t* p = gap(out_.room(2));
        *p++ = '(';
        out_.commit(p);
        gap_ = 0;
    }
    void close() {
        out_.octet(')');
        gap_ = 1;
    }
    void atom(Bytes data) { element(data, false); }
    void backed_atom(Bytes data) { element(data, true); }
    template <BackedRun R>
    void backed_atoms(R& run) {
        Bytes b;
        if (run.most() <= kFewAtoms) {  // written as atoms alone (quoted_short says why)
            while (run.next(b)) element(b, true);
            return;
        }
        if (!run.next(b)) return;
        std::size_t gap = gap_;
        for (;;) {
            std::uint8_t* p = out_.room(kRunRoom);
            std::uint8_t* const last = p + (kRunRoom - kShortRoom);  // the last place a short string fits
            while (b.size() - 1 < kShortest && p <= last) {
                *p = ' ';
                p += gap;
                gap = 1;
                std::uint8_t* end = put_short<true>(p, b, true);
                p = end != nullptr ? end : put(p, b);
                if (!run.next(b)) {
                    out_.commit(p);
                    gap_ = 1;
                    return;
                }
            }
            out_.commit(p);
            gap_ = gap;
            if (b.size() - 1 < kShortest) continue;  // the room ran out
            element(b, true);
            gap = 1;
            if (!run.next(b)) return;
        }
    }
    void atom(Bytes data, Bytes hint) {
        std::uint8_t* p = gap(out_.room(most(hint.size()) + most(data.size()) + 2 + 1 + kReach));
        *p++ = '[';
        p = put(p, hint);
        *p++ = ']';
        out_.commit(put(p, data));
        gap_ = 1;
    }
    Out& out() { return out_; }

private:
    // How far past its end the short-string paths may store.
    static constexpr std::size_t kReach = 33;
    // The longest string a run writes without asking for room, and the room
    // it takes: a space, then any form of it, or a short path's stores.
    static constexpr std::size_t kShortest = 32;
    static constexpr std::size_t kShortRoom = 1 + most(kShortest) + kReach;
    // The most atoms a run holds that is written as atoms alone: the head
    // of a short list and its few parameters, most often tokens, as keys
    // and certificates have them, where a longer run holds data.
    static constexpr std::size_t kFewAtoms = 4;
    static_assert(kShortRoom <= kRunRoom);

    // A space where an element came before: written always, kept or not.
    std::uint8_t* gap(std::uint8_t* p) {
        *p = ' ';
        return p + gap_;
    }
    void element(Bytes data, bool backed) {
        std::uint8_t* p = gap(out_.room(most(data.size()) + 1 + kReach));
        if (std::uint8_t* end = put_short<false>(p, data, backed)) {
            out_.commit(end);
        } else {
            out_.commit(put(p, data));
        }
        gap_ = 1;
    }

    // A token or a quoted string without escapes, short enough for this
    // path to write in one step; nullptr for any other string. `Mixed`: in
    // a run (quoted_short says why).
    template <bool Mixed>
    static std::uint8_t* put_short(std::uint8_t* p, Bytes s, bool backed) {
#if defined(__x86_64__)
        if constexpr (P == cpu::Path::Avx512) {
            return put_short_avx512<Mixed>(p, s);
        } else if constexpr (P == cpu::Path::Avx2) {
            return backed ? put_short_avx2<Mixed>(p, s) : nullptr;
        } else if constexpr (P == cpu::Path::Sse2) {
            // 1 to kWindow octets whose window before their end is readable.
            const std::size_t n = s.size();
            static_assert(kWindow == sizeof(__m128i));
            if (!backed || n - 1 >= kWindow) return nullptr;
            const Classes c = classes_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + n - 16)));
            const unsigned mine = (0xFFFFu << (16 - n)) & 0xFFFF;  // its own octets are the top n
            const unsigned quoted = quoted_short(mine & ~c.token, mine & ~c.plain, octet::is_token_start(s[0]));
            const unsigned __int128 w = canonical::window_of(s);
            if (!Mixed && quoted == 0) {
                std::memcpy(p, &w, sizeof w);
                return p + n;
            }
            if (quoted > 1) return nullptr;
            p[0] = '"';
            std::memcpy(p + quoted, &w, sizeof w);
            p[quoted + n] = '"';
            return p + n + 2 * quoted;
        }
#endif
        (void)p;
        (void)s;
        (void)backed;
        return nullptr;
    }

    // Any string, its form found first.
    [[gnu::noinline]] static std::uint8_t* put(std::uint8_t* p, Bytes s) {
        const std::size_t n = s.size();
#if defined(__x86_64__)
        const Form f = (P != cpu::Path::Portable && n >= 16) ? form_of_sse2(s) : form_of(s);
#else
        const Form f = form_of(s);
#endif
        switch (f) {
            case Form::Token: copy_octets(p, s.data(), n); return p + n;
            case Form::PlainQuoted:
                *p++ = '"';
                copy_octets(p, s.data(), n);
                p += n;
                *p++ = '"';
                return p;
            case Form::Quoted: return put_quoted(p, s);
            case Form::Hexadecimal: break;
        }
        return put_hexadecimal(p, s, P);
    }

    Out out_;
    std::size_t gap_ = 0;  // 1 after an element: the next one takes a space
};

static_assert(BackedSink<BasicWriter<TextOut, cpu::Path::Portable>> &&
              BackedSink<BasicWriter<TextOut, cpu::Path::Avx512>>);

/// Appends the advanced form of one octet string (data or hint) to `out`.
void write_octet_string(Bytes octets, std::string& out);

/// The advanced text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::advanced
