// Atom hashing, and the release and comparison of S-expression trees
// without recursion, so that nesting depth never reaches the native call
// stack: release threads its way back up through the tree itself, and
// comparison keeps an explicit stack.
#include "types/sexp.hpp"

#include "types/siphash.hpp"
#include "types/slab.hpp"

namespace parvex {

Atom Atom::from_buffer(Octets&& buffer) {
    Atom a{OctetString(buffer), {}};
    buffer = Octets();
    return a;
}

std::uint64_t Atom::hash() const {
    SipHash13 h(0, 0);
    h.update_u64(data.size());
    h.update(data.data(), data.size());
    h.update_u64(hint ? 1 : 0);
    if (hint) {
        h.update_u64(hint->size());
        h.update(hint->data(), hint->size());
    }
    return h.finish();
}

SexpList::SexpList(std::vector<Sexp>&& items) {
    if (items.empty()) return;
    items_ = static_cast<Sexp*>(std::malloc(items.size() * sizeof(Sexp)));
    if (items_ == nullptr) throw std::bad_alloc();
    for (Sexp& e : items) new (items_ + size_++) Sexp(std::move(e));
    items = std::vector<Sexp>();
}

void SexpList::release() noexcept {
    // Depth first, each list emptied from its end: a nested list with items
    // is entered with a link to its holder's slot kept in its own slot, and
    // left once it is empty, its slot then counted out of its holder. Release
    // takes no storage, so it cannot fail, and no call nests.
    // Counts of carved arrays go back to their slab in one step for each
    // run of arrays from the same slab, which a tree read in one go mostly is.
    Slab* slab = nullptr;
    std::size_t carved = 0;
    SexpList* list = this;
    Sexp* slot = nullptr;  // the slot that holds `list`, null for this one
    for (;;) {
        const std::size_t flag = list->size_ & kCarved;
        std::size_t n = list->size_ & ~kCarved;
        for (; n != 0; --n) {
            Sexp& last = list->items_[n - 1];
            if (last.is_atom()) last.atom_.~Atom();
            else if (last.list_.items.items_ != nullptr) break;
        }
        list->size_ = n | flag;
        if (n != 0) {
            Sexp& inner = list->items_[n - 1];
            prefetch_below(inner.list_.items.items_);  // a tree read in one go carves inner arrays first
            inner.list_.up = slot;
            slot = &inner;
            list = &inner.list_.items;
            continue;
        }
        if (flag == 0) {
            std::free(list->items_);
        } else {
            Slab* of = Slab::of(list->items_);
            if (of != slab) {
                if (slab != nullptr) slab->drop(carved);
                slab = of;
                carved = 0;
            }
            ++carved;
        }
        list->items_ = nullptr;
        list->size_ = 0;
        if (slot == nullptr) break;
        slot = slot->list_.up;
        list = slot != nullptr ? &slot->list_.items : this;
        --list->size_;
    }
    if (slab != nullptr) slab->drop(carved);
}

void Sexp::destroy() noexcept {
    if (is_list()) list_.items.~List();
    else atom_.~Atom();
}

bool operator==(const Sexp& a, const Sexp& b) {
    std::vector<std::pair<const Sexp*, const Sexp*>> stack{{&a, &b}};
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        if (x->is_atom() != y->is_atom()) return false;
        if (x->is_atom()) {
            if (!(x->atom() == y->atom())) return false;
            continue;
        }
        const Sexp::List& lx = x->list();
        const Sexp::List& ly = y->list();
        if (lx.size() != ly.size()) return false;
        for (std::size_t i = lx.size(); i-- > 0;) stack.emplace_back(&lx[i], &ly[i]);
    }
    return true;
}

}  // namespace parvex
