// Atom hashing, and the release and comparison of S-expression trees with
// explicit stacks so that nesting depth never reaches the native call stack.
#include "types/sexp.hpp"

#include "types/siphash.hpp"

namespace parvex {

Atom Atom::from_buffer(Octets&& buffer) {
    Atom a{OctetString(buffer), std::nullopt};
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

void release_all(Sexp::List& items) {
    // Flatten: every list met is emptied into `pending` before it is
    // destroyed, so no destructor ever sees a non-empty nested list.
    Sexp::List pending = std::move(items);
    items = Sexp::List();
    while (!pending.empty()) {
        Sexp last = std::move(pending.back());
        pending.pop_back();
        if (last.is_list()) {
            Sexp::List& inner = last.list();
            for (Sexp& e : inner) pending.push_back(std::move(e));
            inner = Sexp::List();
        }
    }
}

void Sexp::release() {
    if (auto* l = std::get_if<List>(&v_); l != nullptr && !l->empty()) release_all(*l);
}

Sexp::~Sexp() { release(); }

Sexp& Sexp::operator=(Sexp&& other) noexcept {
    if (this != &other) {
        release();
        v_ = std::move(other.v_);
    }
    return *this;
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
