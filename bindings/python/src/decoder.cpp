// Decoder: the S-expressions of a stream, each read as soon as its last
// octet has been handed in. Each read goes on from where the last one
// stopped, with the lists it had open and the values it had built, so an
// S-expression that arrives in many pieces is read once, not once a piece;
// a string that a piece cut short is read again only once an octet has
// arrived that could end it, or enough of it to be longer than
// `max_atom_len` allows. `max_input_len` bounds each S-expression: the
// octet after the limit is looked at only to see whether a token ends
// there.
//
// The octets live in the decoder's own buffer, which no Python code can
// reach; a call made while another is under way (from a signal handler, or
// another thread while the stream's own read runs) raises at once, as a
// running generator does. A read that fails for a reason of its own (a
// signal handler's exception, MemoryError) leaves the octets where they
// were, and the next call reads that S-expression again from its start.
#include "decoder.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "compat.hpp"
#include "decode/reader.hpp"
#include "object_builder.hpp"
#include "once.hpp"
#include "parse_error.hpp"
#include "parser_keywords.hpp"
#include "ref.hpp"
#include "types/kept.hpp"

namespace parvex::py {

namespace {

// The first read of a stream asks for at most this much; later ones for
// twice what is buffered plus this, so that a large chunk size costs
// memory only as the data arrives.
constexpr std::size_t kFirstRead = 65536;
// Octets read past that the buffer keeps before it moves the rest to its
// front (each octet then moves at most once on average).
constexpr std::size_t kCompactFrom = 65536;

struct DecoderObject {
    PyObject_HEAD
    Parser options;
    std::vector<std::uint8_t> buffer;  // octets handed in and not yet read past
    std::size_t head;                  // where they begin in `buffer`
    std::uint64_t offset;              // the offset in the stream of `buffer[head]`
    std::uint64_t taken;               // the offset where the last value given out ended
    Suspended state;
    std::optional<PyBuilder> builder;         // made on first need; empty between S-expressions
    bool under_way;                           // `buffer[head]` begins an S-expression being read
    bool closed;                              // the input has ended
    bool busy;                                // a call is under way
    std::optional<Error> failed;              // the input's first fault, raised by every later call
    PyObject* pending;                        // values read once the input ended (a list), or nullptr
    std::vector<std::uint64_t> pending_ends;  // where each ended
    std::size_t pending_next;                 // the first of them not yet given out
};

DecoderObject& as_decoder(PyObject* self) { return *reinterpret_cast<DecoderObject*>(self); }

/// Sets and clears `busy` around a call; false, with ValueError set, where
/// another call is under way.
class Running {
public:
    explicit Running(DecoderObject& d) : d_(d), entered_(!d.busy) {
        if (entered_) d.busy = true;
        else
            PyErr_SetString(PyExc_ValueError,
                            "the decoder is already executing: a call made while another "
                            "was under way (from a signal handler, or another thread)");
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() {
        if (entered_) d_.busy = false;
    }
    explicit operator bool() const { return entered_; }

private:
    DecoderObject& d_;
    bool entered_;
};

/// The octets of an object with the buffer protocol, viewed in place.
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
    Bytes bytes() const {
        return Bytes(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len));
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

Bytes unread(const DecoderObject& d) { return Bytes(d.buffer.data() + d.head, d.buffer.size() - d.head); }

void append(DecoderObject& d, Bytes data) {
    if (d.head == d.buffer.size()) {
        d.buffer.clear();
        d.head = 0;
    }
    d.buffer.insert(d.buffer.end(), data.begin(), data.end());
}

/// Lets go of the first `n` unread octets.
void consume(DecoderObject& d, std::size_t n) {
    d.head += n;
    d.offset += n;
    if (d.head == d.buffer.size()) {
        d.buffer.clear();
        d.head = 0;
        if (d.buffer.capacity() > kept::policy(kept::Slot::DecoderBuffer).up_to)
            std::vector<std::uint8_t>().swap(d.buffer);
    } else if (d.head >= kCompactFrom && d.head >= d.buffer.size() / 2) {
        d.buffer.erase(d.buffer.begin(), d.buffer.begin() + static_cast<std::ptrdiff_t>(d.head));
        d.head = 0;
    }
}

/// Raises the input's fault, as it was first raised.
PyObject* raise_failed(const DecoderObject& d) {
    raise_parse_error(*d.failed);
    return nullptr;
}

enum class Outcome { Value, More, End, Failed };

/// Reads on the S-expression at the front of the unread octets. `Value`
/// with `*out` a new reference; `More` while its end has not arrived;
/// `End` once the input has ended with nothing left; `Failed` with an
/// exception set (a ParseError for the input's fault, which `failed` keeps).
Outcome read_next(DecoderObject& d, PyObject** out) {
    const Parser& p = d.options;
    if (!d.under_way) {
        if (p.allow_advanced) {
            const Bytes rest = unread(d);
            std::size_t n = 0;
            while (n < rest.size() && octet::is_whitespace(rest[n])) ++n;
            if (n != 0) consume(d, n);
            d.taken = d.offset;
        }
        if (d.head == d.buffer.size()) return d.closed ? Outcome::End : Outcome::More;
        d.under_way = true;
    }
    const Bytes data = unread(d);
    const Bytes input = data.first(std::min<std::uint64_t>(data.size(), p.max_input_len));
    const bool past_limit = input.size() < data.size();  // the octet after the limit has arrived
    const bool more = past_limit || !d.closed;
    if (d.state.waiting && more && !past_limit && !ready(d.state.wait, input, p)) return Outcome::More;
    if (!d.builder) {
        PyTypeObject* atom = atom_type();
        if (atom == nullptr) return Outcome::Failed;
        d.builder.emplace(atom);
    } else {
        d.builder->resume();
    }
    ReadResult<std::uint64_t> r;
    {
        [[maybe_unused]] compat::GcPause pause;
        r = read_on(p, input, more, d.state, *d.builder);
        if (!r && d.state.waiting && past_limit) {
            // Only a token at the top level can end right at the limit, and
            // only if the octet after it cannot continue it.
            if (d.state.lists.empty() && d.state.wait.until == Until::TokenEnd &&
                !octet::is_token_octet(data[input.size()]))
                r = read_on(p, input, false, d.state, *d.builder);
            else r = std::unexpected(Error{p.max_input_len, ErrorKind::InputTooLong});
        }
    }
    if (!r && d.state.waiting && !past_limit) return Outcome::More;
    d.state.lists.clear();
    d.state.resume = 0;
    d.state.waiting = false;
    d.under_way = false;
    if (!r) {
        d.builder.reset();  // and what it held
        // A builder's failure has set its own exception, and the
        // S-expression is read again from its start by the next call.
        if (const Error* e = std::get_if<Error>(&r.error())) {
            d.failed = Error{e->offset + d.offset, e->kind};
            raise_parse_error(*d.failed, data, d.offset);
            // Nothing is read after a fault: what was handed in goes.
            std::vector<std::uint8_t>().swap(d.buffer);
            d.head = 0;
        }
        return Outcome::Failed;
    }
    PyObject* value = d.builder->take();
    if (value == nullptr) return Outcome::Failed;
    consume(d, static_cast<std::size_t>(*r));
    d.taken = d.offset;
    *out = value;
    return Outcome::Value;
}

/// The next value to give out: those read once the input ended first, then
/// what the buffer holds, then the input's fault again.
Outcome next_value(DecoderObject& d, PyObject** out) {
    if (d.pending != nullptr) {
        const std::size_t i = d.pending_next++;
        *out = Py_NewRef(PyList_GET_ITEM(d.pending, static_cast<Py_ssize_t>(i)));
        d.taken = d.pending_ends[i];
        if (d.pending_next == d.pending_ends.size()) {
            Py_CLEAR(d.pending);
            d.pending_ends.clear();
            d.pending_next = 0;
        }
        return Outcome::Value;
    }
    if (d.failed) {
        raise_failed(d);
        return Outcome::Failed;
    }
    return read_next(d, out);
}

/// Says the input has ended: what is left is read into `pending`; an
/// S-expression that the end cuts short is an `unexpected_end` at the end.
bool close_input(DecoderObject& d) {
    d.closed = true;
    if (d.failed) {
        raise_failed(d);
        return false;
    }
    // Values still pending (a close() that failed for want of memory, say,
    // and was called again) keep their place ahead of those read now.
    Ref values = Ref::steal(d.pending != nullptr
                                ? PyList_GetSlice(d.pending, static_cast<Py_ssize_t>(d.pending_next), PY_SSIZE_T_MAX)
                                : PyList_New(0));
    if (!values) return false;
    std::vector<std::uint64_t> ends(d.pending_ends.begin() + static_cast<std::ptrdiff_t>(d.pending_next),
                                    d.pending_ends.end());
    const std::uint64_t taken = d.taken;
    bool ok = true;
    for (bool more = true; more;) {
        PyObject* value = nullptr;
        switch (read_next(d, &value)) {
            case Outcome::Value: {
                Ref v = Ref::steal(value);
                ends.push_back(d.taken);
                if (PyList_Append(values.get(), v.get()) < 0) return false;  // that value is lost with the memory
                break;
            }
            case Outcome::End:
            case Outcome::More:  // cannot be, once the input has ended
                more = false;
                break;
            case Outcome::Failed: ok = more = false; break;
        }
    }
    d.taken = taken;
    Py_CLEAR(d.pending);
    d.pending_ends.clear();
    d.pending_next = 0;
    if (!ends.empty()) {
        d.pending = values.release();
        d.pending_ends = std::move(ends);
    }
    return ok;
}

// MARK: the type

void construct(DecoderObject& d, const Parser& p) {
    d.options = p;
    new (&d.buffer) std::vector<std::uint8_t>();
    new (&d.state) Suspended();
    new (&d.builder) std::optional<PyBuilder>();
    new (&d.failed) std::optional<Error>();
    new (&d.pending_ends) std::vector<std::uint64_t>();
    d.head = 0;
    d.offset = d.taken = 0;
    d.under_way = d.closed = d.busy = false;
    d.pending = nullptr;
    d.pending_next = 0;
}

void destroy(DecoderObject& d) {
    guard_dealloc([&] {
        Py_CLEAR(d.pending);
        d.builder.~optional();
        d.state.~Suspended();
        d.buffer.~vector();
        d.failed.~optional();
        d.pending_ends.~vector();
    });
}

constexpr Signature new_sig{"Decoder.__new__()", {}, 0, option_keywords};

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Parser p;
        if (!options_from_keywords(new_sig, args, kwargs, p)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        construct(as_decoder(self), p);
        return self;
    });
}

void decoder_dealloc(PyObject* self) {
    destroy(as_decoder(self));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* decoder_iternext(PyObject* self) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        DecoderObject& d = as_decoder(self);
        Running running(d);
        if (!running) return nullptr;
        PyObject* value = nullptr;
        return next_value(d, &value) == Outcome::Value ? value : nullptr;  // nullptr alone: StopIteration
    });
}

