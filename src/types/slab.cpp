// Making slabs, and keeping emptied ones for reuse: a list of each size,
// threaded through the slabs themselves so that keeping one never
// allocates, under a lock taken once for every slab's worth of lists.
#include "types/slab.hpp"

#include <bit>
#include <mutex>
#include <utility>

namespace parvex {

struct KeptSlabs {
    std::mutex lock;
    Slab* heads[std::bit_width(Slab::kMaxPages)] = {};  // by size
    std::size_t bytes = 0;

    // A slab's size, of 1, 2, 4... pages, as an index into `heads`.
    static std::size_t size(std::size_t pages) { return static_cast<std::size_t>(std::bit_width(pages)) - 1; }

    // Never destroyed: values in static storage may give slabs back while
    // the program ends.
    static KeptSlabs& get() {
        static KeptSlabs* kept = new KeptSlabs;
        return *kept;
    }
};

Slab::Slab(std::size_t pages) : pages_(pages) {
    auto* base = reinterpret_cast<unsigned char*>(this);
    for (std::size_t i = 1; i < pages; ++i) *reinterpret_cast<Slab**>(base + i * kPage) = this;
}

Slab* Slab::make(std::size_t pages) {
    KeptSlabs& k = KeptSlabs::get();
    void* block = nullptr;
    {
        std::lock_guard hold(k.lock);
        if (Slab*& head = k.heads[KeptSlabs::size(pages)]; head != nullptr) {
            block = std::exchange(head, head->next_);
            k.bytes -= pages * kPage;
        }
    }
    if (block == nullptr) block = ::operator new(pages * kPage, std::align_val_t{kPage});
    return new (block) Slab(pages);
}

void Slab::give_back() noexcept {
    const std::size_t bytes = pages_ * kPage;
    KeptSlabs& k = KeptSlabs::get();
    {
        std::lock_guard hold(k.lock);
        if (k.bytes + bytes <= kKept) {
            next_ = std::exchange(k.heads[KeptSlabs::size(pages_)], this);
            k.bytes += bytes;
            return;
        }
    }
    ::operator delete(static_cast<void*>(this), std::align_val_t{kPage});
}

}  // namespace parvex
