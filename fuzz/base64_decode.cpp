// base64::decode on any text, against two references written the plain
// way: one over the whole text, which must accept exactly the same texts,
// each re-encoding to its canonical form (whitespace dropped, padding
// completed); and one character at a time, which must give the same octets
// and fail at the same offset, whether or not the decoder took the text in
// blocks; and the decoder on the portable path, which must agree with its
// vector path.
#include <string>

#include "../tests/native/plain_base64.hpp"
#include "base64/base64.hpp"
#include "common.hpp"
#include "cpu/features.hpp"

namespace {

// RFC 4648 §4 with optional padding, whitespace anywhere, and leftover bits
// that must be zero. Returns the canonical text, or false.
bool reference(parvex::Bytes text, std::string& canonical) {
    std::string s;
    for (const std::uint8_t c : text)
        if (!parvex::octet::is_whitespace(c)) s += static_cast<char>(c);
    std::size_t pad = 0;
    while (pad < s.size() && s[s.size() - 1 - pad] == '=') ++pad;
    const std::string body = s.substr(0, s.size() - pad);
    for (const char c : body)
        if (plain::sextet(static_cast<std::uint8_t>(c)) < 0) return false;
    const std::size_t tail = body.size() % 4;
    if (tail == 1) return false;
    if (pad != 0 && !((tail == 2 && pad == 2) || (tail == 3 && pad == 1))) return false;
    if (tail == 2 && (plain::sextet(static_cast<std::uint8_t>(body.back())) & 0x0F) != 0) return false;
    if (tail == 3 && (plain::sextet(static_cast<std::uint8_t>(body.back())) & 0x03) != 0) return false;
    canonical = body;
    if (tail != 0) canonical.append(4 - tail, '=');
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const parvex::Bytes text(data, size);
    auto decoded = parvex::base64::decode(text);
    const parvex::cpu::Features before = parvex::cpu::restrict_to(parvex::cpu::kPortable);
    const auto portable = parvex::base64::decode(text);
    parvex::cpu::restrict_to(before);
    FUZZ_CHECK(portable.has_value() == decoded.has_value());
    FUZZ_CHECK(decoded ? *portable == *decoded : portable.error().offset == decoded.error().offset);
    std::string canonical;
    const bool valid = reference(text, canonical);
    FUZZ_CHECK(decoded.has_value() == valid);
    const plain::Decoded one_by_one = plain::decode(text);
    FUZZ_CHECK(one_by_one.ok == valid);
    if (!decoded) {
        FUZZ_CHECK(decoded.error().offset <= size);
        FUZZ_CHECK(decoded.error().offset == one_by_one.offset);
        return 0;
    }
    FUZZ_CHECK(*decoded == one_by_one.octets);
    std::string again;
    parvex::base64::encode(parvex::Bytes(*decoded), again);
    FUZZ_CHECK(again == canonical);
    return 0;
}
