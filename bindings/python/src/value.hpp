// Conversion between Python objects and core values: octet strings from
// bytes, str (UTF-8), bytearray, Atom and integer sequences; lists from
// list and tuple; and the reader's output as bytes, Atom and list. Nested structures are
// walked with explicit stacks.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "atom.hpp"
#include "encode/pieces.hpp"
#include "types/copy.hpp"
#include "types/sexp.hpp"

namespace parvex::py {

/// The octets of `obj`, or false with TypeError (or CPython's
/// UnicodeEncodeError) set. An exception that is not an `Exception` (such
/// as KeyboardInterrupt), or a MemoryError, raised by the object's own code
/// while it is read, is passed on as it is.
bool octets_of(PyObject* obj, Octets& out);

/// Whether the pending exception is one that no conversion may discard:
/// not an `Exception` at all, or a MemoryError.
bool conversion_interrupted();

/// `obj` as a core atom: an Atom with its hint, anything else as a hintless
/// atom of its octets. False with an exception set on failure.
bool to_atom(PyObject* obj, Atom& out);

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

enum class Viewed { Yes, No, Failed };

/// Views the octets of an object that cannot change while it is held:
/// bytes, str (its UTF-8, which the str caches) or an Atom's data. `No` for
/// any other object; `Failed` with CPython's UnicodeEncodeError set.
inline Viewed view_octets(PyObject* obj, PyTypeObject* atom_type, Bytes& out, bool* backed = nullptr) {
    // `backed`, when asked for, tells whether the 16 octets that end where
    // the octets end are all readable, a short string's included: they are
    // when the octets lie at the end of the object's own header.
    static_assert(offsetof(PyBytesObject, ob_sval) >= 16 && sizeof(PyASCIIObject) >= 16);
    const unsigned long flags = Py_TYPE(obj)->tp_flags;
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
        out = Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        if (backed) *backed = true;
        return Viewed::Yes;
    }
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
        if (p == nullptr) return Viewed::Failed;
        out = Bytes(reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n));
        if (backed) *backed = PyUnicode_IS_COMPACT_ASCII(obj);  // else a separate UTF-8 buffer
        return Viewed::Yes;
    }
    if (is_atom(obj, atom_type)) {
        out = Bytes(reinterpret_cast<AtomObject*>(obj)->atom.data);
        return Viewed::Yes;
    }
    return Viewed::No;
}

enum class Walk { Done, Failed, Slow };

/// Sends the events of `obj` to `sink` straight from the objects, where
/// that can be done without running any Python code: lists and tuples of
/// bytes, str and Atom. Anything else stops the walk with `Slow` before
/// anything observable has happened, for `to_pieces` to take over. `Failed`
/// leaves the exception `to_pieces` would have raised.
template <class Sink>
Walk walk_plain(PyObject* obj, PyTypeObject* atom_type, Sink& sink);

constexpr std::size_t kMaxListDepth = 1024;

/// The octets of a reading call's input: viewed in place where the object
/// cannot change while it is read (bytes, str, Atom), copied otherwise.
/// False with an exception set, as for `octets_of`.
bool input_octets(PyObject* obj, Octets& storage, Bytes& view);

/// Builds the reader's output as Python objects as it is read: bytes for a
/// hintless atom, Atom for a hinted one, list for a list. It keeps a stack
/// of finished objects; `list(n)` replaces the top n by a list of them.
/// Each step returns false with a Python exception set on failure.
class PyBuilder {
public:
    explicit PyBuilder(PyTypeObject* atom_type) : atom_type_(atom_type) {}
    PyBuilder(const PyBuilder&) = delete;
    PyBuilder& operator=(const PyBuilder&) = delete;
    ~PyBuilder();

    bool atom(Bytes data) {
        if (size_ == capacity_ && !grow()) return false;
        const auto* p = reinterpret_cast<const char*>(data.data());
        const auto n = static_cast<Py_ssize_t>(data.size());
        // CPython shares the objects of zero or one octet; longer ones are
        // copied here, inline, being short as a rule.
        PyObject* b = PyBytes_FromStringAndSize(n <= 1 ? p : nullptr, n);
        if (b == nullptr) return false;
        if (n > 1) copy_octets(PyBytes_AS_STRING(b), p, data.size());
        stack_[size_++] = b;
        return true;
    }
    bool atom(Bytes data, Bytes hint);
    bool list(std::uint64_t count);
    /// The finished value (a new reference), or nullptr with an exception set.
    PyObject* take();

private:
    bool grow();

    PyTypeObject* atom_type_;
    // Owned references, in storage from PyMem_Malloc so that a list can
    // take it over as its own array of items.
    PyObject** stack_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

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
        }
    }
}

}  // namespace parvex::py
