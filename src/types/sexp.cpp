// Atom hashing, and the release and comparison of S-expression trees with
// explicit stacks so that nesting depth never reaches the native call stack.
#include "types/sexp.hpp"

#include "types/siphash.hpp"

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

void SexpList::destroy_flat() noexcept {
    for (std::size_t i = 0; i < size_; ++i) items_[i].~Sexp();
    std::free(items_);
    items_ = nullptr;
    size_ = 0;
}

void SexpList::release() noexcept {
    // Every nested list is moved out to `pending` before its parent goes,
    // so no destructor ever meets a list that still holds items; atoms are
    // destroyed where they stand.
    std::vector<SexpList> pending;
    SexpList current = std::move(*this);
    for (;;) {
        for (Sexp& e : current)
            if (e.is_list() && !e.list().empty()) pending.push_back(std::move(e.list()));
        current.destroy_flat();
        if (pending.empty()) return;
        current = std::move(pending.back());
        pending.pop_back();
    }
}

void Sexp::destroy() noexcept {
    if (is_list())
        list_.~List();
    else
        atom_.~Atom();
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
