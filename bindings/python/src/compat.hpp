// Every use of CPython's internals, in one place. Each is gated by the
// versions whose layout it relies on and has a public-API fallback, which
// is what a build with PARVEX_PUBLIC_API_ONLY (or any other CPython) gets.
// Each names the benchmark row (bench/run.py) that pays for it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "types/copy.hpp"
#include "types/window.hpp"

// The object layouts relied on below are those of the headers of 3.11
// through 3.15 for the default build (the fields of PyListObject,
// PyBytesObject and PyASCIIObject used here are in all five, with the same
// meaning); tests/test_compat.py compares what
// each builds with what the public API builds. A later version takes the
// fallbacks until its headers are read and that test passes on it. Never in
// the free-threaded build, which allocates a list's items its own way.
#if !defined(PARVEX_PUBLIC_API_ONLY) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && \
    PY_VERSION_HEX < 0x03100000
#define PARVEX_CPYTHON_INTERNALS 1
#else
#define PARVEX_CPYTHON_INTERNALS 0
#endif

namespace parvex::py::compat {

/// Whether this build uses the internals below rather than their fallbacks.
inline constexpr bool kInternals = PARVEX_CPYTHON_INTERNALS != 0;

// MARK: lists that adopt an array

/// Whether `list_adopting` is available.
inline constexpr bool kListAdopts = kInternals;

/// A new list of the `count` owned references in `items`, a block of
/// `allocated` slots from PyMem_Malloc, which the list takes over as its
/// own item array: no copy and no zeroing of the slots (rows
/// "parse_canonical" and "parse (advanced)" on wide, 200,000 items). Where
/// `kListAdopts` is false a list is built the public way, a copy of the
/// references, and the block stays the caller's. Returns nullptr with an
/// exception set on failure, leaving references and block to the caller.
inline PyObject* list_adopting(PyObject** items, std::size_t count, std::size_t allocated) {
#if PARVEX_CPYTHON_INTERNALS
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    auto* l = reinterpret_cast<PyListObject*>(list);
    l->ob_item = items;
    l->allocated = static_cast<Py_ssize_t>(allocated);
    Py_SET_SIZE(l, static_cast<Py_ssize_t>(count));
    return list;
#else
    (void)allocated;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < count; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
    return list;
#endif
}

/// A new list of copies of the `count` owned references at `items`, which
/// it takes over. With the internals its item array comes from PyMem_Malloc
/// and is filled at once, where PyList_New would zero it first (a calloc and
/// a memset call for every list: rows "parse_canonical" and "parse
/// (advanced)" on deep and records, lists of 2 and of 12 items). Returns
/// nullptr with an exception set on failure, the references still the
/// caller's.
inline PyObject* list_of(PyObject* const* items, std::size_t count) {
#if PARVEX_CPYTHON_INTERNALS
    if (count != 0) {
        auto* block = static_cast<PyObject**>(PyMem_Malloc(count * sizeof(PyObject*)));
        if (block == nullptr) return PyErr_NoMemory();
        copy_octets(block, items, count * sizeof(PyObject*));  // a list of one or two: no call
        PyObject* list = list_adopting(block, count, count);
        if (list == nullptr) PyMem_Free(block);
        return list;
    }
#endif
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list != nullptr && count != 0) std::memcpy(PySequence_Fast_ITEMS(list), items, count * sizeof(PyObject*));
    return list;
}

// MARK: results that keep their block

/// Shortens `obj`, a bytes object or a compact ASCII str this module has
/// just made and not yet shared, to its first `n` octets, keeping the block
/// it holds: a large result kept that size lets glibc hand the same block
/// to the next result of the same size, where trimmed it would map the next
/// one afresh (rows "to_canonical" and "to_advanced" on records, in a
/// process that has not freed a larger block). False where that cannot be
/// done here; the caller then resizes it the public way.
inline bool shorten(PyObject* obj, std::size_t n) {
#if PARVEX_CPYTHON_INTERNALS
    if (PyBytes_CheckExact(obj)) {
        Py_SET_SIZE(obj, static_cast<Py_ssize_t>(n));
        PyBytes_AS_STRING(obj)[n] = '\0';
    } else {
        reinterpret_cast<PyASCIIObject*>(obj)->length = static_cast<Py_ssize_t>(n);
        PyUnicode_1BYTE_DATA(obj)[n] = 0;
    }
    return true;
#else
    (void)obj;
    (void)n;
    return false;
#endif
}

// MARK: octets readable before a string

/// Whether `bytes_backed` holds of every bytes object.
inline constexpr bool kBytesBacked = kInternals;
#if PARVEX_CPYTHON_INTERNALS
static_assert(offsetof(PyBytesObject, ob_sval) >= kWindow);
#endif

/// Whether the window (types/window.hpp) that ends where the data of `obj`
/// ends is readable, for a bytes object or a compact ASCII str, as it is
/// where the data follows the object's own header. The writers then copy
/// and classify a short string with one move (rows "to_canonical",
/// "to_advanced" and "to_transport" on records and wide, on processors
/// without AVX-512 VBMI, whose masked loads need no such room); false where
/// that cannot be known.
inline bool bytes_backed(PyObject* obj) {
    (void)obj;
    return kBytesBacked;
}

