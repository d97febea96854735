// The display form of errors, and compile-time checks that the error table
// lists every kind once, in order, with kind strings derived from the names.
#include "decode/error.hpp"

#include <charconv>

namespace parvex {

namespace {

// "InvalidBase64" -> "invalid_base64": an underscore before every capital
// but the first; digits are kept as they are.
constexpr bool derived_kind_string(std::string_view name, std::string_view kind) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') {
            if (i != 0) {
                if (j >= kind.size() || kind[j++] != '_') return false;
            }
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (j >= kind.size() || kind[j++] != c) return false;
    }
    return j == kind.size();
}

constexpr bool table_is_consistent() {
    for (std::size_t i = 0; i < error_table.size(); ++i) {
        if (static_cast<std::size_t>(error_table[i].kind) != i) return false;
        if (!derived_kind_string(error_table[i].name, error_table[i].kind_string)) return false;
        if (error_table[i].message.empty()) return false;
    }
    return true;
}

static_assert(table_is_consistent(), "error table out of order or misspelt");
static_assert(static_cast<std::size_t>(ErrorKind::LengthNotAllowed) + 1 == error_table.size());
static_assert(sizeof(ErrorKind) == 1);

}  // namespace

std::string describe(const Error& e) {
    std::string_view m = message(e.kind);
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, e.offset);
    (void)ec;  // 24 characters hold any 64-bit value
    std::string out;
    out.reserve(m.size() + 11 + static_cast<std::size_t>(end - digits));
    out.append(m).append(" at offset ").append(digits, end);
    return out;
}

}  // namespace parvex
