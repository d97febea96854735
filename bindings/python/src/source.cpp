// The slow half of the writers' walk: references for the frames once Python
// code may run, and the conversion that runs it.
#include "source.hpp"

#include <string>

#include "args.hpp"
#include "ref.hpp"

namespace parvex::py {

bool nested_too_deep() {
    PyErr_Format(PyExc_ValueError, "lists nested deeper than %zu", kMaxWriteDepth);
    return false;
}

Source::~Source() {
    while (depth_ != 0) pop();
    for (PyObject* p : kept_) Py_DECREF(p);
}

bool Source::own(Frame& f) {
    const Py_ssize_t n = f.size - f.next;
    auto** copy = PyMem_New(PyObject*, n > 0 ? n : 1);
    if (copy == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) copy[i] = Py_NewRef(f.items[f.next + i]);
    f = Frame{copy, n, 0, f.skipped + f.next};
    owned_ = static_cast<std::size_t>(&f - stack_) + 1;
    return true;
}

void Source::keep(Frame& f) {
    auto** items = const_cast<PyObject**>(f.items);
    kept_.insert(kept_.end(), items, items + f.size);
    PyMem_Free(items);
    f = Frame{nullptr, 0, 0, 0};
}

bool Source::pin() {
    if (pinned_) return true;
    pinned_ = true;
    kept_.reserve(kept_.size() + deferrable_.size());  // so that no push below throws
    for (PyObject* p : deferrable_) kept_.push_back(Py_NewRef(p));
    deferrable_.clear();
    for (std::size_t i = 0; i < depth_; ++i)
        if (!own(stack_[i])) return false;
    return true;
}

bool Source::failed_here() const {
    if (depth_ == 0 || conversion_interrupted()) return false;
    std::string path = "at sexp";
    for (std::size_t i = 0; i < depth_; ++i)
        path.append("[").append(std::to_string(stack_[i].skipped + stack_[i].next - 1)).append("]");
    add_note(path.c_str());
    return false;
}

const Octets* Source::convert(PyObject* obj) {
    if (!pin()) return nullptr;
    kept_.push_back(obj);  // its list may let go of it while it runs; a failed push took no reference
    Py_INCREF(obj);
    Octets& o = converted_.emplace_back();
    return octets_of(obj, o) ? &o : nullptr;
}

}  // namespace parvex::py
