// The Python class Atom: an octet string with an optional display hint
// (RFC 9804 §4.6, §4.7), wrapping one core Atom.
#pragma once

#include <Python.h>

#include "types/sexp.hpp"

namespace parvex::py {

struct AtomObject {
    PyObject_HEAD
    Atom atom;
};

/// The process-wide Atom type (borrowed), or nullptr with an exception set.
PyTypeObject* atom_type();

/// Whether `obj` is an Atom (no subclass can exist).
inline bool is_atom(PyObject* obj, PyTypeObject* type) { return Py_IS_TYPE(obj, type); }

/// A new Atom instance that takes over `value`, or nullptr with an
/// exception set.
PyObject* new_atom(PyTypeObject* type, Atom&& value);

}  // namespace parvex::py
