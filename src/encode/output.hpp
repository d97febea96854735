// Outputs for the writers (the `Output` contract of sink.hpp): a buffer of
// a size known in advance, and a buffer that grows as the octets come, for
// writers that walk a value once without sizing it first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "encode/sink.hpp"
#include "types/copy.hpp"
#include "types/kept.hpp"

namespace parvex::encode {

/// Output into a buffer that the writer fills exactly: no room is offered
/// past its end.
class ExactOut {
public:
    ExactOut(std::uint8_t* p, std::uint8_t* end) : p_(p), end_(end) {}
    void octet(std::uint8_t c) { *p_++ = c; }
    void octets(const std::uint8_t* s, std::size_t n) {
        copy_octets(p_, s, n);
        p_ += n;
    }
    std::uint8_t* room(std::size_t n) { return static_cast<std::size_t>(end_ - p_) >= n ? p_ : nullptr; }
    void commit(std::uint8_t* end) { p_ = end; }
    std::uint8_t* end() const { return p_; }

private:
    std::uint8_t* p_;
    std::uint8_t* end_;
};

static_assert(Output<ExactOut>);

/// The new capacity of a growing buffer that holds `used` octets in
/// `capacity` and needs room for `more`: at least double, so that the
/// octets are moved a bounded number of times in all. Throws bad_alloc
/// where that cannot be represented.
inline std::size_t grown_capacity(std::size_t used, std::size_t capacity, std::size_t more) {
    constexpr std::size_t kFirst = 256;
    constexpr std::size_t kMax = ~std::size_t{0} >> 2;
    if (more > kMax - used) throw std::bad_alloc();
    return std::max({kFirst, used + more, std::min(capacity * 2, kMax)});
}

/// The room a writer asks for at once for a run of short strings: a
/// growing output that is made the size of the last result has that much
/// left at its end, so that the last request does not grow it.
inline constexpr std::size_t kRunRoom = 1024;

/// The `Remember` of a GrowingOut that remembers nothing: no slot.
inline constexpr kept::Slot kForgets = kept::Slot{0xFF};

/// Output into storage that grows as needed. `Storage` provides
/// `std::uint8_t* resize(std::size_t used, std::size_t capacity)`, which
/// keeps the first `used` octets and returns where the storage now starts,
/// or throws. Unless `Remember` is `kForgets`, a buffer that grows large
/// (`kept::kLargeResult`) is made at once the size the thread's last large
/// result of the same slot called for.
template <class Storage, kept::Slot Remember = kForgets>
class GrowingOut {
public:
    /// `room` never fails: it grows the storage instead.
    static constexpr bool kGrows = true;

    template <class... Args>
    explicit GrowingOut(Args&&... args) : storage_(std::forward<Args>(args)...) {}
    GrowingOut(const GrowingOut&) = delete;
    GrowingOut& operator=(const GrowingOut&) = delete;
    ~GrowingOut() {
        // Room for the last requests of a writer that asks for more than it
        // fills, in whole pages.
        constexpr std::size_t kTail = kRunRoom, kPage = kept::kSystemPage;
        static_assert(kTail + kPage <= kept::kResultSlack, "a result as large as the last keeps its block");
        if (kRemembers && size() >= kept::kLargeResult) last_large() = (size() + kTail + kPage - 1) / kPage * kPage;
    }
    void octet(std::uint8_t c) {
        if (p_ == end_) grow(1);
        *p_++ = c;
    }
    void octets(const std::uint8_t* s, std::size_t n) {
        std::uint8_t* p = room(n);
        copy_octets(p, s, n);
        p_ = p + n;
    }
    std::uint8_t* room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
        return p_;
    }
    void commit(std::uint8_t* end) { p_ = end; }
    std::size_t size() const { return static_cast<std::size_t>(p_ - start_); }
    const std::uint8_t* data() const { return start_; }
    Storage& storage() { return storage_; }

private:
    // A large result is mostly followed by one of about its size. Trimmed
    // to its size, it is the block glibc is last given back, which sets the
    // size from which glibc maps a request afresh; the next buffer, grown by
    // doubling past that size, is then mapped afresh every time, a page
    // fault for every 4 KiB written (twice the time of the write). Made at
    // once the size the last one was given, and kept that size, it is not.
    static constexpr bool kRemembers = Remember != kForgets;
    static_assert(!kRemembers || kept::policy(Remember).scope == kept::Scope::Thread);
    static std::size_t& last_large() {
        thread_local std::size_t n = 0;
        return n;
    }

    [[gnu::noinline]] void grow(std::size_t n) {
        const std::size_t used = size();
        std::size_t capacity = grown_capacity(used, static_cast<std::size_t>(end_ - start_), n);
        if (kRemembers && capacity >= kept::kLargeResult) capacity = std::max(capacity, last_large());
        start_ = storage_.resize(used, capacity);
        p_ = start_ + used;
        end_ = start_ + capacity;
    }
    Storage storage_;
    std::uint8_t* start_ = nullptr;
    std::uint8_t* p_ = nullptr;
    std::uint8_t* end_ = nullptr;
};

/// Storage from malloc, for the core's own text results.
class MallocStorage {
public:
    MallocStorage() = default;
    MallocStorage(const MallocStorage&) = delete;
    MallocStorage& operator=(const MallocStorage&) = delete;
    ~MallocStorage() { std::free(block_); }
    std::uint8_t* resize(std::size_t, std::size_t capacity) {
        void* p = std::realloc(block_, capacity);
        if (p == nullptr) throw std::bad_alloc();
        block_ = static_cast<std::uint8_t*>(p);
        return block_;
    }
    const char* data() const { return reinterpret_cast<const char*>(block_); }

private:
    std::uint8_t* block_ = nullptr;
};

using TextOut = GrowingOut<MallocStorage>;
static_assert(Output<TextOut>);

/// The text written to `out`.
inline std::string text_of(TextOut& out) {
    return out.size() == 0 ? std::string() : std::string(out.storage().data(), out.size());
}

}  // namespace parvex::encode
