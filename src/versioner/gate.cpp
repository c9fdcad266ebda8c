#include "gate.hpp"

#include <vector>

#include "ref.hpp"

namespace kv::gate {

namespace detail {
FamilyState families[static_cast<unsigned>(Family::count)];
#if KV_DICT_WATCHERS
std::uint64_t generation = 1;
#endif
}  // namespace detail

namespace {

using detail::FamilyState;

#if KV_DICT_WATCHERS
// Every event of a watched dict counts as a change: its own entries, its
// being cleared, and its end (another dict may be made at its address).
int dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++detail::generation;
    return 0;
}
int dict_watcher = -1;
#endif

// The namespaces that hold the entries.
enum Namespace : unsigned {
    os_ns, path_ns, generic_ns, re_ns, fnmatch_ns, globals_ns, namespace_count
};

struct EntryName {
    Namespace ns;
    const char* name;
};
using Entries = std::vector<EntryName>;

// What each family stands in for, and what that calls through the modules'
// namespaces, on any of the supported interpreters (a name one of them lacks
// is recorded as absent there).
const Entries splitext = {
    {path_ns, "splitext"}, {path_ns, "os"}, {os_ns, "fspath"}, {path_ns, "genericpath"},
    {generic_ns, "_splitext"},
};
const Entries compile = {{re_ns, "compile"}, {re_ns, "_compile"}};
const Entries exists = {{path_ns, "exists"}, {generic_ns, "os"}, {os_ns, "stat"}};
const Entries isabs = {
    {path_ns, "isabs"}, {path_ns, "os"}, {os_ns, "fspath"}, {path_ns, "_get_sep"},
};
const Entries getcwd = {{os_ns, "getcwd"}};
const Entries walk = {
    {os_ns, "walk"}, {os_ns, "_walk"}, {os_ns, "scandir"}, {os_ns, "fspath"},
    {os_ns, "path"}, {os_ns, "lstat"}, {path_ns, "islink"}, {path_ns, "join"},
    {path_ns, "os"}, {path_ns, "_get_sep"}, {path_ns, "genericpath"}, {generic_ns, "os"},
    {generic_ns, "_check_arg_types"},
};
const Entries filter = {
    {fnmatch_ns, "filter"}, {fnmatch_ns, "os"}, {fnmatch_ns, "posixpath"}, {fnmatch_ns, "re"},
    {fnmatch_ns, "_compile_pattern"}, {fnmatch_ns, "translate"}, {fnmatch_ns, "_translate"},
    {fnmatch_ns, "_join_translated_parts"}, {fnmatch_ns, "_nextgroupnum"}, {os_ns, "path"},
    {os_ns, "fspath"}, {path_ns, "normcase"}, {path_ns, "os"}, {re_ns, "compile"},
    {re_ns, "_compile"}, {re_ns, "escape"}, {re_ns, "sub"},
};
// What a construction reads: the extension, the pattern, and for
// VersionFileSystem the anchoring of a relative name.
const Entries construction_globals = {
    {globals_ns, "os"}, {globals_ns, "re"}, {globals_ns, "regex_splits"},
    {globals_ns, "VersionFileSystem"}, {os_ns, "path"},
};

Entries joined(std::initializer_list<const Entries*> parts) {
    Entries all;
    for (const Entries* part : parts) all.insert(all.end(), part->begin(), part->end());
    return all;
}

Entries entries_of(Family family) {
    switch (family) {
        case Family::splitext: return splitext;
        case Family::compile: return compile;
        case Family::exists: return exists;
        case Family::isabs: return isabs;
        case Family::getcwd: return getcwd;
        case Family::walk: return walk;
        case Family::filter: return filter;
        case Family::renumbered: {
            Entries all = joined({&construction_globals, &splitext, &compile, &exists, &isabs,
                                  &getcwd});
            all.push_back({globals_ns, "Version"});
            return all;
        }
        case Family::scan_items:
            return joined({&construction_globals, &splitext, &compile, &exists, &isabs, &getcwd});
        case Family::count: break;
    }
    return {};
}

// An entry and what it held at start-up (null: absent).
struct Entry {
    PyObject* dict;
    PyObject* name;
    PyObject* value;
};
std::vector<Entry> entries[static_cast<unsigned>(Family::count)];

bool entries_unchanged(const std::vector<Entry>& list) {
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

bool watch(PyObject* dict) noexcept {
#if KV_DICT_WATCHERS
    if (dict_watcher < 0) return false;
    if (PyDict_Watch(dict_watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
#else
    (void)dict;
    return true;
#endif
}

bool detail::revalidate(Family family) {
    FamilyState& state = families[static_cast<unsigned>(family)];
    if (!state.captured) return false;
    const std::vector<Entry>& list = entries[static_cast<unsigned>(family)];
    // The stamps first; nothing below runs code, so no change can slip in
    // between them and the comparison.
#if KV_DICT_WATCHERS
    state.stamp = generation;
    bool watched = true;
    for (const Entry& e : list) watched = watch(e.dict) && watched;
    state.open = watched && entries_unchanged(list);
#else
    for (unsigned i = 0; i < state.dict_count; ++i) {
        state.tags[i] = compat::dict_version(state.dicts[i]);
    }
    state.open = entries_unchanged(list);
#endif
    return state.open;
}

void capture(Borrowed globals) {
    if (detail::families[0].captured) return;
    try {
#if KV_DICT_WATCHERS
        // Once per process: the module lives in one interpreter only. When
        // other code took every id, nothing is ever watched: all closed.
        if (dict_watcher < 0) {
            dict_watcher = PyDict_AddWatcher(dict_changed);
            if (dict_watcher < 0) PyErr_Clear();
        }
#endif
        const char* module_names[] = {"os", "posixpath", "genericpath", "re", "fnmatch"};
        PyObject* dicts[namespace_count];
        std::vector<Ref> modules;
        for (unsigned i = 0; i < 5; ++i) {
            modules.push_back(Ref::check(PyImport_ImportModule(module_names[i])));
            dicts[i] = PyModule_GetDict(modules.back().get());
        }
        dicts[globals_ns] = globals.get();
        // os.path must be posixpath, or the entries say nothing of the calls.
        if (PyDict_GetItemString(dicts[os_ns], "path") != modules[path_ns].get()) return;
        std::vector<Entry> taken[static_cast<unsigned>(Family::count)];
        FamilyState states[static_cast<unsigned>(Family::count)];
        for (unsigned f = 0; f < static_cast<unsigned>(Family::count); ++f) {
            for (const EntryName& e : entries_of(static_cast<Family>(f))) {
                Ref name = Ref::check(PyUnicode_InternFromString(e.name));
                PyObject* value = PyDict_GetItemWithError(dicts[e.ns], name.get());
                if (!value && PyErr_Occurred()) throw PyErrOccurred();
                // Kept for the life of the process, like the modules.
                taken[f].push_back({Ref::borrow(dicts[e.ns]).release(), name.release(),
                                    Ref::borrow(value).release()});
#if !KV_DICT_WATCHERS
                FamilyState& state = states[f];
                bool known = false;
                for (unsigned i = 0; i < state.dict_count; ++i) {
                    known = known || state.dicts[i] == dicts[e.ns];
                }
                if (known) continue;
                if (state.dict_count == detail::max_dicts) return;
                state.dicts[state.dict_count++] = dicts[e.ns];
#endif
            }
        }
        detail::capture_classes(globals);
        for (unsigned f = 0; f < static_cast<unsigned>(Family::count); ++f) {
            entries[f] = std::move(taken[f]);
            detail::families[f] = states[f];
            detail::families[f].captured = true;
            detail::revalidate(static_cast<Family>(f));
        }
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
    }
}

}  // namespace kv::gate
