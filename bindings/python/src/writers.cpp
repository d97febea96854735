// The writing functions: bind `sexp`, walk it once, write its text as the
// events come. Output goes straight into the result object, which grows as
// needed and is trimmed to its length at the end.
#include "writers.hpp"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "args.hpp"
#include "base64/base64.hpp"
#include "boundary.hpp"
#include "cpu/features.hpp"
#include "encode/advanced.hpp"
#include "encode/canonical.hpp"
#include "encode/output.hpp"
#include "encode/transport.hpp"
#include "source.hpp"

namespace parvex::py {

namespace {

constexpr Param sexp_params[] = {{"sexp", &Names::sexp}};
constexpr Signature to_canonical_sig{"to_canonical()", sexp_params, 1, {}};
constexpr Signature to_transport_sig{"to_transport()", sexp_params, 1, {}};
constexpr Signature to_advanced_sig{"to_advanced()", sexp_params, 1, {}};

/// Thrown out of a walk when a Python call failed; the exception is set.
struct PythonFailed {};

constexpr std::size_t kLongest = PY_SSIZE_T_MAX;  // octets of the longest bytes or str

/// OverflowError for a result longer than any object can be, raised before
/// it is made (shared sub-lists can reach that without filling memory).
PythonFailed too_long() {
    PyErr_SetString(PyExc_OverflowError, "the written form would be longer than any object can be");
    return PythonFailed{};
}

// A result of kept::kHugePagesFrom or more is always new memory from the
// system, whose every 4 KiB page faults when first written: on a virtual
// machine that costs more than writing the page. Asked for in huge pages,
// it faults 512 times less (row "to_transport" of the sweep, 32 MiB and
// more). Such a result's capacity is rounded up so that its block, with the
// object's header and the allocator's, fills whole huge pages: Linux maps a
// region of such a length on a huge-page boundary, and its first and last
// pages are then huge too, rather than up to 512 small ones each.
std::size_t huge_capacity(std::size_t n, std::size_t header) {
    constexpr std::size_t kHuge = kept::kHugePage;
    constexpr std::size_t kAllocator = 64;  // glibc's chunk header and rounding, with room to spare
    if (n < kept::kHugePagesFrom || n > kLongest - header - kAllocator - kHuge) return n;
    return (n + header + kAllocator + kHuge - 1) / kHuge * kHuge - header - kAllocator;
}

// Advises huge pages for the `n` octets at `p`, and for what lies around
// them up to a huge-page boundary where that is within their own first or
// last small page (the block's own mapping, made by `huge_capacity`). The
// object's header and its terminating NUL were written there before the
// advice, which leaves those two huge pages as 512 small ones unless they
// are collapsed into huge ones now (MADV_COLLAPSE, Linux 6.1; older kernels
// refuse it). With `huge_capacity`: 528 page faults to 17 for 24 MiB of
// octets written as text, 2-7% of the time of 24-64 MiB results.
void advise_huge_pages(std::uint8_t* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (n < kept::kHugePagesFrom) return;
    constexpr int kCollapse = 25;  // MADV_COLLAPSE, which older headers lack
    const auto down = [](std::uintptr_t a, std::uintptr_t unit) { return a & ~(unit - 1); };
    const auto up = [](std::uintptr_t a, std::uintptr_t unit) { return (a + unit - 1) & ~(unit - 1); };
    constexpr std::uintptr_t kHuge = kept::kHugePage, kPage = kept::kSystemPage;
    const auto start = reinterpret_cast<std::uintptr_t>(p), end = start + n;
    const bool head = down(start, kHuge) == down(start, kPage), tail = up(end, kHuge) == up(end, kPage);
    const std::uintptr_t from = head ? down(start, kHuge) : up(start, kHuge);
    const std::uintptr_t to = tail ? up(end, kHuge) : down(end, kHuge);
    if (to <= from) return;
    // Advice all: each call may fail, and nothing depends on it.
    if (madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE) != 0) return;
    if (head) madvise(reinterpret_cast<void*>(from), kHuge, kCollapse);
    if (tail && to - kHuge != from) madvise(reinterpret_cast<void*>(to - kHuge), kHuge, kCollapse);
#else
    (void)p;
    (void)n;
#endif
}

// MARK: results that grow

/// Shortens `obj`, a result of `used` octets in a block of `capacity`, in
/// place where it is large and its block at most a little too long
/// (encode::GrowingOut says why); false where it is to be trimmed instead.
bool shorten_keeping_block(PyObject* obj, std::size_t used, std::size_t capacity) {
    return used >= kept::kLargeResult && capacity - used <= kept::kResultSlack && compat::shorten(obj, used);
}

// Storage for `encode::GrowingOut` in a new Python object of the result's
// type: bytes for the canonical octets, a compact ASCII str for the texts.
// Each resize that fails throws PythonFailed with MemoryError set.
class BytesStorage {
public:
    BytesStorage() = default;
    BytesStorage(const BytesStorage&) = delete;
    BytesStorage& operator=(const BytesStorage&) = delete;
    ~BytesStorage() { Py_XDECREF(obj_); }