constexpr Param data_params[] = {{"data", &Names::data}};
constexpr Signature feed_sig{"Decoder.feed()", data_params, 1, {}};

PyObject* feed_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* data;
        if (!bind(feed_sig, args, nargsf, kwnames, &data)) return nullptr;
        DecoderObject& d = as_decoder(self);
        Running running(d);
        if (!running) return nullptr;
        if (d.failed) return raise_failed(d);
        if (d.closed) {
            PyErr_SetString(PyExc_ValueError, "feed() after close(): the input has ended");
            return nullptr;
        }
        if (PyUnicode_Check(data)) {
            PyErr_SetString(PyExc_TypeError, "feed() takes bytes-like data, not str (encode it first)");
            return nullptr;
        }
        BufferView view;
        if (!view.take(data)) return nullptr;
        append(d, view.bytes());
        Py_RETURN_NONE;
    });
}

PyObject* close_method(PyObject* self, PyObject*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        DecoderObject& d = as_decoder(self);
        Running running(d);
        if (!running) return nullptr;
        if (d.closed && !d.failed) Py_RETURN_NONE;
        if (!close_input(d)) return nullptr;
        Py_RETURN_NONE;
    });
}

/// What `read` returned, appended: true if it held octets, false if it was
/// empty; nullopt with an exception set where it was not octets, or None
/// (a non-blocking stream with nothing ready).
std::optional<bool> take_read(DecoderObject& d, PyObject* got) {
    if (got == Py_None) {
        PyErr_SetString(PyExc_BlockingIOError,
                        "the stream has no data ready; iter_parse() needs a "
                        "blocking stream (a socket with a timeout will do)");
        return std::nullopt;
    }
    if (PyUnicode_Check(got)) {  // a text stream: its UTF-8
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(got, &n);
        if (p == nullptr) return std::nullopt;
        append(d, Bytes(reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)));
        return n != 0;
    }
    BufferView view;
    if (!view.take(got)) {
        PyErr_Clear();
        Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(got)));
        if (name)
            PyErr_Format(PyExc_TypeError, "iter_parse() needs a stream of octets or text; its read returned %U",
                         name.get());
        return std::nullopt;
    }
    append(d, view.bytes());
    return !view.bytes().empty();
}

