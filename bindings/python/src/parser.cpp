// The Parser class: the reader's options from keyword arguments, strictly
// typed (booleans must be bool, sizes must be integers), and the reading
// path: octets in, core read, Python value or ParseError out.
#include "parser.hpp"

#include <array>
#include <string>
#include <string_view>

#include "args.hpp"
#include "atom.hpp"
#include "decode/reader.hpp"
#include "encode/canonical.hpp"
#include "encode/sink.hpp"
#include "boundary.hpp"
#include "error.hpp"
#include "once.hpp"
#include "ref.hpp"
#include "builder.hpp"
#include "compat.hpp"
#include "octets.hpp"
#include "stream.hpp"

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

// `canonical`, which sets no field of its own, then the options of the
// table, in its order, which is also the order of conversion.
constexpr auto keyword_params = [] {
    std::array<Param, 1 + parser_options.size()> p{};
    p[0] = {"canonical", &Names::canonical};
    for (std::size_t i = 0; i < parser_options.size(); ++i) p[i + 1] = {parser_options[i].name.data(), nullptr, i};
    return p;
}();
constexpr Signature new_sig{"Parser.__new__()", {}, 0, keyword_params};

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

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[keyword_params.size()];
        if (!bind(new_sig, args, kwargs, slots)) return nullptr;
        const Names* n = names();
        if (n == nullptr) return nullptr;
        Parser p = Parser::defaults();
        bool canonical = false;
        for (std::size_t i = 0; i < keyword_params.size(); ++i) {
            PyObject* v = slots[i];
            if (v == nullptr) continue;
            const bool ok = i == 0 ? to_bool(v, *n, canonical) : to_option(parser_options[i - 1], v, *n, p);
            if (!ok) {
                add_processing_note(PyUnicode_AsUTF8(keyword_params[i].key(*n)));
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
constexpr Signature canonical_sig{"Parser._canonical()", data_params, 1, {}};
constexpr Signature stream_sig{"Parser._stream()", {}, 0, {}};

template <const Signature& Sig, ReadMode Mode>
PyObject* parse_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slot;
        if (!bind(Sig, args, nargsf, kwnames, &slot)) return nullptr;
        return read(reinterpret_cast<ParserObject*>(self)->options, slot, Mode);
    });
}

PyObject* stream_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!bind(stream_sig, args, nargsf, kwnames, nullptr)) return nullptr;
        return new_stream_reading(reinterpret_cast<ParserObject*>(self)->options);
    });
}

constexpr Param parse_error_params[] = {{"kind", &Names::kind}, {"offset", &Names::offset}};
constexpr Signature parse_error_sig{"Parser._parse_error()", parse_error_params, 2, {}};

// The ParseError that the reader raises for `kind` at `offset`: for the
// package's own readers, which read pieces of a larger input and report
// failures where they lie in the whole.
PyObject* parse_error_method(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind(parse_error_sig, args, nargsf, kwnames, slots)) return nullptr;
        Py_ssize_t n;
        const char* kind = PyUnicode_Check(slots[0]) ? PyUnicode_AsUTF8AndSize(slots[0], &n) : nullptr;
        if (kind == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "kind must be a str");
            return nullptr;
        }
        const std::uint64_t offset = PyLong_AsUnsignedLongLong(slots[1]);
        if (offset == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
        for (const ErrorInfo& e : error_table)
            if (e.kind_string == std::string_view(kind, static_cast<std::size_t>(n)))
                return new_parse_error(Error{offset, e.kind});
        PyErr_Format(PyExc_ValueError, "no such kind of ParseError: %R", slots[0]);
        return nullptr;
    });
}

