// The Parser class: a reader's option set built from keywords, and the
// methods that read under it.
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

}  // namespace parvex::py
