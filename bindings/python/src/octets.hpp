// Octets from Python objects: bytes, str (as UTF-8), bytearray, the data of
// an Atom, and sequences of integers 0 to 255; an atom from any of them.
// What the reading functions take as input and the writers take as atoms.
#pragma once

#include <Python.h>

#include "atom.hpp"
#include "compat.hpp"
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

enum class Viewed { Yes, No, Failed };

/// Views the octets of an object that cannot change while it is held:
/// bytes, str (its UTF-8, which the str caches) or an Atom's data. `No` for
/// any other object; `Failed` with CPython's UnicodeEncodeError set.
/// `backed`, when asked for, tells whether the 16 octets that end where the
/// octets end are all readable, a short string's included.
inline Viewed view_octets(PyObject* obj, PyTypeObject* atom_type, Bytes& out, bool* backed = nullptr) {
    const unsigned long flags = Py_TYPE(obj)->tp_flags;
    if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
        out = Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        if (backed) *backed = compat::bytes_backed(obj);
        return Viewed::Yes;
    }
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
        if (p == nullptr) return Viewed::Failed;
        out = Bytes(reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n));
        if (backed) *backed = compat::str_backed(obj);
        return Viewed::Yes;
    }
    if (is_atom(obj, atom_type)) {
        out = Bytes(reinterpret_cast<AtomObject*>(obj)->atom.data);
        return Viewed::Yes;
    }
    return Viewed::No;
}

/// The octets of a reading call's input: viewed in place where the object
/// cannot change while it is read (bytes, str, Atom), copied otherwise.
/// False with an exception set, as for `octets_of`.
bool input_octets(PyObject* obj, Octets& storage, Bytes& view);

}  // namespace parvex::py
