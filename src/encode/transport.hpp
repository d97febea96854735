// The basic transport representation (RFC 9804 §6.3): the base-64 text of
// the canonical octets between braces, on one line.
#pragma once

#include <cstdint>
#include <string>

#include "types/sexp.hpp"

namespace parvex::encode::transport {

/// Characters of the transport text for `canonical_len` canonical octets.
std::uint64_t text_len(std::uint64_t canonical_len);

/// Writes the transport text of the canonical octets `canonical` to `out`,
/// which has room for exactly `text_len(canonical.size())` characters.
char* write(Bytes canonical, char* out);

/// The transport text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::transport
