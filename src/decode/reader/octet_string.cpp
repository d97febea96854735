// Octet strings (RFC 9804 §4.2–§4.5, §6.4): dispatch on the first octet,
// decimal lengths, and the verbatim, token, hexadecimal and base-64 forms.
// Quoted strings are in quoted.cpp.
#include <algorithm>
#include <cstring>

#include "base16/base16.hpp"
#include "decode/reader.hpp"

namespace parvex {

using octet::is_digit;

Result<Bytes> Reader::simple_string(StringRoom& scratch) {
    const std::uint64_t start = pos;
    const std::uint64_t n = input.size();
    if (pos >= n) return truncated();
    const std::uint8_t c = input[pos];
    const Parser& p = parser;
    Result<Bytes> r;
    if (!is_digit(c)) {
        switch (c) {
            case '"':
                if (!p.allow_advanced) return fail(start, ErrorKind::AdvancedNotAllowed);
                r = quoted_string(start, std::nullopt, scratch);
                break;
            case '#':
                if (!p.allow_advanced) return fail(start, ErrorKind::AdvancedNotAllowed);
                if (!p.allow_hexadecimal) return fail(start, ErrorKind::HexadecimalNotAllowed);
                r = hexadecimal(start, std::nullopt, scratch);
                break;
            case '|':
                if (!p.allow_advanced) return fail(start, ErrorKind::AdvancedNotAllowed);
                if (!p.allow_base64) return fail(start, ErrorKind::Base64NotAllowed);
                r = base64_string(start, std::nullopt, scratch);
                break;
            default:
                if (!octet::is_token_start(c)) return fail(start, ErrorKind::UnexpectedOctet);
                if (!p.allow_advanced) return fail(start, ErrorKind::AdvancedNotAllowed);
                r = token();
                if (r->empty()) return stopped_by_builder();
                break;
        }
    } else {
        // A decimal length, then the form it counts.
        std::uint64_t length = c - '0';
        ++pos;
        if (pos >= n) return truncated();
        if (c == '0' && is_digit(input[pos])) return fail(start, ErrorKind::LengthLeadingZero);
        while (is_digit(input[pos])) {
            if (__builtin_mul_overflow(length, 10, &length) ||
                __builtin_add_overflow(length, input[pos] - '0', &length))
                return fail(start, ErrorKind::LengthOverflow);
            ++pos;
            if (pos >= n) return truncated();
        }
        switch (input[pos]) {
            case ':': {
                const std::uint64_t body = pos + 1;
                std::uint64_t end;
                if (__builtin_add_overflow(body, length, &end)) return fail(body, ErrorKind::LengthOverflow);
                if (too_long_early(length)) return fail(start, ErrorKind::AtomTooLong);
                if (end > n) return truncated(Until::Any, end);
                pos = end;
                r = input.subspan(body, length);
                break;
            }
            case '"':
                if (!p.allow_advanced) return fail(start, ErrorKind::AdvancedNotAllowed);
                if (!p.allow_lengths) return fail(start, ErrorKind::LengthNotAllowed);
                if (too_long_early(length)) return fail(start, ErrorKind::AtomTooLong);
                r = quoted_string(start, length, scratch);
                break;
            case '#':
                if (!p.allow_advanced) return fail(start, ErrorKind::AdvancedNotAllowed);
                if (!p.allow_hexadecimal) return fail(start, ErrorKind::HexadecimalNotAllowed);
                if (!p.allow_lengths) return fail(start, ErrorKind::LengthNotAllowed);
                if (too_long_early(length)) return fail(start, ErrorKind::AtomTooLong);
                r = hexadecimal(start, length, scratch);
                break;
            case '|':
                if (!p.allow_advanced) return fail(start, ErrorKind::AdvancedNotAllowed);
                if (!p.allow_base64) return fail(start, ErrorKind::Base64NotAllowed);
                if (!p.allow_lengths) return fail(start, ErrorKind::LengthNotAllowed);
                if (too_long_early(length)) return fail(start, ErrorKind::AtomTooLong);
                r = base64_string(start, length, scratch);
                break;
            default: return fail(pos, ErrorKind::UnexpectedOctet);
        }
    }
    if (!r) return r;
    if (const auto refused = refuses(r->size())) return fail(start, *refused);
    return r;
}

Result<Bytes> Reader::hexadecimal(std::uint64_t start, std::optional<std::uint64_t> length, StringRoom& scratch) {
    const std::uint64_t n = input.size();
    ++pos;  // the opening "#"
    std::uint64_t octets = 0;
    base16::Half half;  // a digit whose pair goes on in the next slice
    // Decoded in slices of the input, between which the builder is asked
    // whether to stop; the room grows with them, and is reused from string
    // to string.
    for (;;) {
        const std::uint64_t slice = std::min(n - pos, kOctetsPerCheck);
        // In a stream, what is decoded of a string stops where it would be
        // longer than allowed.
        const std::uint64_t most = early_limits ? parser.max_atom_len - octets : kNoLimit;
        scratch.resize(octets + base16::decode_room(slice, most));
        const base16::Scan s = base16::decode(input.subspan(pos, slice), scratch.data() + octets, most, half);
        octets += s.octets;
        pos += s.read;
        half = s.half;
        switch (s.stop) {
            case base16::Stop::Close:
                ++pos;
                scratch.resize(octets);
                if (half.pending) return fail(start, ErrorKind::OddHexDigits);
                if (length && *length != octets) return fail(start, ErrorKind::LengthMismatch);
                return Bytes(scratch);
            case base16::Stop::Invalid: return fail(pos, ErrorKind::InvalidHexDigit);
            case base16::Stop::Full: return fail(start, ErrorKind::AtomTooLong);
            case base16::Stop::End:
                if (pos >= n) return truncated(Until::HexEnd, 0, octets * 2 + half.pending);
                if (stop_asked()) return stopped_by_builder();
                break;
        }
    }
}

Result<Bytes> Reader::base64_string(std::uint64_t start, std::optional<std::uint64_t> length, StringRoom& scratch) {
    const std::uint64_t n = input.size();
    const std::uint64_t text = pos + 1;
    const void* close = text < n ? std::memchr(input.data() + text, '|', n - text) : nullptr;
    const std::uint64_t end =
        close == nullptr ? n : static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(close) - input.data());
    std::uint64_t chars = 0;  // as `ready` counts them
    if (early_limits && parser.max_atom_len != kNoLimit) {
        // What the text decodes to grows with its characters only while
        // nothing but them and whitespace has come.
        for (std::uint64_t i = text; i < end && chars != kNoLimit; ++i) {
            if (is_base64_char(input[i])) {
                if (base64_decoded_at_least(++chars) > parser.max_atom_len) return fail(start, ErrorKind::AtomTooLong);
            } else if (!octet::is_whitespace(input[i])) {
                chars = kNoLimit;
            }
        }
    }
    if (close == nullptr) return truncated(Until::Bar, 0, chars);
    // Decoded into the scratch buffer, whose room is reused from string to
    // string.
    scratch.resize(base64::decode_room(end - text));
    auto decoded = decode_base64(input.subspan(text, end - text), text, scratch.data());
    if (!decoded) return std::unexpected(decoded.error());
    scratch.resize(static_cast<std::size_t>(*decoded - scratch.data()));
    pos = end + 1;
    if (length && *length != scratch.size()) return fail(start, ErrorKind::LengthMismatch);
    return Bytes(scratch);
}

