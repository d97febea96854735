// The reader: one S-expression from octets (RFC 9804 §6), lists kept on an
// explicit stack rather than the call stack. Values go to a builder, so the
// same loop can produce core values or any other tree; decode/builder.hpp
// holds the contract.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "base64/base64.hpp"
#include "cpu/features.hpp"
#include "decode/builder.hpp"
#include "decode/error.hpp"
#include "decode/parser.hpp"
#include "decode/scratch.hpp"
#include "types/octet_classes.hpp"
#include "types/sexp.hpp"
#include "types/window.hpp"

namespace parvex {

/// How a read through a builder ends when it gives no value: the input's
/// fault, or the builder's own failure.
using Stop = std::variant<Error, BuilderFailed>;
template <class T>
using ReadResult = std::expected<T, Stop>;

/// Where an S-expression read from the front of an input ended.
struct PrefixEnd {
    std::uint64_t consumed;
};

// The offset of a failure because the input ended too soon, which the
// exit of a read replaces with the length of the input it was given.
inline constexpr std::uint64_t kEndOfInput = kNoLimit;
// The offset of a failure because the builder asked a long read to stop,
// which the exit of a read turns into the builder's own failure.
inline constexpr std::uint64_t kStopAsked = kNoLimit - 1;

/// How many octets of one string are read between two questions to an
/// `Interruptible` builder: a millisecond's work or less.
inline constexpr std::uint64_t kOctetsPerCheck = std::uint64_t{1} << 20;

/// A builder that a read asks, every `kOctetsPerCheck` octets of a single
/// long string (its own steps it checks itself), whether to stop: true ends
/// the read as the builder's failure, whose reason the builder keeps.
template <class B>
concept Interruptible = Builder<B> && requires(B& b) {
    { b.interrupted() } -> std::same_as<bool>;
};

/// Whether the cause of a failed read is that its input ended too soon.
inline bool ran_out(const Stop& s) {
    const Error* e = std::get_if<Error>(&s);
    return e != nullptr && e->offset == kEndOfInput && e->kind == ErrorKind::UnexpectedEnd;
}

/// A list opened and not yet closed, in 16 octets: a deep read keeps one
/// for every level it is in, and writes and reads them all again.
struct OpenList {
    std::uint64_t open_offset;  // the "(", where closing errors point
    std::uint64_t tally = 0;    // twice the elements so far, plus one where the first is a list

