// The reader: one S-expression from octets (RFC 9804 §6), lists kept on an
// explicit stack rather than the call stack. Values go to a builder, so the
// same loop can produce core values or any other tree; decode/builder.hpp
// holds the contract.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "base64/base64.hpp"
#include "decode/builder.hpp"
#include "decode/error.hpp"
#include "decode/parser.hpp"
#include "decode/scratch.hpp"
#include "types/octet_classes.hpp"
#include "types/sexp.hpp"

namespace parvex {

/// How a read through a builder ends when it gives no value: the input's
/// fault, or the builder's own failure.
using Stop = std::variant<Error, BuilderFailed>;
template <class T>
using ReadResult = std::expected<T, Stop>;

/// Where an S-expression read from the front of an input ended.
struct PrefixEnd {
    std::uint64_t consumed;
    /// It ends with a token at the very end of the input, which more input
    /// could continue; anything else ends where it says it does.
    bool open;
};

// The offset of a failure because the input ended too soon, which the
// exit of a read replaces with the length of the input it was given.
inline constexpr std::uint64_t kEndOfInput = kNoLimit;

/// Fails because the input ended in the middle of the S-expression.
[[nodiscard]] inline std::unexpected<Error> truncated() { return fail(kEndOfInput, ErrorKind::UnexpectedEnd); }

/// A reading cursor over a borrowed input, under a borrowed option set.
struct Reader {
    Reader(const Parser& p, Bytes in) : parser(p), input(in) {}

    const Parser& parser;
    Bytes input;
    std::uint64_t pos = 0;
    std::uint64_t token_end = 0;  // one past the latest token

    bool at_end() const { return pos >= input.size(); }

    /// Skips the whitespace octets, only where the advanced representation
    /// is allowed.
    void skip_whitespace() {
        if (!parser.allow_advanced) return;
        while (pos < input.size() && octet::is_whitespace(input[pos])) ++pos;
    }

    /// What the options say of an octet string of `size` decoded octets,
    /// data or hint: nothing, or why it is refused. Every form of string,
    /// the fast paths included, is judged here, once it has been read whole.
    std::optional<ErrorKind> refuses(std::uint64_t size) const {
        if (size == 0 && !parser.allow_empty_atoms) return ErrorKind::EmptyAtomNotAllowed;
        if (size > parser.max_atom_len) return ErrorKind::AtomTooLong;
        return std::nullopt;
    }

    /// Reads the common verbatim string "n:octets" at `pos` (on a digit)
    /// without the general dispatch. Returns false, with `pos` unchanged,
    /// wherever anything is unusual, for `simple_string` to report.
    bool fast_verbatim(Bytes& out) {
        const std::uint8_t* in = input.data();
        const std::uint64_t n = input.size();
        std::uint64_t p = pos;
        std::uint64_t length = in[p++] - '0';
        if (p >= n) return false;
        if (length != 0) {
            // Lengths of one and two digits mix in most inputs: the second
            // digit is taken without a branch that would mispredict.
            const std::uint64_t d = in[p] - std::uint64_t{'0'};
            const bool digit = d < 10;
            length = length * (digit ? 10 : 1) + (digit ? d : 0);
            p += digit;
            if (p >= n) return false;
        }
        if (in[p] != ':') {  // a third digit or more, or a leading zero
            if (length == 0) return false;
            // Up to 19 digits cannot overflow.
            const std::uint64_t last = pos + 19;
            while (p < n && p < last && octet::is_digit(in[p])) length = length * 10 + (in[p++] - '0');
            if (p >= n || in[p] != ':') return false;
        }
        ++p;
        if (length > n - p || refuses(length)) return false;
        out = input.subspan(p, length);
        pos = p + length;
        return true;
    }

