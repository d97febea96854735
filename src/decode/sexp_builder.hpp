// The builder that gives the reader's output as core values. It never
// fails: running out of memory throws std::bad_alloc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decode/builder.hpp"
#include "types/sexp.hpp"

namespace parvex {

class SexpBuilder {
public:
    /// `input_len` sizes the stack up front for an element every two
    /// octets, which most inputs do not pass; room that is reserved but
    /// never used costs no more than its address space. It is capped, and
    /// every push past it grows the stack.
    explicit SexpBuilder(std::size_t input_len) { grow(std::min<std::size_t>(input_len / 2 + 1, kMaxReserve)); }
    SexpBuilder(const SexpBuilder&) = delete;
    SexpBuilder& operator=(const SexpBuilder&) = delete;
    ~SexpBuilder() {
        for (std::size_t i = 0; i < size_; ++i) values_[i].~Sexp();
        std::free(values_);
    }

    bool atom(Bytes data) {
        if (size_ == capacity_) grow(2 * capacity_);
        new (values_ + size_++) Sexp(data);
        return true;
    }
    /// `atom`, where 16 octets from `data.data()` on are readable.
    bool atom_overread(Bytes data) {
        if (size_ == capacity_) grow(2 * capacity_);
        new (values_ + size_++) Sexp(data, OctetString::Overread{});
        return true;
    }
    bool atom(Bytes data, Bytes hint) {
        if (size_ == capacity_) grow(2 * capacity_);
        new (values_ + size_++) Sexp(data, hint);
        return true;
    }
    bool list(std::uint64_t count) {
        // Values hold no pointers into themselves, so they are relocated
        // octet for octet, and the places they leave are reused as raw
        // storage without running destructors.
        Sexp::List items;
        if (count == 0 && size_ == capacity_) grow(2 * capacity_);  // "j()" takes fewer octets than two values
        if (count != 0) {
            void* block = std::malloc(count * sizeof(Sexp));
            if (block == nullptr) throw std::bad_alloc();
            size_ -= count;
            std::memcpy(block, static_cast<void*>(values_ + size_), count * sizeof(Sexp));
            items = Sexp::List::adopt(static_cast<Sexp*>(block), count);
        }
        new (values_ + size_++) Sexp(std::move(items));
        return true;
    }
    /// The value on top of the stack.
    Sexp take() {
        --size_;
        return Sexp(std::move(values_[size_]));  // the husk owns nothing
    }

private:
    static constexpr std::size_t kMaxReserve = std::size_t{1} << 20;

    void grow(std::size_t capacity) {
        auto* bigger = static_cast<Sexp*>(std::malloc(capacity * sizeof(Sexp)));
        if (bigger == nullptr) throw std::bad_alloc();
        if (size_ != 0) std::memcpy(static_cast<void*>(bigger), static_cast<void*>(values_), size_ * sizeof(Sexp));
        std::free(values_);
        values_ = bigger;
        capacity_ = capacity;
    }

    Sexp* values_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

static_assert(OverreadBuilder<SexpBuilder>);

}  // namespace parvex
