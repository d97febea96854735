// The reading path shared by the module's parse functions and Parser's
// methods.
#pragma once

#include <Python.h>

#include "decode/parser.hpp"

namespace parvex::py {

enum class ReadMode {
    Whole,      // the value
    Prefix,     // (value, consumed)
    Canonical,  // the value's canonical octets, as bytes
};

/// Reads `data` (any octet value) under `options`, as `mode` says. Raises
/// ParseError for rejected input.
PyObject* read(const Parser& options, PyObject* data, ReadMode mode);

}  // namespace parvex::py
