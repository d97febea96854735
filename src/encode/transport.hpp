// The basic transport representation (RFC 9804 §6.3): the base-64 text of
// the canonical octets between braces, on one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "encode/canonical.hpp"
#include "types/copy.hpp"
#include "types/sexp.hpp"

namespace parvex::encode::transport {

/// An output for the canonical writer that writes the base-64 text of the
/// octets instead, as they come, so that the canonical octets are never
/// stored whole: short runs gather in a small buffer, long ones are encoded
/// where they lie.
class Base64Out {
public:
    /// `uncached` for a text of at least `kUncachedFrom` characters.
    explicit Base64Out(char* out, bool uncached = false) : out_(out), uncached_(uncached) {}
    void octet(std::uint8_t c) {
        stage_[staged_++] = c;
        if (staged_ == kStage) flush();
    }
    void octets(const std::uint8_t* s, std::size_t n) {
        if (kStage - staged_ > n) {
            copy_octets(stage_ + staged_, s, n);
            staged_ += n;
            return;
        }
        bulk(s, n);
    }
    /// `canonical::put_backed_short_string` into the staging buffer;
    /// false, having written nothing, where it has too little room left.
    bool backed_short_string(Bytes s) {
        if (static_cast<std::ptrdiff_t>(kStage - staged_) <= canonical::kShortStringReach) return false;
        staged_ = static_cast<std::size_t>(canonical::put_backed_short_string(stage_ + staged_, s) - stage_);
        return true;
    }
    /// Encodes what is left, with its padding; returns one past the text.
    char* finish();

private:
    static constexpr std::size_t kStage = 3 * 1024;  // whole groups only
    void flush();
    void bulk(const std::uint8_t* s, std::size_t n);
    char* out_;
    bool uncached_;
    std::size_t staged_ = 0;
    std::uint8_t stage_[kStage];
};

/// From this length on, a text is written past the caches: with the octets
/// it is made from, it fills a last-level cache's share, so its lines would
/// be evicted before anyone reads them, and each would first be read only
/// to be overwritten. Below it, the text stays in cache for its reader.
inline constexpr std::uint64_t kUncachedFrom = std::uint64_t{4} << 20;

/// Characters of the transport text for `canonical_len` canonical octets.
std::uint64_t text_len(std::uint64_t canonical_len);

/// The transport text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::transport
