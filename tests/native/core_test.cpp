// Checks of the core that Python cannot reach: values far deeper than the
// Python conversions allow are read, compared, written and released without
// recursion, the base-64 codec round-trips every input of up to three
// octets, and its decoder matches a plain one around every block boundary;
// the codec's checks run once for each set of vector paths the processor
// has and once for the portable paths, and the writers' output is the same
// on every path.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base16/base16.hpp"
#include "base64/base64.hpp"
#include "cpu/features.hpp"
#include "decode/parser.hpp"
#include "decode/reader.hpp"
#include "decode/sexp_builder.hpp"
#include "encode/advanced.hpp"
#include "encode/canonical.hpp"
#include "encode/transport.hpp"
#include "types/slab.hpp"
#include "plain_base16.hpp"
#include "plain_base64.hpp"

namespace {

int failures = 0;
// While set, operator new fails: releasing a value must take no storage,
// or running out of memory there would end the process.
bool refuse_new = false;

#define CHECK(cond)                                                                 \
    do {                                                                            \
        if (!(cond)) {                                                              \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

parvex::Bytes bytes(const std::string& s) {
    return parvex::Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The octets of a value are laid out the same on every CPU: strings on
// either side of the inline limit, with every state of the hint, keep their
// octets and states through copies and moves, are never taken for lists,
// and hash to the values pinned here (the Python module's tests pin the
// same hashes).
void atom_layout() {
    const std::string octets(40, 'q');
    for (std::size_t n : {0, 1, 14, 15, 16, 17, 40}) {
        const std::string data = octets.substr(0, n);
        for (int h : {-1, 0, 15, 16}) {  // -1: no hint
            parvex::Atom a{parvex::OctetString(bytes(data)), {}};
            if (h >= 0) a.hint.emplace(bytes(octets.substr(0, static_cast<std::size_t>(h))));
            const parvex::Atom copy = a;
            const parvex::Sexp v(std::move(a));
            for (const parvex::Atom* x : {&copy, &v.atom()}) {
                CHECK(std::string(x->data.begin(), x->data.end()) == data);
                CHECK(x->hint.has_value() == (h >= 0));
                if (x->hint) CHECK(x->hint->size() == static_cast<std::size_t>(h));
            }
            CHECK(v.is_atom() && v.atom() == copy && v.atom().hash() == copy.hash());
        }
    }
    const auto hash = [](const char* data, const char* hint) {
        parvex::Atom a{parvex::OctetString(bytes(data)), {}};
        if (hint != nullptr) a.hint.emplace(bytes(hint));
        return a.hash();
    };
    CHECK(hash("", nullptr) == 0x76be999e3e25b2a0);
    CHECK(hash("abc", "text/plain") == 0x9498d16d3f357369);
    CHECK(hash("x", "") == 0x1f0f4998b8dc97a4);
    CHECK(hash("an atom of more than fifteen octets", "a hint of more than fifteen octets") == 0x153065f5c46a2842);
}

// Values far deeper than any other check builds: each is read, compared,
// written in every representation, read back from each, and released.
void deep_values() {
    constexpr std::size_t depth = 1'000'000;
    const std::string text = std::string(depth, '(') + "[1:h]1:x" + std::string(depth, ')');
    parvex::Parser p = parvex::Parser::canonical();
    p.max_depth = depth;
    auto a = p.parse(bytes(text));
    auto b = p.parse(bytes(text));
    CHECK(a && b);
    if (!a || !b) return;
    CHECK(*a == *b);
    CHECK(parvex::encode::canonical::encoded_len(*a) == text.size());
    const parvex::Octets canonical = parvex::encode::canonical::to_vec(*a);
    CHECK(std::string(canonical.begin(), canonical.end()) == text);
    const std::string advanced = parvex::encode::advanced::to_string(*a);
    CHECK(advanced == std::string(depth, '(') + "[h]x" + std::string(depth, ')'));
    const std::string transport = parvex::encode::transport::to_string(*a);
    CHECK(transport.size() == parvex::encode::transport::text_len(text.size()));
    parvex::Parser any = parvex::Parser::defaults();
    any.max_depth = depth;
    for (const std::string* written : {&advanced, &transport}) {
        auto back = any.parse(bytes(*written));
        CHECK(back && *back == *b);
    }
    // Move-assigning over a deep value releases the old one.
    // So does one whose lists hold atoms, empty lists and lists on either
    // side of the nested one; leak checkers see whether all of it went.
    std::string open, close;
    for (int i = 0; i < 1000; ++i) open += "(a()(b)", close += "17:seventeen-octets!()c)";
    auto bushy = parvex::Parser::defaults().parse(bytes(open + close));
    CHECK(bushy);
    refuse_new = true;
    *a = parvex::Sexp(parvex::Atom{});
    bushy = parvex::Sexp(parvex::Atom{});
    refuse_new = false;
    CHECK(!(*a == *b));
    p.max_depth = depth - 1;
    auto refused = p.parse(bytes(text));
    CHECK(!refused && refused.error() == (parvex::Error{depth - 1, parvex::ErrorKind::TooDeep}));
}

// A slab of several pages hands out arrays that each lie within one page,
// past its header, never overlapping, each leading back to the slab; it is
// full only once no page has room left.
void slab_pages() {
    using parvex::Slab;
    for (std::size_t pages : {std::size_t{1}, std::size_t{4}}) {
        for (std::size_t bytes : {std::size_t{8}, std::size_t{64}, std::size_t{200}, Slab::kMaxCarve}) {
            Slab* slab = Slab::make(pages);
            const auto base = reinterpret_cast<std::uintptr_t>(slab);
            std::uintptr_t last_end = base + 64;
            std::size_t n = 0;
            while (void* p = slab->carve(bytes)) {
                const auto at = reinterpret_cast<std::uintptr_t>(p);
                if (at + bytes > base + pages * Slab::kPage) {
                    CHECK(!"an array past the slab's end");
                    break;
                }
                CHECK(at >= last_end && (at - base) % Slab::kPage >= 64 &&
                      (at - base) / Slab::kPage == (at + bytes - 1 - base) / Slab::kPage && Slab::of(p) == slab);
                last_end = at + bytes;
                ++n;
            }
            CHECK(n == pages * ((Slab::kPage - 64) / bytes) && last_end <= base + pages * Slab::kPage);
            slab->drop(1);
        }
    }
}

// A large read carves the arrays of its small lists from shared slabs. Lists
// of every size around the largest carved one, taken out of the value that
// read them and released on two threads at once after that value, must keep
// their items until each is released (AddressSanitizer sees any early
// release, LeakSanitizer a slab never given back), and so must a value
// released before its builder and a read that fails after it has carved.
void carved_lists() {
    const std::size_t largest = parvex::Slab::kMaxCarve / sizeof(parvex::Sexp);
    std::string text = "(";
    std::vector<parvex::Sexp> want;
    for (std::size_t i = 0; i < 6000; ++i) {
        const std::size_t n = i % 8 == 0 ? largest - 1 + i / 8 % 3 : 2;  // one list in eight: 63, 64 or 65 items
        std::vector<parvex::Sexp> items;
        text += "(";
        for (std::size_t k = 0; k < n; ++k) {
            const std::string atom = std::to_string(i * 100 + k);
            text += std::to_string(atom.size()) + ":" + atom;
            items.emplace_back(bytes(atom));
        }
        text += ")";
        want.emplace_back(parvex::Sexp::List(std::move(items)));
    }
    // Values taken from their builder and released before it, with up to
    // a slab's worth of lists and more in their last slab.
    std::string full;  // lists of the largest size carved
    for (std::size_t i = 0; i < largest; ++i) full += "1:a";
    std::string lists;
    for (std::size_t n = 1; n <= 3 * parvex::Slab::kPage / parvex::Slab::kMaxCarve + 1; ++n) {
        lists += "(" + full + ")";
        parvex::SexpBuilder b;
        CHECK(parvex::read_whole(parvex::Parser::canonical(), bytes("(" + lists + ")"), b));
        parvex::Sexp early = b.take();
        early = parvex::Sexp(parvex::Atom{});
    }
    auto failed = parvex::parse_canonical(bytes(text + "(1:a"));
    CHECK(!failed && failed.error().kind == parvex::ErrorKind::UnexpectedEnd);
    auto v = parvex::parse_canonical(bytes(text + ")"));
    CHECK(v && v->list().size() == want.size());
    if (!v || v->list().size() != want.size()) return;
    std::size_t carved = 0;
    for (const parvex::Sexp& e : v->list()) {
        carved += e.list().carved();
        if (e.list().size() > largest) CHECK(!e.list().carved());
    }
    CHECK(carved > want.size() / 2);
    std::vector<parvex::Sexp> taken[2];
    for (std::size_t i = 0; i < want.size(); ++i) taken[i % 2].push_back(std::move(v->list()[i]));
    v = parvex::Sexp(parvex::Atom{});
    for (std::size_t i = 0; i < want.size(); ++i) CHECK(taken[i % 2][i / 2] == want[i]);
    std::thread other([&] { taken[1].clear(); });
    taken[0].clear();
    other.join();
}

// A read cut short anywhere releases what it had built: atoms on the heap
// and hinted ones, nested lists and a list of more values than the stack's
// first block (LeakSanitizer sees whatever is left behind).
void cut_reads_release() {
    std::string text;
    for (int i = 0; i < 100; ++i) text += "(20:" + std::string(20, 'h') + "[1:t]1:x";
    text += "(";
    for (int i = 0; i < 300; ++i) text += "1:w";
    text += ")(1:a1:b)" + std::string(100, ')');
    for (std::size_t cut = 1; cut < text.size(); cut += 7) {
        auto r = parvex::parse_canonical(bytes(text.substr(0, cut)));
        CHECK(!r && r.error() == (parvex::Error{cut, parvex::ErrorKind::UnexpectedEnd}));
    }
    auto whole = parvex::parse_canonical(bytes(text));
    CHECK(whole && parvex::encode::canonical::to_vec(*whole) == parvex::Octets(text.begin(), text.end()));
}

// Short atoms are copied with 16-octet moves that may read past the atom
// but never past the input: every length, mid-input and as the last atom,
// must come back exact, and the copies must not see the octets beyond.
void short_atoms() {
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string atom;
        for (std::size_t i = 0; i < n; ++i) atom += static_cast<char>('a' + i % 26);
        const std::string item = std::to_string(n) + ":" + atom;
        // Each text with the place of the atom in it (-1: the whole value).
        const std::pair<std::string, int> cases[] = {
            {item, -1}, {"(" + item + "2:zz)", 0}, {"(2:zz" + item + ")", 1}, {"(" + item + item + ")", 1}};
        for (const auto& [text, at] : cases) {
            auto v = parvex::parse_canonical(bytes(text));
            CHECK(v);
            if (!v) continue;
            const parvex::Octets out = parvex::encode::canonical::to_vec(*v);
            CHECK(std::string(out.begin(), out.end()) == text);
            const parvex::Sexp& got = at < 0 ? *v : v->list()[static_cast<std::size_t>(at)];
            CHECK(got.is_atom() && got.atom().data.size() == n &&
                  std::equal(atom.begin(), atom.end(), got.atom().data.begin()));
        }
        // The writers' branch-free form, for strings of 1 to 16 octets whose
        // 16 octets before their end are readable.
        if (n == 0 || n > 16) continue;
        const std::string backed = std::string(16, '-') + atom;
        std::uint8_t out[3 + 16 + parvex::encode::canonical::kShortStringReach] = {};
        const std::uint8_t* const end = parvex::encode::canonical::put_backed_short_string(out, bytes(backed).last(n));
        CHECK(std::string(static_cast<const std::uint8_t*>(out), end) == item);
    }
}

// A short string whose 16 octets before its end are readable is written
// with its length by whole-word moves, whichever way the machine orders
// octets in a word: each length, with other octets right before it.
void short_strings_by_window() {
    for (std::size_t n = 1; n <= 16; ++n) {
        std::uint8_t in[32], out[48];
        for (std::size_t i = 0; i < sizeof in; ++i) in[i] = static_cast<std::uint8_t>('A' + i);
        std::fill(std::begin(out), std::end(out), '.');
        const parvex::Bytes s(in + sizeof in - n, n);
        std::uint8_t* end = parvex::encode::canonical::put_backed_short_string(out, s);
        const std::string want = std::to_string(n) + ":" + std::string(s.begin(), s.end());
        CHECK(std::string(out, end) == want);
    }
}

// Values may outnumber half the octets of the input ("j()" is two in three
// octets): the builder's stack, sized from the input, must grow for them.
void dense_values() {
    for (std::size_t n = 1; n <= 2000; n = n * 3 + 1) {
        std::string text = "(";
        for (std::size_t i = 0; i < n; ++i) text += "j()";
        text += ")";
        auto v = parvex::parse(bytes(text));
        CHECK(v && v->is_list() && v->list().size() == 2 * n);
        if (v)
            CHECK(parvex::encode::advanced::to_string(*v) == text.substr(0, 1) + [&] {
                std::string s;
                for (std::size_t i = 0; i < n; ++i) s += i == 0 ? "j ()" : " j ()";
                return s;
            }() + ")");
    }
}

void base64_exhaustive() {
    std::string text;
    for (std::uint32_t n = 0; n <= 3; ++n) {
        const std::uint32_t count = n == 0 ? 1 : 1u << (8 * n);
        for (std::uint32_t v = 0; v < count; ++v) {
            std::uint8_t in[3] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                  static_cast<std::uint8_t>(v >> 16)};
            text.clear();
            parvex::base64::encode(parvex::Bytes(in, n), text);
            auto back = parvex::base64::decode(bytes(text));
            if (!back || back->size() != n || !std::equal(back->begin(), back->end(), in)) {
                std::fprintf(stderr, "base-64 round trip failed for %u octets, value %u\n", n, v);
                ++failures;
                return;
            }
        }
    }
}

// The encoder takes 24 octets at a time where the processor allows: check
// every length up to a few blocks, and every offset of the tail, against a
// plain one-group-at-a-time encoding.
void base64_long() {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uint32_t seed = 12345;
    std::vector<std::uint8_t> in;
    for (std::size_t n = 0; n <= 200; ++n) {
        in.clear();
        for (std::size_t i = 0; i < n; ++i) {
            seed = seed * 1103515245 + 12345;
            in.push_back(static_cast<std::uint8_t>(seed >> 16));
        }
        std::string expected;
        for (std::size_t i = 0; i < n; i += 3) {
            const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (i + 1 < n ? std::uint32_t{in[i + 1]} << 8 : 0) |
                                    (i + 2 < n ? in[i + 2] : 0);
            expected += alphabet[v >> 18];
            expected += alphabet[(v >> 12) & 63];
            expected += i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
            expected += i + 2 < n ? alphabet[v & 63] : '=';
        }
        std::string got;
        parvex::base64::encode(parvex::Bytes(in), got);
        auto back = parvex::base64::decode(bytes(got));
        if (got != expected || !back || *back != in) {
            std::fprintf(stderr, "base-64 of %zu octets differs\n", n);
            ++failures;
            return;
        }
    }
}

// The decoder takes 32 alphabet characters at a time where the processor
// allows, and anything else one character at a time. Around every block
// boundary of texts up to a few blocks long, with padded and unpadded ends,
// one octet that is not an alphabet character replaces or precedes each
// character in turn; decoded octets, and offsets of failures, must match
// the plain decoder's. Each text sits in a buffer of exactly its length, so
// that a sanitized build sees any read past it.
bool same_as_plain(const std::vector<std::uint8_t>& text) {
    const auto got = parvex::base64::decode(parvex::Bytes(text));
    const auto want = plain::decode(parvex::Bytes(text));
    if (got.has_value() == want.ok && (got ? *got == want.octets : got.error().offset == want.offset)) return true;
    std::fprintf(stderr, "base-64 decoding of \"%s\" differs from the plain decoder's\n",
                 std::string(text.begin(), text.end()).c_str());
    ++failures;
    return false;
}

void base64_blocks() {
    std::uint32_t seed = 4242;
    std::vector<std::uint8_t> in;
    for (std::size_t m = 20; m <= 76; ++m) {  // texts of 28 to 104 characters
        in.clear();
        for (std::size_t i = 0; i < m; ++i) {
            seed = seed * 1103515245 + 12345;
            in.push_back(static_cast<std::uint8_t>(seed >> 16));
        }
        std::string encoded;
        parvex::base64::encode(parvex::Bytes(in), encoded);
        const std::vector<std::uint8_t> base(encoded.begin(), encoded.end());
        if (!same_as_plain(base)) return;
        for (const std::uint8_t odd : {' ', '\n', '=', '*', '-', '\0', '\x80', '\xff'}) {
            for (std::size_t p = 0; p <= base.size(); ++p) {
                std::vector<std::uint8_t> text = base;
                text.insert(text.begin() + static_cast<std::ptrdiff_t>(p), odd);
                if (!same_as_plain(text)) return;
                if (p == base.size()) continue;
                text = base;
                text[p] = odd;
                if (!same_as_plain(text)) return;
            }
        }
    }
    // Every octet value at every position of two blocks and a bit.
    std::string encoded;
    parvex::base64::encode(parvex::Bytes(in.data(), 54), encoded);
    const std::vector<std::uint8_t> base(encoded.begin(), encoded.end());
    for (std::size_t p = 0; p < base.size(); ++p) {
        for (unsigned v = 0; v < 256; ++v) {
            std::vector<std::uint8_t> text = base;
            text[p] = static_cast<std::uint8_t>(v);
            if (!same_as_plain(text)) return;
        }
    }
}

// The hexadecimal decoder takes 16, 32 or 64 octets at a time by path, and
// single octets around anything that is not a digit. Texts of random
// digits up to a few blocks long, with one octet of each kind that can stop
// or interrupt them put before or in place of each octet in turn, lines of
// every length, every limit on the octets decoded, and every split into
// two calls that carry a digit over, must give the plain decoder's octets
// and report. Each text sits in a buffer of exactly its length, and each
// output in one of exactly `decode_room`, so that a sanitized build sees
// any access past them.
bool same_as_plain16(const std::vector<std::uint8_t>& text, std::uint64_t max = parvex::kNoLimit, bool splits = false) {
    namespace b16 = parvex::base16;
    const parvex::Bytes all(text);
    std::vector<std::uint8_t> want;
    const b16::Scan want_scan = plain::decode16(all, want, max);
    std::vector<std::uint8_t> out(b16::decode_room(text.size(), max));
    const b16::Scan got = b16::decode(all, out.data(), max);
    bool same = got == want_scan && std::equal(want.begin(), want.end(), out.begin());
    // Split, the second call taking what the first left over, where the
    // first ran to its end.
    for (std::size_t cut = 0; same && splits && cut <= text.size(); cut += 1 + cut / 8) {
        const std::vector<std::uint8_t> head(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(cut)),
            tail(text.begin() + static_cast<std::ptrdiff_t>(cut), text.end());
        std::vector<std::uint8_t> first(b16::decode_room(cut, max)), second(b16::decode_room(tail.size(), max));
        const b16::Scan a = b16::decode(parvex::Bytes(head), first.data(), max);
        if (a.stop != b16::Stop::End) continue;
        b16::Scan b = b16::decode(parvex::Bytes(tail), second.data(), max, a.half);
        first.resize(a.octets);
        first.insert(first.end(), second.begin(), second.begin() + static_cast<std::ptrdiff_t>(b.octets));
        b.read += cut;
        b.octets += a.octets;
        same = b == want_scan && first == want;
    }
    if (same) return true;
    std::fprintf(stderr, "hexadecimal decoding of \"%s\" (at most %llu octets) differs from the plain decoder's\n",
                 std::string(text.begin(), text.end()).c_str(), static_cast<unsigned long long>(max));
    ++failures;
    return false;
}

void base16_blocks() {
    static constexpr char digits[] = "0123456789abcdefABCDEF";
    std::uint32_t seed = 1604;
    const auto random_digits = [&](std::size_t n) {
        std::vector<std::uint8_t> t;
        for (std::size_t i = 0; i < n; ++i) {
            seed = seed * 1103515245 + 12345;
            t.push_back(static_cast<std::uint8_t>(digits[(seed >> 16) % 22]));
        }
        return t;
    };
    for (std::size_t n = 0; n <= 140; ++n) {
        const std::vector<std::uint8_t> base = random_digits(n);
        for (std::uint64_t max = 0; max <= n / 2 + 1; ++max)
            if (!same_as_plain16(base, max)) return;
        if (!same_as_plain16(base, parvex::kNoLimit, true)) return;
        for (const std::uint8_t odd : {' ', '\t', '\n', '\v', '\f', '\r', '#', '/', ':', '@', 'G', '`', 'g', '\0',
                                       '\x80', '\xb0', '\xc1', '\xff'}) {
            for (std::size_t p = 0; p <= n; ++p) {
                std::vector<std::uint8_t> text = base;
                text.insert(text.begin() + static_cast<std::ptrdiff_t>(p), odd);
                if (!same_as_plain16(text, parvex::kNoLimit, odd == ' ' || odd == '\n') ||
                    !same_as_plain16(text, p / 3))
                    return;
                if (p == n) continue;
                text = base;
                text[p] = odd;
                if (!same_as_plain16(text)) return;
            }
        }
    }
    // Every octet value at every position of two blocks and a bit.
    const std::vector<std::uint8_t> base = random_digits(150);
    for (std::size_t p = 0; p < base.size(); ++p) {
        for (unsigned v = 0; v < 256; ++v) {
            std::vector<std::uint8_t> text = base;
            text[p] = static_cast<std::uint8_t>(v);
            if (!same_as_plain16(text)) return;
        }
    }
    // Lines of every length, broken and indented as a writer might.
    for (const char* br : {"\n", "\r\n    ", " "}) {
        for (std::size_t line = 1; line <= 70; ++line) {
            std::vector<std::uint8_t> text;
            const std::vector<std::uint8_t> d = random_digits(300);
            for (std::size_t i = 0; i < d.size(); ++i) {
                if (i != 0 && i % line == 0) text.insert(text.end(), br, br + std::strlen(br));
                text.push_back(d[i]);
            }
            text.push_back('#');
            if (!same_as_plain16(text, parvex::kNoLimit, true) || !same_as_plain16(text, line)) return;
        }
    }
}

// Each set of vector paths the processor has, then the portable paths.
constexpr parvex::cpu::Features kEveryPath{true, true, true, true, true};

// Tokens and quoted strings of every length around the reader's 16-octet
// steps, ended by an octet that ends one, by one that cannot follow, or by
// the end of the input, at every distance from it: read as their verbatim
// forms are, or failing at that octet.
void token_and_quoted_runs() {
    const parvex::Parser p = parvex::Parser::defaults();
    parvex::Parser high = p;
    high.allow_8bit_in_quoted = true;
    const auto same = [](const parvex::Parser& with, const std::string& text, const std::string& verbatim) {
        const auto got = with.parse(bytes(text));
        const auto want = parvex::Parser::defaults().parse(bytes(verbatim));
        CHECK(got && want && *got == *want);
    };
    const auto fails_at = [&](const std::string& text, std::uint64_t offset) {
        const auto got = p.parse(bytes(text));
        CHECK(!got && got.error().offset == offset);
    };
    const std::string tokens = "aZ09*+-./:=_aZ09*+-./:=_aZ09*+-./:=_aZ09";
    const std::string plain = "ab c~!'()[]{}|#:ab c~!'()[]{}|#:ab c~!'(";
    for (std::size_t n = 1; n <= tokens.size(); ++n)
        for (std::size_t pad = 0; pad <= 17; ++pad) {
            const std::string t = tokens.substr(0, n), q = plain.substr(0, n), spaces(pad, ' ');
            const std::string len = std::to_string(n) + ":", twice = std::to_string(2 * n + 1) + ":";
            same(p, "(" + t + spaces + ")", "(" + len + t + ")");
            same(p, "(" + t + "\"x\"" + spaces + ")", "(" + len + t + "1:x)");
            same(p, t + spaces, len + t);
            fails_at("(" + t + "," + spaces + ")", 1 + n);
            same(p, "(\"" + q + "\"" + spaces + ")", "(" + len + q + ")");
            same(p, "(\"" + q + "\\n" + q + "\"" + spaces + ")", "(" + twice + q + "\n" + q + ")");
            fails_at("(\"" + q + "\x7f\"" + spaces + ")", 2 + n);
            same(high, "(\"" + q + "\xe9" + q + "\"" + spaces + ")", "(" + twice + q + "\xe9" + q + ")");
            fails_at("(\"" + q + "\xe9" + q + "\"" + spaces + ")", 2 + n);
        }
}

void on_each_path(void (*check)()) {
    const parvex::cpu::Features before = parvex::cpu::restrict_to(kEveryPath);
    for (const parvex::cpu::Features f :
         {kEveryPath, parvex::cpu::Features{true, true, false, false}, parvex::cpu::kPortable}) {
        parvex::cpu::restrict_to(f);
        check();
    }
    parvex::cpu::restrict_to(before);
}

// Atoms of every length up to a few vector steps in each of the advanced
// writer's forms, alone and hinted, written on each path: the texts must be
// those of the portable path.
// The same strings as sent by the Python binding: with the 16 octets before
// each string's end readable (as in a bytes object), each through a writer
// of path P by `backed_atom`, or in runs of 0, 1, 2... strings by
// `backed_atoms`, which cross the room a run asks for many times.
template <parvex::cpu::Path P>
std::pair<std::string, std::string> backed_texts(const std::vector<std::string>& strings, bool runs) {
    namespace enc = parvex::encode;
    std::vector<std::vector<std::uint8_t>> backed;
    for (const std::string& s : strings) {
        backed.emplace_back(16, '#');
        backed.back().insert(backed.back().end(), s.begin(), s.end());
    }
    struct Run {
        const std::vector<std::vector<std::uint8_t>>& backed;
        std::size_t at, end;
        bool next(parvex::Bytes& b) {
            if (at == end) return false;
            b = parvex::Bytes(backed[at].data() + 16, backed[at].size() - 16);
            ++at;
            return true;
        }
        std::size_t most() const { return end - at; }
    };
    enc::advanced::BasicWriter<enc::TextOut, P> advanced;
    enc::canonical::BasicWriter<enc::TextOut, P> canonical;
    advanced.open();
    for (std::size_t at = 0, n = 0; at < backed.size(); at += runs ? n++ : 1) {
        const std::size_t end = runs ? std::min(backed.size(), at + n) : at + 1;
        Run a{backed, at, end}, c{backed, at, end};
        if (runs) {
            advanced.backed_atoms(a);
            canonical.backed_atoms(c);
        } else {
            parvex::Bytes b;
            a.next(b);
            advanced.backed_atom(b);
            canonical.backed_atom(b);
        }
    }
    advanced.close();
    return {enc::text_of(advanced.out()), enc::text_of(canonical.out())};
}

// Atoms of every length up to a few vector steps in each of the advanced
// writer's forms, alone and hinted, written on each path: the texts must be
// those of the portable path.
void writers_on_every_path() {
    using parvex::Atom;
    using parvex::Sexp;
    using parvex::cpu::Path;
    std::vector<std::string> strings;
    std::vector<Sexp> items;
    for (const char fill : {'A', '9', ' ', '"', '\\', '\t', '\x80', '\0'}) {
        for (std::size_t n = 0; n <= 140; ++n) {
            std::string s(n, 'k');
            if (n != 0) s[n / 2] = fill;
            strings.push_back(s);
            if (n != 0) strings.push_back(fill + s.substr(1));
            const parvex::Bytes b = bytes(s);
            items.emplace_back(b);
            items.emplace_back(Atom{parvex::OctetString(b), parvex::OctetString(bytes(s.substr(0, n / 3)))});
        }
    }
    const Sexp value{Sexp::List(std::move(items))};
    const auto texts = [&] {
        return std::tuple(parvex::encode::advanced::to_string(value), parvex::encode::transport::to_string(value),
                          parvex::encode::canonical::to_vec(value));
    };
    const parvex::cpu::Features before = parvex::cpu::restrict_to(parvex::cpu::kPortable);
    const auto portable = texts();
    for (const parvex::cpu::Features f : {parvex::cpu::Features{true, true, false, false}, kEveryPath}) {
        parvex::cpu::restrict_to(f);
        CHECK(texts() == portable);
    }
    parvex::cpu::restrict_to(before);

    const auto plain = backed_texts<Path::Portable>(strings, false);
    std::string want_advanced = "(", want_canonical;
    for (const std::string& s : strings) {
        parvex::encode::advanced::write_octet_string(bytes(s), want_advanced);
        want_advanced += ' ';
        want_canonical += std::to_string(s.size()) + ":" + s;
    }
    want_advanced.back() = ')';
    CHECK(plain == std::pair(want_advanced, want_canonical));
    for (const bool runs : {false, true}) {
        if (runs) CHECK(backed_texts<Path::Portable>(strings, runs) == plain);
#if defined(__x86_64__)
        CHECK(backed_texts<Path::Sse2>(strings, runs) == plain);
        const parvex::cpu::Features was = parvex::cpu::restrict_to(kEveryPath);
        const parvex::cpu::Features f = parvex::cpu::restrict_to(was);  // what the processor has
        if (f.avx2) CHECK(backed_texts<Path::Avx2>(strings, runs) == plain);
        if (f.avx512vbmi) CHECK(backed_texts<Path::Avx512>(strings, runs) == plain);
#endif
    }
}

// Reading a stream as it arrives, in pieces of any size: the value is the
// one a whole read gives, each element is built once, and a string cut short
// is read again only once an octet that could end it has arrived.
void stream_pieces() {
    struct Counting : parvex::SexpBuilder {
        Counting() = default;
        std::size_t steps = 0;
        bool atom(parvex::Bytes d) { return ++steps, SexpBuilder::atom(d); }
        bool atom_overread(parvex::Bytes d) { return ++steps, SexpBuilder::atom_overread(d); }
        bool atom(parvex::Bytes d, parvex::Bytes h) { return ++steps, SexpBuilder::atom(d, h); }
        bool list(std::uint64_t n) { return ++steps, SexpBuilder::list(n); }
    };
    const std::string texts[] = {
        "(a \"" + std::string(100000, 'q') + "\" #" + std::string(20000, 'f') + "# |" + std::string(40000, 'Q') +
            "| 8:verbatim [t]" + std::string(30000, 'z') + " (b (c)) tok) ",
        "{" + std::string(40000, ' ') + "KDE6YSk=} ",  // "(1:a)", in a block of spaces
    };
    const parvex::Parser p = parvex::Parser::defaults();
    for (const std::string& text : texts)
        for (const std::size_t piece : {1, 7, 4096, 100000}) {
            const parvex::Bytes all = bytes(text);
            Counting whole, b;
            const auto want = parvex::read_prefix(p, all, whole);
            parvex::Suspended state;
            std::size_t reads = 0;
            for (std::size_t end = piece;; end += piece) {
                const parvex::Bytes input = all.first(std::min(end, all.size()));
                const bool more = input.size() < all.size();
                if (state.waiting && more && !parvex::ready(state.wait, input, p)) continue;
                ++reads;
                const auto r = parvex::read_on(p, input, more, state, b);
                if (!r && state.waiting) continue;
                CHECK(want && r && *r == want->consumed && b.take() == whole.take());
                break;
            }
            CHECK(b.steps == whole.steps && reads <= 80);
        }
}

}  // namespace

// Not inlined: g++ would take malloc() in one and free() in the other for
// a mismatch with the new and delete around them.
[[gnu::noinline]] void* operator new(std::size_t n) {
    void* p = refuse_new ? nullptr : std::malloc(n != 0 ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main() {
    atom_layout();
    deep_values();
    dense_values();
    slab_pages();
    carved_lists();
    cut_reads_release();
    short_atoms();
    short_strings_by_window();
    writers_on_every_path();
    on_each_path(base64_exhaustive);
    on_each_path(base64_long);
    on_each_path(base64_blocks);
    on_each_path(base16_blocks);
    on_each_path(token_and_quoted_runs);
    stream_pieces();
    if (failures != 0) return EXIT_FAILURE;
    std::puts("core checks passed");
    return EXIT_SUCCESS;
}
