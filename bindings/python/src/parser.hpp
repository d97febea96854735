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

enum class ReadMode {
    Whole,   // the value
    Prefix,  // (value, consumed)
    Next,    // (value, consumed, open): see `Parser._read_next`
};

/// Reads `data` (any octet value) under `options`, as `mode` says. Raises
/// ParseError for rejected input, its offset counted from `base`.
PyObject* read(const Parser& options, PyObject* data, ReadMode mode, std::uint64_t base = 0);

}  // namespace parvex::py
