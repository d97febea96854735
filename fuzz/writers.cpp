// The three writers and encoded_len on values built from the input by a
// small program; each writer's text the same on the portable paths as on
// the vector paths the processor has. Values nested a million levels deep
// are written, read back, compared and released without recursion in a
// check of their own (tests/native/core_test.cpp), so that every input
// here stays quick to fuzz.
#include <tuple>
#include <vector>

#include "common.hpp"
#include "cpu/features.hpp"

namespace {

using parvex::Atom;
using parvex::Octets;
using parvex::Sexp;

// Reads the program: one octet per step, its low three bits the operation.
//   0 open a list            1 close the innermost list
//   2 atom, length and octets from the input
//   3 hinted atom, hint then data as in 2
//   4 atom with a present, empty hint, data as in 2
//   5 chain: the last element, or an empty list, inside n + 1 lists, n the
//     next octet
//   6 atom of n copies of the octet o, n and o the next two octets
//   7 n empty atoms, n the next octet
class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    Sexp build() {
        std::vector<std::vector<Sexp>> open(1);
        while (p_ < end_) {
            const std::uint8_t op = *p_++ & 7;
            std::vector<Sexp>& top = open.back();
            switch (op) {
                case 0:
                    open.emplace_back();
                    break;
                case 1:
                    if (open.size() > 1) {
                        Sexp done(Sexp::List(std::move(open.back())));
                        open.pop_back();
                        open.back().push_back(std::move(done));
                    }
                    break;
                case 2:
                    top.push_back(Sexp(Atom{octets(), std::nullopt}));
                    break;
                case 3: {
                    Octets hint = octets();
                    top.push_back(Sexp(Atom{octets(), std::move(hint)}));
                    break;
                }
                case 4:
                    top.push_back(Sexp(Atom{octets(), Octets{}}));
                    break;
                case 5: {
                    Sexp v = top.empty() ? Sexp(Sexp::List{}) : take_last(top);
                    const std::size_t levels = std::size_t{next()} + 1;
                    for (std::size_t i = 0; i < levels; ++i) {
                        std::vector<Sexp> one;
                        one.push_back(std::move(v));
                        v = Sexp(Sexp::List(std::move(one)));
                    }
                    top.push_back(std::move(v));
                    break;
                }
                case 6: {
                    const std::size_t n = next();
                    top.push_back(Sexp(Atom{Octets(n, next()), std::nullopt}));
                    break;
                }
                case 7:
                    for (std::size_t n = next(); n > 0; --n) top.push_back(Sexp(Atom{}));
                    break;
            }
        }
        while (open.size() > 1) {
            Sexp done(Sexp::List(std::move(open.back())));
            open.pop_back();
            open.back().push_back(std::move(done));
        }
        std::vector<Sexp>& outer = open.back();
        if (outer.size() == 1) return take_last(outer);
        return Sexp(Sexp::List(std::move(outer)));
    }

private:
    std::uint8_t next() { return p_ < end_ ? *p_++ : 0; }
    Octets octets() {
        const std::size_t n = std::min<std::size_t>(next() % 64, static_cast<std::size_t>(end_ - p_));
        Octets o(p_, p_ + n);
        p_ += n;
        return o;
    }
    static Sexp take_last(std::vector<Sexp>& l) {
        Sexp v = std::move(l.back());
        l.pop_back();
        return v;
    }
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Sexp v = Program(data, size).build();
    fuzz::check_written(v, parvex::kNoLimit);
    namespace enc = parvex::encode;
    // The canonical writer has no vector path of its own.
    const auto texts = [&] { return std::tuple(enc::advanced::to_string(v), enc::transport::to_string(v)); };
    const auto vector = texts();
    const parvex::cpu::Features before = parvex::cpu::restrict_to(parvex::cpu::kPortable);
    const auto portable = texts();
    parvex::cpu::restrict_to(before);
    FUZZ_CHECK(portable == vector);
    return 0;
}
