// Objects made once per process (the three types, interned names). A thread
// that finds one being made by another waits with the interpreter lock
// released, so the two cannot deadlock on it; the maker holds the lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <exception>
#include <mutex>

namespace parvex::py {

template <class T>
class Once {
public:
    /// Returns the object, making it with `make` (which returns nullptr with
    /// a Python exception set on failure, and is then tried again later).
    template <class Make>
    T* get(Make&& make) {
        if (T* v = value_.load(std::memory_order_acquire)) return v;
        std::exception_ptr fault;
        PyThreadState* ts = PyEval_SaveThread();
        try {
            std::call_once(flag_, [&] {
                PyEval_RestoreThread(ts);
                T* v = nullptr;
                try {
                    v = make();
                } catch (...) {
                    fault = std::current_exception();
                }
                ts = PyEval_SaveThread();
                if (v == nullptr) throw Failed{};  // leaves the flag unset
                value_.store(v, std::memory_order_release);
            });
        } catch (const Failed&) {}
        PyEval_RestoreThread(ts);
        if (fault) std::rethrow_exception(fault);
        return value_.load(std::memory_order_acquire);
    }

private:
    struct Failed {};
    std::once_flag flag_;
    std::atomic<T*> value_{nullptr};
};

}  // namespace parvex::py
