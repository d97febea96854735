// Checks of the core that Python cannot reach: values far deeper than the
// Python conversions allow are read, compared, written and released without
// recursion, and the base-64 codec round-trips every input of up to three
// octets.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base64/base64.hpp"
#include "decode/parser.hpp"
#include "encode/advanced.hpp"
#include "encode/canonical.hpp"
#include "encode/transport.hpp"

namespace {

int failures = 0;

#define CHECK(cond)                                                       \
    do {                                                                  \
        if (!(cond)) {                                                    \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                   \
        }                                                                 \
    } while (0)

parvex::Bytes bytes(const std::string& s) {
    return parvex::Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

void deep_values() {
    constexpr std::size_t depth = 1'000'000;
    const std::string text = std::string(depth, '(') + "1:x" + std::string(depth, ')');
    parvex::Parser p = parvex::Parser::canonical();
    p.max_depth = depth;
    auto a = p.parse(bytes(text));
    auto b = p.parse(bytes(text));
    CHECK(a && b);
    if (!a || !b) return;
    CHECK(*a == *b);
    CHECK(parvex::encode::canonical::encoded_len(*a) == text.size());
    const parvex::Octets canonical = parvex::encode::canonical::to_vec(*a);
    CHECK(std::string(canonical.begin(), canonical.end()) == text);
    const std::string advanced = parvex::encode::advanced::to_string(*a);
    CHECK(advanced == std::string(depth, '(') + "x" + std::string(depth, ')'));
    const std::string transport = parvex::encode::transport::to_string(*a);
    CHECK(transport.size() == parvex::encode::transport::text_len(text.size()));
    // Move-assigning over a deep value releases the old one.
    *a = parvex::Sexp(parvex::Atom{});
    CHECK(!(*a == *b));
    p.max_depth = depth - 1;
    auto refused = p.parse(bytes(text));
    CHECK(!refused && refused.error() == (parvex::Error{depth - 1, parvex::ErrorKind::TooDeep}));
}

void base64_exhaustive() {
    std::string text;
    for (std::uint32_t n = 0; n <= 3; ++n) {
        const std::uint32_t count = n == 0 ? 1 : 1u << (8 * n);
        for (std::uint32_t v = 0; v < count; ++v) {
            std::uint8_t in[3] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                  static_cast<std::uint8_t>(v >> 16)};
            text.clear();
            parvex::base64::encode(parvex::Bytes(in, n), text);
            auto back = parvex::base64::decode(bytes(text));
            if (!back || back->size() != n || !std::equal(back->begin(), back->end(), in)) {
                std::fprintf(stderr, "base-64 round trip failed for %u octets, value %u\n", n, v);
                ++failures;
                return;
            }
        }
    }
}

// The encoder takes 24 octets at a time where the processor allows: check
// every length up to a few blocks, and every offset of the tail, against a
// plain one-group-at-a-time encoding.
void base64_long() {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uint32_t seed = 12345;
    std::vector<std::uint8_t> in;
    for (std::size_t n = 0; n <= 200; ++n) {
        in.clear();
        for (std::size_t i = 0; i < n; ++i) {
            seed = seed * 1103515245 + 12345;
            in.push_back(static_cast<std::uint8_t>(seed >> 16));
        }
        std::string expected;
        for (std::size_t i = 0; i < n; i += 3) {
            const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (i + 1 < n ? std::uint32_t{in[i + 1]} << 8 : 0) |
                                    (i + 2 < n ? in[i + 2] : 0);
            expected += alphabet[v >> 18];
            expected += alphabet[(v >> 12) & 63];
            expected += i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
            expected += i + 2 < n ? alphabet[v & 63] : '=';
        }
        std::string got;
        parvex::base64::encode(parvex::Bytes(in), got);
        auto back = parvex::base64::decode(bytes(got));
        if (got != expected || !back || *back != in) {
            std::fprintf(stderr, "base-64 of %zu octets differs\n", n);
            ++failures;
            return;
        }
    }
}

}  // namespace

int main() {
    deep_values();
    base64_exhaustive();
    base64_long();
    if (failures != 0) return EXIT_FAILURE;
    std::puts("core checks passed");
    return EXIT_SUCCESS;
}
