// Owned octet strings of fixed length, the storage of an atom's data and
// hint. Strings of up to 15 octets live inside the 16-octet object itself;
// longer ones in a heap block of exactly their length. Most atoms are
// short, so most take no allocation of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "types/byte_order.hpp"
#include "types/copy.hpp"
#include "types/window.hpp"

namespace parvex {

class OptionalOctetString;

class OctetString {
public:
    static constexpr std::size_t kInline = 15;

    OctetString() noexcept { raw_[kTag] = 0; }
    OctetString(std::span<const std::uint8_t> s) { assign(s.data(), s.size()); }
    OctetString(const std::vector<std::uint8_t>& v) { assign(v.data(), v.size()); }
    OctetString(const OctetString& o) { assign(o.data(), o.size()); }
    /// For callers that know the window from `p` on is readable
    /// (types/window.hpp): a short string is then copied in one move.
    struct Overread {};
    OctetString(const std::uint8_t* p, std::size_t n, Overread) {
        if (n > kInline) {
            assign(p, n);
            return;
        }
        static_assert(sizeof raw_ == kWindow);
        std::memcpy(raw_, p, sizeof raw_);
        raw_[kTag] = static_cast<std::uint8_t>(n);
    }
    OctetString(OctetString&& o) noexcept { take(o); }
    OctetString& operator=(const OctetString& o) {
        if (this != &o) *this = OctetString(o);
        return *this;
    }
    OctetString& operator=(OctetString&& o) noexcept {
        if (this != &o) {
            release();
            take(o);
        }
        return *this;
    }
    ~OctetString() { release(); }

    const std::uint8_t* data() const { return on_heap() ? heap_ptr() : raw_; }
    std::size_t size() const { return on_heap() ? static_cast<std::size_t>(heap_size() & ~kHeapBit) : raw_[kTag]; }
    bool empty() const { return size() == 0; }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size(); }
    std::uint8_t operator[](std::size_t i) const { return data()[i]; }
    operator std::span<const std::uint8_t>() const { return {data(), size()}; }

    friend bool operator==(const OctetString& a, const OctetString& b) {
        const std::size_t n = a.size();
        return n == b.size() && (n == 0 || std::memcmp(a.data(), b.data(), n) == 0);
    }

private:
    friend class OptionalOctetString;

    // Inline: octets 0..14 hold the string and octet 15 its length. On the
    // heap: a pointer, then the length with its top bit set, stored
    // little-endian on every CPU so that its top octet is octet 15.
    // OptionalOctetString marks absence with kAbsent in octet 15, a value
    // neither layout uses.
    static constexpr std::size_t kTag = 15;
    static constexpr std::uint8_t kAbsent = 0x40;
    static constexpr std::uint64_t kHeapBit = std::uint64_t{1} << 63;

    struct AbsentTag {};
    explicit OctetString(AbsentTag) noexcept { raw_[kTag] = kAbsent; }

    bool on_heap() const { return (raw_[kTag] & 0x80) != 0; }
    std::uint8_t* heap_ptr() const {
        std::uint8_t* p;
        std::memcpy(&p, raw_, sizeof p);
        return p;
    }
    std::uint64_t heap_size() const { return load_le64(raw_ + 8); }
    void assign(const std::uint8_t* p, std::size_t n) {
        if (n <= kInline) {
            copy_octets(raw_, p, n);
            raw_[kTag] = static_cast<std::uint8_t>(n);
            return;
        }
        auto* block = new std::uint8_t[n];
        std::memcpy(block, p, n);
        std::memcpy(raw_, &block, sizeof block);
        store_le64(raw_ + 8, n | kHeapBit);
    }
    void take(OctetString& o) noexcept {
        std::memcpy(raw_, o.raw_, sizeof raw_);
        o.raw_[kTag] = 0;
    }
    void release() {
        if (on_heap()) delete[] heap_ptr();
    }

    alignas(8) std::uint8_t raw_[16];
};

static_assert(sizeof(OctetString) == 16);

/// An octet string that may be absent, in the same 16 octets: the display
/// hint, where absent and present-but-empty are different values.
class OptionalOctetString {
public:
    OptionalOctetString() noexcept : s_(OctetString::AbsentTag{}) {}
    OptionalOctetString(std::nullopt_t) noexcept : OptionalOctetString() {}
    OptionalOctetString(OctetString s) noexcept : s_(std::move(s)) {}
    OptionalOctetString(std::span<const std::uint8_t> s) : s_(s) {}
    OptionalOctetString(const std::vector<std::uint8_t>& v) : s_(v) {}
    OptionalOctetString(const OptionalOctetString& o) : OptionalOctetString() {
        if (o) s_ = *o;
    }
    OptionalOctetString(OptionalOctetString&& o) noexcept : s_(AbsentTag()) { take(o); }
    OptionalOctetString& operator=(const OptionalOctetString& o) {
        if (this != &o) *this = OptionalOctetString(o);
        return *this;
    }
    OptionalOctetString& operator=(OptionalOctetString&& o) noexcept {
        if (this != &o) {
            s_.release();
            take(o);
        }
        return *this;
    }

    bool has_value() const { return s_.raw_[OctetString::kTag] != OctetString::kAbsent; }
    explicit operator bool() const { return has_value(); }
    const OctetString& operator*() const { return s_; }
    const OctetString* operator->() const { return &s_; }
    void emplace(std::span<const std::uint8_t> s) { *this = OptionalOctetString(s); }
    void reset() noexcept { *this = OptionalOctetString(); }

    friend bool operator==(const OptionalOctetString& a, const OptionalOctetString& b) {
        return a.has_value() == b.has_value() && (!a.has_value() || a.s_ == b.s_);
    }

    /// Where the octet that tells the states apart lies: it holds 0 to 15
    /// (inline), 0x40 (absent) or a value with the top bit set (heap), never
    /// `kFreeTag`, which an enclosing type may use to mark a state of its own.
    static constexpr std::size_t kTagOffset = OctetString::kTag;
    static constexpr std::uint8_t kFreeTag = 0x20;

private:
    using AbsentTag = OctetString::AbsentTag;
    void take(OptionalOctetString& o) noexcept {
        std::memcpy(s_.raw_, o.s_.raw_, sizeof s_.raw_);
        o.s_.raw_[OctetString::kTag] = OctetString::kAbsent;
    }
    OctetString s_;
};

static_assert(sizeof(OptionalOctetString) == 16);

}  // namespace parvex