// MARK: a stream read through the decoder

/// `fn(arg)` (or `fn()` without one): a StopIteration it raises would end
/// the caller's loop as if the stream had ended, so it becomes a
/// RuntimeError, as in a generator.
PyObject* call_stream(PyObject* fn, PyObject* arg) {
    PyObject* r = arg != nullptr ? PyObject_CallOneArg(fn, arg) : PyObject_CallNoArgs(fn);
    if (r == nullptr && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *type, *cause, *traceback;
        PyErr_Fetch(&type, &cause, &traceback);
        PyErr_NormalizeException(&type, &cause, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(cause, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        Ref exc = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", "the stream raised StopIteration"));
        if (!exc) {
            Py_XDECREF(cause);
            return nullptr;
        }
        PyException_SetCause(exc.get(), Py_NewRef(cause));
        PyException_SetContext(exc.get(), cause);  // steals
        PyErr_SetObject(PyExc_RuntimeError, exc.get());
    }
    return r;
}

struct StreamReaderObject {
    DecoderObject decoder;
    PyObject* read;   // read(n): up to n octets (bytes-like, or str of a text stream), or None
    PyObject* ended;  // ended(): whether an empty read was the end
    std::size_t chunk_size;
};

StreamReaderObject& as_stream(PyObject* self) { return *reinterpret_cast<StreamReaderObject*>(self); }

/// How much the next read asks for: up to a chunk, and no more than twice
/// what is buffered plus a first read, nor, with a limit, than it takes to
/// see an S-expression pass it.
std::size_t next_read_size(const StreamReaderObject& s) {
    const DecoderObject& d = s.decoder;
    const std::size_t have = d.buffer.size() - d.head;
    std::size_t want = std::min(s.chunk_size, 2 * have + kFirstRead);
    if (const std::uint64_t limit = d.options.max_input_len; limit != kNoLimit) {
        const std::uint64_t room = limit + 1 - std::min<std::uint64_t>(have, limit);
        want = static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(want, room)));
    }
    return want;
}

