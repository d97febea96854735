// The slabs kept for reuse: a list threaded through the slabs themselves,
// so that keeping one never allocates, under a lock taken once for every
// slab's worth of lists.
#include "types/slab.hpp"

#include <mutex>

namespace parvex {

struct KeptSlabs {
    std::mutex lock;
    void* head = nullptr;  // each kept slab's first octets point to the next
    std::size_t count = 0;

    // Never destroyed: values in static storage may give slabs back while
    // the program ends.
    static KeptSlabs& get() {
        static KeptSlabs* kept = new KeptSlabs;
        return *kept;
    }
};

Slab* Slab::make() {
    KeptSlabs& k = KeptSlabs::get();
    void* block = nullptr;
    {
        std::lock_guard hold(k.lock);
        if (k.head != nullptr) {
            block = k.head;
            k.head = *static_cast<void**>(block);
            --k.count;
        }
    }
    if (block == nullptr) block = ::operator new(kBytes, std::align_val_t{kBytes});
    return new (block) Slab();
}

void Slab::give_back() noexcept {
    this->~Slab();
    void* block = this;
    KeptSlabs& k = KeptSlabs::get();
    {
        std::lock_guard hold(k.lock);
        if (k.count < kKept) {
            *static_cast<void**>(block) = k.head;
            k.head = block;
            ++k.count;
            return;
        }
    }
    ::operator delete(block, std::align_val_t{kBytes});
}

}  // namespace parvex