    std::uint8_t* resize(std::size_t, std::size_t capacity) {
        capacity = huge_capacity(capacity, compat::kBytesHeader);
        const auto n = static_cast<Py_ssize_t>(capacity);
        if (obj_ == nullptr) obj_ = PyBytes_FromStringAndSize(nullptr, n);
        else if (compat::resize_bytes(&obj_, n) < 0) obj_ = nullptr;  // released by the call
        if (obj_ == nullptr) throw PythonFailed{};
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(obj_));
        advise_huge_pages(data, capacity);
        capacity_ = capacity;
        return data;
    }
    /// The result, shortened to its first `used` octets (a new reference).
    PyObject* finish(std::size_t used) {
        if (!shorten_keeping_block(obj_, used, capacity_) &&
            compat::resize_bytes(&obj_, static_cast<Py_ssize_t>(used)) < 0)
            obj_ = nullptr;
        return std::exchange(obj_, nullptr);
    }

private:
    PyObject* obj_ = nullptr;
    std::size_t capacity_ = 0;
};

class AsciiStorage {
public:
    AsciiStorage() = default;
    AsciiStorage(const AsciiStorage&) = delete;
    AsciiStorage& operator=(const AsciiStorage&) = delete;
    ~AsciiStorage() { Py_XDECREF(obj_); }

    std::uint8_t* resize(std::size_t, std::size_t capacity) {
        capacity = huge_capacity(capacity, compat::kStrHeader);
        const auto n = static_cast<Py_ssize_t>(capacity);
        if (obj_ == nullptr) {
            obj_ = PyUnicode_New(n, 127);
            if (obj_ == nullptr) throw PythonFailed{};
        } else if (PyUnicode_Resize(&obj_, n) < 0) {
            throw PythonFailed{};
        }
        advise_huge_pages(PyUnicode_1BYTE_DATA(obj_), capacity);
        capacity_ = capacity;
        return PyUnicode_1BYTE_DATA(obj_);
    }
    PyObject* finish(std::size_t used) {
        if (!shorten_keeping_block(obj_, used, capacity_) && PyUnicode_Resize(&obj_, static_cast<Py_ssize_t>(used)) < 0)
            return nullptr;
        return std::exchange(obj_, nullptr);
    }

private:
    PyObject* obj_ = nullptr;
    std::size_t capacity_ = 0;
};

// How a deferred run becomes text: copied, or encoded in base 64.
struct Copy {
    static std::size_t size(std::size_t n) { return n; }
    static std::uint8_t* write(std::uint8_t* out, Bytes run) {
        std::memcpy(out, run.data(), run.size());
        return out + run.size();
    }
};

struct Base64 {
    static std::size_t size(std::size_t n) { return static_cast<std::size_t>(base64::encoded_size(n)); }
    static std::uint8_t* write(std::uint8_t* out, Bytes run) {
        return reinterpret_cast<std::uint8_t*>(base64::encode_to(run, reinterpret_cast<char*>(out)));
    }
};

// A growing result for writers whose long runs of octets can wait: short
// ones are written into a result object that grows as they come; a long
// one is noted where it goes, and once all is written, a result of exactly
// the right size is made and filled, each long run written into it once,
// straight from where it lies. A result made to measure, unlike one that
// grew and was trimmed, lets the allocator hand the same memory to the
// next call of the same size instead of fresh pages from the system.
template <class Storage, class Fill, kept::Slot Remember>
class GatherOut {
public:
    static constexpr bool kGrows = true;
    void octet(std::uint8_t c) { runs_.octet(c); }
    void octets(const std::uint8_t* s, std::size_t n) { runs_.octets(s, n); }
    std::uint8_t* room(std::size_t n) { return runs_.room(n); }
    void commit(std::uint8_t* end) { runs_.commit(end); }
    void defer(Bytes run) {
        const std::size_t n = Fill::size(run.size());
        if (n > kLongest - deferred_size_) throw too_long();
        deferred_.push_back(Deferred{runs_.size(), run});
        deferred_size_ += n;
    }
    /// The result (a new reference), or nullptr with an exception set.
    PyObject* finish() {
        if (deferred_.empty()) return runs_.storage().finish(runs_.size());
        if (deferred_size_ > kLongest - runs_.size()) throw too_long();
        Storage result;
        const std::size_t size = runs_.size() + deferred_size_;
        std::uint8_t* out = result.resize(0, size);
        const std::uint8_t* runs = runs_.data();
        std::size_t done = 0;  // octets of `runs` copied
        for (const Deferred& d : deferred_) {
            std::memcpy(out, runs + done, d.at - done);
            out = Fill::write(out + (d.at - done), d.run);
            done = d.at;
        }
        std::memcpy(out, runs + done, runs_.size() - done);
        return result.finish(size);
    }

private:
    struct Deferred {
        std::size_t at;  // where it goes among the runs
        Bytes run;
    };
    encode::GrowingOut<Storage, Remember> runs_;
    std::vector<Deferred> deferred_;
    std::size_t deferred_size_ = 0;
};