// The next value of the stream, reading as much as it needs. The read and
// the append of what it returned are one step: no Python code runs between
// them, so no exception can come between them and lose octets; and the
// value goes straight to the caller's `for`, with no Python code of ours
// between it and the loop's variable either.
PyObject* stream_iternext(PyObject* self) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        StreamReaderObject& s = as_stream(self);
        DecoderObject& d = s.decoder;
        Running running(d);
        if (!running) return nullptr;
        for (;;) {
            PyObject* value = nullptr;
            switch (next_value(d, &value)) {
                case Outcome::Value: return value;
                case Outcome::Failed: return nullptr;
                case Outcome::End: return nullptr;  // StopIteration
                case Outcome::More: break;
            }
            Ref n = Ref::steal(PyLong_FromSize_t(next_read_size(s)));
            if (!n) return nullptr;
            std::optional<bool> got;
            for (int attempt = 0; attempt < 2; ++attempt) {
                Ref data = Ref::steal(call_stream(s.read, n.get()));
                if (!data) return nullptr;
                got = take_read(d, data.get());
                if (!got) return nullptr;
                if (*got || attempt != 0) break;  // octets, or empty twice: the end
                Ref ended = Ref::steal(call_stream(s.ended, nullptr));
                if (!ended) return nullptr;
                const int is_end = PyObject_IsTrue(ended.get());
                if (is_end < 0) return nullptr;
                if (is_end) break;
            }
            if (!*got && !close_input(d)) return nullptr;
        }
    });
}

