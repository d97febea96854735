// Advanced writer. The form of an octet string is chosen by two scans at
// most: the token test, then the quoted-string test; hexadecimal otherwise.
// Lists are walked with an explicit stack of steps.
#include "encode/advanced.hpp"

#include <cstdint>
#include <vector>

#include "types/octet_classes.hpp"

namespace parvex::encode::advanced {

namespace {

bool is_token(Bytes s) {
    if (s.empty() || !octet::is_token_start(s[0])) return false;
    for (std::size_t i = 1; i < s.size(); ++i)
        if (!octet::is_token_octet(s[i])) return false;
    return true;
}

bool is_quotable(Bytes s) {
    for (const std::uint8_t c : s)
        if (!octet::is_quotable(c)) return false;
    return true;
}

// The escape letter for an octet a quoted string cannot hold as it is,
// or 0 where it stands unchanged.
constexpr char escape_for(std::uint8_t c) {
    switch (c) {
        case 0x07: return 'a';
        case 0x08: return 'b';
        case 0x09: return 't';
        case 0x0A: return 'n';
        case 0x0B: return 'v';
        case 0x0C: return 'f';
        case 0x0D: return 'r';
        case '"': return '"';
        case '\\': return '\\';
        default: return 0;
    }
}

void write_quoted(Bytes s, std::string& out) {
    out += '"';
    std::size_t run = 0;  // start of octets not yet copied
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char e = escape_for(s[i]);
        if (e == 0) continue;
        out.append(reinterpret_cast<const char*>(s.data()) + run, i - run);
        out += '\\';
        out += e;
        run = i + 1;
    }
    out.append(reinterpret_cast<const char*>(s.data()) + run, s.size() - run);
    out += '"';
}

void write_hex(Bytes s, std::string& out) {
    static constexpr char digits[] = "0123456789abcdef";
    const std::size_t at = out.size();
    out.resize(at + 2 * s.size() + 2);
    char* p = out.data() + at;
    *p++ = '#';
    for (const std::uint8_t c : s) {
        *p++ = digits[c >> 4];
        *p++ = digits[c & 15];
    }
    *p = '#';
}

}  // namespace

void write_octet_string(Bytes s, std::string& out) {
    if (is_token(s))
        out.append(reinterpret_cast<const char*>(s.data()), s.size());
    else if (is_quotable(s))
        write_quoted(s, out);
    else
        write_hex(s, out);
}

std::string to_string(const Sexp& value) {
    enum class Step : std::uint8_t { Write, Space, Close };
    struct Entry {
        Step step;
        const Sexp* value;  // for Step::Write
    };
    std::string out;
    std::vector<Entry> stack{{Step::Write, &value}};
    while (!stack.empty()) {
        const Entry e = stack.back();
        stack.pop_back();
        switch (e.step) {
            case Step::Space:
                out += ' ';
                break;
            case Step::Close:
                out += ')';
                break;
            case Step::Write:
                if (e.value->is_atom()) {
                    const Atom& a = e.value->atom();
                    if (a.hint) {
                        out += '[';
                        write_octet_string(*a.hint, out);
                        out += ']';
                    }
                    write_octet_string(a.data, out);
                } else {
                    out += '(';
                    stack.push_back({Step::Close, nullptr});
                    const Sexp::List& items = e.value->list();
                    for (std::size_t i = items.size(); i-- > 0;) {
                        stack.push_back({Step::Write, &items[i]});
                        if (i != 0) stack.push_back({Step::Space, nullptr});
                    }
                }
                break;
        }
    }
    return out;
}

}  // namespace parvex::encode::advanced
