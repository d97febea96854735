// The canonical representation (RFC 9804 §6.2): length-prefixed octet
// strings and parentheses, nothing else. The length is computed first so
// that the output is allocated once at its final size.
#pragma once

#include <cstdint>

#include "types/sexp.hpp"

namespace parvex::encode::canonical {

/// The number of octets `to_vec` writes for `value`, saturating at 2**64 - 1.
std::uint64_t encoded_len(const Sexp& value);

/// Writes the canonical octets of `value` to `out`, which has room for
/// exactly `encoded_len(value)` octets; returns one past the last written.
std::uint8_t* write(const Sexp& value, std::uint8_t* out);

/// The canonical octets of `value`.
Octets to_vec(const Sexp& value);

/// Number of decimal digits of `n`.
constexpr unsigned decimal_digits(std::uint64_t n) {
    unsigned d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

/// Writes `n` in decimal at `out`; returns one past the last digit.
std::uint8_t* write_decimal(std::uint64_t n, std::uint8_t* out);

}  // namespace parvex::encode::canonical
