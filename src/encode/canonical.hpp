// The canonical representation (RFC 9804 §6.2): length-prefixed octet
// strings and parentheses, nothing else. A sizing sink computes the exact
// length first, so that the output is allocated once at its final size.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "types/copy.hpp"
#include "encode/pieces.hpp"
#include "types/sexp.hpp"

namespace parvex::encode::canonical {

/// Number of decimal digits of `n`.
constexpr unsigned decimal_digits(std::uint64_t n) {
    unsigned d = 1;
    for (; n >= 10000; n /= 10000) d += 4;
    return d + (n >= 10) + (n >= 100) + (n >= 1000);
}

/// Adds without wrapping: a total that would overflow stays at 2**64 - 1.
constexpr std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? ~std::uint64_t{0} : r;
}

/// Counts the octets the writer produces.
class Sizer {
public:
    void open() { total_ = add_saturating(total_, 1); }
    void close() { total_ = add_saturating(total_, 1); }
    void atom(Bytes data) { total_ = add_saturating(total_, string_len(data.size())); }
    void atom(Bytes data, Bytes hint) {
        atom(data);
        total_ = add_saturating(total_, add_saturating(string_len(hint.size()), 2));
    }
    std::uint64_t total() const { return total_; }

private:
    static std::uint64_t string_len(std::uint64_t n) { return add_saturating(n, decimal_digits(n) + 1); }
    std::uint64_t total_ = 0;
};

/// How far past `p` `put_backed_short_string` may store.
inline constexpr std::ptrdiff_t kShortStringReach = 20;

/// Writes the string of 1 to 16 octets `s`, whose 16 octets before its end
/// are readable, with its length prefix at `p`, and without a branch on its
/// length, which mispredicts where short lengths mix. Stores run up to
/// `kShortStringReach` octets past `p`, into room that later output
/// overwrites. Returns the end of the string.
inline std::uint8_t* put_backed_short_string(std::uint8_t* p, Bytes s) {
    constexpr bool little = std::endian::native == std::endian::little;
    const std::size_t n = s.size();
    const bool two = n >= 10;
    std::uint32_t prefix = two ? '1' | static_cast<std::uint32_t>('0' + n - 10) << 8 | ':' << 16
                               : static_cast<std::uint32_t>('0' + n) | ':' << 8;
    if constexpr (!little) prefix = std::byteswap(prefix);  // the first octet in the low bits
    std::memcpy(p, &prefix, sizeof prefix);
    p += 2 + two;
    unsigned __int128 window;  // the 16 octets ending with the string's last
    std::memcpy(&window, s.data() + n - 16, sizeof window);
    // Moves the string to the window's first octets in memory order.
    if constexpr (little) window >>= 8 * (16 - n);
    else window <<= 8 * (16 - n);
    std::memcpy(p, &window, sizeof window);
    return p + n;
}

/// Writes the octets of each event to an output: `Out` takes single octets
/// (`octet`) and runs of them (`octets`).
template <class Out>
class BasicWriter {
public:
    template <class... Args>
    explicit BasicWriter(Args&&... args) : out_(std::forward<Args>(args)...) {}
    void open() { out_.octet('('); }
    void close() { out_.octet(')'); }
    void atom(Bytes data) { write_string(data); }
    /// `atom`, for data whose 16 octets before its end are readable.
    void backed_atom(Bytes data) {
        if constexpr (requires { out_.backed_short_string(data); }) {
            if (data.size() - 1 < 16 && out_.backed_short_string(data)) return;
        }
        write_string(data);
    }
    void atom(Bytes data, Bytes hint) {
        out_.octet('[');
        write_string(hint);
        out_.octet(']');
        write_string(data);
    }
    Out& out() { return out_; }

private:
    void write_string(Bytes s) {
        const std::size_t len = s.size();
        if (len < 100) {  // the common lengths, without the general loop
            if (len >= 10) out_.octet(static_cast<std::uint8_t>('0' + len / 10));
            out_.octet(static_cast<std::uint8_t>('0' + len % 10));
            out_.octet(':');
            out_.octets(s.data(), len);
            return;
        }
        std::uint8_t digits[24];  // the longest 64-bit length, and its colon
        std::uint8_t* end = digits + sizeof digits;
        std::uint8_t* p = end;
        *--p = ':';
        std::uint64_t n = s.size();
        do {
            *--p = static_cast<std::uint8_t>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        out_.octets(p, static_cast<std::size_t>(end - p));
        out_.octets(s.data(), s.size());
    }
    Out out_;
};

/// Output into a buffer sized by `Sizer`.
class BufferOut {
public:
    explicit BufferOut(std::uint8_t* p) : p_(p), limit_(p) {}
    /// With the end of the buffer known, short strings are written with
    /// stores that run past their own end, into room that later output
    /// overwrites.
    BufferOut(std::uint8_t* p, std::uint8_t* end) : p_(p), limit_(end) {}
    void octet(std::uint8_t c) { *p_++ = c; }
    void octets(const std::uint8_t* s, std::size_t n) {
        copy_octets(p_, s, n);
        p_ += n;
    }
    /// `put_backed_short_string` here; false, having written nothing, too
    /// near the end of the buffer.
    bool backed_short_string(Bytes s) {
        if (limit_ - p_ < kShortStringReach) return false;
        p_ = put_backed_short_string(p_, s);
        return true;
    }
    std::uint8_t* end() const { return p_; }

private:
    std::uint8_t* p_;
    std::uint8_t* limit_;
};

using Writer = BasicWriter<BufferOut>;

/// The number of octets of the canonical form of `value`, saturating.
std::uint64_t encoded_len(const Sexp& value);

/// The canonical octets of `value`.
Octets to_vec(const Sexp& value);

}  // namespace parvex::encode::canonical
