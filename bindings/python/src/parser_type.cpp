// The Parser class: the reader's options from keyword arguments, strictly
// typed (parser_keywords.hpp), and its reading methods.
#include "parser_type.hpp"

#include <string>
#include <string_view>

#include "args.hpp"
#include "boundary.hpp"
#include "once.hpp"
#include "parse_error.hpp"
#include "parser_keywords.hpp"
#include "read.hpp"
#include "ref.hpp"

namespace parvex::py {

namespace {

constexpr Signature new_sig{"Parser.__new__()", {}, 0, option_keywords};

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Parser p;
        if (!options_from_keywords(new_sig, args, kwargs, p)) return nullptr;
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

template <const Signature& Sig, ReadMode Mode>
PyObject* parse_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slot;
        if (!bind(Sig, args, nargsf, kwnames, &slot)) return nullptr;
        return read(reinterpret_cast<ParserObject*>(self)->options, slot, Mode);
    });
}

constexpr Param parse_error_params[] = {{"kind", &Names::kind}, {"offset", &Names::offset}};
constexpr Signature parse_error_sig{"Parser._parse_error()", parse_error_params, 2, {}};

PyObject* parse_error_method(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind(parse_error_sig, args, nargsf, kwnames, slots)) return nullptr;
        return parse_error_of(slots[0], slots[1]);
    });
}

// What pickling and copying rebuild a parser from.
PyObject* options_method(PyObject* self, PyObject*) {
    return guard<PyObject*>(nullptr, [&] { return options_as_dict(reinterpret_cast<ParserObject*>(self)->options); });
}

PyMethodDef methods[] = {
    {"parse", fastcall(parse_method<parse_sig, ReadMode::Whole>), METH_FASTCALL | METH_KEYWORDS,
     "parse($self, data)\n--\n\nReads one S-expression, which is the whole of the input."},
    {"parse_prefix", fastcall(parse_method<parse_prefix_sig, ReadMode::Prefix>), METH_FASTCALL | METH_KEYWORDS,
     "parse_prefix($self, data)\n--\n\n"
     "Reads one S-expression from the start of the input, and returns it with\n"
     "the number of octets it occupied.\n\n"
     "What follows is not examined, so this is the way to read a stream of\n"
     "S-expressions one after another."},
    {"_canonical", fastcall(parse_method<canonical_sig, ReadMode::Canonical>), METH_FASTCALL | METH_KEYWORDS,
     "_canonical($self, data)\n--\n\n"
     "Reads one S-expression, which is the whole of the input, and returns its\n"
     "canonical octets without making Python values of it: the way a value of\n"
     "any depth travels between processes (parvex.parallel)."},
    {"_parse_error", fastcall(parse_error_method), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
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

const char* parser_doc() {
    static const std::string doc = keywords_signature("Parser").append("\n--\n\n").append(parser_prose);
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

}  // namespace parvex::py
