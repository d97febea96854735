// S-expression values (RFC 9804 §4): atoms, which are octet strings with an
// optional display hint, and lists of S-expressions. Values are owned trees;
// nothing here walks them recursively, so any depth a producer allows is safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "types/octet_string.hpp"

namespace parvex {

/// A growable octet buffer.
using Octets = std::vector<std::uint8_t>;
/// A borrowed octet string.
using Bytes = std::span<const std::uint8_t>;

/// An octet string with an optional display hint (RFC 9804 §4.6). An absent
/// hint and a present empty hint are different values.
struct Atom {
    OctetString data;
    OptionalOctetString hint;

    /// The octets of a buffer as the data of a hintless atom, exactly sized.
    static Atom from_buffer(Octets&& buffer);

    /// Equality of RFC 9804 §4.7: data and hint, with no default hint.
    friend bool operator==(const Atom&, const Atom&) = default;
    /// Compares data alone.
    bool eq_ignoring_hint(const Atom& other) const { return data == other.data; }
    /// SipHash-1-3, zero key, over the length-prefixed data and hint.
    std::uint64_t hash() const;
};

static_assert(sizeof(Atom) == 32);

/// An S-expression: an atom or a list, in 32 octets. Destruction and
/// equality walk the tree with an explicit stack, never with recursion.
class Sexp {
public:
    using List = std::vector<Sexp>;

    Sexp(Atom a) noexcept { new (&atom_) Atom(std::move(a)); }
    Sexp(List l) noexcept { make_list(std::move(l)); }
    /// A hintless atom of a copy of `data`, built in place.
    explicit Sexp(Bytes data) { new (&atom_) Atom{OctetString(data), {}}; }
    /// A hinted atom of copies of `data` and `hint`, built in place.
    Sexp(Bytes data, Bytes hint) { new (&atom_) Atom{OctetString(data), OctetString(hint)}; }
    Sexp(Sexp&& other) noexcept { take(other); }
    Sexp& operator=(Sexp&& other) noexcept {
        if (this != &other) {
            destroy();
            take(other);
        }
        return *this;
    }
    Sexp(const Sexp&) = delete;
    Sexp& operator=(const Sexp&) = delete;
    ~Sexp() { destroy(); }

    bool is_list() const { return tag() == kListTag; }
    bool is_atom() const { return !is_list(); }
    const Atom& atom() const { return atom_; }
    Atom& atom() { return atom_; }
    const List& list() const { return list_; }
    List& list() { return list_; }

    friend bool operator==(const Sexp& a, const Sexp& b);

private:
    // An atom's last octet is its hint's tag octet, which never takes the
    // value kListTag; a list stores kListTag there, behind its vector.
    static constexpr std::size_t kTagOffset = offsetof(Atom, hint) + OptionalOctetString::kTagOffset;
    static constexpr std::uint8_t kListTag = OptionalOctetString::kFreeTag;
    static_assert(kTagOffset >= sizeof(List));

    std::uint8_t tag() const { return reinterpret_cast<const unsigned char*>(this)[kTagOffset]; }
    void make_list(List&& l) noexcept {
        new (&list_) List(std::move(l));
        reinterpret_cast<unsigned char*>(this)[kTagOffset] = kListTag;
    }
    void take(Sexp& other) noexcept {
        if (other.is_list())
            make_list(std::move(other.list_));
        else
            new (&atom_) Atom(std::move(other.atom_));
    }
    void destroy() noexcept;

    union {
        Atom atom_;
        List list_;
    };
};

static_assert(sizeof(Sexp) == 32);

/// Destroys a sequence of values without recursing into nested lists.
void release_all(Sexp::List& items) noexcept;

}  // namespace parvex
