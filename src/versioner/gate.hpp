// The one place that answers "can user code intervene here?" for the fast
// paths.
//
// A fast path stands in for something the general path would do: a call of
// os, os.path, re or fnmatch, a read of a module global, an attribute lookup
// through one of the module's classes. It may run only while everything the
// general path would reach is as it was when the module was executed. The
// gate keeps a snapshot of that (entries of the module namespace and of the
// standard modules, the module's classes) and tells, per family, whether it
// still holds.
//
// How a change is learnt of: up to 3.11 from the version tags the interpreter
// keeps on dicts and types; from 3.12 on from its dict watcher, which bumps
// one counter at any change of a watched dict (the standard namespaces, the
// module's, and those of its classes), so the common check is one integer
// comparison. Where a watcher cannot be had (every id taken by other code),
// or other code cleared the module's id, nothing counts as unchanged: every
// family stays closed and every fast path takes the general path. What the
// gate compares against is its own: strong references to the namespaces and
// to what they held, so that a watcher that stops telling can cost a wrong
// "changed" or a late "unchanged", never a freed object.
//
// The entries of a family are derived from the code of the functions that
// the fast path stands in for, on the running interpreter (gate_derive.cpp):
// every name that their code objects read and that their module's namespace
// holds or the built-ins answer, through the modules os, os.path (posixpath,
// or ntpath on Windows), genericpath, re, fnmatch, stat and sys, following
// their functions transitively. A function of those modules changed in place (its __code__,
// __defaults__ or __kwdefaults__ assigned) closes its families too: from 3.12
// on a function watcher tells of it, before that the objects are compared at
// every check (a few pointers per function). Internals of other modules
// (re._compiler and re._parser or sre_*, functools, enum), the caches of re
// and fnmatch, and built-in functions are followed no further than the
// binding that reaches them.

#pragma once

#include <cstdint>
#include <initializer_list>

#include "compat.hpp"
#include "ref.hpp"