// A Decoder that takes over a stream from another counts its offsets from
// where the other stopped.
PyObject* start_at_method(PyObject* self, PyObject* arg) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        DecoderObject& d = as_decoder(self);
        const std::uint64_t at = PyLong_AsUnsignedLongLong(arg);
        if (at == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
        if (d.offset != 0 || d.buffer.size() != d.head || d.closed || d.busy) {
            PyErr_SetString(PyExc_ValueError, "_start_at() on a decoder that has begun");
            return nullptr;
        }
        d.offset = d.taken = at;
        Py_RETURN_NONE;
    });
}

// The octets handed in and not yet read past, from the start of the
// S-expression under way: for a decoder that takes the stream over.
PyObject* unread_method(PyObject* self, PyObject*) {
    const Bytes rest = unread(as_decoder(self));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rest.data()), static_cast<Py_ssize_t>(rest.size()));
}

// MARK: attributes

PyObject* offset_get(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_decoder(self).taken); }

PyObject* buffered_get(PyObject* self, void*) {
    const DecoderObject& d = as_decoder(self);
    return PyLong_FromSize_t(d.buffer.size() - d.head);
}

PyMethodDef methods[] = {
    {"feed", fastcall(feed_method), METH_FASTCALL | METH_KEYWORDS,
     "feed($self, data, /)\n--\n\n"
     "Hands in the next octets of the input (bytes, bytearray, memoryview or\n"
     "any other bytes-like object); they are copied. Iterate to take the\n"
     "S-expressions they complete. An empty `data` changes nothing: say that\n"
     "the input has ended with close()."},
    {"_start_at", start_at_method, METH_O,
     "_start_at($self, offset, /)\n--\n\n"
     "Counts offsets from `offset`, for a decoder that takes over a stream\n"
     "another read up to there (parvex.aread)."},
    {"_unread", unread_method, METH_NOARGS,
     "_unread($self, /)\n--\n\n"
     "The octets handed in and not yet read past (parvex.aread)."},
    {"close", close_method, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Says the input has ended. Raises ParseError (unexpected_end, at the\n"
     "input's length) if it ended inside an S-expression. What it completes,\n"
     "such as a final token, and whatever was not yet taken, is still given\n"
     "by iteration, in order, followed by the error if there was one."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"offset", offset_get, nullptr,
     "The number of octets of the input that the S-expressions given out so far,\n"
     "and the whitespace around them, occupy: where the next one begins.",
     nullptr},
    {"buffered", buffered_get, nullptr, "The number of octets handed in and not yet read past.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr std::string_view decoder_prose =
    "Reads the S-expressions of an input handed in piece by piece, each as\n"
    "soon as its last octet has been handed in: the caller does the I/O\n"
    "(a socket, an event loop, a protocol's frames) and calls feed(), then\n"
    "iterates to take what is complete; close() says the input has ended.\n\n"
    "The keywords are those of Parser and read every S-expression under the\n"
    "same restrictions. Whitespace between S-expressions is skipped where the\n"
    "advanced representation is allowed; otherwise it is an error like any\n"
    "octet that cannot begin one. `max_input_len` bounds each S-expression, not\n"
    "the whole input, and `max_atom_len` refuses a string as soon as its\n"
    "declared length or what has arrived of it is too long. A ParseError\n"
    "carries the offset from the first octet ever handed in; after one, every\n"
    "call raises it again.";

const char* decoder_doc() {
    static const std::string doc = keywords_signature("Decoder").append("\n--\n\n").append(decoder_prose);
    return doc.c_str();
}

PyType_Slot slots[] = {
    {Py_tp_doc, nullptr},  // decoder_doc(), set when the type is made
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(decoder_iternext)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec{
    .name = "parvex.Decoder",
    .basicsize = static_cast<int>(sizeof(DecoderObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slots,
};

Once<PyTypeObject> type_cell;

// MARK: the StreamReader type

constexpr Param stream_params[] = {
    {"read", &Names::read}, {"ended", &Names::ended}, {"chunk_size", &Names::chunk_size}};
constexpr Signature stream_new_sig{"StreamReader.__new__()", stream_params, 3, option_keywords};

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[3 + option_keywords.size()];
        if (!bind(stream_new_sig, args, kwargs, slots)) return nullptr;
        const std::size_t chunk = PyLong_AsSize_t(slots[2]);
        if (chunk == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
        if (chunk == 0) {
            PyErr_SetString(PyExc_ValueError, "chunk_size must be a positive integer");
            return nullptr;
        }
        Parser p;
        if (!options_from_slots(slots + 3, p)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        StreamReaderObject& s = as_stream(self);
        construct(s.decoder, p);
        s.read = Py_NewRef(slots[0]);
        s.ended = Py_NewRef(slots[1]);
        s.chunk_size = chunk;
        return self;
    });
}

int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    StreamReaderObject& s = as_stream(self);
    Py_VISIT(s.read);
    Py_VISIT(s.ended);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int stream_clear(PyObject* self) {
    StreamReaderObject& s = as_stream(self);
    Py_CLEAR(s.read);
    Py_CLEAR(s.ended);
    return 0;
}

void stream_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    stream_clear(self);
    destroy(as_stream(self).decoder);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr const char stream_doc[] =
    "StreamReader(read, ended, chunk_size, **options)\n--\n\n"
    "The S-expressions of a stream, read as a Decoder reads them as they arrive:\n"
    "what parvex.iter_parse returns. `read(n)` reads up to n octets (bytes,\n"
    "bytearray, memoryview, or str from a text stream, taken as UTF-8), or\n"
    "None where a non-blocking stream has nothing ready; `ended()` tells\n"
    "whether an empty read was the end. `offset` is the number of octets of the\n"
    "stream that the S-expressions read so far, and the whitespace around\n"
    "them, occupy.";

PyGetSetDef stream_getset[] = {
    {"offset", offset_get, nullptr,
     "The number of octets of the stream that the S-expressions read so far,\n"
     "and the whitespace around them, occupy.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(stream_doc)},
    {Py_tp_getset, stream_getset},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_iternext)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
    {0, nullptr},
};

PyType_Spec stream_spec{
    .name = "parvex.StreamReader",
    .basicsize = static_cast<int>(sizeof(StreamReaderObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = stream_slots,
};

Once<PyTypeObject> stream_type_cell;

}  // namespace

PyTypeObject* decoder_type() {
    return type_cell.get([] {
        slots[0].pfunc = const_cast<char*>(decoder_doc());
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    });
}

PyTypeObject* stream_reader_type() {
    return stream_type_cell.get([] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stream_spec)); });
}

}  // namespace parvex::py
