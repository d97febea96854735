// Shared storage for the item arrays of many small lists. A read of a large
// input makes a list for every few octets; a block from the C library for
// each costs more than reading it (deep nesting makes one list of two items
// per six octets), and giving them all back makes glibc consolidate its
// free lists on the next large request. A slab is one block from which a
// reader carves the arrays of small lists in turn; it is counted, not
// owned: each list carved from it holds one count, and the last list
// released gives it back, whichever thread that happens on.
//
// A slab is a run of pages aligned to their size, each page starting with a
// pointer to its slab, so that the slab of any carved array is found from
// the array's address. Runs are large (up to 1 MiB) and contiguous: slabs
// of a single page each, which the allocator places a page apart to align
// them, leave half of the cache's sets unused while a writer walks them.
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

#include "types/kept.hpp"

namespace parvex {

class Slab {
public:
    /// The size of a slab's page, which is also its alignment: the unit a
    /// carved array's slab is found by.
    static constexpr std::size_t kPage = 8 * kept::kSystemPage;
    /// The most pages in one slab.
    static constexpr std::size_t kMaxPages = 32;
    /// Lists whose arrays are larger get blocks of their own.
    static constexpr std::size_t kMaxCarve = kPage / 16;
    /// Octets of emptied slabs kept for reuse at most, in all threads
    /// together.
    static constexpr std::size_t kKept = kept::policy(kept::Slot::Slabs).up_to;
    static_assert(kept::policy(kept::Slot::Slabs).scope == kept::Scope::Process);

    /// A slab of `pages` pages (a power of two up to kMaxPages), counted
    /// once for its maker. Throws std::bad_alloc.
    static Slab* make(std::size_t pages);
    /// The slab that holds the octet at `p`, carved from one.
    static Slab* of(const void* p) {
        return *reinterpret_cast<Slab* const*>(reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{kPage - 1});
    }

    /// `bytes` octets (a multiple of 8, at most kMaxCarve) within one page,
    /// or null when the slab is full; the maker counts what it carves with
    /// `hold`.
    void* carve(std::size_t bytes) {
        if (bytes > page_end_ - used_) {
            if (page_end_ == pages_ * kPage) return nullptr;
            used_ = page_end_ + kHeader;
            page_end_ += kPage;
        }
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
    explicit Slab(std::size_t pages);
    void give_back() noexcept;

    // Carved arrays start a cache line into each page, past its pointer to
    // the slab (the first page's is this object's first member).
    static constexpr std::size_t kHeader = 64;

    [[maybe_unused]] Slab* self_ = this;  // read through `of`
    std::atomic<std::size_t> refs_{1};
    std::size_t used_ = kHeader;    // octets from the start, headers included
    std::size_t page_end_ = kPage;  // the end of the page `used_` is in
    std::size_t pages_;
    Slab* next_ = nullptr;  // among the kept slabs of its size

    friend struct KeptSlabs;
};

static_assert(sizeof(Slab) <= 64);

}  // namespace parvex
