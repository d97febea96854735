// What the reader harnesses share: the option set drawn from the first
// octets of an input, the checks that every reading result must pass, and
// builders that watch the reader keep its contract with them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decode/parser.hpp"
#include "decode/reader.hpp"
#include "decode/sexp_builder.hpp"
#include "encode/advanced.hpp"
#include "encode/canonical.hpp"
#include "encode/transport.hpp"

namespace fuzz {

using parvex::Bytes;
using parvex::Error;
using parvex::ErrorKind;
using parvex::Parser;
using parvex::Sexp;

// Unlike assert, stays on in release builds, and names the broken invariant.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

/// Octets of a string, viewed.
inline Bytes bytes(const std::string& s) { return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

// MARK: options from the input

// An input is a header of kHeader octets, then the text to read, with the
// options of parvex::parser_options in the order of that table:
//   octets 0 .. kFlagOctets-1: one bit for each flag and leniency, bit i of
//            the header's flag bits for the i-th of them
//   octet kFlagOctets: the builder event at which a failing builder gives
//            up (255: never)
//   then one octet for each limit, by `limit`
// Missing header octets count as 0xFF (every flag on, no limits), so that
// short inputs are read with everything allowed and an unbounded depth.
// fuzz/make_corpus.py reads the same table and writes the same layout.
inline constexpr std::size_t kFlags = [] {
    std::size_t n = 0;
    for (const auto& o : parvex::parser_options) n += o.kind != parvex::OptionKind::Limit;
    return n;
}();
inline constexpr std::size_t kFlagOctets = (kFlags + 7) / 8;
inline constexpr std::size_t kHeader = kFlagOctets + 1 + (parvex::parser_options.size() - kFlags);

/// A limit from one octet: small values as they are, then the edges.
constexpr std::uint64_t limit(std::uint8_t b) {
    if (b < 240) return b;
    switch (b) {
        case 240: return 1024;
        case 241: return 65536;
        case 242: return std::uint64_t{1} << 32;
        case 243: return std::uint64_t{1} << 63;
        case 244: return parvex::kNoLimit - 1;
        default: return parvex::kNoLimit;
    }
}

struct Case {
    Parser parser;
    std::uint64_t fail_at;  // builder event that fails, or kNoLimit
    Bytes text;
};

inline Case split(const std::uint8_t* data, std::size_t size) {
    std::uint8_t h[kHeader];
    for (std::size_t i = 0; i < kHeader; ++i) h[i] = i < size ? data[i] : 0xFF;
    Parser p;
    std::size_t flag = 0, octet = kFlagOctets + 1;
    for (const auto& o : parvex::parser_options) {
        if (o.kind == parvex::OptionKind::Limit) {
            o.set(p, limit(h[octet++]));
        } else {
            o.set(p, (h[flag / 8] >> (flag % 8)) & 1);
            ++flag;
        }
    }
    const std::uint64_t fail_at = h[kFlagOctets] == 255 ? parvex::kNoLimit : h[kFlagOctets];
    const std::size_t skip = size < kHeader ? size : kHeader;
    return Case{p, fail_at, Bytes(data + skip, size - skip)};
}

// MARK: checks

/// A failure names a real kind and points into the input, or at the limit
/// for an input longer than allowed.
inline void check_error(const Error& e, const Parser& p, Bytes text) {
    FUZZ_CHECK(static_cast<std::size_t>(e.kind) < parvex::error_table.size());
    if (e.kind == ErrorKind::InputTooLong) {
        FUZZ_CHECK(text.size() > p.max_input_len);
        FUZZ_CHECK(e.offset == p.max_input_len);
    } else {
        FUZZ_CHECK(text.size() <= p.max_input_len);
        FUZZ_CHECK(e.offset <= text.size());
    }
    const std::string shown = parvex::describe(e);
    FUZZ_CHECK(shown.find(" at offset ") != std::string::npos);
    // A restriction is reported only where it is on; the content of a
    // transport block, reported at its brace, is read without the advanced
    // and transport representations whatever `p` says.
    const bool at_brace = e.offset < text.size() && text[e.offset] == '{';
    for (const auto& o : parvex::parser_options) {
        if (o.kind != parvex::OptionKind::Flag || e.kind != o.refused) continue;
        const bool in_block =
            at_brace && (e.kind == ErrorKind::AdvancedNotAllowed || e.kind == ErrorKind::TransportNotAllowed);
        FUZZ_CHECK(!o.get(p) || in_block);
    }
    switch (e.kind) {
        case ErrorKind::TransportNotAllowed: FUZZ_CHECK(at_brace); break;
        // More lists or octets than the limit must have been there to see.
        case ErrorKind::TooDeep: FUZZ_CHECK(p.max_depth < text.size()); break;
        case ErrorKind::AtomTooLong: FUZZ_CHECK(p.max_atom_len < text.size()); break;
        default: break;
    }
}

/// Number of atoms and lists in a value: the events a builder receives.
inline std::uint64_t events(const Sexp& v) {
    struct Count {
        std::uint64_t n = 0;
        void open() {}
        void close() { ++n; }
        void atom(Bytes) { ++n; }
        void atom(Bytes, Bytes) { ++n; }
    } c;
    parvex::encode::walk(v, c);
    return c.n;
}

/// Each writer's output reads back, under options that allow what that
/// writer writes and the value's depth, to an equal value; the canonical
/// octets are exactly as long as `encoded_len` says, and the texts are
/// printable ASCII on one line.
inline void check_written(const Sexp& v, std::uint64_t max_depth) {
    namespace enc = parvex::encode;
    const parvex::Octets canonical = enc::canonical::to_vec(v);
    FUZZ_CHECK(enc::canonical::encoded_len(v) == canonical.size());
    Parser canon = Parser::canonical();
    canon.max_depth = max_depth;
    auto c = canon.parse(Bytes(canonical));
    FUZZ_CHECK(c && *c == v);

    Parser any = Parser::defaults();
    any.max_depth = max_depth;
    const std::string transport = enc::transport::to_string(v);
    FUZZ_CHECK(transport.size() == enc::transport::text_len(canonical.size()));
    FUZZ_CHECK(transport.front() == '{' && transport.back() == '}');
    auto t = any.parse(bytes(transport));
    FUZZ_CHECK(t && *t == v);

    const std::string advanced = enc::advanced::to_string(v);
    for (const char ch : advanced) FUZZ_CHECK(ch >= 0x20 && ch <= 0x7E);
    auto a = any.parse(bytes(advanced));
    FUZZ_CHECK(a && *a == v);
}

/// A value read under `p` keeps every restriction of `p`, told from the
/// value itself rather than by the reader that made it.
inline void check_restrictions(const Sexp& v, const Parser& p) {
    struct Sink {
        const Parser& p;
        std::uint64_t depth = 0;
        bool after_open = false;  // nothing yet in the innermost list
        void open() {
            FUZZ_CHECK(!after_open || p.allow_list_as_first_element);
            FUZZ_CHECK(++depth <= p.max_depth);
            after_open = true;
        }
        void close() {
            FUZZ_CHECK(!after_open || p.allow_empty_lists);
            --depth;
            after_open = false;
        }
        void string(Bytes s) {
            FUZZ_CHECK(s.size() <= p.max_atom_len);
            FUZZ_CHECK(!s.empty() || p.allow_empty_atoms);
        }
        void atom(Bytes data) {
            string(data);
            after_open = false;
        }
        void atom(Bytes data, Bytes hint) {
            FUZZ_CHECK(p.allow_display_hints);
            string(hint);
            atom(data);
        }
    } sink{p};
    parvex::encode::walk(v, sink);
    FUZZ_CHECK(sink.depth == 0);
}

/// A value read under `p` keeps its restrictions, is written back and reads
/// again; where `p` allows neither the advanced nor the transport
/// representation, the text read was canonical and is exactly the canonical
/// output.
inline void check_value(const Sexp& v, const Parser& p, Bytes text) {
    check_restrictions(v, p);
    check_written(v, p.max_depth);
    if (!p.allow_advanced && !p.allow_transport) {
        const parvex::Octets canonical = parvex::encode::canonical::to_vec(v);
        FUZZ_CHECK(Bytes(canonical).size() == text.size() &&
                   std::equal(canonical.begin(), canonical.end(), text.begin()));
    }
}

// MARK: builders

/// Builds core values as SexpBuilder does, checks that the reader never
/// asks for a list of more values than it has given, and gives up at
/// event `fail_at`, as a builder that runs out of memory would.
class WatchingBuilder {
public:
    // Like SexpBuilder, which it wraps, but without the short-atom fast path.
    explicit WatchingBuilder(std::uint64_t fail_at) : fail_at_(fail_at) {}
    bool atom(Bytes data) { return step(1, 0) && inner_.atom(data); }
    bool atom(Bytes data, Bytes hint) { return step(1, 0) && inner_.atom(data, hint); }
    bool list(std::uint64_t count) { return step(1, count) && inner_.list(count); }
    Sexp take() {
        FUZZ_CHECK(held_ == 1);
        return inner_.take();
    }
    std::uint64_t events() const { return events_; }

private:
    bool step(std::uint64_t pushed, std::uint64_t popped) {
        FUZZ_CHECK(!failed_);  // nothing is asked of a builder that failed
        if (events_ == fail_at_) {
            failed_ = true;
            return false;
        }
        ++events_;
        FUZZ_CHECK(popped <= held_);
        held_ = held_ - popped + pushed;
        return true;
    }
    parvex::SexpBuilder inner_;
    std::uint64_t fail_at_;
    std::uint64_t events_ = 0;
    std::uint64_t held_ = 0;
    bool failed_ = false;
};

static_assert(parvex::Builder<WatchingBuilder>);

/// A builder failure ends the read with `BuilderFailed` and nothing else,
/// and only if the read gets that far; otherwise the outcome is the one the
/// plain read had. `read(builder)` runs the read of `c`; `error` or
/// `value` is what the plain read gave.
template <class Read>
void check_builder_failure(Read read, const Case& c, const Error* error, const Sexp* value) {
    WatchingBuilder b(c.fail_at);
    auto r = read(b);
    const auto failed = [&] { return !r && std::holds_alternative<parvex::BuilderFailed>(r.error()); };
    if (value != nullptr) {
        if (c.fail_at < events(*value)) {
            FUZZ_CHECK(failed());
        } else {
            FUZZ_CHECK(r.has_value());
            FUZZ_CHECK(b.take() == *value);
        }
    } else {
        FUZZ_CHECK(failed() || (!r && r.error() == parvex::Stop{*error}));
    }
}

}  // namespace fuzz
