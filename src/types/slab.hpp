// Shared storage for the item arrays of many small lists. A read of a large
// input makes a list for every few octets; a block from the C library for
// each costs more than reading it (deep nesting makes one list of two items
// per six octets), and giving them all back makes glibc consolidate its
// free lists on the next large request. A slab is one block from which a
// reader carves the arrays of small lists in turn; it is counted, not
// owned: each list carved from it holds one count, and the last list
// released gives it back, whichever thread that happens on.
//
// Emptied slabs are kept for the next read, up to a bound for the whole
// process: given back to glibc, adjacent slabs merge into free space that it
// returns to the system at once, and the next read then pays a page fault
// for every page it carves (three times the time of the read itself).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

namespace parvex {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

class Slab {
public:
    /// A slab's size, which is also its alignment: the slab of any octet
    /// inside it is found by rounding that octet's address down.
    static constexpr std::size_t kBytes = std::size_t{1} << 15;
    /// Lists whose arrays are larger get blocks of their own.
    static constexpr std::size_t kMaxCarve = kBytes / 16;

    /// Emptied slabs kept for reuse at most, in all threads together: 16
    /// MiB. None under AddressSanitizer, which then sees any use of a slab
    /// after its last list has been released.
    static constexpr std::size_t kKept = kAddressSanitizer ? 0 : 512;

    /// A fresh slab, counted once for its maker. Throws std::bad_alloc.
    static Slab* make();
    /// The slab that holds the octet at `p`.
    static Slab* of(const void* p) {
        return reinterpret_cast<Slab*>(reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{kBytes - 1});
    }

    /// `bytes` octets (a multiple of 8) for the maker, or null when they do
    /// not fit; the maker counts what it carves with `hold`.
    void* carve(std::size_t bytes) {
        if (bytes > kBytes - used_) return nullptr;
        void* p = reinterpret_cast<unsigned char*>(this) + used_;
        used_ += bytes;
        return p;
    }
    void hold(std::size_t n) { refs_.fetch_add(n, std::memory_order_relaxed); }
    /// Takes back `n` counts; the last gives the slab back.
    void drop(std::size_t n) {
        if (refs_.fetch_sub(n, std::memory_order_acq_rel) == n) give_back();
    }

private:
    Slab() = default;
    void give_back() noexcept;

    std::atomic<std::size_t> refs_{1};
    std::size_t used_ = kHeader;
    // Carved arrays start a cache line in, past this header.
    static constexpr std::size_t kHeader = 64;
};

static_assert(sizeof(Slab) <= 64);

}  // namespace parvex
