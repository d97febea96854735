// Argument binding with the messages CPython gives for Python functions,
// and the note that names the parameter whose conversion failed.
#include "args.hpp"

#include <string>

#include "ref.hpp"

namespace parvex::py {

namespace {

const Param& param(const Signature& sig, std::size_t i) {
    return i < sig.positional.size() ? sig.positional[i] : sig.keyword_only[i - sig.positional.size()];
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    const std::size_t n = sig.positional.size();
    if (sig.required == n)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.function, n, given,
                     given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd were given", sig.function,
                     sig.required, n, given);
    return false;
}

// Keyword names are usually the interned strings themselves; compare by
// identity first and by value only when that finds nothing.
Py_ssize_t find(const Signature& sig, const Names& names, PyObject* key) {
    const std::size_t n = sig.size();
    for (std::size_t i = 0; i < n; ++i)
        if (param(sig, i).key(names) == key) return static_cast<Py_ssize_t>(i);
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(param(sig, i).key(names), key) == 0) return static_cast<Py_ssize_t>(i);
    return -1;
}

bool take_keyword(const Signature& sig, const Names& names, PyObject* key, PyObject* value, PyObject** slots) {
    const Py_ssize_t i = find(sig, names, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.function, key);
        return false;
    }
    if (static_cast<std::size_t>(i) < sig.positional.size() && slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                     sig.positional[static_cast<std::size_t>(i)].name);
        return false;
    }
    slots[i] = value;
    return true;
}

bool check_required(const Signature& sig, PyObject** slots) {
    std::string missing;
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (count++ != 0) missing += " and ";
        missing.append("'").append(sig.positional[i].name).append("'");
    }
    if (count == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.function, count,
                 count == 1 ? "" : "s", missing.c_str());
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots) {
    const Names* names = py::names();
    if (names == nullptr) return false;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(nargs) > sig.positional.size()) return too_many_positional(sig, nargs);
    for (std::size_t i = 0; i < sig.size(); ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            if (!take_keyword(sig, *names, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], slots)) return false;
    }
    return check_required(sig, slots);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Names* names = py::names();
    if (names == nullptr) return false;
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(nargs) > sig.positional.size()) return too_many_positional(sig, nargs);
    for (std::size_t i = 0; i < sig.size(); ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!take_keyword(sig, *names, key, value, slots)) return false;
    }
    return check_required(sig, slots);
}

void add_note(const char* text) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        if (const Names* names = py::names()) {
            Ref note = Ref::steal(PyUnicode_FromString(text));
            if (note) Ref::steal(PyObject_CallMethodOneArg(value, names->add_note, note.get()));
        }
    }
    PyErr_Clear();  // a note that could not be added is left out
    PyErr_Restore(type, value, traceback);
}

void add_processing_note(const char* name) { add_note(("while processing '" + std::string(name) + "'").c_str()); }

}  // namespace parvex::py