    /// Reads one octet string in any form at `pos`. The result views either
    /// the input or `scratch`, and stays valid until `scratch` changes.
    [[nodiscard]] Result<Bytes> simple_string(Octets& scratch);
    /// Reads a token; `pos` is on a token-start octet. A token ends at the
    /// first octet that cannot continue it, or at the end of the input.
    Bytes token() {
        const std::uint64_t start = pos;
        const std::uint64_t n = input.size();
        ++pos;
        while (pos < n && octet::is_token_octet(input[pos])) ++pos;
        token_end = pos;
        return input.subspan(start, pos - start);
    }
    /// Reads "..." with `pos` on the opening quote; `start` is where the
    /// octet string began (its length's first digit, or the quote).
    [[nodiscard]] Result<Bytes> quoted_string(std::uint64_t start, std::optional<std::uint64_t> length,
                                              Octets& scratch);
    /// Reads #...# with `pos` on the opening number sign.
    [[nodiscard]] Result<Bytes> hexadecimal(std::uint64_t start, std::optional<std::uint64_t> length,
                                            Octets& scratch);
    /// Reads |...| with `pos` on the opening vertical bar.
    [[nodiscard]] Result<Bytes> base64_string(std::uint64_t start, std::optional<std::uint64_t> length,
                                              Octets& scratch);

    /// Reads one S-expression at `pos` into `builder`, which then holds one
    /// more value. Whitespace before it is skipped, whitespace after it not.
    template <Builder B>
    [[nodiscard]] ReadResult<void> sexp(B& builder);

private:
    template <Builder B>
    [[nodiscard]] ReadResult<void> transport_block(B& builder);

    /// Gives `builder` a hintless atom that views the input, by the fast
    /// path where the builder has one and 16 octets from its start on lie
    /// within the input.
    template <Builder B>
    bool input_atom(B& builder, Bytes data) const {
        if constexpr (OverreadBuilder<B>) {
            if (static_cast<std::size_t>(input.data() + input.size() - data.data()) >= 16)
                return builder.atom_overread(data);
        }
        return builder.atom(data);
    }

    Octets scratch_data_;
    Octets scratch_hint_;
};

namespace detail {
// The one exit of every read: a failure because the input ended is placed
// at the end of the input the read was given.
inline Stop stopped(Stop s, Bytes input) {
    if (auto* e = std::get_if<Error>(&s); e != nullptr && e->offset == kEndOfInput) e->offset = input.size();
    return s;
}
}  // namespace detail

/// Reads an input that must hold exactly one S-expression into `builder`.
template <Builder B>
[[nodiscard]] ReadResult<void> read_whole(const Parser& parser, Bytes input, B& builder) {
    if (input.size() > parser.max_input_len) return fail(parser.max_input_len, ErrorKind::InputTooLong);
    Reader r{parser, input};
    if (auto s = r.sexp(builder); !s) return std::unexpected(detail::stopped(s.error(), input));
    r.skip_whitespace();
    if (!r.at_end()) return fail(r.pos, ErrorKind::TrailingOctets);
    return {};
}

/// Reads the S-expression at the front of `input` into `builder`; returns
/// where it ended.
template <Builder B>
[[nodiscard]] ReadResult<PrefixEnd> read_prefix(const Parser& parser, Bytes input, B& builder) {
    if (input.size() > parser.max_input_len) return fail(parser.max_input_len, ErrorKind::InputTooLong);
    Reader r{parser, input};
    if (auto s = r.sexp(builder); !s) return std::unexpected(detail::stopped(s.error(), input));
    return PrefixEnd{r.pos, r.pos == input.size() && r.token_end == r.pos};
}

template <Builder B>
ReadResult<void> Reader::transport_block(B& builder) {
    const std::uint64_t brace = pos;
    if (!parser.allow_transport) return fail(brace, ErrorKind::TransportNotAllowed);
    const std::uint64_t text = brace + 1;
    const void* close = text < input.size() ? std::memchr(input.data() + text, '}', input.size() - text)
                                            : nullptr;
    if (close == nullptr) return truncated();
    const std::uint64_t end = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(close) - input.data());
    // The content is read once and dropped, so it goes to a buffer that is
    // not zeroed first: on large blocks that pass costs a third of decoding.
    const auto room = std::make_unique_for_overwrite<std::uint8_t[]>(base64::decode_room(end - text));
    auto decoded = base64::decode_to(input.subspan(text, end - text), room.get());
    if (!decoded) return fail(text + decoded.error().offset, ErrorKind::InvalidBase64);
    pos = end + 1;
    const Parser inner = parser.for_transport_content();
    const Bytes content(room.get(), static_cast<std::size_t>(*decoded - room.get()));
    // A failure inside the block is reported at its brace.
    if (auto r = read_whole(inner, content, builder); !r) {
        if (auto* e = std::get_if<Error>(&r.error())) return fail(brace, e->kind);
        return r;
    }
    return {};
}

