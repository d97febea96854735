// The structure a writer is given, walked once as a sequence of events
// (encode/sink.hpp): lists and tuples as lists, everything else as atoms.
// While only bytes, str, Atom, lists and tuples are met, no Python code can
// run, and the walk reads the objects where they lie. The first object that
// must be converted through its own code (a sequence of integers) makes the
// walk take references to everything it has yet to visit, as it stands at
// that moment, and to every atom already sent whose octets a writer may
// still read (those long enough to be deferred), so that the code cannot
// pull an object from under it; the walk then goes on from where it was.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "atom.hpp"
#include "compat.hpp"
#include "encode/sink.hpp"
#include "octets.hpp"
#include "types/sexp.hpp"

namespace parvex::py {

/// The deepest the writers nest lists.
inline constexpr std::size_t kMaxWriteDepth = 1024;

/// Sets ValueError "lists nested deeper than 1024", the writers' refusal of
/// a deeper value (a list that contains itself among them); returns false.
bool nested_too_deep();

/// A walk of a Python structure for a writer. The octets of every atom it
/// sends stay where they are, unchanged, until the Source is destroyed, so
/// that a writer may note long ones and copy them at the end.
class Source {
public:
    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source();

    /// Sends the events of `x` to `sink`: lists and tuples (subclasses too)
    /// as lists, nested at most `kMaxWriteDepth` deep, each captured as it
    /// stands when the walk first reaches it; anything else as an atom.
    /// False with an exception set on failure; the events sent so far are
    /// then to be discarded.
    template <encode::BackedSink S>
    bool walk(PyObject* x, S& sink);

private:
    static constexpr Py_ssize_t kAhead = 16;
    struct Frame {
        PyObject* const* items;
        Py_ssize_t size;
        Py_ssize_t next;
        Py_ssize_t skipped;  // items of the list before `items[0]`
    };

    bool push(PyObject* seq) {
        Frame& f = stack_[depth_++];
        f = Frame{PySequence_Fast_ITEMS(seq), PySequence_Fast_GET_SIZE(seq), 0, 0};
        // The objects of a list lie wherever they were made: ask for the
        // first few at once, and then each one that many items ahead as the
        // walk goes (below), so that their loads overlap.
        const Py_ssize_t first = f.size < kAhead ? f.size : kAhead;
        for (Py_ssize_t i = 0; i < first; ++i) __builtin_prefetch(f.items[i]);
        return !pinned_ || own(f);
    }
    void pop() {
        Frame& f = stack_[--depth_];
        if (depth_ < owned_) {
            keep(f);
            owned_ = depth_;
        }
    }
    // The bytes objects, the common atom, that come next in a list: the
    // atoms of a run (encode::BackedRun) that ends before any other item.
    struct BytesRun {
        Source& source;
        PyObject* const* items;
        Py_ssize_t size;
        Py_ssize_t at;
        bool next(Bytes& b) {
            if (at < size - kAhead) __builtin_prefetch(items[at + kAhead]);  // one test while any is ahead
            else if (at == size) return false;
            PyObject* item = items[at];
            if (!is_bytes(item)) return false;
            ++at;
            b = bytes_of(item);
            source.note_deferrable(item, b.size());
            return true;
        }
        std::size_t most() const { return static_cast<std::size_t>(size - at); }
        static bool is_bytes(PyObject* x) { return Py_TYPE(x)->tp_flags & Py_TPFLAGS_BYTES_SUBCLASS; }
        static Bytes bytes_of(PyObject* x) {
            return Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(x)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(x)));
        }
    };
    // Sends the bytes objects that come next in the list of `top` to `sink`;
    // true with `x` the next item that is something else, false where the
    // list has no items left.
    template <encode::BackedSink S>
    bool next_other(Frame& top, S& sink, PyObject*& x);
    // Notes an atom of `n` octets, sent while nothing holds it, that a
    // writer may defer: it is held once Python code may run (once pinned,
    // its frame holds it).
    void note_deferrable(PyObject* atom, std::size_t n) {
        if (n >= encode::kDeferFrom && !pinned_) [[unlikely]]
            defer(atom);
    }
    // Out of line for clang (the wheels), whose registers for the writers'
    // run loop spill around the call otherwise: wide `to_advanced` 5%
    // slower. g++ does better inline: records 4% slower out of line.