using BytesOut = GatherOut<BytesStorage, Copy, kept::Slot::LastCanonical>;
using AsciiOut = encode::GrowingOut<AsciiStorage, kept::Slot::LastAdvanced>;
using Base64TextOut = GatherOut<AsciiStorage, Base64, kept::Slot::LastTransport>;
static_assert(encode::DeferringOutput<BytesOut> && encode::DeferringOutput<Base64TextOut>);
static_assert(encode::Output<AsciiOut>);

// MARK: the functions

// The bound `sexp`, written by `write(sexp)`, which returns the result or
// nullptr with an exception set.
template <class Write>
PyObject* write_bound(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Write write) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* sexp;
        if (!bind(sig, args, nargsf, kwnames, &sexp)) return nullptr;
        try {
            return write(sexp);
        } catch (const PythonFailed&) {
            return nullptr;
        }
    });
}

// MARK: each writer on each path

struct Canonical {
    template <cpu::Path P>
    [[gnu::always_inline]] static PyObject* write(PyObject* sexp) {
        Source source;
        encode::canonical::BasicWriter<BytesOut, P> writer;
        if (!source.walk(sexp, writer)) return nullptr;
        return writer.out().finish();
    }
};

struct Transport {
    // The canonical octets, turned into base-64 text as they come.
    template <cpu::Path P>
    [[gnu::always_inline]] static PyObject* write(PyObject* sexp) {
        Source source;
        encode::canonical::BasicWriter<encode::transport::Base64Out<Base64TextOut>, P> writer;
        Base64TextOut& text = writer.out().text();
        text.octet('{');
        if (!source.walk(sexp, writer)) return nullptr;
        writer.out().finish();
        text.octet('}');
        return text.finish();
    }
};

struct Advanced {
    template <cpu::Path P>
    [[gnu::always_inline]] static PyObject* write(PyObject* sexp) {
        Source source;
        encode::advanced::BasicWriter<AsciiOut, P> writer;
        if (!source.walk(sexp, writer)) return nullptr;
        return writer.out().storage().finish(writer.out().size());
    }
};

// The AVX-512 and AVX2 instantiations, each compiled whole for its target.
#if defined(__x86_64__)
template <class W>
[[gnu::target(PARVEX_AVX512_TARGET), gnu::flatten]] PyObject* on_avx512(PyObject* sexp) {
    return W::template write<cpu::Path::Avx512>(sexp);
}
template <class W>
[[gnu::target(PARVEX_AVX2_TARGET), gnu::flatten]] PyObject* on_avx2(PyObject* sexp) {
    return W::template write<cpu::Path::Avx2>(sexp);
}
#endif

// `W` on the richest path the processor allows, bound to its signature.
template <class W, const Signature& Sig>
PyObject* writer_fn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return write_bound(Sig, args, nargsf, kwnames, [](PyObject* sexp) -> PyObject* {
        switch (cpu::best_path(cpu::active())) {
#if defined(__x86_64__)
            case cpu::Path::Avx512: return on_avx512<W>(sexp);
            case cpu::Path::Avx2: return on_avx2<W>(sexp);
            case cpu::Path::Sse2: return W::template write<cpu::Path::Sse2>(sexp);
#endif
            default: return W::template write<cpu::Path::Portable>(sexp);
        }
    });
}

}  // namespace

PyObject* to_canonical_fn(PyObject* m, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return writer_fn<Canonical, to_canonical_sig>(m, args, nargsf, kwnames);
}

PyObject* to_transport_fn(PyObject* m, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return writer_fn<Transport, to_transport_sig>(m, args, nargsf, kwnames);
}

PyObject* to_advanced_fn(PyObject* m, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return writer_fn<Advanced, to_advanced_sig>(m, args, nargsf, kwnames);
}

}  // namespace parvex::py
