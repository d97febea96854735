// base64::encode and encode_to on any octets: the text has the announced
// length and only alphabet and pad characters, is the same on every vector
// path the processor has as on the portable one, and decodes to the octets
// again, also with whitespace spread through it as a transport block may
// carry it.
#include <string>

#include "base64/base64.hpp"
#include "common.hpp"
#include "cpu/features.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const parvex::Bytes octets(data, size);
    std::string text = "prefix";
    parvex::base64::encode(octets, text);
    FUZZ_CHECK(text.size() == 6 + parvex::base64::encoded_size(size));
    text.erase(0, 6);
    std::string direct(parvex::base64::encoded_size(size), '\0');
    FUZZ_CHECK(parvex::base64::encode_to(octets, direct.data()) == direct.data() + direct.size());
    FUZZ_CHECK(direct == text);
    for (const parvex::cpu::Features f : {parvex::cpu::Features{true, true, false, false}, parvex::cpu::kPortable}) {
        const parvex::cpu::Features before = parvex::cpu::restrict_to(f);
        std::string other(direct.size(), '\0');
        parvex::base64::encode_to(octets, other.data());
        parvex::cpu::restrict_to(before);
        FUZZ_CHECK(other == direct);
    }
    for (const char c : text)
        FUZZ_CHECK((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
                   c == '=');

    auto back = parvex::base64::decode(fuzz::bytes(text));
    FUZZ_CHECK(back && back->size() == size && std::equal(back->begin(), back->end(), data));

    // The same text with whitespace after every k-th character, k from the
    // first octet.
    if (size == 0) return 0;
    static constexpr char spaces[] = {' ', '\t', '\n', '\v', '\f', '\r'};
    const std::size_t k = data[0] % 7 + 1;
    std::string spread;
    for (std::size_t i = 0; i < text.size(); ++i) {
        spread += text[i];
        if ((i + 1) % k == 0) spread += spaces[(i / k) % sizeof spaces];
    }
    auto spaced = parvex::base64::decode(fuzz::bytes(spread));
    FUZZ_CHECK(spaced && *spaced == *back);
    return 0;
}
