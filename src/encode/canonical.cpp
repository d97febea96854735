// Canonical writer for core values: a sizing walk, then a writing walk into
// a buffer of exactly that size.
#include "encode/canonical.hpp"

#include <new>

namespace parvex::encode::canonical {

static_assert(decimal_digits(0) == 1 && decimal_digits(9) == 1 && decimal_digits(10) == 2 &&
              decimal_digits(9999) == 4 && decimal_digits(10000) == 5 && decimal_digits(~std::uint64_t{0}) == 20);

void Writer::write_decimal(std::uint64_t n) {
    std::uint8_t scratch[20];  // the longest 64-bit value, filled from its right end
    std::uint8_t* p = scratch + sizeof scratch;
    do {
        *--p = static_cast<std::uint8_t>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    const std::size_t len = static_cast<std::size_t>(scratch + sizeof scratch - p);
    std::memcpy(out_, p, len);
    out_ += len;
}

std::uint64_t encoded_len(const Sexp& value) {
    Sizer s;
    walk(value, s);
    return s.total();
}

Octets to_vec(const Sexp& value) {
    const std::uint64_t n = encoded_len(value);
    if (n > (~std::uint64_t{0} >> 1)) throw std::bad_alloc();  // cannot be allocated: fatal
    Octets out(n);
    Writer w(out.data());
    walk(value, w);
    return out;
}

}  // namespace parvex::encode::canonical
