// The Parser class (a reader's option set built from keywords) and the
// reading path shared by its methods and the module's parse functions.
#pragma once

#include <Python.h>

#include "decode/parser.hpp"

namespace parvex::py {

struct ParserObject {
    PyObject_HEAD
    Parser options;
};

/// The process-wide Parser type (borrowed), or nullptr with an exception set.
PyTypeObject* parser_type();

/// Reads `data` (any octet value) under `options`: the value, or with
/// `prefix` a (value, consumed) tuple. Raises ParseError for rejected input.
PyObject* read(const Parser& options, PyObject* data, bool prefix);

}  // namespace parvex::py
