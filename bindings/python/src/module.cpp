// The extension module `_parvex`: multi-phase initialisation, the module
// attributes in their fixed order (each also listed in `__all__`), and the
// module-level reading functions. The types are process-wide; the module
// keeps no state of its own.
#include <Python.h>

#include <utility>

#include "args.hpp"
#include "atom.hpp"
#include "boundary.hpp"
#include "cpu/features.hpp"
#include "decoder.hpp"
#include "parse_error.hpp"
#include "parser_type.hpp"
#include "read.hpp"
#include "ref.hpp"
#include "octets.hpp"
#include "writers.hpp"

namespace parvex::py {

namespace {

// MARK: reading functions

constexpr Param data_params[] = {{"data", &Names::data}};
constexpr Signature parse_sig{"parse()", data_params, 1, {}};
constexpr Signature parse_canonical_sig{"parse_canonical()", data_params, 1, {}};

PyObject* parse_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* data;
        if (!bind(parse_sig, args, nargsf, kwnames, &data)) return nullptr;
        return read(Parser::defaults(), data, ReadMode::Whole);
    });
}

PyObject* parse_canonical_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* data;
        if (!bind(parse_canonical_sig, args, nargsf, kwnames, &data)) return nullptr;
        return read(Parser::canonical(), data, ReadMode::Whole);
    });
}

// The vector paths this process takes, as the processor and PARVEX_PORTABLE
// allow: what a test or a benchmark must know to say what it measured.
PyObject* vector_paths_fn(PyObject*, PyObject*) {
    const cpu::Features f = cpu::active();
    const std::pair<bool, const char*> paths[] = {
        {f.sse2, "sse2"}, {f.avx2, "avx2"}, {f.avx512, "avx512"}, {f.avx512vbmi, "avx512vbmi"}, {f.neon, "neon"}};
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (const auto& [on, name] : paths) {
        if (!on) continue;
        Ref s = Ref::steal(PyUnicode_FromString(name));
        if (!s || PyList_Append(names.get(), s.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(names.get());
}

// The functions are bound to the module object, so `parse.__self__` is the
// module, as for any builtin function of a module.
PyMethodDef functions[] = {
    {"parse", fastcall(parse_fn), METH_FASTCALL | METH_KEYWORDS,
     "parse(data)\n--\n\n"
     "Reads one S-expression, in whichever representation of \u00a76 it is written.\n\n"
     "Build a [`Parser`] where the input comes from somewhere untrusted, or where\n"
     "only one representation is to be accepted."},
    {"parse_canonical", fastcall(parse_canonical_fn), METH_FASTCALL | METH_KEYWORDS,
     "parse_canonical(data)\n--\n\n"
     "Reads one S-expression written in the canonical representation of \u00a76.2.\n\n"
     "Read this way where the octets themselves matter, as they do to a signature\n"
     "computed over them."},
    {"to_canonical", fastcall(to_canonical_fn), METH_FASTCALL | METH_KEYWORDS,
     "to_canonical(sexp)\n--\n\nReturns the canonical representation of the S-expression (\u00a76.2)."},
    {"to_transport", fastcall(to_transport_fn), METH_FASTCALL | METH_KEYWORDS,
     "to_transport(sexp)\n--\n\nReturns the basic transport representation of the S-expression (\u00a76.3)."},
    {"to_advanced", fastcall(to_advanced_fn), METH_FASTCALL | METH_KEYWORDS,
     "to_advanced(sexp)\n--\n\nReturns the advanced representation of the S-expression (\u00a76.4)."},
    {"_vector_paths", vector_paths_fn, METH_NOARGS,
     "_vector_paths()\n--\n\nNames the vector paths this process takes, as the processor and PARVEX_PORTABLE "
     "allow."},
};

// MARK: initialisation

// Lists `name` in `__all__` (made on first use), unless it is private, and
// sets the attribute.
int add(PyObject* module, const char* name, PyObject* value) {
    if (name[0] == '_') return PyObject_SetAttrString(module, name, value);
    const Names* n = names();
    if (n == nullptr) return -1;
    Ref all = Ref::steal(PyObject_GetAttr(module, n->dunder_all));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, n->dunder_all, all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ of the module is not a list");
        return -1;
    }
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return -1;
    if (PyList_Append(all.get(), key.get()) < 0) {
        PyErr_Clear();
        throw Fault("could not append to __all__");
    }
    return PyObject_SetAttr(module, key.get(), value);
}

int add_type(PyObject* module, const char* name, void* type) {
    if (type == nullptr) return -1;
    return add(module, name, static_cast<PyObject*>(type));
}

int add_new(PyObject* module, const char* name, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v) return -1;
    return add(module, name, v.get());
}

int add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref f = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!f) return -1;
    const Names* n = names();
    if (n == nullptr) return -1;
    Ref name = Ref::steal(PyObject_GetAttr(f.get(), n->dunder_name));
    if (!name) return -1;
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text == nullptr) return -1;
    return add(module, text, f.get());
}

int exec_module(PyObject* module) {
    return guard<int>(-1, [&]() -> int {
        if (add_type(module, "Atom", atom_type()) < 0) return -1;
        if (add_type(module, "Parser", parser_type()) < 0) return -1;
        if (add_type(module, "ParseError", parse_error_type()) < 0) return -1;
        if (add_new(module, "DEFAULT_HINT", PyBytes_FromString("application/octet-stream")) < 0) return -1;
        if (add_new(module, "DEFAULT_MAX_DEPTH", PyLong_FromUnsignedLongLong(kDefaultMaxDepth)) < 0) return -1;
        for (PyMethodDef& def : functions)
            if (add_function(module, &def) < 0) return -1;
        if (add_type(module, "Decoder", decoder_type()) < 0) return -1;
        return add_type(module, "StreamReader", stream_reader_type());
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // A free-threaded interpreter keeps the GIL while this module is loaded:
    // its builders, writers and parsers assume it, and no such build has
    // been tested.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_parvex",
    "Builds the extension module the `parvex` package imports.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace parvex::py

PyMODINIT_FUNC PyInit__parvex() { return PyModuleDef_Init(&parvex::py::module_def); }
