// base64::decode written the plain way, for differential checks: one
// character at a time through a bit accumulator, with no fast path, by the
// decoder's rules (RFC 4648 §4; whitespace anywhere, padding optional but
// exact, leftover bits zero) and the same failure offsets.
#pragma once

#include <cstdint>
#include <vector>

#include "types/octet_classes.hpp"
#include "types/sexp.hpp"

namespace plain {

struct Decoded {
    bool ok;
    std::vector<std::uint8_t> octets;  // when ok
    std::uint64_t offset;              // when not
};

inline int sextet(std::uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

inline Decoded decode(parvex::Bytes text) {
    Decoded r{false, {}, 0};
    std::uint32_t acc = 0;  // bits not yet emitted, the low `bits` of it
    unsigned bits = 0;
    unsigned chars = 0;  // alphabet characters in the current group
    unsigned pad = 0;
    bool closed = false;
    std::uint64_t last = 0;
    auto fail = [&](std::uint64_t at) {
        r.offset = at;
        return r;
    };
    for (std::uint64_t i = 0; i < text.size(); ++i) {
        const std::uint8_t c = text[i];
        if (parvex::octet::is_whitespace(c)) continue;
        if (closed) return fail(i);
        if (c == '=') {
            if (chars + pad < 2) return fail(i);
            if (++pad + chars == 4) {
                if ((acc & ((1u << bits) - 1)) != 0) return fail(last);
                closed = true;
            }
            continue;
        }
        if (pad > 0 || sextet(c) < 0) return fail(i);
        acc = (acc << 6) | static_cast<std::uint32_t>(sextet(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            r.octets.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
        chars = (chars + 1) % 4;
        last = i;
    }
    if (pad > 0 && !closed) return fail(text.size());
    if (!closed && (chars == 1 || (acc & ((1u << bits) - 1)) != 0)) return fail(last);
    r.ok = true;
    return r;
}

}  // namespace plain
