// Which entries of which namespaces a standard function reads, found in its
// code on the running interpreter, so that what a new release of the
// interpreter reads is covered as it is.
//
// The reading is conservative: `co_names` holds both the global names and the
// attribute names of a code object, and nothing tells them apart without
// reading the bytecode. So every name of it that the function's namespace
// holds is an entry, and so is every name that the namespace lacks and the
// built-ins answer (a global of the module made later, like
// `genericpath.OSError = ...`, shadows it). Where such an entry holds a module
// followed, every name of `co_names` that the module holds is an entry too
// (`path.islink`, `stat.S_ISLNK`, `sys.audit`). A function found so, of a
// module followed, is read the same way.
#include "gate_derive.hpp"

#include <cstring>
#include <set>
#include <utility>

namespace kv::gate::derive {

namespace {

using Ns = Modules::Namespace;

// The modules whose functions and attributes are followed. Others are read
// no further than the binding that reaches them: re's compiler and parser
// (re._compiler, sre_compile, ...), whose caches and tables are internal
// state rather than a place for a stand-in; functools and enum, which only
// wrap; and the built-ins, which every module shares.
// The second is the path module, posixpath or ntpath, whichever os.path is.
const char* const followed_names[] = {"os", "posixpath", "genericpath", "re",
                                      "fnmatch", "stat", "sys"};

// What each fast path stands in for, and the module globals that member code
// reads on its way there; everything else comes from the code.
struct Root {
    Ns ns;
    const char* name;
};
using Roots = std::vector<Root>;

const Roots splitext = {{Ns::path_ns, "splitext"}};
const Roots compile = {{Ns::re_ns, "compile"}};
const Roots exists = {{Ns::path_ns, "exists"}};
const Roots isabs = {{Ns::path_ns, "isabs"}};
const Roots getcwd = {{Ns::os_ns, "getcwd"}};
const Roots walk = {{Ns::os_ns, "walk"}, {Ns::os_ns, "path"}};
const Roots filter = {{Ns::fnmatch_ns, "filter"}, {Ns::os_ns, "path"}};
// What a construction reads: the extension, the pattern, and for
// VersionFileSystem the anchoring of a relative name.
const Roots construction_globals = {
    {Ns::globals_ns, "os"}, {Ns::globals_ns, "re"}, {Ns::globals_ns, "regex_splits"},
    {Ns::globals_ns, "VersionFileSystem"}, {Ns::os_ns, "path"},
};

Roots joined(std::initializer_list<const Roots*> parts) {
    Roots all;
    for (const Roots* part : parts) all.insert(all.end(), part->begin(), part->end());
    return all;
}

Roots roots_of(Family family) {
    switch (family) {
        case Family::splitext: return splitext;
        case Family::compile: return compile;
        case Family::exists: return exists;
        case Family::isabs: return isabs;
        case Family::getcwd: return getcwd;
        case Family::walk: return walk;
        case Family::filter: return filter;
        case Family::renumbered: {
            Roots all = joined({&construction_globals, &splitext, &compile, &exists, &isabs,
                                &getcwd});
            all.push_back({Ns::globals_ns, "Version"});
            return all;
        }
        case Family::scan_items:
            return joined({&construction_globals, &splitext, &compile, &exists, &isabs, &getcwd});
        case Family::count: break;
    }
    return {};
}

// Every name read by `code` and the code objects nested in it (functions,
// lambdas and comprehensions defined inside), which share its globals.
void names_read(PyObject* code, std::set<PyObject*>& seen_code, std::vector<Ref>& names) {
    if (!seen_code.insert(code).second) return;
    Ref co_names = Ref::check(PyObject_GetAttrString(code, "co_names"));
    if (!PyTuple_Check(co_names.get())) return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co_names.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(co_names.get(), i);
        if (PyUnicode_CheckExact(name)) names.push_back(Ref::borrow(name));
    }
    Ref consts = Ref::check(PyObject_GetAttrString(code, "co_consts"));
    if (!PyTuple_Check(consts.get())) return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item)) names_read(item, seen_code, names);
    }
}

class Deriver {
public:
    Deriver(const Modules& modules, std::vector<Entry>& entries,
            std::vector<detail::CapturedFunction>& functions)
        : modules_(modules), entries_(entries), functions_(functions) {}

    void root(const Root& root) {
        PyObject* dict = modules_.dicts[root.ns];
        Ref name = Ref::check(PyUnicode_InternFromString(root.name));
        PyObject* value = lookup(dict, name.get());
        add(dict, name.get(), value);
        if (value) follow_callable(value);
    }

private:
    PyObject* lookup(PyObject* dict, PyObject* name) {
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (!value && PyErr_Occurred()) throw PyErrOccurred();
        return value;
    }

    void add(PyObject* dict, PyObject* name, PyObject* value) {
        if (!seen_entries_.insert({dict, name}).second) return;
        entries_.push_back({Ref::borrow(dict).release(), Ref::borrow(name).release(),
                            Ref::borrow(value).release()});
    }