std::uint64_t Reader::long_token_end(Bytes input, std::uint64_t pos, bool (*ask)(void*), void* asked) {
    const std::uint64_t n = input.size();
    while (pos < n && octet::is_token_octet(input[pos])) {
        if (ask != nullptr && ask(asked)) return kStopAsked;
        const std::uint64_t stop = std::min(n, pos + kOctetsPerCheck);
        while (pos < stop && octet::is_token_octet(input[pos])) ++pos;
    }
    return pos;
}

std::expected<std::uint8_t*, Error> Reader::decode_base64(Bytes text, std::uint64_t at, std::uint8_t* out) {
    // Slices of whole groups, the common case, which the number of octets
    // they decode to shows; from the first slice that is not (whitespace,
    // padding or a fault in it), the rest is decoded at once, which gives
    // the same octets and the same first fault as decoding the whole would.
    constexpr std::uint64_t kSlice = kOctetsPerCheck / 4 * 4;
    std::uint64_t from = 0;
    if (ask_ != nullptr) {
        while (text.size() - from > kSlice) {
            auto slice = base64::decode_to(text.subspan(from, kSlice), out);
            if (!slice || *slice - out != kSlice / 4 * 3) break;
            out = *slice;
            from += kSlice;
            if (stop_asked()) return stopped_by_builder();
        }
    }
    auto rest = base64::decode_to(text.subspan(from), out);
    if (!rest) return fail(at + from + rest.error().offset, ErrorKind::InvalidBase64);
    return *rest;
}

}  // namespace parvex
