// Base-64 encoder and strict decoder (RFC 4648 §4). The decoder accepts
// padding or its absence, whitespace anywhere, and refuses leftover bits
// that are not zero, so every accepted text has one canonical re-encoding.
#include "base64/base64.hpp"

#include <array>
#include <cstring>

#include "types/octet_classes.hpp"

namespace parvex::base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = kInvalid;
    for (int i = 0; i < 64; ++i) t[static_cast<std::uint8_t>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return t;
}

constexpr std::array<std::uint8_t, 256> decode_table = make_decode_table();

// Two characters for each 12-bit value, so three octets take two lookups.
constexpr std::array<std::array<char, 2>, 4096> make_pair_table() {
    std::array<std::array<char, 2>, 4096> t{};
    for (int i = 0; i < 4096; ++i) t[static_cast<std::size_t>(i)] = {alphabet[i >> 6], alphabet[i & 63]};
    return t;
}

constexpr std::array<std::array<char, 2>, 4096> pairs = make_pair_table();

}  // namespace

char* encode_to(Bytes octets, char* out) {
    const std::uint8_t* p = octets.data();
    std::size_t n = octets.size();
    for (; n >= 3; n -= 3, p += 3) {
        const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
        std::memcpy(out, pairs[v >> 12].data(), 2);
        std::memcpy(out + 2, pairs[v & 0xFFF].data(), 2);
        out += 4;
    }
    if (n != 0) {
        const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (n == 2 ? std::uint32_t{p[1]} << 8 : 0);
        out[0] = alphabet[v >> 18];
        out[1] = alphabet[(v >> 12) & 63];
        out[2] = n == 2 ? alphabet[(v >> 6) & 63] : '=';
        out[3] = '=';
        out += 4;
    }
    return out;
}

void encode(Bytes octets, std::string& out) {
    const std::size_t old = out.size();
    out.resize(old + encoded_size(octets.size()));
    encode_to(octets, out.data() + old);
}

std::expected<void, DecodeError> decode_group(const std::uint8_t* s, unsigned k, Octets& out,
                                              std::uint64_t offset) {
    switch (k) {
        case 0:
            return {};
        case 2:
            if ((s[1] & 0x0F) != 0) break;
            out.push_back(static_cast<std::uint8_t>((s[0] << 2) | (s[1] >> 4)));
            return {};
        case 3:
            if ((s[2] & 0x03) != 0) break;
            out.push_back(static_cast<std::uint8_t>((s[0] << 2) | (s[1] >> 4)));
            out.push_back(static_cast<std::uint8_t>((s[1] << 4) | (s[2] >> 2)));
            return {};
        case 4:
            out.push_back(static_cast<std::uint8_t>((s[0] << 2) | (s[1] >> 4)));
            out.push_back(static_cast<std::uint8_t>((s[1] << 4) | (s[2] >> 2)));
            out.push_back(static_cast<std::uint8_t>((s[2] << 6) | s[3]));
            return {};
        default:
            break;
    }
    return std::unexpected(DecodeError{offset});
}

std::expected<Octets, DecodeError> decode(Bytes text) {
    Octets out;
    out.reserve(text.size() / 4 * 3);
    std::uint8_t group[4];
    unsigned k = 0;          // sextets in the current group
    unsigned pad = 0;        // "=" seen in the current group
    bool closed = false;     // a group was completed by padding
    std::uint64_t last = 0;  // offset of the latest alphabet character
    const std::uint8_t* t = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Whole groups of four alphabet characters, the common case.
        if (k == 0 && !closed && i + 4 <= n) {
            const std::uint8_t a = decode_table[t[i]], b = decode_table[t[i + 1]],
                               c = decode_table[t[i + 2]], d = decode_table[t[i + 3]];
            if (((a | b | c | d) & 0xC0) == 0) {  // no kInvalid among them
                out.push_back(static_cast<std::uint8_t>((a << 2) | (b >> 4)));
                out.push_back(static_cast<std::uint8_t>((b << 4) | (c >> 2)));
                out.push_back(static_cast<std::uint8_t>((c << 6) | d));
                last = i + 3;
                i += 4;
                continue;
            }
        }
        const std::uint8_t ch = t[i];
        if (octet::is_whitespace(ch)) {
            ++i;
            continue;
        }
        if (closed) return std::unexpected(DecodeError{i});
        if (ch == '=') {
            if (k + pad < 2) return std::unexpected(DecodeError{i});
            if (k + pad + 1 == 4) {
                if (auto r = decode_group(group, k, out, last); !r) return std::unexpected(r.error());
                closed = true;
                k = 0;
                pad = 0;
            } else {
                ++pad;
            }
            ++i;
            continue;
        }
        if (pad > 0) return std::unexpected(DecodeError{i});
        const std::uint8_t v = decode_table[ch];
        if (v == kInvalid) return std::unexpected(DecodeError{i});
        group[k++] = v;
        last = i;
        if (k == 4) {
            (void)decode_group(group, 4, out, last);
            k = 0;
        }
        ++i;
    }
    if (pad > 0) return std::unexpected(DecodeError{n});
    if (auto r = decode_group(group, k, out, last); !r) return std::unexpected(r.error());
    return out;
}

}  // namespace parvex::base64
