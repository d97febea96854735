// The writing functions: bind `sexp`, size its output, write it. Output is
// written straight into the result object, allocated once at its exact
// size, and straight from the Python objects wherever no Python code would
// run while they are read; other structures are laid out first.
#include "writers.hpp"

#include <cstring>
#include <optional>
#include <new>

#include "args.hpp"
#include "atom.hpp"
#include "boundary.hpp"
#include "encode/advanced.hpp"
#include "encode/canonical.hpp"
#include "encode/transport.hpp"
#include "ref.hpp"
#include "source.hpp"

namespace parvex::py {

namespace {

constexpr Param sexp_params[] = {{"sexp", &Names::sexp}};
constexpr Signature to_canonical_sig{"to_canonical()", sexp_params, 1, {}};
constexpr Signature to_transport_sig{"to_transport()", sexp_params, 1, {}};
constexpr Signature to_advanced_sig{"to_advanced()", sexp_params, 1, {}};

constexpr std::uint64_t kLongest = PY_SSIZE_T_MAX;  // octets of the longest bytes or str

/// OverflowError for an output longer than any object can be, raised
/// before anything is allocated.
bool too_long(std::uint64_t n) {
    if (n <= kLongest) return false;
    PyErr_SetString(PyExc_OverflowError, "the written form would be longer than any object can be");
    return true;
}

/// The canonical sizer, which the walk stops early once the total is past
/// `Most` (values that share sub-lists can reach that without filling
/// memory): the rest of the walk could not change the answer.
template <std::uint64_t Most>
struct BoundedSizer : encode::canonical::Sizer {
    bool full() const { return total() > Most; }
};

// Four characters of transport text for three canonical octets: past this
// many octets no object holds the text.
constexpr std::uint64_t kLongestForTransport = kLongest / 2;

// The structure to write, walked once to size the output and once more to
// write it: straight from the objects where that runs no Python code (so
// they cannot change between the walks), else through a layout that keeps
// them alive. Walking the objects twice is faster than recording them.
class Source {
public:
    explicit Source(PyObject* obj) : obj_(obj) {}

    /// Sends the events to `sizer`; false with the conversion's exception.
    template <class Sizer>
    bool size(Sizer& sizer) {
        atom_ = atom_type();
        if (atom_ == nullptr) return false;
        switch (walk_plain(obj_, atom_, sizer)) {
            case Walk::Done:
                plain_ = true;
                return true;
            case Walk::Failed:
                return false;
            case Walk::Slow:
                break;
        }
        if (!to_pieces(obj_, layout_)) return false;
        sizer = Sizer{};
        encode::replay(layout_.pieces, sizer);
        return true;
    }

    /// Sends the same events again, to `sink`.
    template <class Sink>
    void send(Sink& sink) {
        if (plain_)
            walk_plain(obj_, atom_, sink);
        else
            encode::replay(layout_.pieces, sink);
    }

private:
    PyObject* obj_;
    PyTypeObject* atom_ = nullptr;
    bool plain_ = false;
    Layout layout_;
};

PyObject* bound_sexp(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* sexp;
    return bind(sig, args, nargsf, kwnames, &sexp) ? sexp : nullptr;
}

}  // namespace

PyObject* to_canonical_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* sexp = bound_sexp(to_canonical_sig, args, nargsf, kwnames);
        if (sexp == nullptr) return nullptr;
        Source source(sexp);
        BoundedSizer<kLongest> sizer;
        if (!source.size(sizer) || too_long(sizer.total())) return nullptr;
        PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(sizer.total()));
        if (out == nullptr) return nullptr;
        auto* buffer = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out));
        encode::canonical::Writer writer(buffer, buffer + PyBytes_GET_SIZE(out));
        source.send(writer);
        return out;
    });
}

PyObject* to_transport_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* sexp = bound_sexp(to_transport_sig, args, nargsf, kwnames);
        if (sexp == nullptr) return nullptr;
        Source source(sexp);
        BoundedSizer<kLongestForTransport> sizer;
        if (!source.size(sizer)) return nullptr;
        // The base-64 text of the canonical octets, as they are written.
        const std::uint64_t octets = sizer.total();
        const std::uint64_t text = sizer.full() ? kLongest + 1 : encode::transport::text_len(octets);
        if (too_long(text)) return nullptr;
        PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(text), 127);
        if (out == nullptr) return nullptr;
        char* p = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out));
        p[0] = '{';
        encode::canonical::BasicWriter<encode::transport::Base64Out> writer(p + 1,
                                                                           text >= encode::transport::kUncachedFrom);
        source.send(writer);
        *writer.out().finish() = '}';
        return out;
    });
}

PyObject* to_advanced_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* sexp = bound_sexp(to_advanced_sig, args, nargsf, kwnames);
        if (sexp == nullptr) return nullptr;
        // One pass, into a buffer that grows: the objects are read once.
        PyTypeObject* atom = atom_type();
        if (atom == nullptr) return nullptr;
        std::optional<encode::advanced::Writer> writer(std::in_place);
        switch (walk_plain(sexp, atom, *writer)) {
            case Walk::Done:
                break;
            case Walk::Failed:
                return nullptr;
            case Walk::Slow: {
                Layout layout;
                if (!to_pieces(sexp, layout)) return nullptr;
                writer.emplace();
                encode::replay(layout.pieces, *writer);
                break;
            }
        }
        if (too_long(writer->size())) return nullptr;
        PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(writer->size()), 127);
        if (out != nullptr && writer->size() != 0)
            std::memcpy(PyUnicode_1BYTE_DATA(out), writer->data(), writer->size());
        return out;
    });
}

}  // namespace parvex::py
