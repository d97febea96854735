// The Python builder's steps that do not fit inline: hinted atoms, lists,
// and the stack's growth.
#include "object_builder.hpp"

#include <algorithm>
#include <cstring>

#include "compat.hpp"

namespace parvex::py {

PyBuilder::~PyBuilder() {
    for (std::size_t i = 0; i < size_; ++i) Py_DECREF(stack_[i]);
    PyMem_Free(stack_);
}

bool PyBuilder::check_signals() {
    until_check_ = kStepsPerCheck;
    if (PyErr_CheckSignals() != 0) return false;
    resume();  // a handler may have set a reference tracer
    return true;
}

bool PyBuilder::grow() {
    const std::size_t capacity = capacity_ == 0 ? 256 : 2 * capacity_;
    void* p = capacity <= static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)
                  ? PyMem_Realloc(stack_, capacity * sizeof(PyObject*))
                  : nullptr;
    if (p == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    stack_ = static_cast<PyObject**>(p);
    capacity_ = capacity;
    return true;
}

bool PyBuilder::rare_atom(Bytes data) {
    const auto* p = reinterpret_cast<const char*>(data.data());
    if (data.size() <= 1) {
        PyObject* b = PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(data.size()));
        if (b == nullptr) return false;
        stack_[size_++] = b;
        return true;
    }
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size()));
    if (b == nullptr) return false;
    char* out = PyBytes_AS_STRING(b);
    for (std::size_t at = 0; at < data.size(); at += kLongAtom) {
        if (at != 0 && !check_signals()) {
            Py_DECREF(b);
            return false;
        }
        std::memcpy(out + at, data.data() + at, std::min(kLongAtom, data.size() - at));
    }
    stack_[size_++] = b;
    return true;
}

bool PyBuilder::atom(Bytes data, Bytes hint) {
    if (!step()) return false;
    PyObject* a = new_atom(atom_type_, Atom{OctetString(data), OctetString(hint)});
    if (a == nullptr) return false;
    stack_[size_++] = a;
    return true;
}

bool PyBuilder::rare_list(std::uint64_t count) {
    if (size_ < count) {
        PyErr_SetString(PyExc_TypeError, "a list was built from elements that are not there");
        return false;
    }
    if (!step()) return false;
    // A list of everything on the stack (the outermost, as a rule) takes the
    // stack's storage as its items: no copy, no zeroing. The spare room stays
    // with the list, as a grown list's does, unless it is more than the items
    // need: returned to the C library, it would teach it to serve the next
    // parse of this size from fresh pages, each a page fault, rather than
    // from the room just freed.
    if (count < capacity_ / 2) {
        if (void* items = PyMem_Realloc(stack_, count * sizeof(PyObject*))) {
            stack_ = static_cast<PyObject**>(items);
            capacity_ = count;
        }
    }
    PyObject* list = compat::list_adopting(stack_, count, capacity_);
    if (list == nullptr) return false;
    stack_ = nullptr;
    size_ = capacity_ = 0;
    if (!grow()) {
        Py_DECREF(list);
        return false;
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