#if defined(__clang__)
    [[gnu::noinline, gnu::cold]]
#endif
    void defer(PyObject* atom) {
        deferrable_.push_back(atom);
    }
    // Takes references to what every open frame has yet to give, to the
    // deferrable atoms already sent, and to what each frame opened from now
    // on holds; false with an exception set if memory runs out.
    bool pin();
    bool own(Frame& f);
    // Keeps the references of a finished frame until the end of the write.
    void keep(Frame& f);
    // Converts an atom that only its own code can read (not bytes, str or
    // Atom), first pinning the frames; nullptr with an exception set.
    const Octets* convert(PyObject* obj);
    // Notes where in the value the atom being sent lies, on the exception
    // its conversion raised; returns false.
    bool failed_here() const;

    Frame stack_[kMaxWriteDepth];
    std::size_t depth_ = 0;
    // The frames from the bottom that hold copies of their items, with a
    // reference to each: none before pinning, all after, but where a copy
    // failed, which ends the walk.
    std::size_t owned_ = 0;
    bool pinned_ = false;
    std::vector<PyObject*> kept_;        // owned references
    std::vector<PyObject*> deferrable_;  // borrowed until pinned
    std::vector<Octets> converted_;
};

// Inlined into each writer's entry, whose target (AVX2, AVX-512) it then
// takes, with the sink's helpers of that target: clang's `flatten` reaches
// no further than the entry's own calls.
template <encode::BackedSink S>
[[gnu::always_inline]] inline bool Source::walk(PyObject* x, S& sink) {
    PyTypeObject* atom_type = py::atom_type();
    if (atom_type == nullptr) return false;
    for (;;) {
        const unsigned long flags = Py_TYPE(x)->tp_flags;
        if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) {
            if (depth_ == kMaxWriteDepth) return nested_too_deep();
            sink.open();
            if (!push(x)) return false;
        } else if (is_atom(x, atom_type)) {
            const Atom& a = reinterpret_cast<AtomObject*>(x)->atom;
            note_deferrable(x, std::max(a.data.size(), a.hint ? a.hint->size() : 0));
            encode::emit_atom(sink, a);
        } else {
            Bytes b;
            bool backed = false;
            switch (view_octets(x, atom_type, b, &backed)) {  // bytes or str
                case Viewed::Yes:
                    note_deferrable(x, b.size());
                    if (backed) sink.backed_atom(b);
                    else sink.atom(b);
                    break;
                case Viewed::Failed: return failed_here();
                case Viewed::No: {
                    const Octets* o = convert(x);
                    if (o == nullptr) return failed_here();
                    sink.atom(Bytes(*o));
                    break;
                }
            }
        }
        for (;;) {  // the next item, closing the lists that have none left
            if (depth_ == 0) return true;
            Frame& top = stack_[depth_ - 1];
            if (next_other(top, sink, x)) break;
            sink.close();
            pop();
        }
    }
}

template <encode::BackedSink S>
bool Source::next_other(Frame& top, S& sink, PyObject*& x) {
    const Py_ssize_t at = top.next;
    if (at == top.size) return false;
    PyObject* item = top.items[at];
    if (!BytesRun::is_bytes(item)) {
        top.next = at + 1;
        x = item;
        return true;
    }
    // A run pays for itself from two bytes objects on; one alone (a list's
    // head before a list, as in small records and deep values) goes as it is.
    if (at + 1 == top.size || !BytesRun::is_bytes(top.items[at + 1])) {
        if (at + kAhead < top.size) __builtin_prefetch(top.items[at + kAhead]);
        const Bytes b = BytesRun::bytes_of(item);
        note_deferrable(item, b.size());
        if constexpr (compat::kBytesBacked) sink.backed_atom(b);
        else sink.atom(b);
        if (at + 1 == top.size) {
            top.next = at + 1;
            return false;
        }
        top.next = at + 2;
        x = top.items[at + 1];
        return true;
    }
    BytesRun run{*this, top.items, top.size, at};
    if constexpr (compat::kBytesBacked) {
        sink.backed_atoms(run);
    } else {
        for (Bytes b; run.next(b);) sink.atom(b);
    }
    top.next = run.at;
    if (run.at == run.size) return false;
    x = top.items[top.next++];
    return true;
}

}  // namespace parvex::py
