// Conversion between Python objects and core values: octet strings from
// bytes, str (UTF-8), bytearray, Atom and integer sequences; lists from
// list and tuple; and back to bytes, Atom and list. Nested structures are
// walked with explicit stacks.
#pragma once

#include <Python.h>

#include <optional>

#include "types/sexp.hpp"

namespace parvex::py {

/// The octets of `obj`, or false with TypeError (or CPython's
/// UnicodeEncodeError) set.
bool octets_of(PyObject* obj, Octets& out);

/// `obj` as a core atom: an Atom with its hint, anything else as a hintless
/// atom of its octets. False with an exception set on failure.
bool to_atom(PyObject* obj, Atom& out);

/// `obj` as an S-expression, or nothing with an exception set. Lists and
/// tuples nest at most 1024 deep.
std::optional<Sexp> to_sexp(PyObject* obj);

/// A new Python object for `value`: bytes, Atom or list. The value's octets
/// are moved out of it, so it is left hollow.
PyObject* from_sexp(Sexp& value);

}  // namespace parvex::py
