// Transport writer: canonical octets once, into an exactly sized buffer,
// then their base-64 text, also at its exact final size.
#include "encode/transport.hpp"

#include <algorithm>
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

void Base64Out::flush() {
    out_ = base64::encode_to(Bytes(stage_, staged_), out_);
    staged_ = 0;
}

void Base64Out::bulk(const std::uint8_t* s, std::size_t n) {
    while (n != 0) {
        if (staged_ == 0 && n >= kStage) {
            const std::size_t whole = n - n % 3;
            out_ = uncached_ ? base64::encode_to_uncached(Bytes(s, whole), out_)
                             : base64::encode_to(Bytes(s, whole), out_);
            s += whole;
            n -= whole;
            continue;
        }
        const std::size_t take = std::min(n, kStage - staged_);
        copy_octets(stage_ + staged_, s, take);
        staged_ += take;
        s += take;
        n -= take;
        if (staged_ == kStage) flush();
    }
}

char* Base64Out::finish() {
    flush();
    return out_;
}

std::string to_string(const Sexp& value) {
    const std::uint64_t n = canonical::encoded_len(value);
    std::string text(text_len(n), '\0');
    canonical::BasicWriter<Base64Out> w(text.data() + 1, text.size() >= kUncachedFrom);
    walk(value, w);
    text.front() = '{';
    *w.out().finish() = '}';
    return text;
}

}  // namespace parvex::encode::transport