inline bool str_backed(PyObject* obj) {
#if PARVEX_CPYTHON_INTERNALS
    static_assert(sizeof(PyASCIIObject) >= kWindow);
    return PyUnicode_IS_COMPACT_ASCII(obj);  // else a separate UTF-8 buffer
#else
    (void)obj;
    return false;
#endif
}

// MARK: short bytes objects

/// Whether `short_bytes` is available.
inline constexpr bool kShortBytes = kInternals;

/// Whether a reference tracer (PyRefTracer_SetTracer, 3.13 and later; tracemalloc sets one) must
/// be told of each object made. It can change only where Python code runs, so a reader asks at
/// its start and after each check for signals, and tells `short_bytes`.
inline bool refs_traced() {
#if PARVEX_CPYTHON_INTERNALS && PY_VERSION_HEX >= 0x030D0000
    void* data;
    return PyRefTracer_GetTracer(&data) != nullptr;
#else
    return false;
#endif
}

/// A new bytes object of the 2 to kWindow - 1 octets at `p`, where the
/// window from `p` on is readable: the object is made as
/// PyBytes_FromStringAndSize makes it, but a little larger than its octets
/// need, so that they are copied with one move whatever their number, without the branches on
/// length that a reading loop over mixed short atoms mispredicts (rows
/// "parse_canonical" and "parse (advanced)" on records and wide). `traced`
/// is `refs_traced()`. Returns nullptr with an exception set on failure.
[[gnu::always_inline]] inline PyObject* short_bytes(const std::uint8_t* p, std::size_t n, bool traced) {
#if PARVEX_CPYTHON_INTERNALS
    constexpr std::size_t kRoom = kWindow;  // octets, the terminating NUL among them
    auto* op = static_cast<PyBytesObject*>(PyObject_Malloc(offsetof(PyBytesObject, ob_sval) + kRoom));
    if (op == nullptr) return PyErr_NoMemory();
    // PyObject_InitVar's work without its calls: bytes is a static type,
    // so no reference to it is taken. _Py_NewReference sets the count (and
    // tells tracemalloc, whose allocator hook has just seen the block, and
    // from 3.13 a reference tracer); where no tracer listens its one store
    // is made here, a call less per atom (3.14 and 3.15 above all, whose
    // count shares its word with flags that a new object has clear).
    Py_SET_TYPE(op, &PyBytes_Type);
    Py_SET_SIZE(op, static_cast<Py_ssize_t>(n));
#if defined(Py_REF_DEBUG) || defined(Py_TRACE_REFS)
    (void)traced;
    _Py_NewReference(reinterpret_cast<PyObject*>(op));
#else
    if (traced) [[unlikely]] {
        _Py_NewReference(reinterpret_cast<PyObject*>(op));
    } else {
#if PY_VERSION_HEX >= 0x030E0000 && SIZEOF_VOID_P > 4
        op->ob_base.ob_base.ob_refcnt_full = 1;
#else
        op->ob_base.ob_base.ob_refcnt = 1;
#endif
    }
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    op->ob_shash = -1;  // not computed yet
#pragma GCC diagnostic pop
    std::memcpy(op->ob_sval, p, kRoom);
    op->ob_sval[n] = '\0';
    return reinterpret_cast<PyObject*>(op);
#else
    (void)traced;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n));
#endif
}

// MARK: bytes objects that grow

/// Resizes `*obj`, a bytes object this module has just made and not yet
/// shared, to `n` octets, in place where its block allows (what
/// `_PyBytes_Resize` does, and what the writers' results grow with: rows
/// "to_canonical" and "to_transport"); the public API makes a new object and
/// copies. Returns -1 with an exception set, `*obj` released and null, on
/// failure.
inline int resize_bytes(PyObject** obj, Py_ssize_t n) {
#if PARVEX_CPYTHON_INTERNALS
    return _PyBytes_Resize(obj, n);
#else
    PyObject* bigger = PyBytes_FromStringAndSize(nullptr, n);
    if (bigger == nullptr) {
        Py_CLEAR(*obj);
        return -1;
    }
    const Py_ssize_t keep = PyBytes_GET_SIZE(*obj) < n ? PyBytes_GET_SIZE(*obj) : n;
    std::memcpy(PyBytes_AS_STRING(bigger), PyBytes_AS_STRING(*obj), static_cast<std::size_t>(keep));
    Py_SETREF(*obj, bigger);
    return 0;
#endif
}

// MARK: the block of a large result

/// Octets a bytes object's or a compact ASCII str's block holds besides its
/// data's: a hint, for sizing large results to whole huge pages (where it is
/// wrong a result loses only that).
inline constexpr std::size_t kBytesHeader = offsetof(PyBytesObject, ob_sval) + 1;
inline constexpr std::size_t kStrHeader = sizeof(PyASCIIObject) + 1;

// MARK: the cyclic collector during a read

/// Pauses the cyclic garbage collector for its lifetime, where it was
/// running: a read makes many young lists, which each collection would
/// traverse again, and no finaliser can then run in the middle of a read
/// (rows "parse_canonical" and "parse (advanced)" on records and spki).
/// The public API does the pausing, so every version pauses; the
/// PARVEX_PUBLIC_API_ONLY build leaves the collector alone, to measure what
/// the pause is worth.
struct GcPause {
#if !defined(PARVEX_PUBLIC_API_ONLY)
    int was_enabled = PyGC_Disable();
    ~GcPause() {
        if (was_enabled) PyGC_Enable();
    }
#endif
    GcPause() = default;
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
};

}  // namespace parvex::py::compat
