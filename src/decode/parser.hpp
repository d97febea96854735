// The reader's option set: three size limits, the nine reader restrictions
// of RFC 9804 §8 (each a flag that allows one construct), and leniencies
// that no standard reader needs. Each option is declared once, in the table
// below; the fields, the binding's keywords and documentation, and the
// fuzzers' option headers are all derived from it.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

#include "decode/error.hpp"
#include "types/sexp.hpp"

namespace parvex {

inline constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::uint64_t kDefaultMaxDepth = 1024;

// X(kind, field, default, refused as): every option, in the order of the
// fields, of Python's keywords and of the fuzzers' option header.
//   Limit      an unsigned size; kNoLimit is none.
//   Flag       a restriction of §8: true allows the construct.
//   Leniency   off by default, for input that strays from RFC 9804 in a
//              known way; not among the documented keywords.
// A construct that an option refuses fails with the kind in the last column.
#define PARVEX_PARSER_OPTIONS(X)                                                           \
    X(Limit, max_depth, kDefaultMaxDepth, TooDeep)      /* lists open at once */           \
    X(Limit, max_atom_len, kNoLimit, AtomTooLong)       /* decoded octets of one string */ \
    X(Limit, max_input_len, kNoLimit, InputTooLong)     /* octets of the input */          \
    X(Flag, allow_advanced, true, AdvancedNotAllowed)   /* §6.4, and all whitespace */     \
    X(Flag, allow_transport, true, TransportNotAllowed) /* §6.3 "{...}" */                 \
    X(Flag, allow_display_hints, true, HintNotAllowed)                                     \
    X(Flag, allow_empty_atoms, true, EmptyAtomNotAllowed)                                  \
    X(Flag, allow_empty_lists, true, EmptyListNotAllowed)                                  \
    X(Flag, allow_list_as_first_element, true, ListAsFirstElementNotAllowed)               \
    X(Flag, allow_hexadecimal, true, HexadecimalNotAllowed)                                \
    X(Flag, allow_base64, true, Base64NotAllowed)                                          \
    X(Flag, allow_lengths, true, LengthNotAllowed) /* a length before "..." #...# |...| */ \
    /* Octets 0x80 to 0xFF as they are inside "...", as GnuPG writes its key files. */     \
    X(Leniency, allow_8bit_in_quoted, false, UnexpectedOctet)

enum class OptionKind : std::uint8_t { Limit, Flag, Leniency };

namespace detail {
template <OptionKind K>
struct OptionField {
    using type = bool;
};
template <>
struct OptionField<OptionKind::Limit> {
    using type = std::uint64_t;
};
}  // namespace detail

/// A value read from the front of an input, and the octets it took.
struct Prefix {
    Sexp value;
    std::uint64_t consumed;
};

struct Parser {
#define PARVEX_OPTION_FIELD(kind, field, default_value, refused) \
    typename detail::OptionField<OptionKind::kind>::type field = default_value;
    PARVEX_PARSER_OPTIONS(PARVEX_OPTION_FIELD)
#undef PARVEX_OPTION_FIELD

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

/// One row of the option table, for code that handles every option alike.
struct OptionInfo {
    OptionKind kind;
    std::string_view name;
    std::uint64_t default_value;  // a flag's as 0 or 1
    ErrorKind refused;
    std::uint64_t Parser::* limit;  // set for a Limit
    bool Parser::* flag;            // set for a Flag or a Leniency

    std::uint64_t get(const Parser& p) const { return limit != nullptr ? p.*limit : p.*flag; }
    void set(Parser& p, std::uint64_t v) const {
        if (limit != nullptr) p.*limit = v;
        else p.*flag = v != 0;
    }
};

namespace detail {
constexpr std::uint64_t Parser::* limit_member(std::uint64_t Parser::* m) { return m; }
constexpr std::uint64_t Parser::* limit_member(bool Parser::*) { return nullptr; }
constexpr bool Parser::* flag_member(bool Parser::* m) { return m; }
constexpr bool Parser::* flag_member(std::uint64_t Parser::*) { return nullptr; }
}  // namespace detail

inline constexpr std::array parser_options = {
#define PARVEX_OPTION_INFO(kind, field, default_value, refused) \
    OptionInfo{OptionKind::kind,                                \
               #field,                                          \
               static_cast<std::uint64_t>(default_value),       \
               ErrorKind::refused,                              \
               detail::limit_member(&Parser::field),            \
               detail::flag_member(&Parser::field)},
    PARVEX_PARSER_OPTIONS(PARVEX_OPTION_INFO)
#undef PARVEX_OPTION_INFO
};

/// Reads any representation under the default options.
[[nodiscard]] Result<Sexp> parse(Bytes input);
/// Reads the canonical representation only.
[[nodiscard]] Result<Sexp> parse_canonical(Bytes input);

}  // namespace parvex
