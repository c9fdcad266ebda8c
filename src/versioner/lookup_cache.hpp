// Remembered reads of module globals and of attributes of plain modules.
//
// Member code reads `os`, `re`, the classes and the like from the module
// namespace at every use, and attributes such as os.path.splitext from the
// namespaces of the modules, so that a rebinding is seen by the very next
// call. Each read is a dict lookup; here the last answer for (dict, name) is
// kept with the dict's stamp (gate.hpp) and given again while the stamp is
// the same, which is to say while the dict is the same, unchanged one. Any
// change to it, or to the built-ins for a global that they answered, changes
// a stamp and sends the next read to the lookup. A dict whose changes cannot
// be known (gate::watch) is never answered from here.
//
// An entry holds no references. Its value is borrowed from the dict that
// answered, which still holds it for as long as that dict's tag is the one
// recorded; the dicts are never dereferenced through an entry except for a
// built-ins dict, and that only after the globals that lead to it (and keep
// it alive) were found unchanged. A dict freed and another made at its
// address cannot match a recorded stamp: up to 3.11 the tags come from one
// counter per interpreter (and the module lives in one interpreter per
// process); from 3.12 on the freeing of a watched dict is a change.
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "gate.hpp"

namespace kv {

// Names must be interned names of `names`, which live for the process: an
// entry is found by the name's address.
struct CachedLookup {
    PyObject* name = nullptr;      // an interned name of `names`
    PyObject* dict = nullptr;      // the globals, or the namespace of a module
    std::uint64_t tag = 0;         // dict's stamp when answered
    PyObject* builtins = nullptr;  // the built-ins dict that answered a global, else null
    std::uint64_t builtins_tag = 0;
    PyObject* value = nullptr;     // borrowed, see above
};

// One entry per name, in the first free place of a short window that starts
// at a place given by the name's address. The module reads a few dozen names,
// each from one namespace, so every name keeps its entry, whatever addresses
// the names and namespaces happen to have; another namespace read under the
// same name (a stand-in module) replaces what the entry held.
inline constexpr unsigned lookup_cache_bits = 8;
inline constexpr unsigned lookup_window = 4;
extern CachedLookup lookup_cache[(1u << lookup_cache_bits) + lookup_window - 1];

inline CachedLookup* lookup_window_of(PyObject* name) noexcept {
    const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name));
    return &lookup_cache[(key * 0x9E3779B97F4A7C15ull) >> (64 - lookup_cache_bits)];
}

// The entry of `name`, or null when it has none.
inline const CachedLookup* find_lookup(PyObject* name) noexcept {
    CachedLookup* e = lookup_window_of(name);
    for (unsigned i = 0; i < lookup_window; ++i, ++e) {
        if (e->name == name) return e;
    }
    return nullptr;
}

// The value that global `name` had in `globals`, or failing that in their
// built-ins, when last looked up, if neither dict has changed since; null
// otherwise.
inline PyObject* cached_global(PyObject* globals, PyObject* name) noexcept {
    const CachedLookup* e = find_lookup(name);
    if (!e || e->dict != globals || e->tag != gate::stamp(globals)) return nullptr;
    if (e->builtins && e->builtins_tag != gate::stamp(e->builtins)) return nullptr;
    return e->value;
}

// The entry of `name` in `dict`, the namespace of a module, when last looked
// up, if the dict has not changed since; null otherwise. An answer of the
// built-ins (a module whose namespace is also globals) does not count here.
inline PyObject* cached_entry(PyObject* dict, PyObject* name) noexcept {
    const CachedLookup* e = find_lookup(name);
    if (!e || e->dict != dict || e->tag != gate::stamp(dict) || e->builtins) {
        return nullptr;
    }
    return e->value;
}

// Records an answer of a lookup just made: `value` found in `dict` itself
// (`builtins` null) or, `name` being absent from `dict`, in `builtins`. Both
// dicts must be exact dicts.
inline void remember_lookup(PyObject* dict, PyObject* name, PyObject* builtins,
                            PyObject* value) noexcept {
    if (!gate::watch(dict) || (builtins && !gate::watch(builtins))) return;
    CachedLookup* window = lookup_window_of(name);
    CachedLookup* e = window;  // a full window: the first entry makes room
    for (unsigned i = 0; i < lookup_window; ++i) {
        if (window[i].name == name || !window[i].name) {
            e = &window[i];
            break;
        }
    }
    e->name = name;
    e->dict = dict;
    e->tag = gate::stamp(dict);
    e->builtins = builtins;
    e->builtins_tag = builtins ? gate::stamp(builtins) : 0;
    e->value = value;
}

}  // namespace kv
