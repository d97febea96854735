// Decoder: the S-expressions of a stream read as its octets are handed in
// (sans-IO: the caller does the reading), and the engine under
// `parvex.iter_parse`, which does the reading through it.
#pragma once

#include <Python.h>

namespace parvex::py {

/// The process-wide Decoder type (borrowed), or nullptr with an exception set.
PyTypeObject* decoder_type();

/// The process-wide StreamReader type, which reads its own input from a
/// stream as a Decoder reads what it is given (borrowed), or nullptr with
/// an exception set.
PyTypeObject* stream_reader_type();

}  // namespace parvex::py
