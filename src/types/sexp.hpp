// S-expression values (RFC 9804 §4): atoms, which are octet strings with an
// optional display hint, and lists of S-expressions. Values are owned trees;
// nothing here walks them recursively, so any depth a producer allows is safe.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

/// Asks for the cache lines a little below `p`. Deep nesting is read and
/// released a level at a time through memory laid out downwards: the
/// values of the next lists to close lie below the builder's stack top, and
/// the arrays of the next lists to release below their holder's. Each level
/// otherwise waits for the cache (an eighth of a deep read, three tenths of
/// its release). Never dereferences, so `p` may be near anything.
inline void prefetch_below(const void* p) {
    constexpr std::uintptr_t kAhead = 1024;
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) - kAhead));
}

class Sexp;

/// The items of a list: an array of exactly their number, in 16 octets. The
/// array is a block from std::malloc that the list owns, or part of a slab
/// (types/slab.hpp) that the list holds a count of; either way a reader can
/// relocate finished values into it octet for octet and hand it over.
class SexpList {
public:
    SexpList() noexcept = default;
    /// The values of `items`, moved into storage of exactly their number.
    explicit SexpList(std::vector<Sexp>&& items);
    SexpList(SexpList&& other) noexcept
        : items_(std::exchange(other.items_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    SexpList& operator=(SexpList&& other) noexcept {
        if (this != &other) {
            clear();
            items_ = std::exchange(other.items_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    SexpList(const SexpList&) = delete;
    SexpList& operator=(const SexpList&) = delete;
    ~SexpList() { clear(); }

    /// Items on their way to a list that takes them over, which `Sexp` makes
    /// in its own place: having no destructor, a handover leaves no husk to
    /// check, which a reader would pay for on every list it makes.
    struct Handover {
        Sexp* items;
        std::size_t size;
    };
    /// `n` values that live in `items`, a block from std::malloc of at least
    /// `n` values (or null when `n` is 0).
    static Handover adopt(Sexp* items, std::size_t n) noexcept { return {items, n}; }
    /// `n` (at least one) values that live in `items`, carved from a slab
    /// that has been counted for this list.
    static Handover adopt_carved(Sexp* items, std::size_t n) noexcept { return {items, n | kCarved}; }

    std::size_t size() const { return size_ & ~kCarved; }
    /// Whether the items are carved from a slab rather than owned.
    bool carved() const { return (size_ & kCarved) != 0; }
    bool empty() const { return size() == 0; }
    Sexp* begin() { return items_; }
    Sexp* end();
    const Sexp* begin() const { return items_; }
    const Sexp* end() const;
    Sexp& operator[](std::size_t i);
    const Sexp& operator[](std::size_t i) const;

    /// Destroys the items, nested lists included, without recursion and
    /// without taking any storage.
    void clear() noexcept {
        if (items_ != nullptr) release();
    }

private:
    friend class Sexp;
    explicit SexpList(Handover h) noexcept : items_(h.items), size_(h.size) {}
    void release() noexcept;

    // Set in `size_` when the items are carved from a slab.
    static constexpr std::size_t kCarved = ~(~std::size_t{0} >> 1);

    Sexp* items_ = nullptr;
    std::size_t size_ = 0;
};

/// An S-expression: an atom or a list, in 32 octets. Destruction and
/// equality walk the tree without recursion.
class Sexp {
public:
    using List = SexpList;

    Sexp(Atom a) noexcept { new (&atom_) Atom(std::move(a)); }
    Sexp(List l) noexcept { make_list(std::move(l)); }
    /// A list that takes over the items handed to it.
    explicit Sexp(List::Handover h) noexcept {
        new (&list_.items) List(h);
        mark_list();
        if constexpr (kWritesHalves) {
            // Written over whole, in the two halves of 16 octets that a
            // relocation loads: a reader relocates each list into its holder
            // soon after making it (at once, in deep nesting), and a load
            // that spans narrower stores still on their way to the cache
            // waits for them to get there (a fifth of a deep read).
            using Half = std::uint64_t __attribute__((vector_size(16)));
            const Half front = {reinterpret_cast<std::uint64_t>(h.items), h.size};
            const Half back = {0, kListTagWord};
            std::memcpy(static_cast<void*>(this), &front, sizeof front);
            std::memcpy(reinterpret_cast<unsigned char*>(this) + sizeof front, &back, sizeof back);
        }
    }
    /// A hintless atom of a copy of `data`, built in place.
    explicit Sexp(Bytes data) { new (&atom_) Atom{OctetString(data), {}}; }
    /// The same, where the window from `data.data()` on is readable.
    Sexp(Bytes data, OctetString::Overread o) { new (&atom_) Atom{OctetString(data.data(), data.size(), o), {}}; }
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
    const List& list() const { return list_.items; }
    List& list() { return list_.items; }

    friend bool operator==(const Sexp& a, const Sexp& b);

private:
    friend class SexpList;

    // An atom's last octet is its hint's tag octet, which never takes the
    // value kListTag; a list stores kListTag there, behind its vector.
    static constexpr std::size_t kTagOffset = offsetof(Atom, hint) + OptionalOctetString::kTagOffset;
    static constexpr std::uint8_t kListTag = OptionalOctetString::kFreeTag;
    static_assert(kTagOffset >= sizeof(List) + sizeof(Sexp*));
    // Where a list's octets are a pair of 64-bit words, a null `up` and
    // `kListTagWord`, its tag alone in the last octet.
    static constexpr bool kWritesHalves =
        sizeof(Sexp*) == 8 && sizeof(std::size_t) == 8 && kTagOffset == 31 &&
        (std::endian::native == std::endian::little || std::endian::native == std::endian::big);
    static constexpr std::uint64_t kListTagWord =
        std::endian::native == std::endian::little ? std::uint64_t{kListTag} << 56 : kListTag;

    std::uint8_t tag() const { return reinterpret_cast<const unsigned char*>(this)[kTagOffset]; }
    void make_list(List&& l) noexcept {
        new (&list_.items) List(std::move(l));
        mark_list();
    }
    void mark_list() noexcept { reinterpret_cast<unsigned char*>(this)[kTagOffset] = kListTag; }
    void take(Sexp& other) noexcept {
        if (other.is_list()) make_list(std::move(other.list_.items));
        else new (&atom_) Atom(std::move(other.atom_));
    }
    void destroy() noexcept;

    union {
        Atom atom_;
        struct {
            List items;
            // Room a list's slot has spare: while SexpList::release empties
            // this list, the slot of the list that holds it (null for the
            // list being released).
            Sexp* up;
        } list_;
    };
};

static_assert(sizeof(Sexp) == 32);

inline Sexp* SexpList::end() { return items_ + size(); }
inline const Sexp* SexpList::end() const { return items_ + size(); }
inline Sexp& SexpList::operator[](std::size_t i) { return items_[i]; }
inline const Sexp& SexpList::operator[](std::size_t i) const { return items_[i]; }

}  // namespace parvex
