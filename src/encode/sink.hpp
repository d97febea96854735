// Writers take a value as a sequence of events: a list opens, an atom, a
// list closes. A sink receives them (the sizing and writing halves of each
// writer); `walk` produces them from a core value with an explicit stack,
// and the Python binding from Python objects. An output is where a
// writer's octets go. Both contracts are concepts, and every sink or output
// states the ones it meets with a static_assert, so that a capability
// misspelt in an implementation fails to compile instead of silently
// turning a fast path off.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "types/sexp.hpp"
#include "types/window.hpp"

namespace parvex::encode {

/// Receives the events of a value, depth first. A hinted atom is one event:
/// `atom(data, hint)`.
template <class S>
concept Sink = requires(S& s, Bytes b) {
    s.open();
    s.close();
    s.atom(b);
    s.atom(b, b);
};

/// Hintless atoms whose window before their end is readable, its own octets
/// among them (types/window.hpp), given one at a time: `next(b)` sets `b` to
/// the next one and returns true, or returns false where they end.
/// `most()` bounds how many are left.
template <class R>
concept BackedRun = requires(R& r, const R& c, Bytes& b) {
    { r.next(b) } -> std::same_as<bool>;
    { c.most() } -> std::same_as<std::size_t>;
};

/// A run that ends at once: what `BackedSink` is checked with.
struct EmptyRun {
    bool next(Bytes&) { return false; }
    std::size_t most() const { return 0; }
};

/// A sink that also takes such atoms, one (`backed_atom`) or a run of them
/// (`backed_atoms`, which a writer takes with its place in the output held
/// in registers: every octet it stores may alias any object in memory, so a
/// place kept in one would be reloaded after each atom).
template <class S>
concept BackedSink = Sink<S> && requires(S& s, Bytes b, EmptyRun r) {
    s.backed_atom(b);
    s.backed_atoms(r);
};

/// Where a writer's octets go. `octet` and `octets` append; `room(n)` gives
/// a pointer to at least `n` writable octets where the output goes on, or
/// nullptr where the output cannot offer that many at once (a buffer of
/// fixed size near its end), and `commit(end)` makes what was written there
/// up to `end` part of the output. Octets written past `end` are scratch
/// that later output overwrites, which lets short strings be stored in
/// whole words.
template <class O>
concept Output = requires(O& o, std::uint8_t c, const std::uint8_t* p, std::size_t n, std::uint8_t* end) {
    o.octet(c);
    o.octets(p, n);
    { o.room(n) } -> std::same_as<std::uint8_t*>;
    o.commit(end);
};

/// An output that can also take a long run of octets that stays where it
/// is until the output is finished (`defer`): it writes the run's text
/// then, straight into the result, instead of copying the octets twice.
template <class O>
concept DeferringOutput = Output<O> && requires(O& o, Bytes b) { o.defer(b); };

/// Runs at least this long are deferred where the output can.
inline constexpr std::size_t kDeferFrom = 16 * 1024;

template <Sink S>
void emit_atom(S& sink, const Atom& a) {
    if (a.hint) sink.atom(Bytes(a.data), Bytes(*a.hint));
    else sink.atom(Bytes(a.data));
}

/// Sends the events of `value` to `sink`, depth first, without recursion.
template <Sink S>
void walk(const Sexp& value, S& sink) {
    std::vector<const Sexp*> stack{&value};  // nullptr closes a list
    while (!stack.empty()) {
        const Sexp* v = stack.back();
        stack.pop_back();
        if (v == nullptr) {
            sink.close();
        } else if (v->is_atom()) {
            emit_atom(sink, v->atom());
        } else {
            sink.open();
            stack.push_back(nullptr);
            const Sexp::List& items = v->list();
            for (std::size_t i = items.size(); i-- > 0;) stack.push_back(&items[i]);
        }
    }
}

}  // namespace parvex::encode
