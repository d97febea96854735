// S-expression values (RFC 9804 §4): atoms, which are octet strings with an
// optional display hint, and lists of S-expressions. Values are owned trees;
// nothing here walks them recursively, so any depth a producer allows is safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "types/octet_string.hpp"

namespace parvex {

/// An owned octet string; values built here keep no spare capacity.
using Octets = std::vector<std::uint8_t>;
/// A borrowed octet string.
using Bytes = std::span<const std::uint8_t>;

/// Copies `b` into an exactly sized owned string.
inline Octets to_octets(Bytes b) { return Octets(b.begin(), b.end()); }

/// An octet string with an optional display hint (RFC 9804 §4.6). An absent
/// hint and a present empty hint are different values.
struct Atom {
    OctetString data;
    std::optional<OctetString> hint;

    /// The octets of a buffer as the data of a hintless atom, exactly sized.
    static Atom from_buffer(Octets&& buffer);

    /// Equality of RFC 9804 §4.7: data and hint, with no default hint.
    friend bool operator==(const Atom&, const Atom&) = default;
    /// Compares data alone.
    bool eq_ignoring_hint(const Atom& other) const { return data == other.data; }
    /// SipHash-1-3, zero key, over the length-prefixed data and hint.
    std::uint64_t hash() const;
};

/// An S-expression: an atom or a list. Destruction and equality walk the
/// tree with an explicit stack, never with recursion.
class Sexp {
public:
    using List = std::vector<Sexp>;

    Sexp(Atom a) : v_(std::move(a)) {}
    Sexp(List l) : v_(std::move(l)) {}
    Sexp(Sexp&& other) noexcept = default;
    Sexp& operator=(Sexp&& other) noexcept;
    Sexp(const Sexp&) = delete;
    Sexp& operator=(const Sexp&) = delete;
    ~Sexp();

    bool is_atom() const { return v_.index() == 0; }
    bool is_list() const { return v_.index() == 1; }
    const Atom& atom() const { return *std::get_if<Atom>(&v_); }
    Atom& atom() { return *std::get_if<Atom>(&v_); }
    const List& list() const { return *std::get_if<List>(&v_); }
    List& list() { return *std::get_if<List>(&v_); }

    friend bool operator==(const Sexp& a, const Sexp& b);

private:
    void release();
    std::variant<Atom, List> v_;
};

/// Destroys a sequence of values without recursing into nested lists.
void release_all(Sexp::List& items);

}  // namespace parvex
