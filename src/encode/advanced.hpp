// The advanced representation (RFC 9804 §6.4) on one line: each octet
// string as a token, a quoted string or hexadecimal, whichever the first of
// those rules allows; list elements separated by single spaces.
#pragma once

#include <string>

#include "types/sexp.hpp"

namespace parvex::encode::advanced {

/// Appends the advanced form of one octet string (data or hint) to `out`.
void write_octet_string(Bytes octets, std::string& out);

/// The advanced text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::advanced
