// SipHash-1-3 as described by Aumasson and Bernstein, with c = 1 compression
// round per message word and d = 3 finalisation rounds.
#include "types/siphash.hpp"

#include <bit>

#include "types/byte_order.hpp"

namespace parvex {

namespace {

inline void sipround(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
}

}  // namespace

SipHash13::SipHash13(std::uint64_t k0, std::uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHash13::compress(std::uint64_t m) {
    v3_ ^= m;
    sipround(v0_, v1_, v2_, v3_);
    v0_ ^= m;
}

void SipHash13::update(const std::uint8_t* p, std::size_t n) {
    total_ += n;
    // Fill a partly pending word first.
    while (ntail_ != 0 && n != 0) {
        tail_ |= std::uint64_t{*p++} << (8 * ntail_);
        --n;
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
    for (; n >= 8; n -= 8, p += 8) compress(load_le64(p));
    for (; n != 0; --n) tail_ |= std::uint64_t{*p++} << (8 * ntail_++);
}

void SipHash13::update_u64(std::uint64_t v) {
    std::uint8_t b[8];
    store_le64(b, v);
    update(b, 8);
}

std::uint64_t SipHash13::finish() {
    const std::uint64_t b = (total_ << 56) | tail_;
    compress(b);
    v2_ ^= 0xff;
    sipround(v0_, v1_, v2_, v3_);
    sipround(v0_, v1_, v2_, v3_);
    sipround(v0_, v1_, v2_, v3_);
    return v0_ ^ v1_ ^ v2_ ^ v3_;
}

}  // namespace parvex
