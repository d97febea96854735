// Quoted strings (RFC 9804 §4.4) with their C-like escapes. Each octet of an
// escape is judged as it is reached: one that makes the escape invalid is
// an InvalidEscape at the backslash at once, and input that ends before a
// so-far valid escape is complete is an UnexpectedEnd. A stream cut short
// inside one waits, from the backslash, for what `ready` sees end it.
#include <algorithm>

#include "decode/reader.hpp"

namespace parvex {

Result<Bytes> Reader::quoted_string(std::uint64_t start, std::optional<std::uint64_t> length, StringRoom& scratch) {
    const std::uint8_t* in = input.data();
    const std::uint64_t n = input.size();
    const bool high = parser.allow_8bit_in_quoted;
    ++pos;  // the opening quote
    // Plain octets stay where they are until an escape needs the string
    // copied: one without escapes is a view of the input, however long.
    const std::uint64_t body = pos;
    bool copied = false;
    const auto decoded = [&] { return copied ? scratch.size() : pos - body; };
    for (;;) {
        // A run of plain printable octets, in pieces where it runs long.
        const std::uint64_t stop = std::min(n, pos + kOctetsPerCheck);
        const std::uint64_t run = plain_run_end(pos, stop, high);
        if (copied) scratch.insert(scratch.end(), in + pos, in + run);
        pos = run;
        if (too_long_early(decoded())) return fail(start, ErrorKind::AtomTooLong);
        if (pos == stop && stop != n) [[unlikely]] {
            if (stop_asked()) return stopped_by_builder();
            continue;
        }
        if (pos >= n) return truncated(Until::QuoteEnd, 0, decoded());
        const std::uint8_t c = in[pos++];
        if (c == '"') {
            const Bytes s = copied ? Bytes(scratch) : input.subspan(body, pos - 1 - body);
            if (length && *length != s.size()) return fail(start, ErrorKind::LengthMismatch);
            return s;
        }
        if (c != '\\') return fail(pos - 1, ErrorKind::UnexpectedOctet);  // not printable

        const std::uint64_t backslash = pos - 1;
        if (!copied) {
            scratch.assign(in + body, in + backslash);
            copied = true;
        }
        const auto cut = [&] { return truncated_at(backslash, Until::QuoteEnd, scratch.size()); };
        if (pos >= n) return cut();
        const std::uint8_t e = in[pos++];
        switch (e) {
            case '"':
            case '\'':
            case '?':
            case '\\': scratch.push_back(e); break;
            case 'a': scratch.push_back(7); break;
            case 'b': scratch.push_back(8); break;
            case 'f': scratch.push_back(12); break;
            case 'n': scratch.push_back(10); break;
            case 'r': scratch.push_back(13); break;
            case 't': scratch.push_back(9); break;
            case 'v': scratch.push_back(11); break;
            case 'x': {
                unsigned v = 0;
                for (int i = 0; i < 2; ++i) {
                    if (pos >= n) return cut();
                    const std::uint8_t h = octet::hex_value[in[pos]];
                    if (h == 0xFF) return fail(backslash, ErrorKind::InvalidEscape);
                    v = v * 16 + h;
                    ++pos;
                }
                scratch.push_back(static_cast<std::uint8_t>(v));
                break;
            }
            case '0':
            case '1':
            case '2':
            case '3': {
                unsigned v = e - '0';
                for (int i = 0; i < 2; ++i) {
                    if (pos >= n) return cut();
                    const std::uint8_t d = in[pos];
                    if (d < '0' || d > '7') return fail(backslash, ErrorKind::InvalidEscape);
                    v = v * 8 + (d - '0');
                    ++pos;
                }
                scratch.push_back(static_cast<std::uint8_t>(v));
                break;
            }
            case '\n':  // line continuation, optionally \n\r
                if (pos < n && in[pos] == '\r') ++pos;
                break;
            case '\r':  // line continuation, optionally \r\n
                if (pos < n && in[pos] == '\n') ++pos;
                break;
            default:  // includes octal 4 to 7, which can only spell values above 255
                return fail(backslash, ErrorKind::InvalidEscape);
        }
        if (too_long_early(scratch.size())) return fail(start, ErrorKind::AtomTooLong);
    }
}

}  // namespace parvex
