// The reader's options as keyword arguments, for every type built from
// them (Parser, Decoder): one table in the core (`parser_options`), read
// here into an option set, written back as a dict, and shown in text
// signatures.
#pragma once

#include <Python.h>

#include <array>
#include <string>

#include "args.hpp"
#include "decode/parser.hpp"

namespace parvex::py {

/// `canonical`, which sets no field of its own, then the options of the
/// table, in its order, which is also the order of conversion.
inline constexpr auto option_keywords = [] {
    std::array<Param, 1 + parser_options.size()> p{};
    p[0] = {"canonical", &Names::canonical};
    for (std::size_t i = 0; i < parser_options.size(); ++i) p[i + 1] = {parser_options[i].name.data(), nullptr, i};
    return p;
}();

/// The option set that `slots`, bound to `option_keywords`, ask for:
/// booleans must be bool, sizes integers, a limit that defaults to none
/// also takes None. False with an exception set, noted with the keyword and
/// what it accepts, on failure.
bool options_from_slots(PyObject* const* slots, Parser& out);

/// The same for a signature whose only parameters are `option_keywords`.
bool options_from_keywords(const Signature& sig, PyObject* args, PyObject* kwargs, Parser& out);

/// Every option as the keyword that sets it and its value, in the order of
/// the table; a new reference, or nullptr with an exception set.
PyObject* options_as_dict(const Parser& p);

/// "Name(*, canonical=False, max_depth=..., ...)": the keywords with their
/// defaults, a limit's as None where it is no limit; the leniencies, which
/// are kept out of sight, are left out.
std::string keywords_signature(const char* name);

}  // namespace parvex::py
