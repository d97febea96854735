// Transport writer for core values: the canonical octets of a value, sized
// first, written as base-64 text of its exact final length.
#include "encode/transport.hpp"

#include <new>

namespace parvex::encode::transport {

static_assert(Output<Base64Out<ExactOut>> && Output<Base64Out<TextOut>>);

std::uint64_t text_len(std::uint64_t canonical_len) {
    const std::uint64_t text = base64::encoded_size(canonical_len);
    if (canonical_len > (~std::uint64_t{0} >> 2) || text > (~std::uint64_t{0} >> 1) - 2)
        throw std::bad_alloc();  // cannot be allocated
    return text + 2;
}

std::string to_string(const Sexp& value) {
    std::string text(text_len(canonical::encoded_len(value)), '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(text.data());
    canonical::BasicWriter<Base64Out<ExactOut>> w(p + 1, p + text.size() - 1);
    walk(value, w);
    w.out().finish();
    text.front() = '{';
    text.back() = '}';
    return text;
}

}  // namespace parvex::encode::transport
