// The advanced representation (RFC 9804 §6.4) on one line: each octet
// string as a token, a quoted string or hexadecimal, whichever the first of
// those rules allows; list elements separated by single spaces.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "encode/pieces.hpp"
#include "types/copy.hpp"
#include "types/octet_classes.hpp"
#include "types/sexp.hpp"

namespace parvex::encode::advanced {

/// How one octet string is written. A quoted string that needs no escape
/// is told apart, as it is written by a plain copy.
enum class Form : std::uint8_t { Token, PlainQuoted, Quoted, Hexadecimal };

/// The form of an octet string: a token if it can be one, else a quoted
/// string if every octet is printable or an escapable control, else hex.
inline Form form_of(Bytes s) {
    // One branch-free pass: the classes every octet shares.
    std::uint8_t all = octet::kTokenOctet | octet::kQuotable | octet::kQuotePlain;
    const std::uint8_t* p = s.data();
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        all &= octet::class_table[p[i]] & octet::class_table[p[i + 1]] & octet::class_table[p[i + 2]] &
               octet::class_table[p[i + 3]];
    for (; i < n; ++i) all &= octet::class_table[p[i]];
    if (n != 0 && (all & octet::kTokenOctet) && octet::is_token_start(p[0])) return Form::Token;
    if (all & octet::kQuotePlain) return Form::PlainQuoted;
    return (all & octet::kQuotable) ? Form::Quoted : Form::Hexadecimal;
}

/// Writes `octets` as a quoted string with escapes, or in hexadecimal;
/// returns one past the last character.
char* write_escaped(Bytes octets, Form f, char* out);

/// Appends the advanced form of one octet string (data or hint) to `out`.
void write_octet_string(Bytes octets, std::string& out);

/// A sink that writes the text as the events arrive, in one pass over the
/// value, into a buffer that grows as needed. Elements of a list are
/// separated by one space: it is written before anything that follows an
/// element rather than a "(".
class Writer {
public:
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { std::free(buf_); }

    void open() {
        reserve(2);
        gap();
        buf_[len_++] = '(';
        after_open_ = true;
    }
    void close() {
        reserve(1);
        buf_[len_++] = ')';
        after_open_ = false;
    }
    void atom(Bytes data) {
        reserve(1 + most(data));
        gap();
        put(data);
        after_open_ = false;
    }
    void atom(Bytes data, Bytes hint) {
        reserve(3 + most(hint) + most(data));
        gap();
        buf_[len_++] = '[';
        put(hint);
        buf_[len_++] = ']';
        put(data);
        after_open_ = false;
    }

    const char* data() const { return buf_; }
    std::size_t size() const { return len_; }

private:
    // The longest any form of `s` can be: hexadecimal, or a quoted string
    // with every octet escaped.
    static std::size_t most(Bytes s) { return 2 * s.size() + 2; }
    void gap() {
        if (started_ && !after_open_) buf_[len_++] = ' ';
        started_ = true;
    }
    void reserve(std::size_t n) {
        if (cap_ - len_ < n) grow(n);
    }
    void grow(std::size_t n);
    void put(Bytes s) {
        char* out = buf_ + len_;
        switch (form_of(s)) {
            case Form::Token:
                copy_octets(out, s.data(), s.size());
                out += s.size();
                break;
            case Form::PlainQuoted:
                *out++ = '"';
                copy_octets(out, s.data(), s.size());
                out += s.size();
                *out++ = '"';
                break;
            case Form::Quoted:
                out = write_escaped(s, Form::Quoted, out);
                break;
            case Form::Hexadecimal:
                out = write_escaped(s, Form::Hexadecimal, out);
                break;
        }
        len_ = static_cast<std::size_t>(out - buf_);
    }

    char* buf_ = nullptr;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
    bool started_ = false;
    bool after_open_ = false;
};

/// The advanced text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::advanced
