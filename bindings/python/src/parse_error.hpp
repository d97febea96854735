// ParseError: the exception for input the reader rejects, carrying the
// octet `offset` and a `kind` string.
#pragma once

#include <Python.h>

#include <cstdint>

#include "decode/error.hpp"
#include "types/sexp.hpp"

namespace parvex::py {

/// The process-wide ParseError class (borrowed), or nullptr with an
/// exception set.
PyObject* parse_error_type();

/// A new ParseError for `e`, or nullptr with an exception set.
PyObject* new_parse_error(const Error& e);

/// A new ParseError for the kind named `kind` (a str) at `offset` (an
/// int), or nullptr with an exception set: for readers of pieces of a
/// larger input, which report a failure where it lies in the whole.
PyObject* parse_error_of(PyObject* kind, PyObject* offset);

/// Sets ParseError for `e` as the current exception.
void raise_parse_error(const Error& e);

/// The same, with notes that tell what to write instead where the octets
/// around the fault show a common mistake (a token that starts with a
/// digit, octets above 0x7F where only ASCII can stand). `input` holds the
/// octets read, the first of which lies at `input_at` in the whole input.
void raise_parse_error(const Error& e, Bytes input, std::uint64_t input_at);

}  // namespace parvex::py
