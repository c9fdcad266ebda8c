// Remembered reads of module globals and of attributes of plain modules.
//
// Member code reads `os`, `re`, the classes and the like from the module
// namespace at every use, and attributes such as os.path.splitext from the
// namespaces of the modules, so that a rebinding is seen by the very next
// call. Each read is a dict lookup; here the last answer for (dict, name) is
// kept with the dict's version tag and given again while the tag is the
// same, which is to say while the dict is the same, unchanged one (see
// compat::dict_version). Any change to it, or to the built-ins for a global
// that they answered, changes a tag and sends the next read to the lookup.
//
// An entry holds no references. Its value is borrowed from the dict that
// answered, which still holds it for as long as that dict's tag is the one
// recorded; the dicts are never dereferenced through an entry except for a
// built-ins dict, and that only after the globals that lead to it (and keep
// it alive) were found unchanged. Tags come from one counter per interpreter
// and the module lives in one interpreter per process, so a dict freed and
// another made at its address cannot match a recorded tag.
#pragma once

#include <cstdint>

#include "compat.hpp"

namespace kv {

// Names must be interned names of `names`, which live for the process: an
// entry is found by the name's address.
struct CachedLookup {
    PyObject* name = nullptr;      // an interned name of `names`
    PyObject* dict = nullptr;      // the globals, or the namespace of a module
    std::uint64_t tag = 0;         // dict's version tag when answered
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
    if (!e || e->dict != globals || e->tag != compat::dict_version(globals)) return nullptr;
    if (e->builtins && e->builtins_tag != compat::dict_version(e->builtins)) return nullptr;
    return e->value;
}

// The entry of `name` in `dict`, the namespace of a module, when last looked
// up, if the dict has not changed since; null otherwise. An answer of the
// built-ins (a module whose namespace is also globals) does not count here.
inline PyObject* cached_entry(PyObject* dict, PyObject* name) noexcept {
    const CachedLookup* e = find_lookup(name);
    if (!e || e->dict != dict || e->tag != compat::dict_version(dict) || e->builtins) {
        return nullptr;
    }
    return e->value;
}

// Records an answer of a lookup just made: `value` found in `dict` itself
// (`builtins` null) or, `name` being absent from `dict`, in `builtins`. Both
// dicts must be exact dicts.
inline void remember_lookup(PyObject* dict, PyObject* name, PyObject* builtins,
                            PyObject* value) noexcept {
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
    e->tag = compat::dict_version(dict);
    e->builtins = builtins;
    e->builtins_tag = builtins ? compat::dict_version(builtins) : 0;
    e->value = value;
}

}  // namespace kv
