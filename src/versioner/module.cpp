// The module frame: entry point, create and exec steps, and the module body.
//
// What the body does, written as the Python it stands for (the numbers are
// the lines that traceback entries "init kestrum.versioner" carry):
//
//   2  import os
//   3  import re
//   4  import fnmatch
//   5  from .errors import (NoValidVersion, NoVersionNumber,
//   6                        VersionZero, ExceededPaddingVersion)
//   8  regex_splits = "(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)"
//  11  class BaseVersion(object): ...
// 102  class Version(BaseVersion): ...
// 130  class VersionFileSystem(BaseVersion): ...
#include <atomic>
#include <new>
#include <cstdio>
#include <cstdlib>

#include "classes.hpp"
#include "exit_watch.hpp"
#include "fast_paths.hpp"
#include "gate.hpp"
#include "function.hpp"
#include "query_scan.hpp"
#include "scan_generator.hpp"
#include "state.hpp"
#include "traceback.hpp"
#include "walk_core.hpp"

namespace kv {
namespace {

constexpr const char* body_name = "init kestrum.versioner";
constexpr const char* name_template = "(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)";

// The interpreter that first created the module; -1 until then.
std::atomic<int64_t> owner_interpreter{-1};

// The module object, from the start of a successful exec step on; forgotten
// again when the exec step fails.
Immortal the_module;

// `import name`, tried first as a submodule of the package (so that a
// module of the same name inside the package wins), then at the top level.
Ref import_module(Borrowed name, Borrowed globals) {
    PyObject* module = PyImport_ImportModuleLevelObject(name.get(), globals.get(), nullptr,
                                                        nullptr, 1);
    if (module) return Ref::steal(module);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyErrOccurred();
    PyErr_Clear();
    return Ref::check(
        PyImport_ImportModuleLevelObject(name.get(), globals.get(), nullptr, nullptr, 0));
}

void import_errors(Frame& body) {
    Borrowed exception_names[] = {names.NoValidVersion, names.NoVersionNumber, names.VersionZero,
                                  names.ExceededPaddingVersion};
    body.at(5);
    Ref fromlist = tuple(exception_names[0], exception_names[1], exception_names[2],
                         exception_names[3]);
    Ref errors = Ref::check(PyImport_ImportModuleLevelObject(names.errors, body.globals().get(),
                                                             nullptr, fromlist.get(), 1));
    int index = 0;
    for (Borrowed name : exception_names) {
        body.at(5);
        PyObject* value = PyObject_GetAttr(errors.get(), name.get());
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrOccurred();
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
            throw PyErrOccurred();
        }
        Ref exception_class = Ref::steal(value);
        body.at(index < 2 ? 5 : 6);
        setitem(body.globals(), name, exception_class);
        ++index;
    }
}

void run_body(Frame& body) {
    Borrowed globals = body.globals();
    body.at(2);
    setitem(globals, names.os, import_module(names.os, globals));
    body.at(3);
    setitem(globals, names.re, import_module(names.re, globals));
    body.at(4);
    setitem(globals, names.fnmatch, import_module(names.fnmatch, globals));
    import_errors(body);
    body.at(8);
    setitem(globals, names.regex_splits, text(name_template));

    body.at(base_version_class.line);
    Ref object_bases = tuple(builtins.object);
    create_class(body, base_version_class, object_bases);

    body.at(version_class.line);
    Ref version_bases = tuple(body.global(names.BaseVersion));
    create_class(body, version_class, version_bases);

    body.at(version_file_system_class.line);
    Ref file_system_bases = tuple(body.global(names.BaseVersion));
    create_class(body, version_file_system_class, file_system_bases);
}

// Warns when the interpreter's version differs from the one the module was
// built for, comparing only the major and the first digit of the minor.
int check_version() {
    char built[16];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    char running[4] = {0, 0, 0, 0};
    const char* version = Py_GetVersion();
    for (int i = 0; i < 3 && version[i]; ++i) running[i] = version[i];
    if (built[0] == running[0] && built[2] == running[2]) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compiletime version %s of module '%.100s' does not match runtime "
                            "version %s",
                            built, "kestrum.versioner", running);
}

void copy_spec_attribute(Borrowed spec, Borrowed module_dict, Borrowed from, Borrowed to,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttr(spec.get(), from.get());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrOccurred();
        PyErr_Clear();
        return;
    }
    Ref held = Ref::steal(value);
    if (skip_none && held.is_none()) return;
    setitem(module_dict, to, held);
}

