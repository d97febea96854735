// Storage for the stacks of a read, kept by each thread from one read to
// the next. Taking a block from the C library for every read, and giving it
// back, is not free: a request of a kilobyte or more makes glibc consolidate
// the small blocks that the previous read's values left in its free lists,
// which can cost more than the whole read of a small input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "types/kept.hpp"

namespace parvex {

/// A block of raw storage from `realloc`, taken from the calling thread's
/// kept block for `Slot` where there is one (there is not inside a nested
/// read, which then has its own), and given back to it afterwards unless it
/// has grown past what `kept::policy(Slot)` keeps.
template <kept::Slot Slot>
class ScratchBlock {
    static_assert(kept::policy(Slot).scope == kept::Scope::Thread);
    static constexpr std::size_t Keep = kept::policy(Slot).up_to;

public:
    ScratchBlock() {
        Kept& k = kept();
        data_ = std::exchange(k.block, nullptr);
        bytes_ = std::exchange(k.bytes, 0);
    }
    ScratchBlock(const ScratchBlock&) = delete;
    ScratchBlock& operator=(const ScratchBlock&) = delete;
    ~ScratchBlock() {
        Kept& k = kept();
        if (k.block == nullptr && bytes_ <= Keep) {
            k.block = data_;
            k.bytes = bytes_;
        } else {
            std::free(data_);
        }
    }

    void* data() const { return data_; }
    std::size_t bytes() const { return bytes_; }
    /// At least `bytes` octets; what was stored is kept, moved octet for
    /// octet where the block moves.
    void grow(std::size_t bytes) {
        if (bytes <= bytes_) return;
        void* bigger = std::realloc(data_, bytes);
        if (bigger == nullptr) throw std::bad_alloc();
        data_ = bigger;
        bytes_ = bytes;
    }

private:
    struct Kept {
        void* block = nullptr;
        std::size_t bytes = 0;
        ~Kept() { std::free(block); }
    };
    static Kept& kept() {
        thread_local Kept k;
        return k;
    }

    void* data_ = nullptr;
    std::size_t bytes_ = 0;
};

/// A stack of trivially copyable `T` in a `ScratchBlock`.
template <class T, kept::Slot Slot>
class ScratchStack {
public:
    ScratchStack()
        : items_(static_cast<T*>(block_.data())), end_(items_), limit_(items_ + block_.bytes() / sizeof(T)) {}
    std::size_t size() const { return static_cast<std::size_t>(end_ - items_); }
    bool empty() const { return end_ == items_; }
    T& back() { return end_[-1]; }
    void pop_back() { --end_; }
    void push_back(const T& v) {
        if (end_ == limit_) {
            const std::size_t size = this->size();
            block_.grow(std::max<std::size_t>(64, 2 * size) * sizeof(T));
            items_ = static_cast<T*>(block_.data());
            end_ = items_ + size;
            limit_ = items_ + block_.bytes() / sizeof(T);
        }
        *end_++ = v;
    }

private:
    ScratchBlock<Slot> block_;
    T* items_;  // the stack: from here up to `end_`, with room up to `limit_`
    T* end_;
    T* limit_;
};

}  // namespace parvex
