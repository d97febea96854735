// The builder that gives the reader's output as core values. It never
// fails: running out of memory throws std::bad_alloc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "decode/builder.hpp"
#include "decode/scratch.hpp"
#include "types/sexp.hpp"
#include "types/slab.hpp"

namespace parvex {

class SexpBuilder {
public:
    /// The stack lives in storage the thread keeps from one read to the
    /// next (decode/scratch.hpp), and grows by doubling. It holds every
    /// value of a list until the list ends, 32 octets each: a list of
    /// 200,000 items, or as many nested lists, take 6.4 MB. A stack that
    /// size is kept too, since fresh pages for it cost a large read more
    /// than a fifth of its time.
    SexpBuilder()
        : values_(static_cast<Sexp*>(block_.data())), end_(values_), limit_(values_ + block_.bytes() / sizeof(Sexp)) {}
    SexpBuilder(const SexpBuilder&) = delete;
    SexpBuilder& operator=(const SexpBuilder&) = delete;
    ~SexpBuilder() {
        count_carved();
        for (Sexp* v = values_; v != end_; ++v) v->~Sexp();
        if (slab_ != nullptr) slab_->drop(1);
    }

    bool atom(Bytes data) {
        if (end_ == limit_) grow();
        new (end_++) Sexp(data);
        return true;
    }
    /// `atom`, where the window from `data.data()` on is readable.
    [[gnu::always_inline]] bool atom_overread(Bytes data) {
        if (end_ == limit_) grow();
        new (end_++) Sexp(data, OctetString::Overread{});
        return true;
    }
    bool atom(Bytes data, Bytes hint) {
        if (end_ == limit_) grow();
        new (end_++) Sexp(data, hint);
        return true;
    }
    bool list(std::uint64_t count) {
        prefetch_below(end_);  // deep nesting closes its lists down the stack
        if (count == 0) {
            if (end_ == limit_) grow();
            new (end_++) Sexp(Sexp::List::adopt(nullptr, 0));
            return true;
        }
        // Values hold no pointers into themselves, so they are relocated
        // octet for octet, and the places they leave are reused as raw
        // storage without running destructors.
        const std::size_t bytes = count * sizeof(Sexp);
        if (void* block = carve(bytes)) {
            settle<&Sexp::List::adopt_carved>(block, count);
            return true;
        }
        void* block = std::malloc(bytes);
        if (block == nullptr) throw std::bad_alloc();
        allocated_ += bytes;
        settle<&Sexp::List::adopt>(block, count);
        return true;
    }
    /// The value on top of the stack.
    Sexp take() {
        // Once out, the value may be released while the builder lives on.
        count_carved();
        return Sexp(std::move(*--end_));  // the husk owns nothing
    }

private:
    // Replaces the top `count` values with their list, whose items go to
    // `block` and which takes them as `Adopt` says (a separate path each:
    // no choice between the two at run time).
    template <auto Adopt>
    void settle(void* block, std::size_t count) {
        end_ -= count;
        relocate(block, end_, count);
        new (end_++) Sexp(Adopt(static_cast<Sexp*>(block), count));
    }

    // Most lists are short: a call to memcpy for each costs a third of a
    // read of deeply nested lists, where moves of one value at a time,
    // inlined, cost next to nothing.
    static void relocate(void* to, Sexp* from, std::size_t count) {
        if (count > 8) {
            std::memcpy(to, static_cast<void*>(from), count * sizeof(Sexp));
            return;
        }
        auto* d = static_cast<unsigned char*>(to);
        const auto* s = reinterpret_cast<const unsigned char*>(from);
        if (count == 2) {  // every level of deep nesting: its atom and the next list
            std::memcpy(d, s, 2 * sizeof(Sexp));
            return;
        }
        for (std::size_t i = 0; i < count; ++i) std::memcpy(d + i * sizeof(Sexp), s + i * sizeof(Sexp), sizeof(Sexp));
    }

    /// Room for a small list's items in the current slab, or null where the
    /// list is to have a block of its own. Slabs are taken only once a read
    /// has made kCarveFrom octets of lists, so that a small value costs no
    /// more than its own blocks, and grow from one page, so that the last
    /// slab's unused room stays a fraction of what the value holds.
    void* carve(std::size_t bytes) {
        if (bytes > Slab::kMaxCarve || allocated_ < kCarveFrom) return nullptr;
        void* p = slab_ != nullptr ? slab_->carve(bytes) : nullptr;
        if (p == nullptr) {
            if (slab_ != nullptr) {
                count_carved();
                std::exchange(slab_, nullptr)->drop(1);
            }
            slab_ = Slab::make(pages_);
            pages_ = std::min(2 * pages_, Slab::kMaxPages);
            p = slab_->carve(bytes);
        }
        ++carved_;
        // Deep nesting carves an array of a cache line or less at each level,
        // each in a line of its own, faster than the lines come in to be
        // written: the relocation into it then waits for each. Asked for,
        // for writing, some arrays ahead. (With the copy of two values in
        // one piece: native deep200k parse_canonical a tenth faster.)
        if (bytes <= kLine) __builtin_prefetch(static_cast<unsigned char*>(p) + 8 * kLine, 1);
        return p;
    }
    // Lists carved from the current slab are counted on it in one step,
    // before any can be released: before a value leaves the builder, and
    // before the builder lets go of the slab.
    void count_carved() {
        if (slab_ != nullptr) slab_->hold(std::exchange(carved_, 0));
    }

    // Values hold no pointers into themselves, so the block may move.
    void grow() {
        const std::size_t size = static_cast<std::size_t>(end_ - values_);
        block_.grow(std::max<std::size_t>(256, 2 * static_cast<std::size_t>(limit_ - values_)) * sizeof(Sexp));
        values_ = static_cast<Sexp*>(block_.data());
        end_ = values_ + size;
        limit_ = values_ + block_.bytes() / sizeof(Sexp);
    }

    // The fuzz harnesses carve from the first list, so that their small
    // inputs reach the slabs too.
    static constexpr std::size_t kLine = 64;  // a cache line on the processors this is tuned on

#ifdef PARVEX_CARVE_FROM_START
    static constexpr std::size_t kCarveFrom = 0;
#else
    static constexpr std::size_t kCarveFrom = 2 * Slab::kPage;
#endif

    ScratchBlock<kept::Slot::ValueStack> block_;
    // The stack: from here up to `end_`, with room up to `limit_`. Its top
    // as a pointer rather than a count makes each push a store and an
    // increment (with the reader's open lists kept the same way, 7% fewer
    // instructions in a read of deep nesting).
    Sexp* values_;
    Sexp* end_;
    Sexp* limit_;
    Slab* slab_ = nullptr;       // the slab lists are carved from, counted once for the builder
    std::size_t carved_ = 0;     // lists carved from it and not yet counted there (count_carved)
    std::size_t pages_ = 1;      // of the next slab: each twice the last, up to a limit
    std::size_t allocated_ = 0;  // octets of blocks of their own given to lists
};

static_assert(OverreadBuilder<SexpBuilder>);

}  // namespace parvex
