// Conversion between Python objects and core values. Both tree walks keep
// their work on heap stacks, and every error path releases the references
// and partial values it holds.
#include "value.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "atom.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace parvex::py {

bool conversion_interrupted() {
    return PyErr_Occurred() &&
           (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError));
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
    if (text)
        PyErr_Format(PyExc_TypeError, "expected bytes, str, or Atom, and got %U", text.get());
    else
        PyErr_SetString(PyExc_TypeError, "expected bytes, str, or Atom, and got a value of an unreadable type");
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
    const bool plain = view.ndim == 1 && view.itemsize == 1 && view.format != nullptr &&
                       std::strcmp(view.format, "B") == 0;
    if (plain) {
        const auto* p = static_cast<const std::uint8_t*>(view.buf);
        out.assign(p, p + view.len);
    }
    PyBuffer_Release(&view);
    return plain;
}

/// Owned references on a work stack; nullptr entries are markers.
struct RefStack {
    std::vector<PyObject*> items;
    ~RefStack() {
        for (PyObject* p : items) Py_XDECREF(p);
    }
};

}  // namespace

bool octets_of(PyObject* obj, Octets& out) {
    out.clear();
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return false;
    Bytes view;
    switch (view_octets(obj, atom, view)) {
        case Viewed::Yes:
            out.assign(view.begin(), view.end());
            return true;
        case Viewed::Failed:
            return false;  // UnicodeEncodeError, passed on as it is
        case Viewed::No:
            break;
    }
    if (PyType_IsSubtype(Py_TYPE(obj), &PyByteArray_Type)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
        out.assign(p, p + PyByteArray_GET_SIZE(obj));
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

Layout::~Layout() {
    for (PyObject* p : keep_) Py_DECREF(p);
}

bool to_pieces(PyObject* obj, Layout& out) {
    using encode::Piece;
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return false;
    RefStack work;  // objects to lay out; nullptr closes the innermost list
    std::size_t depth = 0;
    work.items.push_back(Py_NewRef(obj));
    while (!work.items.empty()) {
        PyObject* x = work.items.back();
        work.items.pop_back();
        if (x == nullptr) {
            if (depth == 0) {
                PyErr_SetString(PyExc_TypeError, "a list was closed that was never opened");
                return false;
            }
            --depth;
            out.pieces.push_back(Piece::close());
            if (depth == 0) return true;
            continue;
        }
        Ref owned = Ref::steal(x);
        const unsigned long flags = Py_TYPE(x)->tp_flags;
        if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) {
            if (depth >= kMaxListDepth) {
                PyErr_SetString(PyExc_ValueError, "lists nested deeper than 1024");
                return false;
            }
            ++depth;
            out.pieces.push_back(Piece::open());
            // A snapshot: later changes to the container do not matter.
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(x);
            PyObject** items = PySequence_Fast_ITEMS(x);
            work.items.push_back(nullptr);
            for (Py_ssize_t i = n; i-- > 0;) work.items.push_back(Py_NewRef(items[i]));
            continue;
        }
        // Octets that cannot change are viewed in place, with a reference kept.
        Bytes view;
        if (is_atom(x, atom)) {
            const Atom& a = reinterpret_cast<AtomObject*>(x)->atom;
            if (a.hint) out.pieces.push_back(Piece::hint(Bytes(*a.hint)));
            out.pieces.push_back(Piece::atom(Bytes(a.data)));
        } else {
            switch (view_octets(x, atom, view)) {
                case Viewed::Yes:
                    out.pieces.push_back(Piece::atom(view));
                    break;
                case Viewed::Failed:
                    return false;
                case Viewed::No: {
                    Octets& o = out.converted_.emplace_back();
                    if (!octets_of(x, o)) return false;
                    out.pieces.push_back(Piece::atom(Bytes(o)));
                    if (depth == 0) return true;
                    continue;
                }
            }
        }
        out.keep_.push_back(owned.release());
        if (depth == 0) return true;
    }
    PyErr_SetString(PyExc_TypeError, "no S-expression was read");
    return false;
}

bool input_octets(PyObject* obj, Octets& storage, Bytes& view) {
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return false;
    switch (view_octets(obj, atom, view)) {
        case Viewed::Yes:
            return true;
        case Viewed::Failed:
            return false;
        case Viewed::No:
            break;
    }
    // A bytearray could be resized by code that runs while the value is
    // built (a finaliser during garbage collection), so it is copied.
    if (!octets_of(obj, storage)) return false;
    view = Bytes(storage);
    return true;
}

PyBuilder::~PyBuilder() {
    for (std::size_t i = 0; i < size_; ++i) Py_DECREF(stack_[i]);
    PyMem_Free(stack_);
}

bool PyBuilder::grow() {
    const std::size_t capacity = capacity_ == 0 ? 256 : 2 * capacity_;
    if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) throw std::bad_alloc();
    void* p = PyMem_Realloc(stack_, capacity * sizeof(PyObject*));
    if (p == nullptr) throw std::bad_alloc();  // memory exhaustion is fatal
    stack_ = static_cast<PyObject**>(p);
    capacity_ = capacity;
    return true;
}

bool PyBuilder::atom(Bytes data, Bytes hint) {
    if (size_ == capacity_ && !grow()) return false;
    PyObject* a = new_atom(atom_type_, Atom{OctetString(data), OctetString(hint)});
    if (a == nullptr) return false;
    stack_[size_++] = a;
    return true;
}

bool PyBuilder::list(std::uint64_t count) {
    if (size_ < count) {
        PyErr_SetString(PyExc_TypeError, "a list was built from elements that are not there");
        return false;
    }
    if (size_ == capacity_ && !grow()) return false;
    const std::size_t first = size_ - count;
    PyObject* list;
    if (first == 0 && count >= 1024) {
        // A list of everything on the stack (the outermost, as a rule)
        // takes the stack's storage as its items: no copy, no zeroing.
        list = PyList_New(0);
        if (list == nullptr) return false;
        // The spare room stays with the list, as a grown list's does, unless
        // it is more than the items need: returned to the C library, it
        // would teach it to serve the next parse of this size from fresh
        // pages, each a page fault, rather than from the room just freed.
        std::size_t allocated = capacity_;
        void* items = stack_;
        if (count < capacity_ / 2) {
            items = PyMem_Realloc(stack_, count * sizeof(PyObject*));
            if (items == nullptr) throw std::bad_alloc();
            allocated = count;
        }
        auto* l = reinterpret_cast<PyListObject*>(list);
        l->ob_item = static_cast<PyObject**>(items);
        l->allocated = static_cast<Py_ssize_t>(allocated);
        Py_SET_SIZE(l, static_cast<Py_ssize_t>(count));
        stack_ = nullptr;
        size_ = capacity_ = 0;
        if (!grow()) return false;
    } else {
        list = PyList_New(static_cast<Py_ssize_t>(count));
        if (list == nullptr) return false;
        if (count != 0) std::memcpy(PySequence_Fast_ITEMS(list), stack_ + first, count * sizeof(PyObject*));
        size_ = first;
    }
    stack_[size_++] = list;
    return true;
}

PyObject* PyBuilder::take() {
    if (size_ == 0) {
        PyErr_SetString(PyExc_TypeError, "no value was built");
        return nullptr;
    }
    return stack_[--size_];
}

}  // namespace parvex::py
