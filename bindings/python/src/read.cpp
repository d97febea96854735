// The reading path shared by the module's parse functions and Parser's
// methods: octets in, a core read, a Python value or ParseError out.
#include "read.hpp"

#include "args.hpp"
#include "decode/reader.hpp"
#include "encode/canonical.hpp"
#include "compat.hpp"
#include "object_builder.hpp"
#include "octets.hpp"
#include "parse_error.hpp"
#include "ref.hpp"

namespace parvex::py {

namespace {

/// The canonical octets of what `input` holds, as `bytes`.
PyObject* canonical_of(const Parser& options, Bytes input) {
    Result<Sexp> value = options.parse(input);
    if (!value) {
        raise_parse_error(value.error(), input, 0);
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
        if (const Error* e = std::get_if<Error>(&r.error())) raise_parse_error(*e, input, 0);
        return nullptr;
    }
    Ref value = Ref::steal(builder.take());
    if (!value || mode == ReadMode::Whole) return value.release();
    Ref count = Ref::steal(PyLong_FromUnsignedLongLong(end.consumed));
    if (!count) return nullptr;
    return PyTuple_Pack(2, value.get(), count.get());
}

}  // namespace parvex::py
