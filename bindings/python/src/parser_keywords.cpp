// The reader's options from keyword arguments and back; see
// parser_keywords.hpp.
#include "parser_keywords.hpp"

#include <string_view>

#include "names.hpp"
#include "ref.hpp"

namespace parvex::py {

namespace {

PyObject* type_qualname(PyObject* obj) { return PyType_GetQualName(Py_TYPE(obj)); }

bool not_a_bool(PyObject* v) {
    if (v == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bool'");
        return false;
    }
    Ref name = Ref::steal(type_qualname(v));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bool'", name.get());
    return false;
}

bool has_name(PyObject* type, PyObject* attr, PyObject* expected) {
    Ref v = Ref::steal(PyObject_GetAttr(type, attr));
    if (!v) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(v.get()) && PyUnicode_Compare(v.get(), expected) == 0;
}

// NumPy's boolean scalars are accepted where a bool is, through their own
// __bool__; nothing else that merely has a truth value is.
bool is_numpy_bool(PyObject* v, const Names& n) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
    return has_name(type, n.dunder_module, n.numpy) &&
           (has_name(type, n.dunder_name, n.bool_) || has_name(type, n.dunder_name, n.bool_name));
}

bool to_bool(PyObject* v, const Names& n, bool& out) {
    if (v == Py_True || v == Py_False) {
        out = v == Py_True;
        return true;
    }
    if (!is_numpy_bool(v, n)) return not_a_bool(v);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
    Ref method = Ref::steal(PyObject_GetAttr(type, n.dunder_bool));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
        return false;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(method.get(), v));
    if (!result) return false;
    if (result.get() != Py_True && result.get() != Py_False) {
        Ref name = Ref::steal(type_qualname(result.get()));
        if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bool'", name.get());
        return false;
    }
    out = result.get() == Py_True;
    return true;
}

bool to_size(PyObject* v, std::uint64_t& out) {
    Ref index;
    if (!PyLong_Check(v)) {
        index = Ref::steal(PyNumber_Index(v));
        if (!index) return false;
        v = index.get();
    }
    const unsigned long long x = PyLong_AsUnsignedLongLong(v);
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = x;
    return true;
}

// A limit whose default is no limit also takes None for it.
bool to_option(const OptionInfo& o, PyObject* v, const Names& n, Parser& p) {
    if (o.kind == OptionKind::Limit) {
        std::uint64_t size = kNoLimit;
        if (v == Py_None && o.default_value == kNoLimit) {
        } else if (!to_size(v, size)) {
            return false;
        }
        o.set(p, size);
        return true;
    }
    bool flag;
    if (!to_bool(v, n, flag)) return false;
    o.set(p, flag);
    return true;
}

// What a keyword accepts, for the note on a value it refused.
void add_accepts_note(std::size_t keyword) {
    const OptionInfo* o = keyword == 0 ? nullptr : &parser_options[keyword - 1];
    std::string note = std::string(option_keywords[keyword].name) + " accepts ";
    if (o != nullptr && o->kind == OptionKind::Limit) {
        note += "an integer from 0 to " + std::to_string(kNoLimit);
        if (o->default_value == kNoLimit) note += ", or None for no limit";
    } else {
        note += "True or False";
    }
    add_note(note.c_str());
}

}  // namespace

bool options_from_keywords(const Signature& sig, PyObject* args, PyObject* kwargs, Parser& out) {
    PyObject* slots[option_keywords.size()];
    return bind(sig, args, kwargs, slots) && options_from_slots(slots, out);
}

bool options_from_slots(PyObject* const* slots, Parser& out) {
    const Names* n = names();
    if (n == nullptr) return false;
    Parser p = Parser::defaults();
    bool canonical = false;
    for (std::size_t i = 0; i < option_keywords.size(); ++i) {
        PyObject* v = slots[i];
        if (v == nullptr) continue;
        const bool ok = i == 0 ? to_bool(v, *n, canonical) : to_option(parser_options[i - 1], v, *n, p);
        if (!ok) {
            add_processing_note(option_keywords[i].name);
            add_accepts_note(i);
            return false;
        }
    }
    if (canonical) p.allow_advanced = p.allow_transport = false;
    out = p;
    return true;
}

PyObject* options_as_dict(const Parser& p) {
    const Names* n = names();
    if (n == nullptr) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < parser_options.size(); ++i) {
        const OptionInfo& o = parser_options[i];
        const std::uint64_t v = o.get(p);
        Ref value;
        if (o.kind != OptionKind::Limit) value = Ref::borrow(v != 0 ? Py_True : Py_False);
        else if (v == kNoLimit && o.default_value == kNoLimit) value = Ref::borrow(Py_None);
        else value = Ref::steal(PyLong_FromUnsignedLongLong(v));
        if (!value || PyDict_SetItem(dict.get(), n->options[i], value.get()) < 0) return nullptr;
    }
    return dict.release();
}

std::string keywords_signature(const char* name) {
    std::string d = std::string(name) + "(*, canonical=False";
    for (const OptionInfo& o : parser_options) {
        if (o.kind == OptionKind::Leniency) continue;
        d.append(", ").append(o.name).append("=");
        if (o.kind == OptionKind::Limit) d.append(o.default_value == kNoLimit ? "None" : "...");
        else d.append(o.default_value != 0 ? "True" : "False");
    }
    return d.append(")");
}

}  // namespace parvex::py