    // A function of a module followed, or the cache wrapper of one
    // (functools.lru_cache keeps the function it wraps in __wrapped__; what
    // it caches is not the gate's concern, as with re's caches).
    void follow_callable(PyObject* value) {
        if (PyFunction_Check(value)) {
            if (modules_.followed_namespace(PyFunction_GET_GLOBALS(value))) follow(value);
            return;
        }
        if (std::strcmp(Py_TYPE(value)->tp_name, "functools._lru_cache_wrapper") != 0) return;
        Ref wrapped = Ref::steal(PyObject_GetAttrString(value, "__wrapped__"));
        if (!wrapped) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrOccurred();
            PyErr_Clear();
            return;
        }
        if (PyFunction_Check(wrapped.get()) &&
            modules_.followed_namespace(PyFunction_GET_GLOBALS(wrapped.get()))) {
            follow(wrapped.get());
        }
    }

    void follow(PyObject* function) {
        if (!seen_functions_.insert(function).second) return;
        auto keep = [](PyObject* p) { return Ref::borrow(p).release(); };
        functions_.push_back({keep(function), keep(PyFunction_GET_CODE(function)),
                              keep(PyFunction_GET_DEFAULTS(function)),
                              keep(PyFunction_GET_KW_DEFAULTS(function))});
        std::set<PyObject*> seen_code;
        std::vector<Ref> names;
        names_read(PyFunction_GET_CODE(function), seen_code, names);
        PyObject* globals = PyFunction_GET_GLOBALS(function);
        std::set<PyObject*> seen_modules;
        for (const Ref& name : names) {
            if (PyObject* value = lookup(globals, name.get())) {
                add(globals, name.get(), value);
                follow_value(value, names, seen_modules);
            } else if (modules_.builtins && lookup(modules_.builtins, name.get())) {
                add(globals, name.get(), nullptr);
            }
        }
    }

    // A global or attribute read by code whose names are `names`: a module
    // followed gives the attributes of it that those names can reach.
    void follow_value(PyObject* value, const std::vector<Ref>& names,
                      std::set<PyObject*>& seen_modules) {
        if (!PyModule_Check(value)) {
            follow_callable(value);
            return;
        }
        PyObject* dict = PyModule_GetDict(value);
        if (!modules_.followed_namespace(dict) || !seen_modules.insert(dict).second) return;
        for (const Ref& name : names) {
            if (PyObject* attribute = lookup(dict, name.get())) {
                add(dict, name.get(), attribute);
                follow_value(attribute, names, seen_modules);
            }
        }
    }

    const Modules& modules_;
    std::vector<Entry>& entries_;
    std::vector<detail::CapturedFunction>& functions_;
    std::set<std::pair<PyObject*, PyObject*>> seen_entries_;
    std::set<PyObject*> seen_functions_;
};

// An import hook may answer with anything: what is no module has no code to
// follow, and leaves the gate closed as a missing module does.
Ref import_module(const char* name) {
    Ref module = Ref::check(PyImport_ImportModule(name));
    if (!PyModule_Check(module.get())) {
        PyErr_Format(PyExc_ImportError, "%s is not a module", name);
        throw PyErrOccurred();
    }
    return module;
}

}  // namespace

bool Modules::consistent() const {
    return PyDict_GetItemString(dicts[Ns::os_ns], "path") == followed[Ns::path_ns].get();
}

bool Modules::followed_namespace(PyObject* dict) const {
    for (const Ref& module : followed) {
        if (PyModule_GetDict(module.get()) == dict) return true;
    }
    return false;
}

bool os_path_is_ntpath(Borrowed os) {
    PyObject* ntpath = PyDict_GetItemString(PyImport_GetModuleDict(), "ntpath");
    if (!ntpath || !PyModule_Check(ntpath)) return false;
    PyObject* path = PyDict_GetItemString(PyModule_GetDict(os.get()), "path");
    return path == ntpath;
}

bool native_under_ntpath(Family family) {
    // The extension is found as genericpath._splitext finds it with both
    // slashes as separators, and re.compile does not depend on the system.
    // isabs is read for the names ntpath certainly calls absolute, and
    // exists only skipped for them (never answered by a stat of the
    // module's). The others stand in for file-system calls, os.walk's joins
    // and fnmatch's case folding, which ntpath does its own way.
    return family == Family::splitext || family == Family::compile ||
           family == Family::isabs || family == Family::exists;
}

Modules standard_modules(Borrowed globals) {
    Modules modules;
    // The first five in the order of Namespace.
    for (const char* name : followed_names) {
        if (modules.followed.size() == Ns::path_ns && os_path_is_ntpath(modules.followed[0])) {
            modules.nt_paths = true;
            name = "ntpath";
        }
        modules.followed.push_back(import_module(name));
    }
    for (unsigned i = Ns::os_ns; i < Ns::globals_ns; ++i) {
        modules.dicts[i] = PyModule_GetDict(modules.followed[i].get());
    }
    modules.dicts[Ns::globals_ns] = globals.get();
    modules.builtins_module = import_module("builtins");
    modules.builtins = PyModule_GetDict(modules.builtins_module.get());
    return modules;
}

void derive(Family family, const Modules& modules, std::vector<Entry>& entries,
            std::vector<detail::CapturedFunction>& functions) {
    Deriver deriver(modules, entries, functions);
    for (const Root& root : roots_of(family)) deriver.root(root);
}

}  // namespace kv::gate::derive
