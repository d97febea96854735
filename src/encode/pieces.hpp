// Writers take a value as a sequence of events: a list opens, an atom, a
// list closes. A sink (the sizing and writing halves of each writer)
// receives them; `walk` produces them from a core value with an explicit
// stack, and `replay` from pieces, a flat record of events that any other
// tree (Python objects, in the binding) can be laid out as.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "types/sexp.hpp"

namespace parvex::encode {

/// One event, its atom's octets viewed where they live.
struct Piece {
    enum class Kind : std::uint8_t { Open, Close, Atom, HintedAtom };
    Kind kind;
    Bytes data{};
    Bytes hint{};
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
    for (const Piece& p : pieces) {
        switch (p.kind) {
            case Piece::Kind::Open: sink.open(); break;
            case Piece::Kind::Close: sink.close(); break;
            case Piece::Kind::Atom: sink.atom(p.data); break;
            case Piece::Kind::HintedAtom: sink.atom(p.data, p.hint); break;
        }
    }
}

}  // namespace parvex::encode
