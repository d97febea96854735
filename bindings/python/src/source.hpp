// The structure a writer is given, as a sequence of events: straight from
// the Python objects where reading them runs no Python code, else laid out
// first as pieces that keep what they view alive.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "atom.hpp"
#include "encode/pieces.hpp"
#include "octets.hpp"
#include "types/sexp.hpp"

namespace parvex::py {

/// A Python structure laid out for the writers. The pieces view octets
/// held by the objects the layout keeps references to, or by the octets it
/// converted itself (from integer sequences), for as long as it lives.
class Layout {
public:
    Layout() = default;
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    ~Layout();

    std::vector<encode::Piece> pieces;

private:
    friend bool to_pieces(PyObject* obj, Layout& out);
    std::vector<PyObject*> keep_;  // owned references
    std::vector<Octets> converted_;
};

/// Lays out `obj` as an S-expression: list and tuple (subclasses too) as
/// lists, nested at most 1024 deep and captured when first met, anything
/// else as an atom. False with an exception set on failure.
bool to_pieces(PyObject* obj, Layout& out);

enum class Walk { Done, Failed, Slow };

/// Sends the events of `obj` to `sink` straight from the objects, where
/// that can be done without running any Python code: lists and tuples of
/// bytes, str and Atom. Anything else stops the walk with `Slow` before
/// anything observable has happened, for `to_pieces` to take over. `Failed`
/// leaves the exception `to_pieces` would have raised. A sink with `full()`
/// ends the walk at the close of a list once that returns true.
template <class Sink>
Walk walk_plain(PyObject* obj, PyTypeObject* atom_type, Sink& sink);

constexpr std::size_t kMaxListDepth = 1024;

template <class Sink>
Walk walk_plain(PyObject* x, PyTypeObject* atom_type, Sink& sink) {
    struct Frame {
        PyObject** items;
        Py_ssize_t size;
        Py_ssize_t next;
    };
    Frame stack[kMaxListDepth];
    std::size_t depth = 0;
    for (;;) {
        const unsigned long flags = Py_TYPE(x)->tp_flags;
        if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) {
            if (depth == kMaxListDepth) {
                PyErr_SetString(PyExc_ValueError, "lists nested deeper than 1024");
                return Walk::Failed;
            }
            sink.open();
            stack[depth++] = Frame{PySequence_Fast_ITEMS(x), PySequence_Fast_GET_SIZE(x), 0};
        } else if (is_atom(x, atom_type)) {
            encode::emit_atom(sink, reinterpret_cast<AtomObject*>(x)->atom);  // with its hint
        } else {
            Bytes octets;
            bool backed = false;
            switch (view_octets(x, atom_type, octets, &backed)) {
                case Viewed::Yes:
                    if constexpr (requires { sink.backed_atom(octets); }) {
                        if (backed) {
                            sink.backed_atom(octets);
                            break;
                        }
                    }
                    sink.atom(octets);
                    break;
                case Viewed::Failed: return Walk::Failed;
                case Viewed::No: return Walk::Slow;
            }
        }
        for (;;) {
            if (depth == 0) return Walk::Done;
            Frame& top = stack[depth - 1];
            if (top.next < top.size) {
                x = top.items[top.next++];
                break;
            }
            sink.close();
            --depth;
            if constexpr (requires { sink.full(); }) {
                if (sink.full()) return Walk::Done;  // the rest cannot change the answer
            }
        }
    }
}

}  // namespace parvex::py
