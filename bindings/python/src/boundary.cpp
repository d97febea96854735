// The InternalFault exception class, MemoryError, and the one way the
// process ends.
#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>

#include "once.hpp"

namespace parvex::py {

namespace {

Once<PyObject> fault_type;

PyObject* make_fault_type() {
    return PyErr_NewExceptionWithDoc("parvex.InternalFault",
                                     "Raised where parvex breaks one of its own invariants; never caused by input.",
                                     PyExc_BaseException, nullptr);
}

}  // namespace

void raise_fault(const char* message) noexcept {
    try {
        PyObject* type = fault_type.get(make_fault_type);
        if (type == nullptr) panic();
        PyErr_SetString(type, message != nullptr ? message : "an internal fault with no message");
    } catch (...) {
        panic();
    }
}

void raise_no_memory() noexcept {
    // Allocates nothing: CPython keeps MemoryError instances in reserve.
    PyErr_NoMemory();
}

void panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace parvex::py
