// Laying out a Python structure for the writers, with an explicit stack; every
// error path releases the references it holds.
#include "source.hpp"

#include <algorithm>
#include <vector>

#include "ref.hpp"

namespace parvex::py {

namespace {

/// Owned references on a work stack; nullptr entries are markers.
struct RefStack {
    std::vector<PyObject*> items;
    ~RefStack() {
        for (PyObject* p : items) Py_XDECREF(p);
    }
};

}  // namespace

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
            // Room first, so that no reference taken is lost to a failed push.
            const std::size_t need = work.items.size() + static_cast<std::size_t>(n) + 1;
            if (need > work.items.capacity()) work.items.reserve(std::max(need, 2 * work.items.capacity()));
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
        out.keep_.push_back(owned.get());
        (void)owned.release();  // now the layout's
        if (depth == 0) return true;
    }
    PyErr_SetString(PyExc_TypeError, "no S-expression was read");
    return false;
}

}  // namespace parvex::py
