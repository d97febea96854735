// Interned attribute and keyword names, made once per process.
#pragma once

#include <Python.h>

#include <string>

#include "decode/parser.hpp"

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
    PyObject* read;
    PyObject* ended;
    PyObject* chunk_size;
    /// The Parser keywords of the option table, in its order.
    PyObject* options[parser_options.size()];
};

/// The names, or nullptr with an exception set if they could not be made.
const Names* names();

/// The Python keyword of an option: its name, with a leading underscore for
/// a leniency, which is kept out of the documented keywords.
inline std::string keyword(const OptionInfo& o) {
    std::string k = o.kind == OptionKind::Leniency ? "_" : "";
    return k.append(o.name);
}

}  // namespace parvex::py
