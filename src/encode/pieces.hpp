// Writers take a value as a sequence of events: a list opens, an atom, a
// list closes. A sink (the sizing and writing halves of each writer)
// receives them; `walk` produces them from a core value with an explicit
// stack, and `replay` from pieces, a compact record of events that any
// other tree (Python objects, in the binding) can be laid out as, so that
// it is read once and then sized and written from the record.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "types/sexp.hpp"

namespace parvex::encode {

/// One recorded event in 16 octets: the octets of an atom (or hint) where
/// they live, and the kind in the low bits of the length word. A hinted atom
/// is two events, its hint and then its data.
class Piece {
public:
    enum class Kind : std::uint8_t { Open, Close, Atom, Hint };

    static Piece open() { return Piece(nullptr, 0, Kind::Open); }
    static Piece close() { return Piece(nullptr, 0, Kind::Close); }
    static Piece atom(Bytes b) { return Piece(b.data(), b.size(), Kind::Atom); }
    static Piece hint(Bytes b) { return Piece(b.data(), b.size(), Kind::Hint); }

    Kind kind() const { return static_cast<Kind>(word_ & 3); }
    Bytes bytes() const { return Bytes(ptr_, static_cast<std::size_t>(word_ >> 2)); }

private:
    Piece(const std::uint8_t* p, std::uint64_t n, Kind k) : ptr_(p), word_(n << 2 | static_cast<std::uint64_t>(k)) {}
    const std::uint8_t* ptr_;
    std::uint64_t word_;
};

template <class Sink>
void emit_atom(Sink& sink, const Atom& a) {
    if (a.hint)
        sink.atom(Bytes(a.data), Bytes(*a.hint));
    else
        sink.atom(Bytes(a.data));
}

/// Sends the events of `value` to `sink`, depth first, without recursion.
template <class Sink>
void walk(const Sexp& value, Sink& sink) {
    std::vector<const Sexp*> stack{&value};  // nullptr closes a list
    while (!stack.empty()) {
        const Sexp* v = stack.back();
        stack.pop_back();
        if (v == nullptr) {
            sink.close();
        } else if (v->is_atom()) {
            emit_atom(sink, v->atom());
        } else {
            sink.open();
            stack.push_back(nullptr);
            const Sexp::List& items = v->list();
            for (std::size_t i = items.size(); i-- > 0;) stack.push_back(&items[i]);
        }
    }
}

/// Sends recorded events to `sink`.
template <class Sink>
void replay(std::span<const Piece> pieces, Sink& sink) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        switch (p.kind()) {
            case Piece::Kind::Open: sink.open(); break;
            case Piece::Kind::Close: sink.close(); break;
            case Piece::Kind::Atom: sink.atom(p.bytes()); break;
            case Piece::Kind::Hint: sink.atom(pieces[++i].bytes(), p.bytes()); break;
        }
    }
}

}  // namespace parvex::encode
