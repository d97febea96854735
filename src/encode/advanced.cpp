// Advanced writer. The form of an octet string is chosen in one scan: a
// token if it can be one, else a quoted string if it can be one, else hex.
#include "encode/advanced.hpp"

#include <array>
#include <cstring>
#include <new>

#include "types/copy.hpp"
#include "types/octet_classes.hpp"

namespace parvex::encode::advanced {

namespace {

// The escape letter for an octet a quoted string cannot hold as it is, or 0
// where it stands unchanged.
constexpr std::array<char, 256> make_escapes() {
    std::array<char, 256> t{};
    t[0x07] = 'a';
    t[0x08] = 'b';
    t[0x09] = 't';
    t[0x0A] = 'n';
    t[0x0B] = 'v';
    t[0x0C] = 'f';
    t[0x0D] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}

constexpr std::array<char, 256> escapes = make_escapes();

}  // namespace

std::uint64_t escaped_len(Bytes s, Form f) {
    switch (f) {
        case Form::Token:
            return s.size();
        case Form::PlainQuoted:
            return s.size() + 2;
        case Form::Quoted: {
            std::uint64_t n = s.size() + 2;
            for (const std::uint8_t c : s) n += escapes[c] != 0;
            return n;
        }
        case Form::Hexadecimal:
            break;
    }
    return canonical::add_saturating(canonical::add_saturating(s.size(), s.size()), 2);
}

char* write_string(Bytes s, Form f, char* out) {
    const char* src = reinterpret_cast<const char*>(s.data());
    switch (f) {
        case Form::Token:
            copy_octets(out, src, s.size());
            return out + s.size();
        case Form::PlainQuoted:
        case Form::Quoted: {
            *out++ = '"';
            std::size_t run = 0;  // start of the octets not yet copied
            for (std::size_t i = 0; i < s.size(); ++i) {
                const char e = escapes[s[i]];
                if (e == 0) continue;
                copy_octets(out, src + run, i - run);
                out += i - run;
                *out++ = '\\';
                *out++ = e;
                run = i + 1;
            }
            copy_octets(out, src + run, s.size() - run);
            out += s.size() - run;
            *out++ = '"';
            return out;
        }
        case Form::Hexadecimal:
            break;
    }
    static constexpr char digits[] = "0123456789abcdef";
    *out++ = '#';
    for (const std::uint8_t c : s) {
        *out++ = digits[c >> 4];
        *out++ = digits[c & 15];
    }
    *out++ = '#';
    return out;
}

void write_octet_string(Bytes s, std::string& out) {
    const Form f = form_of(s);
    const std::size_t at = out.size();
    out.resize(at + string_len(s, f));
    write_string(s, f, out.data() + at);
}

std::string to_string(const Sexp& value) {
    Sizer sizer;
    walk(value, sizer);
    if (sizer.total() > (~std::uint64_t{0} >> 1)) throw std::bad_alloc();  // cannot be allocated: fatal
    std::string out(sizer.total(), '\0');
    Writer w(out.data(), sizer.forms());
    walk(value, w);
    return out;
}

}  // namespace parvex::encode::advanced
