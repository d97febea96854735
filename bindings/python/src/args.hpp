// Binding call arguments to parameters from a declarative signature, for
// vectorcall entry points and for tp_new (tuple and dict) alike, with
// CPython-style TypeError messages. The binder only binds: converting the
// bound objects is the entry point's business.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "names.hpp"

namespace parvex::py {

struct Param {
    const char* name;
    PyObject* Names::* interned;  // or nullptr for a Parser option:
    std::size_t option = 0;       // its index in `parser_options`

    PyObject* key(const Names& n) const { return interned != nullptr ? n.*interned : n.options[option]; }
};

struct Signature {
    const char* function;  // as messages name it: "parse()", "Parser.parse()"
    std::span<const Param> positional;
    std::size_t required;  // leading positional parameters that must be given
    std::span<const Param> keyword_only;

    std::size_t size() const { return positional.size() + keyword_only.size(); }
};

/// Fills `slots` (one per parameter, positional first) with borrowed
/// references, nullptr where a parameter was not given. Returns false with
/// TypeError set when the arguments do not fit.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots);
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

/// A METH_FASTCALL | METH_KEYWORDS entry point as the PyCFunction that a
/// PyMethodDef holds.
template <class F>
constexpr PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// Adds "while processing '<name>'" to the current exception's notes; a
/// failure to add it is ignored.
void add_processing_note(const char* name);

/// Adds `text` to the current exception's notes; a failure to add it is
/// ignored.
void add_note(const char* text);

}  // namespace parvex::py