namespace kv::gate {

// ---- Changes

#if KV_DICT_WATCHERS
namespace detail {
extern std::uint64_t generation;  // bumped by the watchers
}  // namespace detail
#endif

// A number that changes whenever `dict` changes, once `watch(dict)` said yes;
// equal numbers taken of the same live dict mean it did not change between.
inline std::uint64_t stamp(PyObject* dict) noexcept {
#if KV_DICT_WATCHERS
    (void)dict;
    return detail::generation;
#else
    return compat::dict_version(dict);
#endif
}

#if KV_DICT_WATCHERS
namespace detail {
extern int dict_watcher;        // -1: none, or lost
extern bool functions_watched;  // a function watcher tells of changes in place
}  // namespace detail
#endif

// A mark of every change the gate is told of: when two marks are equal,
// whatever the gate answered at the first still holds. Only from 3.12 on,
// where the watchers tell of every change (functions changed in place
// included); 0 before, and then `unchanged_since` is always false.
inline std::uint64_t mark() noexcept {
#if KV_DICT_WATCHERS
    return detail::generation;
#else
    return 0;
#endif
}

inline bool unchanged_since(std::uint64_t mark) noexcept {
#if KV_DICT_WATCHERS
    return mark == detail::generation && detail::dict_watcher >= 0 && detail::functions_watched;
#else
    (void)mark;
    return false;
#endif
}

// Makes changes of `dict` (an exact dict) known to `stamp`; false when they
// cannot be known, and then no answer read from it may be kept.
bool watch(PyObject* dict);

// ---- Families of standard functions and module names

// Named after what the fast path stands in for.
enum class Family : unsigned {
    splitext,  // os.path.splitext, computed from the name
    compile,   // re.compile, answered from the module's pattern caches
    exists,    // os.path.exists, as one stat(2)
    isabs,     // os.path.isabs, read from the name's first character
    getcwd,    // os.getcwd, called directly or as getcwd(3)
    walk,      // os.walk, walked natively
    filter,    // fnmatch.filter, as a prefix test
    // The copy and its renumbered twin that `number in fs` builds: the
    // module globals they read (os, re, regex_splits, Version,
    // VersionFileSystem), os.path and the families of their construction.
    renumbered,
    // The items of a scan, decided from their names: the module globals
    // their construction reads and the families of that construction.
    scan_items,
    count
};

namespace detail {
// The namespaces that a family's entries live in: the module's and those of
// the standard modules followed.
inline constexpr unsigned max_dicts = 10;

// A function of a family as captured: what a change in place replaces.
struct CapturedFunction {
    PyObject* function;
    PyObject* code;
    PyObject* defaults;    // null: none
    PyObject* kwdefaults;  // null: none
};

struct FamilyState {
#if KV_DICT_WATCHERS
    std::uint64_t stamp = 0;
#else
    PyObject* dicts[max_dicts] = {};
    std::uint64_t tags[max_dicts] = {};
    unsigned dict_count = 0;
#endif
    const CapturedFunction* functions = nullptr;
    unsigned function_count = 0;
    bool open = false;
    bool captured = false;
};
extern FamilyState families[static_cast<unsigned>(Family::count)];
bool revalidate(Family family);
void capture_classes(Borrowed globals);

inline bool functions_unchanged(const FamilyState& state) noexcept {
    for (unsigned i = 0; i < state.function_count; ++i) {
        const CapturedFunction& f = state.functions[i];
        if (PyFunction_GET_CODE(f.function) != f.code ||
            PyFunction_GET_DEFAULTS(f.function) != f.defaults ||
            PyFunction_GET_KW_DEFAULTS(f.function) != f.kwdefaults) {
            return false;
        }
    }
    return true;
}

#if KV_DICT_WATCHERS
extern PyObject* watch_probe;   // a dict of the gate's own, always watched
extern std::uint64_t calls;     // calls into the module begun (call_begins)
extern std::uint64_t probed_in; // the call in which the watcher was last found set
bool watcher_lost();

// Whether the module's dict watcher is still set: other code may clear its
// id, after which no change is told of. Watching a dict again fails for a
// cleared id (a ValueError, cleared there; no other is raised). Asked once
// per call into the module: clearing it takes other code, which runs
// between calls (or in one of its own, which is a call of its own).
inline bool watcher_alive() {
    if (__builtin_expect(probed_in == calls && dict_watcher >= 0, 1)) return true;
    if (dict_watcher >= 0 && PyDict_Watch(dict_watcher, watch_probe) == 0) {
        probed_in = calls;
        return true;
    }
    return watcher_lost();
}
#endif
}  // namespace detail

// Marks the start of a call into the module (a member, a class's call, a
// scan's resume), after which the watcher is asked again.
inline void call_begins() noexcept {
#if KV_DICT_WATCHERS
    ++detail::calls;
#endif
}

// Whether every entry of `family` holds what it held at start-up (an entry
// absent then is still absent), and every function of it has the code and
// defaults it had.
inline bool open(Family family) {
    const detail::FamilyState& state = detail::families[static_cast<unsigned>(family)];
#if KV_DICT_WATCHERS
    if (__builtin_expect(state.stamp == detail::generation, 1) && detail::watcher_alive()) {
        return state.open && (detail::functions_watched || detail::functions_unchanged(state));
    }
#else
    bool same = state.captured;
    for (unsigned i = 0; same && i < state.dict_count; ++i) {
        same = compat::dict_version(state.dicts[i]) == state.tags[i];
    }
    // No tag changes when a function's attributes are assigned.
    if (same) return state.open && detail::functions_unchanged(state);
#endif
    return detail::revalidate(family);
}

inline bool open(std::initializer_list<Family> families) {
    for (Family family : families) {
        if (!open(family)) return false;
    }
    return true;
}

// ---- The module's classes

// Whether `type` is one of the module's classes with its namespace, and that
// of every class on its MRO, as at start-up: then its instances' attributes
// are plain entries of their own namespace, with no descriptor, hook or
// override in the way, and its methods are the module's own.
#if KV_DICT_WATCHERS
namespace detail {
// What was last found of each class: it holds while no watched dict has
// changed since (`stamp`) and the class's MRO is the same tuple (an
// assignment to __bases__ makes a new one).
struct ClassVerdict {
    PyTypeObject* type = nullptr;
    PyObject* mro = nullptr;
    std::uint64_t stamp = 0;
    bool unchanged = false;
};
extern ClassVerdict class_verdicts[3];
bool class_unchanged_checked(PyTypeObject* type);
}  // namespace detail

inline bool class_unchanged(PyTypeObject* type) {
    for (const detail::ClassVerdict& verdict : detail::class_verdicts) {
        if (verdict.type != type) continue;
        if (__builtin_expect(verdict.stamp == detail::generation && type->tp_mro == verdict.mro,
                             1) &&
            detail::watcher_alive()) {
            return verdict.unchanged;
        }
        break;
    }
    return detail::class_unchanged_checked(type);
}
#else
bool class_unchanged(PyTypeObject* type);
#endif

// ---- Start-up

// Takes the snapshot: the entries of every family, from the standard modules
// and the module namespace `globals`, and the classes bound there. A failure
// leaves the gate closed.
void capture(Borrowed globals);

}  // namespace kv::gate
