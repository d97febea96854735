// The reader's entry points: a whole input, or one S-expression from the
// front of a longer input, under a caller's options or the two presets.
#include "decode/reader.hpp"
#include "decode/sexp_builder.hpp"

namespace parvex {

namespace {
// SexpBuilder never fails (running out of memory throws), so a read into it
// stops only for the input's fault.
std::unexpected<Error> input_fault(const Stop& s) { return std::unexpected(std::get<Error>(s)); }
}  // namespace

Result<Sexp> Parser::parse(Bytes input) const {
    SexpBuilder b;
    if (auto r = read_whole(*this, input, b); !r) return input_fault(r.error());
    return b.take();
}

Result<Prefix> Parser::parse_prefix(Bytes input) const {
    SexpBuilder b;
    auto r = read_prefix(*this, input, b);
    if (!r) return input_fault(r.error());
    return Prefix{b.take(), r->consumed};
}

Result<Sexp> parse(Bytes input) { return Parser::defaults().parse(input); }

Result<Sexp> parse_canonical(Bytes input) { return Parser::canonical().parse(input); }

}  // namespace parvex
