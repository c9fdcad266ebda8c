// The entries of the gate's families, found in the code of the standard
// functions that the fast paths stand in for (see gate.hpp).
#pragma once

#include <vector>

#include "gate.hpp"

namespace kv::gate::derive {

// An entry and what it held at start-up (null: absent, a name that the
// built-ins answered). The references are kept for the life of the process,
// like the modules.
struct Entry {
    PyObject* dict;
    PyObject* name;
    PyObject* value;
};

// The namespaces that the families start from, and the modules whose
// functions and attributes are followed.
struct Modules {
    enum Namespace : unsigned {
        os_ns, path_ns, generic_ns, re_ns, fnmatch_ns, globals_ns, namespace_count
    };
    std::vector<Ref> followed;  // the modules whose code is read
    PyObject* dicts[namespace_count] = {};
    Ref builtins_module;
    PyObject* builtins = nullptr;  // its dict
    bool nt_paths = false;  // the path module followed is ntpath

    // Whether os.path is the path module followed: else the entries say
    // nothing of the calls.
    bool consistent() const;
    // Whether `dict` is the namespace of a module followed.
    bool followed_namespace(PyObject* dict) const;
};

Modules standard_modules(Borrowed globals);

// Whether os.path, in the module `os`, is the standard ntpath (as on
// Windows): then the path functions follow its rules. Imports nothing.
bool os_path_is_ntpath(Borrowed os);

// Whether `family` has a native counterpart under ntpath's rules. The others
// stay closed where os.path is ntpath: the general path runs there.
bool native_under_ntpath(Family family);

// Fills `entries` and `functions` with what `family` reads.
void derive(Family family, const Modules& modules, std::vector<Entry>& entries,
            std::vector<detail::CapturedFunction>& functions);

}  // namespace kv::gate::derive
