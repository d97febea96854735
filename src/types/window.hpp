// The 16-octet window. A short string whose storage holds 16 readable
// octets from its first octet on (forward: the reader offers it where the
// input goes on that far, and an `OverreadBuilder` takes it), or 16
// readable octets that end with its last (backward: a "backed" string,
// which a `BackedSink` takes; the binding tells which Python objects back
// theirs), is moved in one 16-octet load and store whatever its length,
// without the branches on length that mispredict where short lengths mix.
// The octets of the window beyond the string are read and never used.
#pragma once

#include <cstddef>

namespace parvex {

inline constexpr std::size_t kWindow = 16;

}  // namespace parvex
