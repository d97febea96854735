// Parser::parse_prefix on any octets, under an option set drawn from the
// input: `consumed` never passes the end of the input, the octets it counts
// read on their own to the same value, and everything the reader says of
// a whole input follows from what it says of the prefix.
#include "common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzz;
    const Case c = split(data, size);
    auto r = c.parser.parse_prefix(c.text);
    if (!r) {
        check_error(r.error(), c.parser, c.text);
        auto whole = c.parser.parse(c.text);
        FUZZ_CHECK(!whole && whole.error() == r.error());
        check_builder_failure([&](WatchingBuilder& b) { return parvex::read_prefix(c.parser, c.text, b); }, c,
                              &r.error(), nullptr);
        return 0;
    }
    const std::uint64_t consumed = r->consumed;
    FUZZ_CHECK(consumed >= 1 && consumed <= c.text.size());
    // Leading whitespace counts in `consumed`, but the S-expression itself
    // ends there: read alone, the same octets give the same value.
    const Bytes taken = c.text.first(consumed);
    auto alone = c.parser.parse(taken);
    FUZZ_CHECK(alone && *alone == r->value);
    check_value(r->value, c.parser, taken);
    // What follows decides only whether the whole input is one S-expression.
    auto whole = c.parser.parse(c.text);
    std::uint64_t rest = consumed;
    if (c.parser.allow_advanced)
        while (rest < c.text.size() && parvex::octet::is_whitespace(c.text[rest])) ++rest;
    if (rest == c.text.size()) {
        FUZZ_CHECK(whole && *whole == r->value);
    } else {
        FUZZ_CHECK(!whole && whole.error() == (Error{rest, ErrorKind::TrailingOctets}));
    }
    check_builder_failure([&](WatchingBuilder& b) { return parvex::read_prefix(c.parser, c.text, b); }, c, nullptr,
                          &r->value);
    return 0;
}
