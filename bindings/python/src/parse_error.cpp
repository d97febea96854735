// ParseError: a ValueError whose instances raised by the reading functions
// carry `offset` and `kind` as instance attributes.
#include "parse_error.hpp"

#include <string_view>

#include "boundary.hpp"
#include "names.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace parvex::py {

namespace {

Once<PyObject> type_cell;

constexpr const char doc[] =
    "Raised where input is not an S-expression the parser accepts.\n\n"
    "Carries `offset`, the octet the offending construct begins at, and `kind`, a short name for what was wrong.";

PyObject* make() {
    PyObject* type = PyErr_NewExceptionWithDoc("parvex.ParseError", doc, PyExc_ValueError, nullptr);
    if (type == nullptr) {
        PyErr_Clear();
        throw Fault("Failed to initialize new exception type.");
    }
    return type;
}

}  // namespace

PyObject* parse_error_type() { return type_cell.get(make); }

PyObject* new_parse_error(const Error& e) {
    const Names* names = py::names();
    PyObject* type = parse_error_type();
    if (names == nullptr || type == nullptr) return nullptr;
    const std::string text = describe(e);
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return nullptr;
    Ref exc = Ref::steal(PyObject_CallOneArg(type, message.get()));
    if (!exc) return nullptr;
    Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(e.offset));
    if (!offset || PyObject_SetAttr(exc.get(), names->offset, offset.get()) < 0) return nullptr;
    const std::string_view k = kind_string(e.kind);
    Ref kind = Ref::steal(PyUnicode_FromStringAndSize(k.data(), static_cast<Py_ssize_t>(k.size())));
    if (!kind || PyObject_SetAttr(exc.get(), names->kind, kind.get()) < 0) return nullptr;
    return exc.release();
}

PyObject* parse_error_of(PyObject* kind, PyObject* offset) {
    Py_ssize_t n;
    const char* k = PyUnicode_Check(kind) ? PyUnicode_AsUTF8AndSize(kind, &n) : nullptr;
    if (k == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "kind must be a str");
        return nullptr;
    }
    const std::uint64_t at = PyLong_AsUnsignedLongLong(offset);
    if (at == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
    for (const ErrorInfo& e : error_table)
        if (e.kind_string == std::string_view(k, static_cast<std::size_t>(n))) return new_parse_error(Error{at, e.kind});
    PyErr_Format(PyExc_ValueError, "no such kind of ParseError: %R", kind);
    return nullptr;
}

void raise_parse_error(const Error& e) {
    Ref exc = Ref::steal(new_parse_error(e));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace parvex::py
