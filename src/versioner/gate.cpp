#include "gate.hpp"

#include <vector>

#include "ref.hpp"

namespace kv::gate {

namespace detail {
FamilyState families[static_cast<unsigned>(Family::count)];
}  // namespace detail

namespace {

using detail::FamilyState;

// The modules whose namespaces hold the entries.
enum Module : unsigned { os_module, path_module, generic_module, re_module, fnmatch_module };

struct EntryName {
    Module module;
    const char* name;
};

// What each family stands in for, and what that calls through the modules'
// namespaces, on any of the supported interpreters (a name one of them
// lacks is recorded as absent there).
const std::vector<EntryName>& entries_of(Family family) {
    static const std::vector<EntryName> splitext = {
        {path_module, "splitext"}, {path_module, "os"}, {os_module, "fspath"},
        {path_module, "genericpath"}, {generic_module, "_splitext"},
    };
    static const std::vector<EntryName> compile = {
        {re_module, "compile"}, {re_module, "_compile"},
    };
    static const std::vector<EntryName> exists = {
        {path_module, "exists"}, {generic_module, "os"}, {os_module, "stat"},
    };
    static const std::vector<EntryName> isabs = {
        {path_module, "isabs"}, {path_module, "os"}, {os_module, "fspath"},
        {path_module, "_get_sep"},
    };
    static const std::vector<EntryName> getcwd = {
        {os_module, "getcwd"},
    };
    static const std::vector<EntryName> walk = {
        {os_module, "walk"}, {os_module, "_walk"}, {os_module, "scandir"},
        {os_module, "fspath"}, {os_module, "path"}, {os_module, "lstat"},
        {path_module, "islink"}, {path_module, "join"}, {path_module, "os"},
        {path_module, "_get_sep"}, {path_module, "genericpath"}, {generic_module, "os"},
        {generic_module, "_check_arg_types"},
    };
    static const std::vector<EntryName> filter = {
        {fnmatch_module, "filter"}, {fnmatch_module, "os"}, {fnmatch_module, "posixpath"},
        {fnmatch_module, "re"}, {fnmatch_module, "_compile_pattern"},
        {fnmatch_module, "translate"}, {fnmatch_module, "_translate"},
        {fnmatch_module, "_join_translated_parts"}, {fnmatch_module, "_nextgroupnum"},
        {os_module, "path"}, {os_module, "fspath"}, {path_module, "normcase"},
        {path_module, "os"}, {re_module, "compile"}, {re_module, "_compile"},
        {re_module, "escape"}, {re_module, "sub"},
    };
    switch (family) {
        case Family::splitext: return splitext;
        case Family::compile: return compile;
        case Family::exists: return exists;
        case Family::isabs: return isabs;
        case Family::getcwd: return getcwd;
        case Family::walk: return walk;
        case Family::filter: return filter;
        case Family::count: break;
    }
    return getcwd;
}

// An entry and what it held at start-up (null: absent).
struct Entry {
    PyObject* dict;
    PyObject* name;
    PyObject* value;
};
std::vector<Entry> entries[static_cast<unsigned>(Family::count)];

bool entries_unchanged(const std::vector<Entry>& list) noexcept {
    if (list.empty()) return false;
    for (const Entry& e : list) {
        PyObject* now = PyDict_GetItemWithError(e.dict, e.name);
        if (!now && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (now != e.value) return false;
    }
    return true;
}

}  // namespace

bool detail::revalidate(Family family) noexcept {
    FamilyState& state = families[static_cast<unsigned>(family)];
    // The tags first: a change while comparing (there is none: nothing
    // here runs code) would only be caught by the next call.
    for (unsigned i = 0; i < state.dict_count; ++i) {
        state.dicts[i].tag = compat::dict_version(state.dicts[i].dict);
    }
    state.open = entries_unchanged(entries[static_cast<unsigned>(family)]);
    return state.open;
}

void capture() noexcept {
    if (!entries[0].empty()) return;
    try {
        const char* module_names[] = {"os", "posixpath", "genericpath", "re", "fnmatch"};
        PyObject* dicts[5];
        std::vector<Ref> modules;
        for (unsigned i = 0; i < 5; ++i) {
            modules.push_back(Ref::check(PyImport_ImportModule(module_names[i])));
            dicts[i] = PyModule_GetDict(modules.back().get());
        }
        // os.path must be posixpath, and the modules must reach one another
        // as imported here, or the entries say nothing of the calls.
        PyObject* os_path = PyDict_GetItemString(dicts[os_module], "path");
        if (os_path != modules[path_module].get()) return;
        std::vector<Entry> taken[static_cast<unsigned>(Family::count)];
        FamilyState states[static_cast<unsigned>(Family::count)];
        for (unsigned f = 0; f < static_cast<unsigned>(Family::count); ++f) {
            for (const EntryName& e : entries_of(static_cast<Family>(f))) {
                Ref name = Ref::check(PyUnicode_InternFromString(e.name));
                PyObject* value = PyDict_GetItemWithError(dicts[e.module], name.get());
                if (!value && PyErr_Occurred()) throw PyErrOccurred();
                // Kept for the life of the process, like the modules.
                taken[f].push_back({Ref::borrow(dicts[e.module]).release(), name.release(),
                                    Ref::borrow(value).release()});
                FamilyState& state = states[f];
                bool known = false;
                for (unsigned i = 0; i < state.dict_count; ++i) {
                    known = known || state.dicts[i].dict == dicts[e.module];
                }
                if (known) continue;
                if (state.dict_count == detail::max_dicts) return;
                state.dicts[state.dict_count++].dict = dicts[e.module];
            }
        }
        for (unsigned f = 0; f < static_cast<unsigned>(Family::count); ++f) {
            entries[f] = std::move(taken[f]);
            detail::families[f] = states[f];
            detail::revalidate(static_cast<Family>(f));
        }
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
    }
}

}  // namespace kv::gate
