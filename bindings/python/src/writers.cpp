// The writing functions: bind `sexp`, convert it, write it. Canonical and
// transport output is written straight into the result object, allocated
// once at its exact size.
#include "writers.hpp"

#include <cstring>
#include <new>
#include <optional>

#include "args.hpp"
#include "boundary.hpp"
#include "encode/advanced.hpp"
#include "encode/canonical.hpp"
#include "encode/transport.hpp"
#include "value.hpp"

namespace parvex::py {

namespace {

constexpr Param sexp_params[] = {{"sexp", &Names::sexp}};
constexpr Signature to_canonical_sig{"to_canonical()", sexp_params, 1, {}};
constexpr Signature to_transport_sig{"to_transport()", sexp_params, 1, {}};
constexpr Signature to_advanced_sig{"to_advanced()", sexp_params, 1, {}};

// The bound argument as a value; a conversion failure propagates unchanged.
std::optional<Sexp> bind_value(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* sexp;
    if (!bind(sig, args, nargsf, kwnames, &sexp)) return std::nullopt;
    return to_sexp(sexp);
}

Py_ssize_t checked_size(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();  // fatal
    return static_cast<Py_ssize_t>(n);
}

PyObject* ascii(const char* p, std::size_t n) {
    PyObject* s = PyUnicode_New(checked_size(n), 127);
    if (s != nullptr && n != 0) std::memcpy(PyUnicode_1BYTE_DATA(s), p, n);
    return s;
}

}  // namespace

PyObject* to_canonical_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<Sexp> value = bind_value(to_canonical_sig, args, nargsf, kwnames);
        if (!value) return nullptr;
        const std::uint64_t n = encode::canonical::encoded_len(*value);
        PyObject* out = PyBytes_FromStringAndSize(nullptr, checked_size(n));
        if (out == nullptr) return nullptr;
        encode::canonical::write(*value, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)));
        return out;
    });
}

PyObject* to_transport_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<Sexp> value = bind_value(to_transport_sig, args, nargsf, kwnames);
        if (!value) return nullptr;
        const Octets octets = encode::canonical::to_vec(*value);
        PyObject* out = PyUnicode_New(checked_size(encode::transport::text_len(octets.size())), 127);
        if (out == nullptr) return nullptr;
        encode::transport::write(octets, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out)));
        return out;
    });
}

PyObject* to_advanced_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<Sexp> value = bind_value(to_advanced_sig, args, nargsf, kwnames);
        if (!value) return nullptr;
        const std::string text = encode::advanced::to_string(*value);
        return ascii(text.data(), text.size());
    });
}

}  // namespace parvex::py
