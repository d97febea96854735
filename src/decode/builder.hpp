// What the reader asks of a builder, the object that turns what it reads
// into values of some kind (core values, Python objects, a checker's
// counts). A builder keeps a stack of finished values: `atom` pushes one,
// `list(n)` replaces the top n by one list holding them in order. Each step
// returns false only for a failure of the builder's own, which ends the read
// with `BuilderFailed`; the builder knows why (Python's exception, say).
#pragma once

#include <concepts>
#include <cstdint>

#include "types/sexp.hpp"

namespace parvex {

template <class B>
concept Builder = requires(B& b, Bytes s, std::uint64_t n) {
    { b.atom(s) } -> std::same_as<bool>;
    { b.atom(s, s) } -> std::same_as<bool>;  // data, then hint
    { b.list(n) } -> std::same_as<bool>;
};

/// A builder that takes a short atom faster when the window from its start
/// is readable (types/window.hpp), even past its end: `atom_overread`, which the reader calls
/// instead of `atom` wherever the input allows it.
template <class B>
concept OverreadBuilder = Builder<B> && requires(B& b, Bytes s) {
    { b.atom_overread(s) } -> std::same_as<bool>;
};

/// The read ended because the builder failed.
struct BuilderFailed {
    friend bool operator==(BuilderFailed, BuilderFailed) = default;
};

}  // namespace parvex