PyObject* mark_exit_begun(PyObject*, PyObject*) {
    exit_begun.store(true, std::memory_order_relaxed);
    try {
        exit_watch::note_threads_at_exit();
    } catch (const PyErrOccurred&) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef mark_exit_begun_def = {"_exit_begun", mark_exit_begun, METH_NOARGS, nullptr};

// KESTRUM_SCAN_THREADS, read once: the cap on the scans' worker threads, 0 for
// none. A value that is not a whole number from 0 to kMaxWorkers is refused.
void configure_scan_threads() {
    const char* text = std::getenv("KESTRUM_SCAN_THREADS");
    if (!text || !*text) return;
    long value = 0;
    bool ok = true;
    for (const char* c = text; *c && ok; ++c) {
        ok = *c >= '0' && *c <= '9';
        if (ok) value = value * 10 + (*c - '0');
        ok = ok && value <= walk::kMaxWorkers;
    }
    if (!ok) {
        PyErr_Format(PyExc_ValueError,
                     "KESTRUM_SCAN_THREADS must be a whole number from 0 to %d (the most worker "
                     "threads a scan uses; 0: none), not '%.40s'",
                     walk::kMaxWorkers, text);
        throw PyErrOccurred();
    }
    walk::set_worker_cap(static_cast<int>(value));
}

// The interpreter runs atexit callbacks, this one among them, before it
// begins to end threads that ask for its lock back (ref.hpp). Imported once
// the interpreter finalizes, the module has missed that moment.
void watch_for_exit() {
    exit_begun.store(compat::finalizing(), std::memory_order_relaxed);
    Ref atexit = Ref::check(PyImport_ImportModule("atexit"));
    Ref mark = Ref::check(PyCFunction_New(&mark_exit_begun_def, nullptr));
    call_method(atexit, Ref::check(PyUnicode_FromString("register")), mark);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const int64_t current = compat::interpreter_id();
    int64_t owner = -1;
    if (!owner_interpreter.compare_exchange_strong(owner, current) && owner != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module.get()) return Ref::borrow(the_module).release();
    try {
        intern_names();
        Ref name = getattr(spec, names.name);
        Ref module = Ref::check(PyModule_NewObject(name.get()));
        Borrowed module_dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, module_dict, names.loader, names.dunder_loader, false);
        copy_spec_attribute(spec, module_dict, names.origin, names.dunder_file, false);
        copy_spec_attribute(spec, module_dict, names.parent, names.dunder_package, false);
        copy_spec_attribute(spec, module_dict, names.submodule_search_locations,
                            names.dunder_path, true);
        return module.release();
    } catch (const PyErrOccurred&) {
        return nullptr;
    }
}

int exec_module(PyObject* module) {
    if (the_module.get()) {
        if (the_module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'versioner' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (check_version() < 0) return -1;

    the_module.set(Ref::borrow(module));
    Borrowed globals = PyModule_GetDict(module);
    Frame body(globals, body_name, 1);
    try {
        intern_names();
        Ref builtins_module = Ref::check(PyImport_ImportModule("builtins"));
        setitem(globals, names.dunder_builtins, builtins_module);
        Borrowed modules = PyImport_GetModuleDict();
        if (!require_status(PyDict_Contains(modules.get(), names.module_name))) {
            setitem(modules, names.module_name, module);
        }
        configure_scan_threads();
        capture_builtins(builtins_module);
        ready_function_type();
        ready_scan_generator_type();
        run_body(body);
        gate::capture(globals);
        capture_originals(globals);
        capture_query_originals(globals);
        watch_for_exit();
        exit_watch::install();
        return 0;
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    KV_CATCH_ANY_CXX_EXCEPTION {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in kestrum.versioner");
    }
    if (PyErr_Occurred()) {
        body.traceback_here();
    } else {
        PyErr_SetString(PyExc_ImportError, body_name);
    }
    the_module.set(Ref());
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    KV_ONE_INTERPRETER_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "versioner",  // m_name
    nullptr,      // m_doc
    0,            // m_size
    nullptr,      // m_methods
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace
}  // namespace kv

PyMODINIT_FUNC PyInit_versioner(void) { return PyModuleDef_Init(&kv::module_def); }