// Every option as a keyword and its value, in the order of the table: what
// pickling and copying rebuild a parser from.
PyObject* options_method(PyObject* self, PyObject*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Names* n = names();
        if (n == nullptr) return nullptr;
        const Parser& p = reinterpret_cast<ParserObject*>(self)->options;
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (std::size_t i = 0; i < parser_options.size(); ++i) {
            const OptionInfo& o = parser_options[i];
            const std::uint64_t v = o.get(p);
            Ref value;
            if (o.kind != OptionKind::Limit)
                value = Ref::borrow(v != 0 ? Py_True : Py_False);
            else if (v == kNoLimit && o.default_value == kNoLimit)
                value = Ref::borrow(Py_None);
            else
                value = Ref::steal(PyLong_FromUnsignedLongLong(v));
            if (!value || PyDict_SetItem(dict.get(), n->options[i], value.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

PyMethodDef methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_method<parse_sig, ReadMode::Whole>)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse($self, data)\n--\n\nReads one S-expression, which is the whole of the input."},
    {"parse_prefix",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_method<parse_prefix_sig, ReadMode::Prefix>)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_prefix($self, data)\n--\n\n"
     "Reads one S-expression from the start of the input, and returns it with\n"
     "the number of octets it occupied.\n\n"
     "What follows is not examined, so this is the way to read a stream of\n"
     "S-expressions one after another."},
    {"_canonical",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_method<canonical_sig, ReadMode::Canonical>)),
     METH_FASTCALL | METH_KEYWORDS,
     "_canonical($self, data)\n--\n\n"
     "Reads one S-expression, which is the whole of the input, and returns its\n"
     "canonical octets without making Python values of it: the way a value of\n"
     "any depth travels between processes (parvex.parallel)."},
    {"_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "_stream($self)\n--\n\n"
     "A reader of one stream's S-expressions as they arrive, under these\n"
     "options (parvex.stream)."},
    {"_parse_error",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_error_method)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_parse_error(kind, offset)\n--\n\n"
     "The ParseError the reader raises for `kind` at `offset`: for readers of\n"
     "pieces of a larger input, which report a failure where it lies in the whole."},
    {"_options", options_method, METH_NOARGS,
     "_options($self)\n--\n\n"
     "Every option as the keyword that sets it and its value: Parser(**p._options())\n"
     "is a parser with the same options."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr std::string_view parser_prose =
    "A reader of S-expressions, and the restrictions it reads against.\n\n"
    "Built with no arguments it accepts every representation of \u00a76, which is\n"
    "what \u00a76 asks a reader to accept. Each keyword turns on one of the\n"
    "restrictions \u00a78 lists, or bounds how large or how deeply nested the input\n"
    "may be.\n\n"
    "A parser holds no state between parses, so one may be built once and used\n"
    "as often as wanted.";

// The text signature lists the documented keywords with their defaults: a
// limit's as None where it is no limit, else as "...".
const char* parser_doc() {
    static const std::string doc = [] {
        std::string d = "Parser(*, canonical=False";
        for (const OptionInfo& o : parser_options) {
            if (o.kind == OptionKind::Leniency) continue;
            d.append(", ").append(o.name).append("=");
            if (o.kind == OptionKind::Limit)
                d.append(o.default_value == kNoLimit ? "None" : "...");
            else
                d.append(o.default_value != 0 ? "True" : "False");
        }
        return d.append(")\n--\n\n").append(parser_prose);
    }();
    return doc.c_str();
}

PyType_Slot slots[] = {
    {Py_tp_doc, nullptr},  // parser_doc(), set when the type is made
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
    return type_cell.get([] {
        slots[0].pfunc = const_cast<char*>(parser_doc());
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    });
}

namespace {

/// The canonical octets of what `input` holds, as `bytes`.
PyObject* canonical_of(const Parser& options, Bytes input) {
    Result<Sexp> value = options.parse(input);
    if (!value) {
        raise_parse_error(value.error());
        return nullptr;
    }
    const std::uint64_t n = encode::canonical::encoded_len(*value);
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (out == nullptr) return nullptr;
    auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out));
    encode::canonical::Writer writer(p, p + n);
    encode::walk(*value, writer);
    return out;
}

}  // namespace

PyObject* read(const Parser& options, PyObject* data, ReadMode mode) {
    Octets storage;
    Bytes input;
    if (!input_octets(data, storage, input)) {
        add_processing_note("data");
        return nullptr;
    }
    if (mode == ReadMode::Canonical) return canonical_of(options, input);
    PyTypeObject* atom = atom_type();
    if (atom == nullptr) return nullptr;
    [[maybe_unused]] compat::GcPause pause;
    PyBuilder builder(atom);
    PrefixEnd end{};
    ReadResult<void> r;
    if (mode == ReadMode::Whole) {
        r = read_whole(options, input, builder);
    } else if (auto p = read_prefix(options, input, builder)) {
        end = *p;
    } else {
        r = std::unexpected(p.error());
    }
    if (!r) {
        // A builder's failure has set its own exception.
        if (const Error* e = std::get_if<Error>(&r.error())) raise_parse_error(*e);
        return nullptr;
    }
    Ref value = Ref::steal(builder.take());
    if (!value || mode == ReadMode::Whole) return value.release();
    Ref count = Ref::steal(PyLong_FromUnsignedLongLong(end.consumed));
    if (!count) return nullptr;
    return PyTuple_Pack(2, value.get(), count.get());
}

}  // namespace parvex::py
