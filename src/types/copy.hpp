// Copying octet strings into output. Most atoms are a few octets long, for
// which a call to memcpy costs more than the copy itself.
#pragma once

#include <cstdint>
#include <cstring>

namespace parvex {

/// Copies `n` octets from `src` to `dst`; the ranges do not overlap.
inline void copy_octets(void* dst, const void* src, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    if (n >= 8 && n <= 16) {  // two 8-octet moves that may overlap each other
        std::uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(d, &a, 8);
        std::memcpy(d + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        std::uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        std::memcpy(d, &a, 4);
        std::memcpy(d + n - 4, &b, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
    } else {
        std::memcpy(d, s, n);
    }
}

}  // namespace parvex
