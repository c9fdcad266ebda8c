#include "gate.hpp"

#include <algorithm>
#include <vector>

#include "gate_derive.hpp"
#include "ref.hpp"

namespace kv::gate {

namespace detail {
FamilyState families[static_cast<unsigned>(Family::count)];
#if KV_DICT_WATCHERS
std::uint64_t generation = 1;
int dict_watcher = -1;
PyObject* watch_probe = nullptr;
std::uint64_t calls = 1;
std::uint64_t probed_in = 0;
bool functions_watched = false;
#endif
}  // namespace detail

namespace {

using detail::CapturedFunction;
using detail::FamilyState;

// Clears the error set when it is a `kind`; else it stays and is raised.
void clear_only(PyObject* kind) {
    if (!PyErr_ExceptionMatches(kind)) throw PyErrOccurred();
    PyErr_Clear();
}

// What each family holds, kept for the life of the process like the modules:
// entries with the namespace, the name and what it held (null: absent), and
// the functions as captured.
std::vector<derive::Entry> entries[static_cast<unsigned>(Family::count)];
std::vector<CapturedFunction> functions[static_cast<unsigned>(Family::count)];

#if KV_DICT_WATCHERS
// Told of by the probes of `revalidate`, which change the gate's own dict and
// function to learn that the watchers still answer: that a cleared id was
// taken again by other code shows only so.
std::uint64_t probes_seen = 0;
PyObject* function_probe = nullptr;
int function_watcher = -1;
std::vector<PyObject*> watched_functions;  // sorted

// Every event of a watched dict counts as a change: its own entries, its
// being cleared, and its end (another dict may be made at its address).
int dict_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (dict == detail::watch_probe) {
        ++probes_seen;
    } else {
        ++detail::generation;
    }
    return 0;
}

// Called for every function of the interpreter made and ended too: those
// events go first.
int function_changed(PyFunction_WatchEvent event, PyFunctionObject* function,
                     PyObject*) noexcept {
    if (event != PyFunction_EVENT_MODIFY_CODE && event != PyFunction_EVENT_MODIFY_DEFAULTS &&
        event != PyFunction_EVENT_MODIFY_KWDEFAULTS) {
        return 0;
    }
    auto* f = reinterpret_cast<PyObject*>(function);
    if (f == function_probe) {
        ++probes_seen;
    } else if (std::binary_search(watched_functions.begin(), watched_functions.end(), f)) {
        ++detail::generation;
    }
    return 0;
}

// Whether both watchers still tell of changes: each is made to see one of
// the gate's own. A function watcher that no longer does leaves the
// comparison of functions at every check.
void probe_watchers() {
    if (detail::dict_watcher >= 0) {
        const std::uint64_t before = probes_seen;
        // A watcher's own failure is not reported here (the interpreter
        // reports it as unraisable): a failure is the caller's, a
        // MemoryError, and says nothing of the watcher.
        Ref value = Ref::check(PyLong_FromUnsignedLongLong(before));
        require_status(PyDict_SetItem(detail::watch_probe, Py_None, value.get()));
        if (probes_seen == before) detail::watcher_lost();
    }
    if (detail::functions_watched) {
        const std::uint64_t before = probes_seen;
        PyObject* defaults = PyFunction_GET_DEFAULTS(function_probe);
        Ref next = defaults ? Ref::none() : Ref::check(PyTuple_New(0));
        require_status(PyFunction_SetDefaults(function_probe, next.get()));
        if (probes_seen == before) detail::functions_watched = false;
    }
}

void start_watchers() {
    // Once per process: the module lives in one interpreter only. When
    // other code took every dict watcher id, nothing is ever watched: all
    // closed.
    if (detail::dict_watcher >= 0) return;
    detail::watch_probe = Ref::check(PyDict_New()).release();
    detail::dict_watcher = PyDict_AddWatcher(dict_changed);
    if (detail::dict_watcher < 0) {
        clear_only(PyExc_RuntimeError);  // every id taken
        return;
    }
    if (PyDict_Watch(detail::dict_watcher, detail::watch_probe) < 0) throw PyErrOccurred();
    Ref globals = Ref::check(PyDict_New());
    Ref code = Ref::check(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", 0)));
    function_probe = Ref::check(PyFunction_New(code.get(), globals.get())).release();
    function_watcher = PyFunction_AddWatcher(function_changed);
    if (function_watcher < 0) {
        clear_only(PyExc_RuntimeError);  // every id taken
    } else {
        detail::functions_watched = true;
    }
}
#endif

bool entries_unchanged(const std::vector<derive::Entry>& list) {
    for (const derive::Entry& e : list) {
        // A key's __eq__ may fail: the general path's read fails so too.
        PyObject* now = PyDict_GetItemWithError(e.dict, e.name);
        if (!now && PyErr_Occurred()) throw PyErrOccurred();
        if (now != e.value) return false;
    }
    return true;
}

}  // namespace

#if KV_DICT_WATCHERS
bool detail::watcher_lost() {
    // The error of watching with a cleared id says only that it is gone.
    if (PyErr_Occurred()) clear_only(PyExc_ValueError);
    if (dict_watcher >= 0) {
        dict_watcher = -1;
        ++generation;  // what was remembered under the watcher is not trusted
    }
    return false;
}
#endif

bool watch(PyObject* dict) {
#if KV_DICT_WATCHERS
    if (detail::dict_watcher < 0) return false;
    if (PyDict_Watch(detail::dict_watcher, dict) == 0) return true;
    clear_only(PyExc_ValueError);  // the id was cleared by other code
    return false;
#else
    (void)dict;
    return true;
#endif
}

bool detail::revalidate(Family family) {
    FamilyState& state = families[static_cast<unsigned>(family)];
    if (!state.captured) return false;
    const std::vector<derive::Entry>& list = entries[static_cast<unsigned>(family)];
    // The stamps first; nothing below runs code of others, so no change can
    // slip in between them and the comparison.
#if KV_DICT_WATCHERS
    // A failure of the probe (memory) is the caller's to raise; the stamp
    // stays behind, so the next check revalidates.
    probe_watchers();
    state.stamp = generation;
    bool watched = dict_watcher >= 0;
    for (const derive::Entry& e : list) watched = watched && watch(e.dict);
    state.open = watched && entries_unchanged(list) && functions_unchanged(state);
    return state.open;
#else
    for (unsigned i = 0; i < state.dict_count; ++i) {
        state.tags[i] = compat::dict_version(state.dicts[i]);
    }
    state.open = entries_unchanged(list);
    return state.open && functions_unchanged(state);
#endif
}

void capture(Borrowed globals) {
    static bool captured = false;  // once per process, as the modules live
    if (captured) return;
    // A standard module that cannot be imported (removed from the
    // installation, or refused by an import hook) leaves the gate closed and
    // the module on its general path; any other failure fails the import.
    try {
#if KV_DICT_WATCHERS
        start_watchers();
#endif
        derive::Modules modules = derive::standard_modules(globals);
        // os.path must be the path module followed, or the entries say
        // nothing of the calls. Where it is ntpath (Windows), only the
        // families with a native counterpart under its rules are captured;
        // the others stay closed, and their calls go through the standard
        // functions as written (ntpath, case-blind fnmatch).
        if (!modules.consistent()) return;
        std::vector<derive::Entry> taken[static_cast<unsigned>(Family::count)];
        std::vector<CapturedFunction> taken_functions[static_cast<unsigned>(Family::count)];
        FamilyState states[static_cast<unsigned>(Family::count)];
        auto closed_here = [&](unsigned f) {
            return modules.nt_paths && !derive::native_under_ntpath(static_cast<Family>(f));
        };
        for (unsigned f = 0; f < static_cast<unsigned>(Family::count); ++f) {
            if (closed_here(f)) continue;
            derive::derive(static_cast<Family>(f), modules, taken[f], taken_functions[f]);
#if !KV_DICT_WATCHERS
            FamilyState& state = states[f];
            for (const derive::Entry& e : taken[f]) {
                bool known = false;
                for (unsigned i = 0; i < state.dict_count; ++i) {
                    known = known || state.dicts[i] == e.dict;
                }
                if (known) continue;
                if (state.dict_count == detail::max_dicts) return;
                state.dicts[state.dict_count++] = e.dict;
            }
#endif
        }
        detail::capture_classes(globals);
#if KV_DICT_WATCHERS
        for (const auto& list : taken_functions) {
            for (const CapturedFunction& c : list) watched_functions.push_back(c.function);
        }
        std::sort(watched_functions.begin(), watched_functions.end());
        watched_functions.erase(std::unique(watched_functions.begin(), watched_functions.end()),
                                watched_functions.end());
#endif
        for (unsigned f = 0; f < static_cast<unsigned>(Family::count); ++f) {
            if (closed_here(f)) continue;
            entries[f] = std::move(taken[f]);
            functions[f] = std::move(taken_functions[f]);
            detail::families[f] = states[f];
            detail::families[f].functions = functions[f].data();
            detail::families[f].function_count = static_cast<unsigned>(functions[f].size());
            detail::families[f].captured = true;
            detail::revalidate(static_cast<Family>(f));
        }
        captured = true;
    } catch (const PyErrOccurred&) {
        clear_only(PyExc_ImportError);
    }
}

}  // namespace kv::gate
