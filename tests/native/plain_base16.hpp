// base16::decode written the plain way, for differential checks: one octet
// at a time, no table and no fast path, by the decoder's rules and with the
// same report of where and why it stopped.
#pragma once

#include <cstdint>
#include <vector>

#include "base16/base16.hpp"

namespace plain {

inline int nibble(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// Decodes as base16::decode does, appending the octets to `out`.
inline parvex::base16::Scan decode16(parvex::Bytes text, std::vector<std::uint8_t>& out, std::uint64_t max_octets,
                                     parvex::base16::Half half = {}) {
    using parvex::base16::Stop;
    std::uint64_t octets = 0;
    for (std::uint64_t i = 0; i < text.size(); ++i) {
        const std::uint8_t c = text[i];
        const int v = nibble(c);
        if (v < 0) {
            if (c == ' ' || (c >= 9 && c <= 13)) continue;
            return {i, octets, half, c == '#' ? Stop::Close : Stop::Invalid};
        }
        if (!half.pending) {
            half = {true, static_cast<std::uint8_t>(v)};
            continue;
        }
        if (octets == max_octets) return {i, octets, half, Stop::Full};
        out.push_back(static_cast<std::uint8_t>(half.value * 16 + v));
        ++octets;
        half = {};
    }
    return {text.size(), octets, half, Stop::End};
}

}  // namespace plain
