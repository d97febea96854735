// The basic transport representation (RFC 9804 §6.3): the base-64 text of
// the canonical octets between braces, on one line.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "base64/base64.hpp"
#include "encode/canonical.hpp"
#include "encode/output.hpp"
#include "types/copy.hpp"
#include "types/sexp.hpp"

namespace parvex::encode::transport {

/// An output for the canonical writer that writes the base-64 text of the
/// octets instead, as they come, so that the canonical octets are never
/// stored whole: short runs gather in a small buffer, long ones are encoded
/// where they lie. The text goes to `Text`, which must offer room for all of
/// it (a growing output, or one of the text's exact length).
template <Output Text>
class Base64Out {
public:
    template <class... Args>
    explicit Base64Out(Args&&... args) : text_(std::forward<Args>(args)...) {}
    void octet(std::uint8_t c) {
        if (staged_ == kStage) flush();
        stage_[staged_++] = c;
    }
    void octets(const std::uint8_t* s, std::size_t n) {
        if (kStage - staged_ >= n) {
            copy_octets(stage_ + staged_, s, n);
            staged_ += n;
            return;
        }
        bulk(s, n);
    }
    std::uint8_t* room(std::size_t n) {
        if (kStage - staged_ < n) {
            flush();
            if (kStage - staged_ < n) return nullptr;
        }
        return stage_ + staged_;
    }
    void commit(std::uint8_t* end) { staged_ = static_cast<std::size_t>(end - stage_); }
    /// Encodes what is left, with its padding. The text is complete.
    void finish() { encode(staged_); }
    Text& text() { return text_; }

private:
    static constexpr std::size_t kStage = 3 * 1024;
    // Encodes the first `n` staged octets (whole groups, but at the end) and
    // moves the rest to the front.
    void encode(std::size_t n) {
        encode_to_text(Bytes(stage_, n));
        std::memmove(stage_, stage_ + n, staged_ - n);
        staged_ -= n;
    }
    // Encodes the whole groups staged: at most 2 octets stay.
    void flush() { encode(staged_ - staged_ % 3); }
    void bulk(const std::uint8_t* s, std::size_t n) {
        // Complete the staged group, then take the whole groups of `s` where
        // they lie, and stage what is left.
        flush();
        const std::size_t top = std::min(n, (3 - staged_) % 3);
        copy_octets(stage_ + staged_, s, top);
        staged_ += top;
        s += top;
        n -= top;
        flush();
        const Bytes whole(s, n - n % 3);
        if constexpr (DeferringOutput<Text>) {
            if (whole.size() >= kDeferFrom) {
                text_.defer(whole);
            } else {
                encode_to_text(whole);
            }
        } else {
            encode_to_text(whole);
        }
        copy_octets(stage_ + staged_, s + whole.size(), n - whole.size());
        staged_ += n - whole.size();
    }
    void encode_to_text(Bytes octets) {
        std::uint8_t* out = text_.room(base64::encoded_size(octets.size()));
        text_.commit(reinterpret_cast<std::uint8_t*>(base64::encode_to(octets, reinterpret_cast<char*>(out))));
    }
    Text text_;
    std::size_t staged_ = 0;
    std::uint8_t stage_[kStage];
};

/// Characters of the transport text for `canonical_len` canonical octets.
std::uint64_t text_len(std::uint64_t canonical_len);

/// The transport text of `value`.
std::string to_string(const Sexp& value);

}  // namespace parvex::encode::transport
