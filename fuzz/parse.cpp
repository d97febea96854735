// Parser::parse on any octets, under an option set drawn from the input:
// a failure points into the input (or at max_input_len), a value is
// written back in all three representations and reads again to an equal
// value, the prefix reader agrees, and a builder that gives up ends the
// read cleanly, and the portable paths read the same.
#include "common.hpp"
#include "cpu/features.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzz;
    const Case c = split(data, size);
    auto r = c.parser.parse(c.text);
    auto prefix = c.parser.parse_prefix(c.text);
    const parvex::cpu::Features before = parvex::cpu::restrict_to(parvex::cpu::kPortable);
    const auto portable = c.parser.parse(c.text);
    parvex::cpu::restrict_to(before);
    FUZZ_CHECK(portable.has_value() == r.has_value());
    FUZZ_CHECK(r ? *portable == *r : portable.error() == r.error());
    if (!r) {
        check_error(r.error(), c.parser, c.text);
        // The whole input fails where its first S-expression does, or after it.
        if (!prefix) FUZZ_CHECK(prefix.error() == r.error());
        else FUZZ_CHECK(r.error().kind == ErrorKind::TrailingOctets && r.error().offset >= prefix->consumed);
        check_builder_failure([&](WatchingBuilder& b) { return parvex::read_whole(c.parser, c.text, b); }, c,
                              &r.error(), nullptr);
        return 0;
    }
    check_value(*r, c.parser, c.text);
    FUZZ_CHECK(prefix && prefix->value == *r && prefix->consumed <= c.text.size());
    check_builder_failure([&](WatchingBuilder& b) { return parvex::read_whole(c.parser, c.text, b); }, c, nullptr, &*r);
    return 0;
}
