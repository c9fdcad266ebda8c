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
// An entry holds strong references to the dict that answered, the built-ins
// dict if they did, and the value: what it hands out stays alive whatever
// happens to the namespaces, so that a stamp that failed to change (another
// extension cleared or unwatched the gate's watcher) can cost a stale answer
// until the gate notices, never a freed object. From 3.12 on the watcher is
// checked at each answer (gate::detail::watcher_alive, one call); up to 3.11
// the tags come from one counter per interpreter that nothing else can stop.
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "gate.hpp"
#include "state.hpp"

namespace kv {

// Names must be interned names of `names`, which live for the process: an
// entry is found by the name's address.
struct CachedLookup {
    PyObject* name = nullptr;  // an interned name of `names`
    Immortal dict;             // the globals, or the namespace of a module
    std::uint64_t tag = 0;     // dict's stamp when answered
    Immortal builtins;         // the built-ins dict that answered a global, else null
    std::uint64_t builtins_tag = 0;
    Immortal value;
};

inline bool lookup_stamps_trusted() {
#if KV_DICT_WATCHERS
    return gate::detail::watcher_alive();
#else
    return true;
#endif
}

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
inline PyObject* cached_global(PyObject* globals, PyObject* name) {
    const CachedLookup* e = find_lookup(name);
    if (!e || e->dict.get() != globals || e->tag != gate::stamp(globals)) return nullptr;
    if (e->builtins.get() && e->builtins_tag != gate::stamp(e->builtins.get())) return nullptr;
    if (!lookup_stamps_trusted()) return nullptr;
    return e->value.get();
}

// The entry of `name` in `dict`, the namespace of a module, when last looked
// up, if the dict has not changed since; null otherwise. An answer of the
// built-ins (a module whose namespace is also globals) does not count here.
inline PyObject* cached_entry(PyObject* dict, PyObject* name) {
    const CachedLookup* e = find_lookup(name);
    if (!e || e->dict.get() != dict || e->tag != gate::stamp(dict) || e->builtins.get() ||
        !lookup_stamps_trusted()) {
        return nullptr;
    }
    return e->value.get();
}

// Records an answer of a lookup just made: `value` found in `dict` itself
// (`builtins` null) or, `name` being absent from `dict`, in `builtins`. Both
// dicts must be exact dicts.
inline void remember_lookup(PyObject* dict, PyObject* name, PyObject* builtins,
                            PyObject* value) {
    if (!gate::watch(dict) || (builtins && !gate::watch(builtins))) return;
    CachedLookup* window = lookup_window_of(name);
    CachedLookup* e = window;  // a full window: the first entry makes room
    for (unsigned i = 0; i < lookup_window; ++i) {
        if (window[i].name == name || !window[i].name) {
            e = &window[i];
            break;
        }
    }
    // What the entry held goes once it is whole again: letting go may run
    // code that reads it.
    Ref old_dict = e->dict.exchange(Ref::borrow(dict));
    Ref old_builtins = e->builtins.exchange(Ref::borrow(builtins));
    Ref old_value = e->value.exchange(Ref::borrow(value));
    e->name = name;
    e->tag = gate::stamp(dict);
    e->builtins_tag = builtins ? gate::stamp(builtins) : 0;
}

}  // namespace kv
