// base64::decode on any text, against a reference written the plain way:
// both accept exactly the same texts, a failure points into the text, and
// every accepted text re-encodes to its canonical form (whitespace
// dropped, padding completed).
#include <string>

#include "base64/base64.hpp"
#include "common.hpp"

namespace {

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

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
        if (sextet(c) < 0) return false;
    const std::size_t tail = body.size() % 4;
    if (tail == 1) return false;
    if (pad != 0 && !((tail == 2 && pad == 2) || (tail == 3 && pad == 1))) return false;
    if (tail == 2 && (sextet(body.back()) & 0x0F) != 0) return false;
    if (tail == 3 && (sextet(body.back()) & 0x03) != 0) return false;
    canonical = body;
    if (tail != 0) canonical.append(4 - tail, '=');
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const parvex::Bytes text(data, size);
    auto decoded = parvex::base64::decode(text);
    std::string canonical;
    const bool valid = reference(text, canonical);
    FUZZ_CHECK(decoded.has_value() == valid);
    if (!decoded) {
        FUZZ_CHECK(decoded.error().offset <= size);
        return 0;
    }
    std::string again;
    parvex::base64::encode(parvex::Bytes(*decoded), again);
    FUZZ_CHECK(again == canonical);
    return 0;
}
