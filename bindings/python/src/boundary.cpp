// The InternalFault exception class and the two ways the process ends.
#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>

#include "once.hpp"

namespace parvex::py {

namespace {

Once<PyObject> fault_type;

PyObject* make_fault_type() {
    return PyErr_NewExceptionWithDoc(
        "parvex.InternalFault",
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

void out_of_memory() noexcept {
    std::fputs("parvex: out of memory\n", stderr);
    std::abort();
}

void panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace parvex::py
