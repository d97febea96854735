// Base-64 with the standard alphabet and "=" padding (RFC 4648 §4), as
// RFC 9804 uses it in transport blocks (§6.3) and "|...|" strings (§6.4).
// The decoder is strict about padding and leftover bits and skips the six
// whitespace octets anywhere.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "types/sexp.hpp"

namespace parvex::base64 {

/// Where decoding failed, as an index into the text given to `decode`.
struct DecodeError {
    std::uint64_t offset;
};

/// Number of characters `encode` appends for `n` octets: 4 * ceil(n / 3).
constexpr std::uint64_t encoded_size(std::uint64_t n) { return (n / 3 + (n % 3 != 0)) * 4; }

/// Appends the padded base-64 text of `octets` to `out`.
void encode(Bytes octets, std::string& out);
/// Writes the padded base-64 text of `octets` to `out`, which has room for
/// `encoded_size(octets.size())` characters; returns one past the end.
char* encode_to(Bytes octets, char* out);

/// Room `decode_to` needs for a text of `n` characters: at most 3 octets
/// for every 4 characters, and 8 that the block decoder may write beyond
/// the last of them.
constexpr std::uint64_t decode_room(std::uint64_t n) { return n / 4 * 3 + n % 4 * 3 / 4 + 8; }

/// Decodes `text` (without its delimiters).
[[nodiscard]] std::expected<Octets, DecodeError> decode(Bytes text);
/// Decodes `text` to `out`, which has room for `decode_room(text.size())`
/// octets, and returns one past the last octet, or fails as `decode` does.
[[nodiscard]] std::expected<std::uint8_t*, DecodeError> decode_to(Bytes text, std::uint8_t* out);

/// Writes the octets of a group of `k` sextets to `out` and returns one past
/// them, or fails at `offset`.
[[nodiscard]] std::expected<std::uint8_t*, DecodeError> decode_group(const std::uint8_t* sextets, unsigned k,
                                                                     std::uint8_t* out, std::uint64_t offset);

}  // namespace parvex::base64
