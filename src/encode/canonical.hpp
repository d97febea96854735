// The canonical representation (RFC 9804 §6.2): length-prefixed octet
// strings and parentheses, nothing else. A sizing sink computes the exact
// length first, so that the output is allocated once at its final size.
#pragma once

#include <cstdint>
#include <cstring>

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

/// Writes the octets into a buffer sized by `Sizer`.
class Writer {
public:
    explicit Writer(std::uint8_t* out) : out_(out) {}
    void open() { *out_++ = '('; }
    void close() { *out_++ = ')'; }
    void atom(Bytes data) { write_string(data); }
    void atom(Bytes data, Bytes hint) {
        *out_++ = '[';
        write_string(hint);
        *out_++ = ']';
        write_string(data);
    }
    std::uint8_t* end() const { return out_; }

private:
    void write_decimal(std::uint64_t n);
    void write_string(Bytes s) {
        const std::size_t n = s.size();
        if (n < 10) {
            *out_++ = static_cast<std::uint8_t>('0' + n);
        } else if (n < 100) {
            out_[0] = static_cast<std::uint8_t>('0' + n / 10);
            out_[1] = static_cast<std::uint8_t>('0' + n % 10);
            out_ += 2;
        } else {
            write_decimal(n);
        }
        *out_++ = ':';
        copy_octets(out_, s.data(), s.size());
        out_ += s.size();
    }
    std::uint8_t* out_;
};

/// The number of octets of the canonical form of `value`, saturating.
std::uint64_t encoded_len(const Sexp& value);

/// The canonical octets of `value`.
Octets to_vec(const Sexp& value);

}  // namespace parvex::encode::canonical
