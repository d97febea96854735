// Reading a stream's S-expressions as their octets arrive. Each call reads
// on from where the last one stopped, with the lists it had open and the
// values it had built, so an S-expression that arrives in many pieces is
// read once, not once a piece; a string that a piece cut short is read again
// only once an octet has arrived that could end it. `max_input_len` bounds
// each S-expression: the octet after the limit is looked at only to see
// whether a token ends there.
#include "stream.hpp"

#include <algorithm>
#include <optional>

#include "args.hpp"
#include "boundary.hpp"
#include "builder.hpp"
#include "compat.hpp"
#include "decode/reader.hpp"
#include "error.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace parvex::py {

namespace {

struct StreamObject {
    PyObject_HEAD
    Parser options;
    Suspended state;
    std::optional<PyBuilder> builder;  // made on first need; empty between S-expressions
    bool busy;                         // a read is under way (a signal handler could call again)
};

StreamObject* as_stream(PyObject* self) { return reinterpret_cast<StreamObject*>(self); }

/// The octets of an object with the buffer protocol, viewed in place: a
/// bytearray cannot be resized while they are viewed.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool take(PyObject* obj) {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    Bytes bytes() const { return Bytes(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

/// Sets and clears `busy` around a read.
class Busy {
public:
    explicit Busy(bool& flag) : flag_(flag) { flag_ = true; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    ~Busy() { flag_ = false; }

private:
    bool& flag_;
};

/// One step of `read`: (value, consumed), None, or nullptr with an exception.
PyObject* step(StreamObject& s, Bytes data, std::uint64_t base, bool at_end) {
    const Parser& p = s.options;
    const Bytes input = data.first(std::min<std::uint64_t>(data.size(), p.max_input_len));
    const bool past_limit = input.size() < data.size();  // the octet after the limit has arrived
    const bool more = past_limit || !at_end;
    if (s.state.waiting && more && !past_limit && !ready(s.state.wait, input, p)) Py_RETURN_NONE;
    if (!s.builder) {
        PyTypeObject* atom = atom_type();
        if (atom == nullptr) return nullptr;
        s.builder.emplace(atom);
    }
    ReadResult<std::uint64_t> r;
    {
        [[maybe_unused]] compat::GcPause pause;
        r = read_on(p, input, more, s.state, *s.builder);
        if (!r && s.state.waiting && past_limit) {
            // Only a token at the top level can end right at the limit, and
            // only if the octet after it cannot continue it.
            if (s.state.lists.empty() && s.state.wait.until == Until::TokenEnd &&
                !octet::is_token_octet(data[input.size()]))
                r = read_on(p, input, false, s.state, *s.builder);
            else
                r = std::unexpected(Error{p.max_input_len, ErrorKind::InputTooLong});
        }
    }
    if (!r && s.state.waiting && !past_limit) Py_RETURN_NONE;
    s.state.lists.clear();
    s.state.resume = 0;
    if (!r) {
        s.builder.reset();  // and what it held
        // A builder's failure has set its own exception.
        if (const Error* e = std::get_if<Error>(&r.error())) raise_parse_error(Error{e->offset + base, e->kind});
        return nullptr;
    }
    Ref value = Ref::steal(s.builder->take());
    if (!value) return nullptr;
    Ref consumed = Ref::steal(PyLong_FromUnsignedLongLong(*r));
    if (!consumed) return nullptr;
    return PyTuple_Pack(2, value.get(), consumed.get());
}

constexpr Param read_params[] = {{"data", &Names::data}, {"base", &Names::base}, {"at_end", &Names::at_end}};
constexpr Signature read_sig{"_StreamReading.read()", read_params, 3, {}};

PyObject* read_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind(read_sig, args, nargsf, kwnames, slots)) return nullptr;
        StreamObject& s = *as_stream(self);
        if (s.busy) {
            PyErr_SetString(PyExc_RuntimeError, "the stream is already being read");
            return nullptr;
        }
        const std::uint64_t base = PyLong_AsUnsignedLongLong(slots[1]);
        if (base == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
        const int at_end = PyObject_IsTrue(slots[2]);
        if (at_end < 0) return nullptr;
        BufferView view;
        if (!view.take(slots[0])) return nullptr;
        Busy busy(s.busy);
        return step(s, view.bytes(), base, at_end != 0);
    });
}

void stream_dealloc(PyObject* self) {
    guard_dealloc([&] {
        StreamObject& s = *as_stream(self);
        s.builder.~optional();
        s.state.~Suspended();
    });
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_method)), METH_FASTCALL | METH_KEYWORDS,
     "read($self, data, base, at_end)\n--\n\n"
     "Reads on the S-expression that begins `data`, the octets of the stream\n"
     "that have arrived from its first on, and returns (value, consumed) once it\n"
     "is complete, or None while more must arrive first. `base` is the offset\n"
     "of `data` in the stream, from which a ParseError counts; `at_end` says\n"
     "that the stream ends with `data`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("The reading of one stream's S-expressions as they arrive (parvex.stream).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec{
    .name = "parvex._StreamReading",
    .basicsize = static_cast<int>(sizeof(StreamObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};

Once<PyTypeObject> type_cell;

}  // namespace

PyObject* new_stream_reading(const Parser& options) {
    PyTypeObject* type = type_cell.get([] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); });
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    StreamObject& s = *as_stream(self);
    s.options = options;
    new (&s.state) Suspended();
    new (&s.builder) std::optional<PyBuilder>();
    s.busy = false;
    return self;
}

}  // namespace parvex::py