template <Builder B>
ReadResult<void> Reader::sexp(B& builder) {
    struct OpenList {
        std::uint64_t open_offset;  // the "(", where closing errors point
        std::uint64_t count;        // elements so far
        bool first_is_list;
    };
    skip_whitespace();
    if (!at_end() && input[pos] == '{') return transport_block(builder);

    // The innermost open list is kept in `top`, where it can stay in
    // registers; `outer` holds the lists around it.
    ScratchStack<OpenList, 1> outer;
    OpenList top{};
    std::uint64_t depth = 0;
    const bool advanced = parser.allow_advanced;
    for (;;) {
        if (advanced) skip_whitespace();
        if (at_end()) return truncated();
        bool completed_list = false;
        switch (input[pos]) {
            case '(':
                if (depth >= parser.max_depth) return fail(pos, ErrorKind::TooDeep);
                if (depth++ != 0) outer.push_back(top);
                top = OpenList{pos, 0, false};
                ++pos;
                continue;
            case ')': {
                if (depth == 0) return fail(pos, ErrorKind::UnmatchedParenthesis);
                const OpenList list = top;
                if (--depth != 0) {
                    top = outer.back();
                    outer.pop_back();
                }
                ++pos;
                if (list.count == 0 && !parser.allow_empty_lists)
                    return fail(list.open_offset, ErrorKind::EmptyListNotAllowed);
                if (list.count != 0 && list.first_is_list && !parser.allow_list_as_first_element)
                    return fail(list.open_offset, ErrorKind::ListAsFirstElementNotAllowed);
                if (!builder.list(list.count)) return std::unexpected(BuilderFailed{});
                completed_list = true;
                break;
            }
            case '[': {
                const std::uint64_t bracket = pos;
                if (!parser.allow_display_hints) return fail(bracket, ErrorKind::HintNotAllowed);
                ++pos;
                skip_whitespace();
                auto hint = simple_string(scratch_hint_);
                if (!hint) return std::unexpected(hint.error());
                skip_whitespace();
                if (at_end()) return truncated();
                if (input[pos] != ']') return fail(pos, ErrorKind::UnexpectedOctet);
                ++pos;
                skip_whitespace();
                if (!at_end() && input[pos] == '(') return fail(pos, ErrorKind::HintOnList);
                auto data = simple_string(scratch_data_);
                if (!data) return std::unexpected(data.error());
                if (!builder.atom(*data, *hint)) return std::unexpected(BuilderFailed{});
                break;
            }
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9': {
                Bytes data;
                if (fast_verbatim(data)) {
                    if (!input_atom(builder, data)) return std::unexpected(BuilderFailed{});
                    break;
                }
                [[fallthrough]];
            }
            default: {
                // Tokens, the common atom of the advanced representation,
                // without the general dispatch: one is never empty.
                if (octet::is_token_start(input[pos]) && parser.allow_advanced) {
                    const std::uint64_t start = pos;
                    const Bytes t = token();
                    if (const auto refused = refuses(t.size())) return fail(start, *refused);
                    if (!input_atom(builder, t)) return std::unexpected(BuilderFailed{});
                    break;
                }
                auto data = simple_string(scratch_data_);
                if (!data) return std::unexpected(data.error());
                if (!builder.atom(*data)) return std::unexpected(BuilderFailed{});
                break;
            }
        }
        if (depth == 0) return {};
        if (top.count++ == 0) top.first_is_list = completed_list;
    }
}

}  // namespace parvex
