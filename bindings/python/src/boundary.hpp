// The boundary between C++ and the interpreter. Inside the binding, helpers
// follow CPython's convention (nullptr or -1 with an exception set); a C++
// exception that escapes one means a broken invariant, and the guard at each
// entry point turns it into an InternalFault exception so that it never
// unwinds into the interpreter. Running out of memory (std::bad_alloc, or a
// size no container can hold) raises MemoryError: by then every owner on the
// way out has released what it held, so the module stays usable.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace parvex::py {

/// A broken invariant of the binding, thrown to the nearest guard.
struct Fault : std::exception {
    explicit Fault(std::string m) : message(std::move(m)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

/// Sets the InternalFault exception for the fault in flight; aborts if even
/// that fails.
void raise_fault(const char* message) noexcept;
/// Sets MemoryError, in place of whatever was set.
void raise_no_memory() noexcept;
/// Ends the process with the message for a fault while reporting a fault.
[[noreturn]] void panic() noexcept;

/// Runs `body`, turning an escaping C++ exception into MemoryError (for
/// running out of memory) or InternalFault, and returning `failed` in its
/// place.
template <class R, class F>
R guard(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        raise_no_memory();
    } catch (const std::length_error&) {  // a container asked for more than it can hold
        raise_no_memory();
    } catch (const std::exception& e) {
        raise_fault(e.what());
    } catch (...) {
        raise_fault(nullptr);
    }
    return failed;
}

/// The same for deallocators, where the fault can only be reported.
template <class F>
void guard_dealloc(F&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        raise_no_memory();
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        raise_fault("a fault while releasing an object");
        PyErr_WriteUnraisable(nullptr);  // `self` is half gone: no repr of it
    }
}

}  // namespace parvex::py
