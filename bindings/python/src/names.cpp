// Interned names: made on first need, kept for the life of the process.
#include "names.hpp"

#include "once.hpp"

namespace parvex::py {

namespace {

Once<const Names> cell;

const Names* make() {
    static Names n;
    struct Entry {
        PyObject* Names::* slot;
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
        {&Names::read, "read"},
        {&Names::ended, "ended"},
        {&Names::chunk_size, "chunk_size"},
    };
    static_assert((sizeof entries / sizeof entries[0] + parser_options.size()) * sizeof(PyObject*) == sizeof(Names),
                  "every name has an entry");
    for (const Entry& e : entries) {
        if (n.*e.slot != nullptr) continue;  // kept from an earlier, failed attempt
        n.*e.slot = PyUnicode_InternFromString(e.text);
        if (n.*e.slot == nullptr) return nullptr;
    }
    for (std::size_t i = 0; i < parser_options.size(); ++i) {
        if (n.options[i] != nullptr) continue;
        n.options[i] = PyUnicode_InternFromString(keyword(parser_options[i]).c_str());
        if (n.options[i] == nullptr) return nullptr;
    }
    return &n;
}

}  // namespace

const Names* names() { return cell.get(make); }

}  // namespace parvex::py