    std::uint64_t count() const { return tally >> 1; }
    bool first_is_list() const { return (tally & 1) != 0; }
    // Separate, as each caller knows which it adds: no choice at run time.
    void add_atom() { tally += 2; }
    void add_list() { tally += 2 + (tally == 0); }
};

/// The octets that can end what a read cut short by the end of its input
/// was in the middle of, or show it wrong: until one arrives, reading again
/// would only get as far.
enum class Until : std::uint8_t {
    Any,
    TokenEnd,  // an octet that cannot continue a token
    QuoteEnd,  // an octet that does not stand for itself in a quoted string
    HexEnd,    // an octet that is neither a hexadecimal digit nor whitespace
    Bar,       // the "|" that closes a base-64 string
    Brace,     // the "}" that closes a transport block
};

/// What a read cut short by the end of its input needs before reading again
/// can get further: the input at least `need` octets long, with an octet of
/// the kind `until` names at `from` or after. A string cut short is read
/// again as well once what has arrived of it is longer than `max_atom_len`
/// allows, so that a stream refuses it without waiting for its end:
/// `counted` is how much of it lies before `from`, in the unit its form
/// is measured in (see `ready`).
struct Wait {
    std::uint64_t need = 0;
    Until until = Until::Any;
    std::uint64_t from = 0;
    std::uint64_t counted = 0;
};

/// Whether `c` is one of the 64 characters of the base-64 alphabet.
constexpr bool is_base64_char(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

/// The fewest octets that `chars` characters of the base-64 alphabet, with
/// nothing else but whitespace among them, decode to in a valid string.
constexpr std::uint64_t base64_decoded_at_least(std::uint64_t chars) { return chars / 4 * 3 + (chars % 4) * 3 / 4; }

/// Whether the octets after the quoted-string escape that starts at
/// `p[i]` (a backslash) make it complete (`Complete`, with `i` past it and
/// `decoded` the octets it stands for), incomplete at the end of the input,
/// or invalid.
enum class Escape : std::uint8_t { Complete, Incomplete, Invalid };
inline Escape scan_escape(const std::uint8_t* p, std::uint64_t n, std::uint64_t& i, std::uint64_t& decoded) {
    if (i + 1 >= n) return Escape::Incomplete;
    const std::uint8_t e = p[i + 1];
    switch (e) {
        case '"':
        case '\'':
        case '?':
        case '\\':
        case 'a':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
        case 'v':
            i += 2;
            decoded = 1;
            return Escape::Complete;
        case 'x':
        case '0':
        case '1':
        case '2':
        case '3':
            for (std::uint64_t k = 2; k < 4; ++k) {
                if (i + k >= n) return Escape::Incomplete;
                const std::uint8_t d = p[i + k];
                if (e == 'x' ? !octet::is_hex_digit(d) : (d < '0' || d > '7')) return Escape::Invalid;
            }
            i += 4;
            decoded = 1;
            return Escape::Complete;
        case '\n':
        case '\r':  // a line continuation: an octet of the other kind after it is the reader's to take
            i += 2;
            decoded = 0;
            return Escape::Complete;
        default: return Escape::Invalid;
    }
}

/// An allocator that leaves the octets it adds as they are: a buffer grown
/// only to be written over is not zeroed first, which for hundreds of
/// megabytes would take a page fault at a time, with no check between them.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

/// Where an octet string that needs decoding is decoded to, reused from
/// string to string.
using StringRoom = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

/// A reading cursor over a borrowed input, under a borrowed option set.
struct Reader {
    Reader(const Parser& p, Bytes in) : parser(p), input(in) {}

    const Parser& parser;
    Bytes input;
    /// Refuse a string longer than `max_atom_len` as soon as its declared
    /// length, or what of it has been read, shows it, rather than once it is
    /// whole: a stream must not have to take in a string it will refuse.
    bool early_limits = false;
    std::uint64_t pos = 0;
    std::uint64_t token_end = 0;  // one past the latest token
    std::uint64_t element = 0;    // where the element being read began (kept by `elements<true>`)
    Wait wait;                    // set by `truncated`

    bool at_end() const { return pos >= input.size(); }

    /// Fails because the input ended in the middle of the S-expression, and
    /// notes in `wait` what more input must bring for a read to get further:
    /// `counted` is what `Wait` says, of the input up to its end.
    [[nodiscard]] std::unexpected<Error> truncated(Until until = Until::Any, std::uint64_t need = 0,
                                                   std::uint64_t counted = 0) {
        return truncated_at(input.size(), until, counted, need);
    }
    /// The same, where the octets from `from` on are to be looked at again.
    [[nodiscard]] std::unexpected<Error> truncated_at(std::uint64_t from, Until until, std::uint64_t counted,
                                                      std::uint64_t need = 0) {
        wait = Wait{std::max<std::uint64_t>(need, input.size() + 1), until, from, counted};
        return fail(kEndOfInput, ErrorKind::UnexpectedEnd);
    }
    /// Whether `early_limits` refuses a string of which `size` octets are
    /// known already.
    bool too_long_early(std::uint64_t size) const { return early_limits && size > parser.max_atom_len; }

    /// Lets long strings ask `builder` whether to stop, if it can be asked.
    template <Builder B>
    void listen(B& builder) {
        if constexpr (Interruptible<B>) {
            asked_ = &builder;
            ask_ = [](void* b) { return static_cast<B*>(b)->interrupted(); };
        }
    }
    /// Whether the builder asks the read to stop.
    bool stop_asked() const { return ask_ != nullptr && ask_(asked_); }
    /// Fails because the builder asked the read to stop.
    [[nodiscard]] static std::unexpected<Error> stopped_by_builder() {
        return fail(kStopAsked, ErrorKind::UnexpectedEnd);
    }

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
    [[gnu::always_inline]] bool fast_verbatim(Bytes& out) {
        const std::uint8_t* in = input.data();
        const std::uint64_t n = input.size();
        std::uint64_t p = pos;
        std::uint64_t length = in[p++] - '0';
        if (p >= n) return false;
        if (length != 0) {
            // Lengths of one and two digits mix in most inputs: the second
            // digit is taken without a branch that would mispredict.
            // (Arithmetic, not a choice, which g++ turns back into a branch.)
            const std::uint64_t d = in[p] - std::uint64_t{'0'};
            const std::uint64_t digit = d < 10;
            length = length * (1 + 9 * digit) + (d & (0 - digit));
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
    [[nodiscard]] Result<Bytes> simple_string(StringRoom& scratch);
    /// Reads a token; `pos` is on a token-start octet. A token ends at the
    /// first octet that cannot continue it, or at the end of the input. An
    /// empty token, which no input has, means the builder asked to stop.
    Bytes token() {
        const std::uint64_t start = pos;
        const std::uint64_t n = input.size();
        std::uint64_t p = start + 1;
#if PARVEX_RUN16
        // Most tokens end within 16 octets: found in one step, without the
        // branch on their length that an octet-at-a-time loop mispredicts.
        if (vectors_ && n - p >= 16) {
            const unsigned run = octet::token_run16(input.data() + p);
            p += run;
            if (run != 16) {
                pos = token_end = p;
                return input.subspan(start, pos - start);
            }
        }
#endif
        const std::uint64_t stop = std::min(n, start + kOctetsPerCheck);
        while (p < stop && octet::is_token_octet(input[p])) ++p;
        if (p == stop && stop != n) [[unlikely]] {
            p = long_token_end(input, p, ask_, asked_);
            if (p == kStopAsked) return {};
        }
        pos = token_end = p;
        return input.subspan(start, pos - start);
    }
    /// Where the run of octets that stand unescaped in a quoted string (and
    /// octets from 0x80 up, with `high`) from `at` on ends, at `stop` at most.
    std::uint64_t plain_run_end(std::uint64_t at, std::uint64_t stop, bool high) const {
        const std::uint8_t* in = input.data();
#if PARVEX_RUN16
        // 16 octets a step, as for tokens.
        for (; vectors_ && stop - at >= 16; at += 16) {
            const unsigned run = octet::quote_plain_run16(in + at, high);
            if (run != 16) return at + run;
        }
#endif
        while (at < stop && (octet::is(in[at], octet::kQuotePlain) || (high && in[at] >= 0x80))) ++at;
        return at;
    }
    /// Reads "..." with `pos` on the opening quote; `start` is where the
    /// octet string began (its length's first digit, or the quote).
    [[nodiscard]] Result<Bytes> quoted_string(std::uint64_t start, std::optional<std::uint64_t> length,
                                              StringRoom& scratch);
    /// Reads #...# with `pos` on the opening number sign.
    [[nodiscard]] Result<Bytes> hexadecimal(std::uint64_t start, std::optional<std::uint64_t> length,
                                            StringRoom& scratch);
    /// Reads |...| with `pos` on the opening vertical bar.
    [[nodiscard]] Result<Bytes> base64_string(std::uint64_t start, std::optional<std::uint64_t> length,
                                              StringRoom& scratch);

    /// Reads one S-expression at `pos` into `builder`, which then holds one
    /// more value. Whitespace before it is skipped, whitespace after it not.
    template <Builder B>
    [[nodiscard]] ReadResult<void> sexp(B& builder) {
        std::vector<OpenList> lists;
        return elements<false>(builder, lists);
    }

    /// Reads elements at `pos`, with `lists` open (none at the start of an
    /// S-expression), until the S-expression they belong to is complete.
    /// With `More` the input is the part of a stream that has arrived: a
    /// token that reaches its end is cut short as well, since what follows
    /// could continue it, and a read cut short leaves `lists` as they were
    /// at `element`, the start of the element it was in, where it can go on
    /// once more has arrived.
    template <bool More, Builder B>
    [[nodiscard]] ReadResult<void> elements(B& builder, std::vector<OpenList>& lists);

    /// Decodes a base-64 text of any length to `out`, as `base64::decode_to`
    /// does, asking the builder between slices whether to stop.
    [[nodiscard]] std::expected<std::uint8_t*, Error> decode_base64(Bytes text, std::uint64_t at, std::uint8_t* out);

private:
    template <Builder B>
    [[nodiscard]] ReadResult<void> transport_block(B& builder);
    /// Where a token longer than `kOctetsPerCheck` that goes on at `pos`
    /// ends, or kStopAsked if the builder asked to stop. Apart from the
    /// reader, so that a call to it costs the common path nothing.
    static std::uint64_t long_token_end(Bytes input, std::uint64_t pos, bool (*ask)(void*), void* asked);

    /// Gives `builder` a hintless atom that views the input, by the fast
    /// path where the builder has one and the window from its start lies
    /// within the input.
    template <Builder B>
    [[gnu::always_inline]] bool input_atom(B& builder, Bytes data) const {
        if constexpr (OverreadBuilder<B>) {
            if (static_cast<std::size_t>(input.data() + input.size() - data.data()) >= kWindow)
                return builder.atom_overread(data);
        }
        return builder.atom(data);
    }

    StringRoom scratch_data_;
    StringRoom scratch_hint_;
    bool (*ask_)(void*) = nullptr;
    void* asked_ = nullptr;
    bool vectors_ = cpu::has_base_vectors(cpu::active());  // PARVEX_PORTABLE turns it off
};

namespace detail {
// The one exit of every read: a failure because the input ended is placed
// at the end of the input the read was given.
inline Stop stopped(Stop s, Bytes input) {
    if (auto* e = std::get_if<Error>(&s)) {
        if (e->offset == kEndOfInput) e->offset = input.size();
        if (e->offset == kStopAsked) return BuilderFailed{};
    }
    return s;
}
}  // namespace detail

/// Reads an input that must hold exactly one S-expression into `builder`.
template <Builder B>
[[nodiscard]] ReadResult<void> read_whole(const Parser& parser, Bytes input, B& builder) {
    if (input.size() > parser.max_input_len) return fail(parser.max_input_len, ErrorKind::InputTooLong);
    Reader r{parser, input};
    r.listen(builder);
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
    r.listen(builder);
    if (auto s = r.sexp(builder); !s) return std::unexpected(detail::stopped(s.error(), input));
    return PrefixEnd{r.pos};
}

/// How far a read of an S-expression from a stream has come, to go on from
/// there once more of the stream has arrived.
struct Suspended {
    std::vector<OpenList> lists;  // open where it stopped
    std::uint64_t resume = 0;     // the start of the element the input cut short
    Wait wait;                    // what the input must bring first
    bool waiting = false;         // the last read was cut short, and can go on
};

/// Reads on, from where `state` stopped, the S-expression that begins
/// `input`, the part of a stream that has arrived (the same octets as
/// before, and perhaps more); the builder holds what was read before. With
/// `more`, the stream may go on after `input`. Returns where the
/// S-expression ended. When `more` and `input` ended too soon, the failure
/// leaves `state.waiting` set and in `state` where to go on; the builder
/// keeps what it holds. The caller applies `max_input_len`, by the length
/// of `input`.
template <Builder B>
[[nodiscard]] ReadResult<std::uint64_t> read_on(const Parser& parser, Bytes input, bool more, Suspended& state,
                                                B& builder) {
    Reader r{parser, input};
    r.early_limits = true;
    r.listen(builder);
    r.pos = state.resume;
    auto s = more ? r.elements<true>(builder, state.lists) : r.elements<false>(builder, state.lists);
    state.waiting = !s && more && ran_out(s.error());
    if (s) return r.pos;
    if (state.waiting) {
        state.resume = r.element;
        state.wait = r.wait;
    }
    return std::unexpected(detail::stopped(s.error(), input));
}

/// Whether `input`, the input of a read cut short grown by what has arrived
/// since, holds what `wait` asks for, or enough of a string cut short to
/// show it longer than `max_atom_len`. The octets looked at without finding
/// either are not looked at again. What `counted` counts of each form is
/// what the reader measures it by as it goes: octets of a token, octets
/// decoded so far of a quoted string, hexadecimal digits, and base-64
/// characters up to the first octet that is neither one nor whitespace
/// (`kNoLimit` from then on: what the rest decodes to is known at its end).
inline bool ready(Wait& wait, Bytes input, const Parser& parser) {
    if (input.size() < wait.need) return false;
    const std::uint8_t* p = input.data();
    const std::uint64_t n = input.size();
    const std::uint64_t max = parser.max_atom_len;
    std::uint64_t i = wait.from;
    std::uint64_t counted = wait.counted;
    bool found = false;
    switch (wait.until) {
        case Until::Any: return true;
        case Until::Brace:
            found = std::find(p + i, p + n, '}') != p + n;
            i = n;
            break;
        case Until::Bar:
            for (; i < n && counted != kNoLimit && base64_decoded_at_least(counted) <= max; ++i) {
                if (is_base64_char(p[i])) ++counted;
                else if (!octet::is_whitespace(p[i])) counted = kNoLimit;
            }
            found = counted != kNoLimit && base64_decoded_at_least(counted) > max;
            if (!found) {
                const std::uint8_t* bar = std::find(p + wait.from, p + n, '|');
                found = bar != p + n;
            }
            i = n;
            break;
        case Until::TokenEnd: {
            const std::uint64_t from = i;
            while (i < n && octet::is_token_octet(p[i])) ++i;
            counted += i - from;
            found = i < n || counted > max;
            break;
        }
        case Until::QuoteEnd:
            while (i < n && counted <= max) {
                if (octet::is(p[i], octet::kQuotePlain) || (parser.allow_8bit_in_quoted && p[i] >= 0x80)) {
                    ++i;
                    ++counted;
                    continue;
                }
                std::uint64_t decoded = 0;
                const Escape e = p[i] == '\\' ? scan_escape(p, n, i, decoded) : Escape::Invalid;
                if (e == Escape::Incomplete) break;
                if (e == Escape::Invalid) {  // the closing quote, or a fault: the reader's to judge
                    found = true;
                    break;
                }
                counted += decoded;
            }
            found = found || counted > max;
            break;
        case Until::HexEnd:
            while (i < n && (octet::is_hex_digit(p[i]) || octet::is_whitespace(p[i])))
                counted += octet::is_hex_digit(p[i++]);
            found = i < n || counted / 2 > max;
            break;
    }
    wait.from = i;
    wait.counted = counted;
    return found;
}

template <Builder B>
ReadResult<void> Reader::transport_block(B& builder) {
    const std::uint64_t brace = pos;
    if (!parser.allow_transport) return fail(brace, ErrorKind::TransportNotAllowed);
    const std::uint64_t text = brace + 1;
    const void* close = text < input.size() ? std::memchr(input.data() + text, '}', input.size() - text) : nullptr;
    if (close == nullptr) return truncated(Until::Brace);
    const std::uint64_t end = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(close) - input.data());
    // The content is read once and dropped, so it goes to a buffer that is
    // not zeroed first: on large blocks that pass costs a third of decoding.
    const auto room = std::make_unique_for_overwrite<std::uint8_t[]>(base64::decode_room(end - text));
    auto decoded = decode_base64(input.subspan(text, end - text), text, room.get());
    if (!decoded) return std::unexpected(decoded.error());
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

template <bool More, Builder B>
ReadResult<void> Reader::elements(B& builder, std::vector<OpenList>& lists) {
    if (lists.empty()) {
        skip_whitespace();
        if (!at_end() && input[pos] == '{') {
            if constexpr (More) element = pos;
            return transport_block(builder);
        }
    }
    // The innermost open list is kept in `top`, where it can stay in
    // registers; `outer` holds the lists around it. They start as `lists`
    // says, and a read cut short hands them back there.
    ScratchStack<OpenList, kept::Slot::OpenLists> outer;
    OpenList top{};
    std::uint64_t depth = lists.size();
    if (depth != 0) {
        for (std::size_t i = 0; i + 1 < lists.size(); ++i) outer.push_back(lists[i]);
        top = lists.back();
    }
    // A token that reaches the end of the input may go on in what follows.
    const auto cut_token = [this] { return More && pos == input.size() && token_end == pos; };
    const bool advanced = parser.allow_advanced;
    // Inlined into the read, which has the loop's state at hand, rather
    // than called with it behind the captures: the lambda alone, GCC
    // reaches `top`, `depth` and `outer` through them on every octet.
    auto read = [&]<bool Advanced>() __attribute__((always_inline)) -> ReadResult<void> {
        for (;;) {
            if constexpr (Advanced) skip_whitespace();
            if constexpr (More) element = pos;
            if (at_end()) return truncated();
            switch (input[pos]) {
                case '(':
                    if (depth >= parser.max_depth) return fail(pos, ErrorKind::TooDeep);
                    if (depth++ != 0) outer.push_back(top);
                    top = OpenList{pos};
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
                    if (list.count() == 0 && !parser.allow_empty_lists)
                        return fail(list.open_offset, ErrorKind::EmptyListNotAllowed);
                    if (list.first_is_list() && !parser.allow_list_as_first_element)
                        return fail(list.open_offset, ErrorKind::ListAsFirstElementNotAllowed);
                    if (!builder.list(list.count())) return std::unexpected(BuilderFailed{});
                    if (depth == 0) return {};
                    top.add_list();
                    continue;
                }
                case '[': {
                    const std::uint64_t bracket = pos;
                    if (!parser.allow_display_hints) return fail(bracket, ErrorKind::HintNotAllowed);
                    ++pos;
                    skip_whitespace();
                    auto hint = simple_string(scratch_hint_);
                    if (!hint) return std::unexpected(hint.error());
                    if (cut_token()) return truncated(Until::TokenEnd, 0, hint->size());
                    skip_whitespace();
                    if (at_end()) return truncated();
                    if (input[pos] != ']') return fail(pos, ErrorKind::UnexpectedOctet);
                    ++pos;
                    skip_whitespace();
                    if (!at_end() && input[pos] == '(') return fail(pos, ErrorKind::HintOnList);
                    auto data = simple_string(scratch_data_);
                    if (!data) return std::unexpected(data.error());
                    if (cut_token()) return truncated(Until::TokenEnd, 0, data->size());
                    if (!builder.atom(*data, *hint)) return std::unexpected(BuilderFailed{});
                    break;
                }
                case '0':
                case '1':
                case '2':
                case '3':
                case '4':
                case '5':
                case '6':
                case '7':
                case '8':
                case '9': {
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
                    if (Advanced && octet::is_token_start(input[pos])) {
                        const std::uint64_t start = pos;
                        const Bytes t = token();
                        if (t.empty()) [[unlikely]]
                            return stopped_by_builder();
                        if (too_long_early(t.size())) return fail(start, ErrorKind::AtomTooLong);
                        if (cut_token()) return truncated(Until::TokenEnd, 0, t.size());
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
            top.add_atom();
        }
    };
    // Made twice, so that a read of the canonical representation alone
    // never asks whether whitespace or a token may come (core
    // parse_canonical of flat data 2-6% faster).
    ReadResult<void> r = advanced ? read.template operator()<true>() : read.template operator()<false>();
    if constexpr (More) {
        lists.clear();
        if (!r && ran_out(r.error()) && depth != 0) {
            lists.resize(depth);
            lists.back() = top;
            for (std::size_t i = depth - 1; i-- > 0; outer.pop_back()) lists[i] = outer.back();
        }
    }
    return r;
}

}  // namespace parvex
