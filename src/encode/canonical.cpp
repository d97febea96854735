// Canonical writer: a sizing pass and a filling pass, each over an explicit
// stack, so values of any depth are written without recursion.
#include "encode/canonical.hpp"

#include <cstring>
#include <new>
#include <vector>

namespace parvex::encode::canonical {

namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};
constexpr std::uint64_t kMaxAllocation = kMax >> 1;  // 2**63 - 1

std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? kMax : r;
}

std::uint64_t string_len(std::uint64_t n) { return add(n, decimal_digits(n) + 1); }

std::uint8_t* write_string(const Octets& s, std::uint8_t* out) {
    out = write_decimal(s.size(), out);
    *out++ = ':';
    if (!s.empty()) std::memcpy(out, s.data(), s.size());
    return out + s.size();
}

}  // namespace

std::uint8_t* write_decimal(std::uint64_t n, std::uint8_t* out) {
    std::uint8_t scratch[20];  // the longest 64-bit value
    std::uint8_t* p = scratch + sizeof scratch;
    do {
        *--p = static_cast<std::uint8_t>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    const std::size_t len = static_cast<std::size_t>(scratch + sizeof scratch - p);
    std::memcpy(out, p, len);
    return out + len;
}

std::uint64_t encoded_len(const Sexp& value) {
    std::uint64_t total = 0;
    std::vector<const Sexp*> stack{&value};
    while (!stack.empty()) {
        const Sexp* v = stack.back();
        stack.pop_back();
        if (v->is_list()) {
            total = add(total, 2);
            const Sexp::List& items = v->list();
            for (std::size_t i = items.size(); i-- > 0;) stack.push_back(&items[i]);
        } else {
            const Atom& a = v->atom();
            total = add(total, string_len(a.data.size()));
            if (a.hint) total = add(total, add(string_len(a.hint->size()), 2));
        }
    }
    return total;
}

std::uint8_t* write(const Sexp& value, std::uint8_t* out) {
    std::vector<const Sexp*> stack{&value};  // nullptr closes a list
    while (!stack.empty()) {
        const Sexp* v = stack.back();
        stack.pop_back();
        if (v == nullptr) {
            *out++ = ')';
        } else if (v->is_list()) {
            *out++ = '(';
            stack.push_back(nullptr);
            const Sexp::List& items = v->list();
            for (std::size_t i = items.size(); i-- > 0;) stack.push_back(&items[i]);
        } else {
            const Atom& a = v->atom();
            if (a.hint) {
                *out++ = '[';
                out = write_string(*a.hint, out);
                *out++ = ']';
            }
            out = write_string(a.data, out);
        }
    }
    return out;
}

Octets to_vec(const Sexp& value) {
    const std::uint64_t n = encoded_len(value);
    if (n > kMaxAllocation) throw std::bad_alloc();  // as running out of memory: fatal
    Octets out(n);
    write(value, out.data());
    return out;
}

}  // namespace parvex::encode::canonical
