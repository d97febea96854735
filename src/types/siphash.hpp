// SipHash-1-3 (one compression round, three finalisation rounds) over a byte
// stream fed in pieces. Atoms hash with it under a fixed zero key, so hashes
// are the same in every process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace parvex {

/// Incremental SipHash-1-3 with a 128-bit key given as two 64-bit halves.
class SipHash13 {
public:
    SipHash13(std::uint64_t k0, std::uint64_t k1);
    void update(const std::uint8_t* p, std::size_t n);
    void update_u64(std::uint64_t v);  // little-endian
    std::uint64_t finish();

private:
    void compress(std::uint64_t m);
    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;   // pending octets, little-endian
    std::size_t ntail_ = 0;    // how many octets of tail_ are pending
    std::uint64_t total_ = 0;  // octets fed so far
};

}  // namespace parvex
