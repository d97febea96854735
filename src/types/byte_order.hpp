// Integers stored as octets in a fixed order, whatever the CPU's own: the
// layout of a value and the SipHash input are defined octet by octet, so
// they are the same on little- and big-endian machines.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace parvex {

/// The 64-bit integer whose little-endian octets start at `p`.
inline std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

/// Stores `v` at `p` as 8 octets, least significant first.
inline void store_le64(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    std::memcpy(p, &v, sizeof v);
}

}  // namespace parvex
