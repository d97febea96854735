// The advanced representation (RFC 9804 §6.4) on one line: each octet
// string as a token, a quoted string or hexadecimal, whichever the first of
// those rules allows; list elements separated by single spaces.
#pragma once

#include <cstdint>
#include <string>

#include "encode/canonical.hpp"
#include "encode/pieces.hpp"
#include "types/sexp.hpp"

namespace parvex::encode::advanced {

/// How one octet string is written.
enum class Form : std::uint8_t { Token, Quoted, Hexadecimal };

/// The form of an octet string: a token if it can be one, else a quoted
/// string if every octet is printable or an escapable control, else hex.
Form form_of(Bytes octets);
/// Characters of `octets` written in form `f`, saturating.
std::uint64_t string_len(Bytes octets, Form f);
/// Writes `octets` in form `f`; returns one past the last character.
char* write_string(Bytes octets, Form f, char* out);

/// Appends the advanced form of one octet string (data or hint) to `out`.
void write_octet_string(Bytes octets, std::string& out);

// Elements of a list are separated by one space: the sinks write it before
// anything that follows an element rather than a "(".

/// Counts the characters the writer produces.
class Sizer {
public:
    void open() { add(gap() + 1); after_open_ = true; }
    void close() { add(1); after_open_ = false; }
    void atom(Bytes data) { add(gap() + string_len(data, form_of(data))); after_open_ = false; }
    void atom(Bytes data, Bytes hint) {
        add(gap() + 2);
        add(string_len(hint, form_of(hint)));
        add(string_len(data, form_of(data)));
        after_open_ = false;
    }
    std::uint64_t total() const { return total_; }

private:
    unsigned gap() const { return started_ && !after_open_ ? 1 : 0; }
    void add(std::uint64_t n) {
        total_ = canonical::add_saturating(total_, n);
        started_ = true;
    }
    std::uint64_t total_ = 0;
    bool started_ = false;
    bool after_open_ = false;
};

/// Writes the text into a buffer sized by `Sizer`.
class Writer {
public:
    explicit Writer(char* out) : out_(out) {}
    void open() { gap(); *out_++ = '('; after_open_ = true; }
    void close() { *out_++ = ')'; after_open_ = false; }
    void atom(Bytes data) {
        gap();
        out_ = write_string(data, form_of(data), out_);
        after_open_ = false;
    }
    void atom(Bytes data, Bytes hint) {
        gap();
        *out_++ = '[';
        out_ = write_string(hint, form_of(hint), out_);
        *out_++ = ']';
        out_ = write_string(data, form_of(data), out_);
        after_open_ = false;
    }
    char* end() const { return out_; }

private:
    void gap() {
        if (started_ && !after_open_) *out_++ = ' ';
        started_ = true;
    }
    char* out_;
    bool started_ = false;
    bool after_open_ = false;
};

/// The advanced text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::advanced
