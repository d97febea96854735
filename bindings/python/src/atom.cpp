// The Atom class: construction from any octet value, equality with a hint
// (RFC 9804 §4.7) or without it, a hash that is the same in every process,
// and a bytes-like repr. Instances are immutable and reference nothing, so
// the type takes no part in cyclic garbage collection.
#include "atom.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "once.hpp"
#include "ref.hpp"
#include "octets.hpp"

namespace parvex::py {

namespace {

AtomObject* as_atom(PyObject* self) { return reinterpret_cast<AtomObject*>(self); }

PyObject* bytes_of(Bytes o) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(o.data()), static_cast<Py_ssize_t>(o.size()));
}

// MARK: construction and release

constexpr Param new_params[] = {{"data", &Names::data}, {"hint", &Names::hint}};
constexpr Signature new_sig{"Atom.__new__()", new_params, 1, {}};

PyObject* atom_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind(new_sig, args, kwargs, slots)) return nullptr;
        Octets data;
        if (!octets_of(slots[0], data)) {
            add_processing_note("data");
            return nullptr;
        }
        std::optional<Octets> hint;
        if (slots[1] != nullptr && slots[1] != Py_None) {
            if (!octets_of(slots[1], hint.emplace())) {
                add_processing_note("hint");
                return nullptr;
            }
        }
        // Built before the object, so that running out of memory on the way
        // leaves no object behind.
        Atom value{OctetString(data), std::nullopt};
        if (hint) value.hint.emplace(*hint);
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return nullptr;
        PyObject* self = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
        if (self == nullptr) return nullptr;
        new (&as_atom(self)->atom) Atom(std::move(value));
        return self;
    });
}

void atom_dealloc(PyObject* self) {
    guard_dealloc([&] { as_atom(self)->atom.~Atom(); });
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// MARK: comparison, hash, repr, len

PyObject* atom_richcompare(PyObject* self, PyObject* other, int op) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
        const Atom& a = as_atom(self)->atom;
        bool equal;
        if (Py_IS_TYPE(other, Py_TYPE(self))) {
            equal = a == as_atom(other)->atom;
        } else if (PyBytes_CheckExact(other)) {
            // The common case, without a copy: a hintless atom of the same octets.
            const std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(other));
            equal = !a.hint && a.data.size() == n &&
                    std::equal(a.data.begin(), a.data.end(),
                               reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(other)));
        } else {
            Atom b;
            if (to_atom(other, b)) {
                equal = a == b;
            } else {
                if (conversion_interrupted()) return nullptr;
                PyErr_Clear();  // what cannot be an atom is simply unequal
                equal = false;
            }
        }
        if (op == Py_EQ) return PyBool_FromLong(equal);
        if (op == Py_NE) return PyBool_FromLong(!equal);
        Py_RETURN_NOTIMPLEMENTED;  // atoms have no order
    });
}

Py_hash_t atom_hash(PyObject* self) {
    const auto h = static_cast<Py_hash_t>(as_atom(self)->atom.hash());
    return h == -1 ? -2 : h;  // -1 means an error to CPython
}

void render_bytes(std::string& out, Bytes o) {
    static constexpr char hex[] = "0123456789abcdef";
    out += "b\"";
    for (const std::uint8_t c : o) {
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\'': out += "\\'"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    out += static_cast<char>(c);
                } else {
                    out += "\\x";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                }
        }
    }
    out += '"';
}

PyObject* atom_repr(PyObject* self) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Atom& a = as_atom(self)->atom;
        std::string text = "Atom(";
        render_bytes(text, a.data);
        if (a.hint) {
            text += ", hint=";
            render_bytes(text, *a.hint);
        }
        text += ')';
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

Py_ssize_t atom_length(PyObject* self) { return static_cast<Py_ssize_t>(as_atom(self)->atom.data.size()); }

// MARK: properties and methods

PyObject* get_data(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] { return bytes_of(as_atom(self)->atom.data); });
}

PyObject* get_hint(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Atom& a = as_atom(self)->atom;
        if (!a.hint) Py_RETURN_NONE;
        return bytes_of(*a.hint);
    });
}

constexpr Param default_params[] = {{"default", &Names::default_}};
constexpr Signature effective_hint_sig{"Atom.effective_hint()", default_params, 1, {}};

PyObject* effective_hint(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind(effective_hint_sig, args, nargsf, kwnames, slots)) return nullptr;
        Octets fallback;
        if (!octets_of(slots[0], fallback)) {  // converted even where the hint is present
            add_processing_note("default");
            return nullptr;
        }
        const Atom& a = as_atom(self)->atom;
        return a.hint ? bytes_of(*a.hint) : bytes_of(fallback);
    });
}

constexpr Param other_params[] = {{"other", &Names::other}};
constexpr Signature eq_ignoring_hint_sig{"Atom.eq_ignoring_hint()", other_params, 1, {}};

PyObject* eq_ignoring_hint(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind(eq_ignoring_hint_sig, args, nargsf, kwnames, slots)) return nullptr;
        Atom other;
        if (!to_atom(slots[0], other)) return nullptr;
        return PyBool_FromLong(as_atom(self)->atom.eq_ignoring_hint(other));
    });
}

// MARK: the type

constexpr const char atom_doc[] =
    "Atom(data, hint=None)\n--\n\n"
    "An octet string with a display hint.\n\n"
    "Building one is the only way to give an octet string a hint, since plain\n"
    "`bytes` carries none. Text is taken as UTF-8, which \u00a74.6 recommends where\n"
    "the data is text.";

PyMethodDef methods[] = {
    {"effective_hint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(effective_hint)),
     METH_FASTCALL | METH_KEYWORDS,
     "effective_hint($self, default)\n--\n\n"
     "Returns the display hint, or `default` where the atom carries none.\n\n"
     "\u00a74.7 allows an atom without a display hint to be compared as though it\n"
     "had whichever hint the application supplies by default."},
    {"eq_ignoring_hint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(eq_ignoring_hint)),
     METH_FASTCALL | METH_KEYWORDS,
     "eq_ignoring_hint($self, other)\n--\n\n"
     "Returns whether two octet strings hold the same data, whatever their\n"
     "display hints.\n\n"
     "\u00a74.7 names this as a criterion an application may use in place of the\n"
     "one `==` implements."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"data", get_data, nullptr, "The data octets.", nullptr},
    {"hint", get_hint, nullptr, "The display hint, or `None` where the atom carries none.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(atom_doc)},
    {Py_tp_new, reinterpret_cast<void*>(atom_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(atom_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(atom_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(atom_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(atom_richcompare)},
    {Py_mp_length, reinterpret_cast<void*>(atom_length)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec{
    .name = "parvex.Atom",
    .basicsize = static_cast<int>(sizeof(AtomObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slots,
};

Once<PyTypeObject> type_cell;

}  // namespace

PyTypeObject* atom_type() {
    return type_cell.get([] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); });
}

PyObject* new_atom(PyTypeObject* type, Atom&& value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_atom(self)->atom) Atom(std::move(value));
    return self;
}

}  // namespace parvex::py
