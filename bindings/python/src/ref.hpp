// Owned Python references.
//
// Ownership rules in this binding: a `Ref` owns exactly one strong
// reference (or none) and releases it when it goes out of scope; it is
// made with `Ref::steal` from a new reference the C API returned, or with
// `Ref::borrow` from a borrowed one, which it then increments. Arguments
// that a function merely looks at stay plain `PyObject*` (borrowed).
// `release()` hands the reference back to the caller, as entry points do
// with their results.
#pragma once

#include <Python.h>

#include <utility>

namespace parvex::py {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace parvex::py
