// The module's writing functions: a Python structure to the canonical,
// basic transport or advanced representation (RFC 9804 §6.2–§6.4).
#pragma once

#include <Python.h>

namespace parvex::py {

PyObject* to_canonical_fn(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* to_transport_fn(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* to_advanced_fn(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace parvex::py
