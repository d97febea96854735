// Transport writer: canonical octets once, into an exactly sized buffer,
// then their base-64 text, also at its exact final size.
#include "encode/transport.hpp"

#include <new>

#include "base64/base64.hpp"
#include "encode/canonical.hpp"

namespace parvex::encode::transport {

std::uint64_t text_len(std::uint64_t canonical_len) {
    const std::uint64_t text = base64::encoded_size(canonical_len);
    if (canonical_len > (~std::uint64_t{0} >> 2) || text > (~std::uint64_t{0} >> 1) - 2)
        throw std::bad_alloc();  // cannot be allocated: fatal, as running out of memory
    return text + 2;
}

char* write(Bytes canonical, char* out) {
    *out++ = '{';
    out = base64::encode_to(canonical, out);
    *out++ = '}';
    return out;
}

std::string to_string(const Sexp& value) {
    const Octets octets = canonical::to_vec(value);
    std::string text(text_len(octets.size()), '\0');
    write(octets, text.data());
    return text;
}

}  // namespace parvex::encode::transport
