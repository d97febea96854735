// The reader's option set: three size limits and the nine reader
// restrictions of RFC 9804 §8, each a flag that allows one construct.
#pragma once

#include <cstdint>
#include <limits>

#include "decode/error.hpp"
#include "types/sexp.hpp"

namespace parvex {

inline constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::uint64_t kDefaultMaxDepth = 1024;

/// A value read from the front of an input, and the octets it took.
struct Prefix {
    Sexp value;
    std::uint64_t consumed;
};

struct Parser {
    std::uint64_t max_depth = kDefaultMaxDepth;  // lists open at once
    std::uint64_t max_atom_len = kNoLimit;       // decoded octets of one string
    std::uint64_t max_input_len = kNoLimit;      // octets of the input
    bool allow_advanced = true;                  // §6.4, and all whitespace
    bool allow_transport = true;                 // §6.3 "{...}"
    bool allow_display_hints = true;
    bool allow_empty_atoms = true;
    bool allow_empty_lists = true;
    bool allow_list_as_first_element = true;
    bool allow_hexadecimal = true;
    bool allow_base64 = true;
    bool allow_lengths = true;                   // a length before "..." #...# |...|
    // Not a restriction of §8 but a leniency, off by default: octets 0x80
    // to 0xFF as they are inside a quoted string, as GnuPG writes them in
    // its key files.
    bool allow_8bit_in_quoted = false;

    /// Accepts every representation of §6.
    static constexpr Parser defaults() { return Parser{}; }
    /// Accepts exactly the canonical representation of §6.2.
    static constexpr Parser canonical() {
        Parser p;
        p.allow_advanced = false;
        p.allow_transport = false;
        return p;
    }
    /// The options for the content of a transport block: canonical, with
    /// this parser's limits and remaining restrictions.
    constexpr Parser for_transport_content() const {
        Parser p = *this;
        p.allow_advanced = false;
        p.allow_transport = false;
        return p;
    }

    /// Reads one S-expression that is the whole input (trailing whitespace
    /// allowed with the advanced representation).
    [[nodiscard]] Result<Sexp> parse(Bytes input) const;
    /// Reads one S-expression from the front of the input; what follows it
    /// is not examined.
    [[nodiscard]] Result<Prefix> parse_prefix(Bytes input) const;
};

/// Reads any representation under the default options.
[[nodiscard]] Result<Sexp> parse(Bytes input);
/// Reads the canonical representation only.
[[nodiscard]] Result<Sexp> parse_canonical(Bytes input);

}  // namespace parvex
