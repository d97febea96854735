// base16::decode on any text, on every path the processor has, against the
// plain decoder: the same octets and the same report of where and why it
// stopped, under a limit on the octets decoded; and the text cut in two,
// the second call taking the digit the first left over, as a reader of a
// stream does, gives what the whole gives.
//
// Input: one octet for the limit (as the reader harnesses read a limit),
// one for where to cut the text (its share of 256), then the text.
#include <vector>

#include "../tests/native/plain_base16.hpp"
#include "base16/base16.hpp"
#include "common.hpp"
#include "cpu/features.hpp"

namespace {

namespace b16 = parvex::base16;

// Decodes into a buffer of exactly the room the decoder asks for.
b16::Scan decode(parvex::Bytes text, std::uint64_t max, b16::Half half, std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> room(b16::decode_room(text.size(), max));
    const b16::Scan s = b16::decode(text, room.data(), max, half);
    FUZZ_CHECK(s.octets <= room.size());
    out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(s.octets));
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint64_t max = fuzz::limit(data[0]);
    const parvex::Bytes text(data + 2, size - 2);
    const std::size_t cut = text.size() * data[1] / 256;
    std::vector<std::uint8_t> want;
    const b16::Scan plain = plain::decode16(text, want, max);
    const parvex::cpu::Features before = parvex::cpu::restrict_to(parvex::cpu::Features{true, true, true, true});
    for (const parvex::cpu::Features f : {parvex::cpu::Features{true, true, true, true},
                                          parvex::cpu::Features{true, true, false, false}, parvex::cpu::kPortable}) {
        parvex::cpu::restrict_to(f);
        std::vector<std::uint8_t> got;
        FUZZ_CHECK(decode(text, max, {}, got) == plain && got == want);
        got.clear();
        const b16::Scan head = decode(text.first(cut), max, {}, got);
        if (head.stop != b16::Stop::End) continue;
        b16::Scan tail = decode(text.subspan(cut), max - head.octets, head.half, got);
        tail.read += cut;
        tail.octets += head.octets;
        FUZZ_CHECK(tail == plain && got == want);
    }
    parvex::cpu::restrict_to(before);
    return 0;
}
