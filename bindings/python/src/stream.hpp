// The reading of a stream's S-expressions as their octets arrive: a private
// object, made by `Parser._stream()`, that `parvex.stream` drives.
#pragma once

#include <Python.h>

#include "decode/parser.hpp"

namespace parvex::py {

/// A new reader of one stream under `options`, or nullptr with an
/// exception set.
PyObject* new_stream_reading(const Parser& options);

}  // namespace parvex::py
