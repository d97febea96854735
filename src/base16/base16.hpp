// Decoding the hexadecimal form of an octet string, "#...#" (RFC 9804):
// the digits 0-9, a-f and A-F in pairs, whitespace anywhere between them.
// The decoder reads from just past the opening "#" and stops at the first
// octet that is neither a digit nor whitespace, so one call finds the
// closing "#" as it decodes. It can be given a part of a string whose
// end has not arrived yet, and called again on what follows, and it stops
// once a string holds more octets than its caller allows.
#pragma once

#include <algorithm>
#include <cstdint>

#include "types/sexp.hpp"

namespace parvex::base16 {

/// Why `decode` stopped.
enum class Stop : std::uint8_t {
    Close,    // at a "#"
    Invalid,  // at an octet that is neither a digit, whitespace nor "#"
    End,      // at the end of the text, every octet of it read
    Full,     // `max_octets` decoded, and another pair of digits completed
};

/// The first digit of a pair whose second has not been read yet.
struct Half {
    bool pending = false;
    std::uint8_t value = 0;  // 0..15 while pending, else 0

    friend bool operator==(const Half&, const Half&) = default;
};

/// How far a call of `decode` got.
struct Scan {
    /// Octets of the text read: for Close and Invalid, the offset of the
    /// octet that stopped it; for End, the whole text; for Full, the offset
    /// of the digit that would have completed one octet too many.
    std::uint64_t read = 0;
    /// Octets written to `out`, a pair completed with a carried `Half`
    /// included.
    std::uint64_t octets = 0;
    /// A first digit left waiting: at Close, the count of digits was odd;
    /// at End, the caller that reads on passes it to the next call.
    Half half;
    Stop stop = Stop::End;

    friend bool operator==(const Scan&, const Scan&) = default;
};

/// Room `decode` needs at `out` for a text of `n` octets and `max_octets`:
/// no more than it can decode, a carried digit included (the vector paths
/// store nothing beyond that).
constexpr std::uint64_t decode_room(std::uint64_t n, std::uint64_t max_octets) {
    return std::min(n / 2 + n % 2, max_octets);
}

/// Decodes `text`, the digits and whitespace that follow a "#" (or that
/// follow where an earlier call stopped at the end of its text, whose
/// `half` is passed as `carried`), to `out`, until the first octet that is
/// neither, the end of the text, or the pair of digits that would make
/// octet `max_octets + 1`, which is not written. Takes the vector path the
/// processor and `cpu::active()` allow; each gives the same result.
[[nodiscard]] Scan decode(Bytes text, std::uint8_t* out, std::uint64_t max_octets, Half carried = {});

}  // namespace parvex::base16
