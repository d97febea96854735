// Canonical writer for core values: a sizing walk, then a writing walk into
// a buffer of exactly that size.
#include "encode/canonical.hpp"

#include <new>

namespace parvex::encode::canonical {

static_assert(decimal_digits(0) == 1 && decimal_digits(9) == 1 && decimal_digits(10) == 2 &&
              decimal_digits(9999) == 4 && decimal_digits(10000) == 5 && decimal_digits(~std::uint64_t{0}) == 20);

std::uint64_t encoded_len(const Sexp& value) {
    Sizer s;
    walk(value, s);
    return s.total();
}

Octets to_vec(const Sexp& value) {
    const std::uint64_t n = encoded_len(value);
    if (n > (~std::uint64_t{0} >> 1)) throw std::bad_alloc();  // cannot be allocated
    Octets out(n);
    Writer w(out.data(), out.data() + out.size());
    walk(value, w);
    return out;
}

}  // namespace parvex::encode::canonical
