// Conversion between Python objects and core values: octet strings from
// bytes, str (UTF-8), bytearray, Atom and integer sequences; lists from
// list and tuple; and the reader's output as bytes, Atom and list. Nested structures are
// walked with explicit stacks.
#pragma once

#include <Python.h>

#include <algorithm>
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
    /// `input_len` sizes the stack up front: an element takes at least two
    /// octets, and reserving a pointer per eight keeps large inputs from
    /// growing it many times over.
    PyBuilder(PyTypeObject* atom_type, std::size_t input_len) : atom_type_(atom_type) {
        stack_.reserve(std::min<std::size_t>(input_len / 8, std::size_t{1} << 24) + 16);
    }
    PyBuilder(const PyBuilder&) = delete;
    PyBuilder& operator=(const PyBuilder&) = delete;
    ~PyBuilder();

    bool atom(Bytes data) {
        PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                static_cast<Py_ssize_t>(data.size()));
        if (b == nullptr) return false;
        stack_.push_back(b);
        return true;
    }
    bool atom(Bytes data, Bytes hint);
    bool list(std::uint64_t count);
    /// The finished value (a new reference), or nullptr with an exception set.
    PyObject* take();

private:
    PyTypeObject* atom_type_;
    std::vector<PyObject*> stack_;  // owned references
};

}  // namespace parvex::py
