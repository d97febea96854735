// The builder that gives the reader's output as Python objects as it is
// read: bytes for a hintless atom, Atom for a hinted one, list for a list.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "atom.hpp"
#include "compat.hpp"
#include "decode/builder.hpp"
#include "decode/reader.hpp"
#include "types/copy.hpp"
#include "types/sexp.hpp"
#include "types/window.hpp"

namespace parvex::py {

/// Builds the reader's output as Python objects as it is read: bytes for a
/// hintless atom, Atom for a hinted one, list for a list. It keeps a stack
/// of finished objects; `list(n)` replaces the top n by a list of them.
/// Each step returns false with a Python exception set on failure, among
/// them a KeyboardInterrupt: the signals are checked every so many steps,
/// so that a long read can be interrupted.
class PyBuilder {
public:
    explicit PyBuilder(PyTypeObject* atom_type) : atom_type_(atom_type) {}
    PyBuilder(const PyBuilder&) = delete;
    PyBuilder& operator=(const PyBuilder&) = delete;
    ~PyBuilder();

    [[gnu::always_inline]] bool atom(Bytes data) {
        if (!step()) return false;
        // One test for the two rare cases: zero or one octet, whose objects
        // CPython shares, and a long atom, copied in slices.
        if (data.size() - 2 >= kLongAtom - 2) [[unlikely]]
            return rare_atom(data);
        // Copied here, inline, being short as a rule.
        PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size()));
        if (b == nullptr) return false;
        copy_octets(PyBytes_AS_STRING(b), data.data(), data.size());
        stack_[size_++] = b;
        return true;
    }
    /// `atom`, where the window from `data.data()` on is readable.
    [[gnu::always_inline]] bool atom_overread(Bytes data) {
        const std::size_t n = data.size();
        if (!compat::kShortBytes || n < 2 || n >= kWindow) return atom(data);
        if (!step()) return false;
        PyObject* b = compat::short_bytes(data.data(), n, traced_);
        if (b == nullptr) return false;
        stack_[size_++] = b;
        return true;
    }
    bool atom(Bytes data, Bytes hint);
    [[gnu::always_inline]] bool list(std::uint64_t count) {
        // Inline for the short lists that most values are made of.
        if (count > size_ || (compat::kListAdopts && count == size_ && count >= kAdoptFrom)) [[unlikely]]
            return rare_list(count);
        if (!step()) return false;
        const std::size_t first = size_ - count;
        PyObject* list = compat::list_of(stack_ + first, count);
        if (list == nullptr) return false;
        size_ = first;
        stack_[size_++] = list;
        return true;
    }
    /// The finished value (a new reference), or nullptr with an exception set.
    PyObject* take();
    /// Whether a signal has raised its exception: the reader asks during a
    /// long string.
    bool interrupted() { return !check_signals(); }
    /// Before reading on after Python code ran (a kept builder, a signal
    /// handler): whether a reference tracer listens may have changed.
    void resume() { traced_ = compat::refs_traced(); }

private:
    // Steps between two checks for signals: a few hundred microseconds of
    // reading at most, and a cost per step of one decrement.
    static constexpr unsigned kStepsPerCheck = 1u << 15;
    // From this length on an atom is copied in slices of it, with the
    // signals checked between them.
    static constexpr std::size_t kLongAtom = std::size_t{8} << 20;

    /// Room for one more object on the stack, and the signals checked in
    /// their turn.
    [[gnu::always_inline]] bool step() {
        if (--until_check_ == 0 && !check_signals()) return false;
        return size_ != capacity_ || grow();
    }
    bool check_signals();
    bool grow();
    bool rare_atom(Bytes data);
    bool rare_list(std::uint64_t count);
    // From this many items on, a list of everything on the stack takes the
    // stack's storage as its items.
    static constexpr std::size_t kAdoptFrom = 1024;

    PyTypeObject* atom_type_;
    // Owned references, in storage from PyMem_Malloc so that a list can
    // take it over as its own array of items.
    PyObject** stack_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    unsigned until_check_ = kStepsPerCheck;
    bool traced_ = compat::refs_traced();
};

static_assert(OverreadBuilder<PyBuilder> && Interruptible<PyBuilder>);

}  // namespace parvex::py
