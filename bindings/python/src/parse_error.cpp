// ParseError: a ValueError whose instances raised by the reading functions
// carry `offset` and `kind` as instance attributes.
#include "parse_error.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "boundary.hpp"
#include "names.hpp"
#include "once.hpp"
#include "ref.hpp"
#include "types/octet_classes.hpp"

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
        if (e.kind_string == std::string_view(k, static_cast<std::size_t>(n)))
            return new_parse_error(Error{at, e.kind});
    PyErr_Format(PyExc_ValueError, "no such kind of ParseError: %R", kind);
    return nullptr;
}

void raise_parse_error(const Error& e) {
    Ref exc = Ref::steal(new_parse_error(e));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

namespace {

bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// The token-like run that starts with the digits ending at `at` (or
// holding it), where it stands where a token could: at the start, or after
// a delimiter or whitespace.
std::string digit_token(Bytes in, std::uint64_t at) {
    std::uint64_t from = std::min<std::uint64_t>(at, in.size());
    while (from > 0 && is_digit(in[from - 1])) --from;
    if (from == in.size() || !is_digit(in[from])) return {};
    std::uint64_t to = from;
    while (to < in.size() && octet::is_token_octet(in[to])) ++to;
    if (from != 0 && !std::memchr(" \t\n\r\v\f()[]", in[from - 1], 11)) return {};
    return std::string(reinterpret_cast<const char*>(in.data() + from), to - from);
}

// What to write instead, for the fault `e` among `in`'s octets.
std::string advice(const Error& e, Bytes in, std::uint64_t at) {
    char text[256];
    if (e.kind == ErrorKind::UnexpectedOctet || e.kind == ErrorKind::LengthLeadingZero ||
        e.kind == ErrorKind::LengthOverflow) {
        if (at < in.size() && in[at] >= 0x80) {
            std::snprintf(text, sizeof text,
                          "octet 0x%02x (above 0x7F, as in UTF-8 text) cannot stand in a token or a quoted "
                          "string: an atom that holds it is written verbatim (n:...), in hexadecimal "
                          "(#...#) or in base 64 (|...|), as to_advanced writes it",
                          in[at]);
            return text;
        }
        const std::string digits = digit_token(in, at);
        if (!digits.empty() && digits.size() <= 40) {
            std::snprintf(text, sizeof text,
                          "a token cannot start with a digit: %s is written as a quoted string (\"%s\") or "
                          "with its length (%zu:%s)",
                          digits.c_str(), digits.c_str(), digits.size(), digits.c_str());
            return text;
        }
        if (at < in.size() && in[at] < 0x20) {
            std::snprintf(text, sizeof text,
                          "octet 0x%02x is not printable: in a quoted string it is written as an escape "
                          "(\\x%02x)",
                          in[at], in[at]);
            return text;
        }
    }
    return {};
}

}  // namespace

void raise_parse_error(const Error& e, Bytes input, std::uint64_t input_at) {
    Ref exc = Ref::steal(new_parse_error(e));
    if (!exc) return;
    if (e.offset >= input_at) {
        const std::string note = advice(e, input, e.offset - input_at);
        const Names* names = py::names();
        if (!note.empty() && names != nullptr) {
            Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
            if (text) Ref::steal(PyObject_CallMethodOneArg(exc.get(), names->add_note, text.get()));
            PyErr_Clear();  // a note that could not be added is left out
        }
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace parvex::py
