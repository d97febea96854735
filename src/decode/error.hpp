// Reading failures: an octet offset and one of 24 kinds. Each kind has a
// name, a lower-case kind string for Python and a message, all taken from
// the one table below, which is checked against the enumeration at compile
// time.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace parvex {

/// What went wrong. Each enumerator notes one input that produces it
/// (under the default options unless stated).
enum class ErrorKind : std::uint8_t {
    UnexpectedEnd,                 // "(a"
    UnexpectedOctet,               // "(a]"
    TrailingOctets,                // "(a)b"
    UnmatchedParenthesis,          // ")"
    LengthLeadingZero,             // "01:a"
    LengthOverflow,                // "18446744073709551616:"
    LengthMismatch,                // "2\"abc\""
    InvalidEscape,                 // "\"\\q\""
    InvalidHexDigit,               // "#6g#"
    OddHexDigits,                  // "#616#"
    InvalidBase64,                 // "|Y*|"
    HintOnList,                    // "[a](b)"
    TooDeep,                       // 1025 "(" in a row
    AtomTooLong,                   // "4:abcd" with max_atom_len 3
    InputTooLong,                  // any 6 octets with max_input_len 5
    HintNotAllowed,                // "[a]b" without display hints
    EmptyAtomNotAllowed,           // "0:" without empty atoms
    EmptyListNotAllowed,           // "()" without empty lists
    ListAsFirstElementNotAllowed,  // "((a))" without lists first
    AdvancedNotAllowed,            // "abc" in the canonical representation
    TransportNotAllowed,           // "{KCk=}" in the canonical representation
    HexadecimalNotAllowed,         // "#61#" without hexadecimal
    Base64NotAllowed,              // "|YQ==|" without base-64
    LengthNotAllowed,              // "1\"a\"" without lengths
};

struct ErrorInfo {
    ErrorKind kind;
    std::string_view name;         // the enumerator's name
    std::string_view kind_string;  // Python's `ParseError.kind`
    std::string_view message;
};

inline constexpr std::array<ErrorInfo, 24> error_table{{
    {ErrorKind::UnexpectedEnd, "UnexpectedEnd", "unexpected_end", "the input ended in the middle of an S-expression"},
    {ErrorKind::UnexpectedOctet, "UnexpectedOctet", "unexpected_octet", "an octet that cannot appear here"},
    {ErrorKind::TrailingOctets, "TrailingOctets", "trailing_octets", "octets after a complete S-expression"},
    {ErrorKind::UnmatchedParenthesis, "UnmatchedParenthesis", "unmatched_parenthesis",
     "a closing parenthesis with no list open"},
    {ErrorKind::LengthLeadingZero, "LengthLeadingZero", "length_leading_zero", "a length with a leading zero"},
    {ErrorKind::LengthOverflow, "LengthOverflow", "length_overflow", "a length too large to represent"},
    {ErrorKind::LengthMismatch, "LengthMismatch", "length_mismatch",
     "a length that disagrees with the octets it counts"},
    {ErrorKind::InvalidEscape, "InvalidEscape", "invalid_escape", "an escape that is not defined"},
    {ErrorKind::InvalidHexDigit, "InvalidHexDigit", "invalid_hex_digit", "an octet that is not a hexadecimal digit"},
    {ErrorKind::OddHexDigits, "OddHexDigits", "odd_hex_digits", "an odd number of hexadecimal digits"},
    {ErrorKind::InvalidBase64, "InvalidBase64", "invalid_base64",
     "an octet that does not belong in a base-64 encoding"},
    {ErrorKind::HintOnList, "HintOnList", "hint_on_list", "a display hint before a list"},
    {ErrorKind::TooDeep, "TooDeep", "too_deep", "lists nested deeper than allowed"},
    {ErrorKind::AtomTooLong, "AtomTooLong", "atom_too_long", "an octet string longer than allowed"},
    {ErrorKind::InputTooLong, "InputTooLong", "input_too_long", "input longer than allowed"},
    {ErrorKind::HintNotAllowed, "HintNotAllowed", "hint_not_allowed", "a display hint, which is not allowed"},
    {ErrorKind::EmptyAtomNotAllowed, "EmptyAtomNotAllowed", "empty_atom_not_allowed",
     "a zero-length octet string, which is not allowed"},
    {ErrorKind::EmptyListNotAllowed, "EmptyListNotAllowed", "empty_list_not_allowed",
     "an empty list, which is not allowed"},
    {ErrorKind::ListAsFirstElementNotAllowed, "ListAsFirstElementNotAllowed", "list_as_first_element_not_allowed",
     "a list as the first element of a list, which is not allowed"},
    {ErrorKind::AdvancedNotAllowed, "AdvancedNotAllowed", "advanced_not_allowed",
     "the advanced representation, which is not allowed"},
    {ErrorKind::TransportNotAllowed, "TransportNotAllowed", "transport_not_allowed",
     "the basic transport representation, which is not allowed"},
    {ErrorKind::HexadecimalNotAllowed, "HexadecimalNotAllowed", "hexadecimal_not_allowed",
     "a hexadecimal octet string, which is not allowed"},
    {ErrorKind::Base64NotAllowed, "Base64NotAllowed", "base64_not_allowed",
     "a base-64 octet string, which is not allowed"},
    {ErrorKind::LengthNotAllowed, "LengthNotAllowed", "length_not_allowed",
     "a length before an octet string, which is not allowed"},
}};

/// A reading failure: where it happened, in octets from the start of the
/// input given to the call, and what it was.
struct Error {
    std::uint64_t offset;
    ErrorKind kind;
    friend bool operator==(const Error&, const Error&) = default;
};

/// The result of a reading operation.
template <class T>
using Result = std::expected<T, Error>;

/// The one way to fail a read.
[[nodiscard]] inline std::unexpected<Error> fail(std::uint64_t offset, ErrorKind kind) {
    return std::unexpected(Error{offset, kind});
}

inline const ErrorInfo& info(ErrorKind k) { return error_table[static_cast<std::size_t>(k)]; }
/// The debug form: the enumerator's name.
inline std::string_view name(ErrorKind k) { return info(k).name; }
/// The display form: the kind's message.
inline std::string_view message(ErrorKind k) { return info(k).message; }
/// The kind string: the name in lower case with underscores.
inline std::string_view kind_string(ErrorKind k) { return info(k).kind_string; }
/// The display form of an error: "<message> at offset <n>".
std::string describe(const Error& e);

}  // namespace parvex
