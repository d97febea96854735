// The Parser class: the reader's options from keyword arguments, strictly
// typed (booleans must be bool, sizes must be integers), and the reading
// path: octets in, core read, Python value or ParseError out.
#include "parser.hpp"

#include <array>

#include "args.hpp"
#include "atom.hpp"
#include "decode/reader.hpp"
#include "boundary.hpp"
#include "error.hpp"
#include "once.hpp"
#include "ref.hpp"
#include "builder.hpp"
#include "compat.hpp"
#include "octets.hpp"

namespace parvex::py {

namespace {

// MARK: keyword conversion

PyObject* type_qualname(PyObject* obj) {
    return PyType_GetQualName(Py_TYPE(obj));
}

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

// MARK: construction

enum class Kind { Flag, Size, OptionalSize };

struct Option {
    Param param;
    Kind kind;
    bool Parser::*flag;
    std::uint64_t Parser::*size;
};

// In declaration order, which is also the order of conversion. The first,
// `canonical`, sets no field of its own.
constexpr Option options[] = {
    {{"canonical", &Names::canonical}, Kind::Flag, nullptr, nullptr},
    {{"max_depth", &Names::max_depth}, Kind::Size, nullptr, &Parser::max_depth},
    {{"max_atom_len", &Names::max_atom_len}, Kind::OptionalSize, nullptr, &Parser::max_atom_len},
    {{"max_input_len", &Names::max_input_len}, Kind::OptionalSize, nullptr, &Parser::max_input_len},
    {{"allow_advanced", &Names::allow_advanced}, Kind::Flag, &Parser::allow_advanced, nullptr},
    {{"allow_transport", &Names::allow_transport}, Kind::Flag, &Parser::allow_transport, nullptr},
    {{"allow_display_hints", &Names::allow_display_hints}, Kind::Flag, &Parser::allow_display_hints, nullptr},
    {{"allow_empty_atoms", &Names::allow_empty_atoms}, Kind::Flag, &Parser::allow_empty_atoms, nullptr},
    {{"allow_empty_lists", &Names::allow_empty_lists}, Kind::Flag, &Parser::allow_empty_lists, nullptr},
    {{"allow_list_as_first_element", &Names::allow_list_as_first_element}, Kind::Flag,
     &Parser::allow_list_as_first_element, nullptr},
    {{"allow_hexadecimal", &Names::allow_hexadecimal}, Kind::Flag, &Parser::allow_hexadecimal, nullptr},
    {{"allow_base64", &Names::allow_base64}, Kind::Flag, &Parser::allow_base64, nullptr},
    {{"allow_lengths", &Names::allow_lengths}, Kind::Flag, &Parser::allow_lengths, nullptr},
    // A leniency for GnuPG's key files, left out of the documented keywords.
    {{"_allow_8bit_in_quoted", &Names::allow_8bit_in_quoted}, Kind::Flag, &Parser::allow_8bit_in_quoted, nullptr},
};
constexpr std::size_t kOptions = sizeof options / sizeof options[0];

constexpr auto keyword_params = [] {
    std::array<Param, kOptions> p{};
    for (std::size_t i = 0; i < kOptions; ++i) p[i] = options[i].param;
    return p;
}();
constexpr Signature new_sig{"Parser.__new__()", {}, 0, keyword_params};

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[kOptions];
        if (!bind(new_sig, args, kwargs, slots)) return nullptr;
        const Names* n = names();
        if (n == nullptr) return nullptr;
        Parser p = Parser::defaults();
        bool canonical = false;
        for (std::size_t i = 0; i < kOptions; ++i) {
            PyObject* v = slots[i];
            if (v == nullptr) continue;
            const Option& o = options[i];
            bool ok = true;
            switch (o.kind) {
                case Kind::Flag:
                    ok = to_bool(v, *n, o.flag != nullptr ? p.*o.flag : canonical);
                    break;
                case Kind::OptionalSize:
                    if (v == Py_None) {
                        p.*o.size = kNoLimit;
                        break;
                    }
                    [[fallthrough]];
                case Kind::Size:
                    ok = to_size(v, p.*o.size);
                    break;
            }
            if (!ok) {
                add_processing_note(o.param.name);
                return nullptr;
            }
        }
        if (canonical) p.allow_advanced = p.allow_transport = false;
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return nullptr;
        PyObject* self = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
        if (self == nullptr) return nullptr;
        reinterpret_cast<ParserObject*>(self)->options = p;
        return self;
    });
}

void parser_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* parser_repr(PyObject*) { return PyUnicode_FromString("Parser()"); }

// MARK: methods

constexpr Param data_params[] = {{"data", &Names::data}};
constexpr Signature parse_sig{"Parser.parse()", data_params, 1, {}};
constexpr Signature parse_prefix_sig{"Parser.parse_prefix()", data_params, 1, {}};

template <const Signature& Sig, bool Prefix>
PyObject* parse_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* data;
        if (!bind(Sig, args, nargsf, kwnames, &data)) return nullptr;
        return read(reinterpret_cast<ParserObject*>(self)->options, data, Prefix);
    });
}

PyMethodDef methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_method<parse_sig, false>)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse($self, data)\n--\n\nReads one S-expression, which is the whole of the input."},
    {"parse_prefix",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_method<parse_prefix_sig, true>)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_prefix($self, data)\n--\n\n"
     "Reads one S-expression from the start of the input, and returns it with\n"
     "the number of octets it occupied.\n\n"
     "What follows is not examined, so this is the way to read a stream of\n"
     "S-expressions one after another."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char parser_doc[] =
    "Parser(*, canonical=False, max_depth=..., max_atom_len=None, max_input_len=None, allow_advanced=True, "
    "allow_transport=True, allow_display_hints=True, allow_empty_atoms=True, allow_empty_lists=True, "
    "allow_list_as_first_element=True, allow_hexadecimal=True, allow_base64=True, allow_lengths=True)\n--\n\n"
    "A reader of S-expressions, and the restrictions it reads against.\n\n"
    "Built with no arguments it accepts every representation of \u00a76, which is\n"
    "what \u00a76 asks a reader to accept. Each keyword turns on one of the\n"
    "restrictions \u00a78 lists, or bounds how large or how deeply nested the input\n"
    "may be.\n\n"
    "A parser holds no state between parses, so one may be built once and used\n"
    "as often as wanted.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(parser_doc)},
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(parser_repr)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec{
    .name = "parvex.Parser",
    .basicsize = static_cast<int>(sizeof(ParserObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slots,
};

Once<PyTypeObject> type_cell;

}  // namespace

PyTypeObject* parser_type() {
    return type_cell.get([] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); });
}

PyObject* read(const Parser& options, PyObject* data, bool prefix) {
    Octets storage;
    Bytes input;
    if (!input_octets(data, storage, input)) {
        add_processing_note("data");
        return nullptr;
    }
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return nullptr;
    [[maybe_unused]] compat::GcPause pause;
    PyBuilder builder(atom);
    std::uint64_t consumed = 0;
    Result<void> r;
    if (prefix) {
        auto p = read_prefix(options, input, builder);
        if (p) consumed = *p;
        else r = std::unexpected(p.error());
    } else {
        r = read_whole(options, input, builder);
    }
    if (!r) {
        if (r.error() != kBuilderFailed) raise_parse_error(r.error());
        return nullptr;
    }
    Ref value = Ref::steal(builder.take());
    if (!value || !prefix) return value.release();
    Ref count = Ref::steal(PyLong_FromUnsignedLongLong(consumed));
    if (!count) return nullptr;
    return PyTuple_Pack(2, value.get(), count.get());
}

}  // namespace parvex::py
