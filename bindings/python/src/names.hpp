// Interned attribute and keyword names, made once per process.
#pragma once

#include <Python.h>

namespace parvex::py {

struct Names {
    PyObject* add_note;
    PyObject* dunder_name;    // "__name__"
    PyObject* dunder_module;  // "__module__"
    PyObject* dunder_bool;    // "__bool__"
    PyObject* dunder_all;     // "__all__"
    PyObject* offset;
    PyObject* kind;
    PyObject* numpy;
    PyObject* bool_;
    PyObject* bool_name;  // "bool"
    // Parameters.
    PyObject* data;
    PyObject* hint;
    PyObject* default_;
    PyObject* other;
    PyObject* sexp;
    PyObject* canonical;
    PyObject* max_depth;
    PyObject* max_atom_len;
    PyObject* max_input_len;
    PyObject* allow_advanced;
    PyObject* allow_transport;
    PyObject* allow_display_hints;
    PyObject* allow_empty_atoms;
    PyObject* allow_empty_lists;
    PyObject* allow_list_as_first_element;
    PyObject* allow_hexadecimal;
    PyObject* allow_base64;
    PyObject* allow_lengths;
    PyObject* allow_8bit_in_quoted;  // "_allow_8bit_in_quoted", not documented
};

/// The names, or nullptr with an exception set if they could not be made.
const Names* names();

}  // namespace parvex::py
