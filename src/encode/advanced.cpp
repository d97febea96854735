// Advanced writer. The form of an octet string is chosen in one scan: a
// token if it can be one, else a quoted string if it can be one, else hex.
#include "encode/advanced.hpp"

#include <array>
#include <cstring>

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

char* write_escaped(Bytes s, Form f, char* out) {
    const char* src = reinterpret_cast<const char*>(s.data());
    if (f != Form::Hexadecimal) {
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
    static constexpr char digits[] = "0123456789abcdef";
    *out++ = '#';
    for (const std::uint8_t c : s) {
        *out++ = digits[c >> 4];
        *out++ = digits[c & 15];
    }
    *out++ = '#';
    return out;
}

void Writer::grow(std::size_t n) {
    std::size_t cap = cap_ < 256 ? 256 : cap_;
    while (cap - len_ < n) {
        if (cap > (~std::size_t{0} >> 2)) throw std::bad_alloc();  // cannot be allocated: fatal
        cap *= 2;
    }
    void* p = std::realloc(buf_, cap);
    if (p == nullptr) throw std::bad_alloc();
    buf_ = static_cast<char*>(p);
    cap_ = cap;
}

void write_octet_string(Bytes s, std::string& out) {
    Writer w;
    w.atom(s);
    out.append(w.data(), w.size());
}

std::string to_string(const Sexp& value) {
    Writer w;
    walk(value, w);
    return std::string(w.data(), w.size());
}

}  // namespace parvex::encode::advanced
