// Octets from Python objects. A sequence's items are read through its own
// protocol, so its code may run (and fail, or interrupt) while it is read.
#include "octets.hpp"

#include <algorithm>
#include <cstring>

#include "names.hpp"
#include "ref.hpp"

namespace parvex::py {

bool conversion_interrupted() {
    return PyErr_Occurred() && (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError));
}

namespace {

// A sequence's len() is only a hint: reserve no more than this up front, so
// that a sequence claiming a huge length cannot demand that much memory
// before its items are even looked at.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;

bool unsupported(PyObject* obj) {
    // What interrupted the conversion is passed on, not hidden behind a
    // TypeError: a KeyboardInterrupt or SystemExit, or running out of memory.
    if (conversion_interrupted()) return false;
    PyErr_Clear();
    Ref text;
    if (const Names* names = py::names()) {
        Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), names->dunder_name));
        if (name && PyUnicode_Check(name.get())) text = Ref::steal(PyObject_Str(name.get()));
    }
    PyErr_Clear();
    if (text) PyErr_Format(PyExc_TypeError, "expected bytes, str, or Atom, and got %U", text.get());
    else PyErr_SetString(PyExc_TypeError, "expected bytes, str, or Atom, and got a value of an unreadable type");
    return false;
}

// A sequence that yields more items than its len() reported is taken as a
// failing one, so that an endless iterator behind a finite length cannot
// exhaust memory.
bool octets_of_sequence(PyObject* obj, Octets& out) {
    const Py_ssize_t len = PyObject_Length(obj);
    std::size_t limit = SIZE_MAX;
    if (len < 0) {
        PyErr_Clear();
    } else {
        limit = static_cast<std::size_t>(len);
        out.reserve(static_cast<std::size_t>(std::min(len, kMaxReserve)));
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        if (out.size() == limit) return false;
        const long v = PyLong_AsLong(item.get());
        if (v < 0 || v > 255) return false;  // -1 also when it raised
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return !PyErr_Occurred();
}

// A sequence that exposes its items as one contiguous run of unsigned
// octets (memoryview or array of format "B") iterates to exactly those
// octets, so they are copied at once. False, with nothing raised, for
// anything else.
bool octets_of_unsigned_bytes(PyObject* obj, Octets& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool plain =
        view.ndim == 1 && view.itemsize == 1 && view.format != nullptr && std::strcmp(view.format, "B") == 0;
    if (plain) {
        const auto* p = static_cast<const std::uint8_t*>(view.buf);
        out.assign(p, p + view.len);
    }
    PyBuffer_Release(&view);
    return plain;
}

}  // namespace

bool octets_of(PyObject* obj, Octets& out) {
    out.clear();
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return false;
    Bytes view;
    switch (view_octets(obj, atom, view)) {
        case Viewed::Yes: out.assign(view.begin(), view.end()); return true;
        case Viewed::Failed: return false;  // UnicodeEncodeError, passed on as it is
        case Viewed::No: break;
    }
    if (PyType_IsSubtype(Py_TYPE(obj), &PyByteArray_Type)) {
        // In slices, with the signals checked between them, so that the copy
        // of a large input can be interrupted; a handler that ran could have
        // resized it.
        constexpr std::size_t kSlice = std::size_t{8} << 20;
        const auto n = static_cast<std::size_t>(PyByteArray_GET_SIZE(obj));
        out.reserve(n);
        for (std::size_t at = 0; at < n; at += kSlice) {
            if (at != 0 && PyErr_CheckSignals() != 0) return false;
            if (static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)) != n) {
                PyErr_SetString(PyExc_RuntimeError, "bytearray changed size while it was read");
                return false;
            }
            const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
            out.insert(out.end(), p + at, p + std::min(n, at + kSlice));
        }
        return true;
    }
    if (PySequence_Check(obj) && (octets_of_unsigned_bytes(obj, out) || octets_of_sequence(obj, out))) return true;
    out.clear();
    return unsupported(obj);
}

bool to_atom(PyObject* obj, Atom& out) {
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return false;
    if (is_atom(obj, atom)) {
        out = reinterpret_cast<AtomObject*>(obj)->atom;
        return true;
    }
    Octets data;
    if (!octets_of(obj, data)) return false;
    out = Atom::from_buffer(std::move(data));
    return true;
}

bool input_octets(PyObject* obj, Octets& storage, Bytes& view) {
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return false;
    switch (view_octets(obj, atom, view)) {
        case Viewed::Yes: return true;
        case Viewed::Failed: return false;
        case Viewed::No: break;
    }
    // A bytearray could be resized by code that runs while the value is
    // built (a finaliser during garbage collection), so it is copied.
    if (!octets_of(obj, storage)) return false;
    view = Bytes(storage);
    return true;
}

}  // namespace parvex::py
