// Interned names: made on first need, kept for the life of the process.
#include "names.hpp"

#include "once.hpp"

namespace parvex::py {

namespace {

Once<const Names> cell;

const Names* make() {
    static Names n;
    struct Entry {
        PyObject* Names::*slot;
        const char* text;
    };
    static const Entry entries[] = {
        {&Names::add_note, "add_note"},
        {&Names::dunder_name, "__name__"},
        {&Names::dunder_module, "__module__"},
        {&Names::dunder_bool, "__bool__"},
        {&Names::dunder_all, "__all__"},
        {&Names::offset, "offset"},
        {&Names::kind, "kind"},
        {&Names::numpy, "numpy"},
        {&Names::bool_, "bool_"},
        {&Names::bool_name, "bool"},
        {&Names::data, "data"},
        {&Names::hint, "hint"},
        {&Names::default_, "default"},
        {&Names::other, "other"},
        {&Names::sexp, "sexp"},
        {&Names::canonical, "canonical"},
        {&Names::max_depth, "max_depth"},
        {&Names::max_atom_len, "max_atom_len"},
        {&Names::max_input_len, "max_input_len"},
        {&Names::allow_advanced, "allow_advanced"},
        {&Names::allow_transport, "allow_transport"},
        {&Names::allow_display_hints, "allow_display_hints"},
        {&Names::allow_empty_atoms, "allow_empty_atoms"},
        {&Names::allow_empty_lists, "allow_empty_lists"},
        {&Names::allow_list_as_first_element, "allow_list_as_first_element"},
        {&Names::allow_hexadecimal, "allow_hexadecimal"},
        {&Names::allow_base64, "allow_base64"},
        {&Names::allow_lengths, "allow_lengths"},
        {&Names::allow_8bit_in_quoted, "_allow_8bit_in_quoted"},
    };
    static_assert(sizeof entries / sizeof entries[0] * sizeof(PyObject*) == sizeof(Names),
                  "every name has an entry");
    for (const Entry& e : entries) {
        if (n.*e.slot != nullptr) continue;  // kept from an earlier, failed attempt
        n.*e.slot = PyUnicode_InternFromString(e.text);
        if (n.*e.slot == nullptr) return nullptr;
    }
    return &n;
}

}  // namespace

const Names* names() { return cell.get(make); }

}  // namespace parvex::py
