// The builder that gives the reader's output as core values. A builder
// keeps a stack of finished values: `atom` pushes one, `list(n)` replaces
// the top n by one list holding them in order. Each returns false only for
// a failure of the builder's own.
#pragma once

#include <iterator>

#include "types/sexp.hpp"

namespace parvex {

class SexpBuilder {
public:
    /// `input_len` sizes the stack of finished values up front: an element
    /// takes two octets at the least, and a reservation that is never
    /// touched costs nothing, while growing would move every value.
    explicit SexpBuilder(std::size_t input_len) { values_.reserve(input_len / 2 + 1); }

    bool atom(Bytes data) {
        values_.emplace_back(data);
        return true;
    }
    bool atom(Bytes data, Bytes hint) {
        values_.emplace_back(data, hint);
        return true;
    }
    bool list(std::uint64_t count) {
        const auto first = values_.end() - static_cast<std::ptrdiff_t>(count);
        Sexp::List items(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
        values_.erase(first, values_.end());
        values_.emplace_back(std::move(items));
        return true;
    }
    /// The value on top of the stack.
    Sexp take() {
        Sexp v = std::move(values_.back());
        values_.pop_back();
        return v;
    }

private:
    Sexp::List values_;
};

}  // namespace parvex
