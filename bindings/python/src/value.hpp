// Conversion between Python objects and core values: octet strings from
// bytes, str (UTF-8), bytearray, Atom and integer sequences; lists from
// list and tuple; and the reader's output as bytes, Atom and list. Nested structures are
// walked with explicit stacks.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

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

    bool atom(Bytes data);
    bool atom(Bytes data, Bytes hint);
    bool list(std::uint64_t count);
    /// The finished value (a new reference), or nullptr with an exception set.
    PyObject* take();

private:
    PyTypeObject* atom_type_;
    std::vector<PyObject*> stack_;  // owned references
};

}  // namespace parvex::py
