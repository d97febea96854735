// The advanced representation (RFC 9804 §6.4) on one line: each octet
// string as a token, a quoted string or hexadecimal, whichever the first of
// those rules allows; list elements separated by single spaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encode/canonical.hpp"
#include "types/copy.hpp"
#include "encode/pieces.hpp"
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

/// Characters of `octets` written as a quoted string or in hexadecimal.
std::uint64_t escaped_len(Bytes octets, Form f);
/// Characters of `octets` written in form `f`, saturating.
inline std::uint64_t string_len(Bytes octets, Form f) {
    if (f == Form::Token) return octets.size();
    if (f == Form::PlainQuoted) return octets.size() + 2;
    return escaped_len(octets, f);
}
/// Writes `octets` in form `f`; returns one past the last character.
char* write_string(Bytes octets, Form f, char* out);

/// Appends the advanced form of one octet string (data or hint) to `out`.
void write_octet_string(Bytes octets, std::string& out);

// Elements of a list are separated by one space: the sinks write it before
// anything that follows an element rather than a "(".

/// Counts the characters the writer produces, choosing every octet
/// string's form once, for the writer to reuse.
class Sizer {
public:
    void open() { add(gap() + 1); after_open_ = true; }
    void close() { add(1); after_open_ = false; }
    void atom(Bytes data) {
        add(gap());
        add_string(data);
        after_open_ = false;
    }
    void atom(Bytes data, Bytes hint) {
        add(gap() + 2);
        add_string(hint);
        add_string(data);
        after_open_ = false;
    }
    std::uint64_t total() const { return total_; }
    /// The forms chosen, hint before data, in writing order.
    const std::vector<Form>& forms() const { return forms_; }

private:
    unsigned gap() const { return started_ && !after_open_ ? 1 : 0; }
    void add(std::uint64_t n) {
        total_ = canonical::add_saturating(total_, n);
        started_ = true;
    }
    void add_string(Bytes s) {
        const Form f = form_of(s);
        forms_.push_back(f);
        add(string_len(s, f));
    }
    std::vector<Form> forms_;
    std::uint64_t total_ = 0;
    bool started_ = false;
    bool after_open_ = false;
};

/// Writes the text into a buffer sized by `Sizer`, in the forms it chose
/// for the same events.
class Writer {
public:
    Writer(char* out, const std::vector<Form>& forms) : out_(out), form_(forms.data()) {}
    void open() { gap(); *out_++ = '('; after_open_ = true; }
    void close() { *out_++ = ')'; after_open_ = false; }
    void atom(Bytes data) {
        gap();
        put(data);
        after_open_ = false;
    }
    void atom(Bytes data, Bytes hint) {
        gap();
        *out_++ = '[';
        put(hint);
        *out_++ = ']';
        put(data);
        after_open_ = false;
    }
    char* end() const { return out_; }

private:
    void put(Bytes s) {
        const Form f = *form_++;
        if (f == Form::Token) {  // the common cases, inline
            copy_octets(out_, s.data(), s.size());
            out_ += s.size();
        } else if (f == Form::PlainQuoted) {
            *out_++ = '"';
            copy_octets(out_, s.data(), s.size());
            out_ += s.size();
            *out_++ = '"';
        } else {
            out_ = write_string(s, f, out_);
        }
    }
    void gap() {
        if (started_ && !after_open_) *out_++ = ' ';
        started_ = true;
    }
    char* out_;
    const Form* form_;
    bool started_ = false;
    bool after_open_ = false;
};

/// The advanced text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::advanced
