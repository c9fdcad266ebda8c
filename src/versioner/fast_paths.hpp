// Fast paths for calls into the standard library.
//
// The module reads `os`, `re` and `fnmatch` from its namespace at every use,
// so a rebinding or a test double sees every call. A fast path here replaces
// the call of a standard-library function only when the function that the
// general path would call is, at that moment, the very object that the
// standard library had when the module was executed; it then computes the
// same result natively. Any other object takes the general path.
#pragma once

#include <string>

#include "function.hpp"
#include "gate.hpp"
#include "ref.hpp"

namespace kv {

// The standard-library objects that the fast paths stand in for, taken from
// the standard modules themselves (not from the module namespace, which a
// package submodule of the same name can shadow). Empty when they could not
// be had: then no fast path applies.
//
// os.path is posixpath, or ntpath on Windows: the functions are that module's,
// and `nt_paths` says which rules the native counterparts follow.
struct Originals {
    PyObject* splitext = nullptr;  // os.path.splitext
    PyObject* exists = nullptr;    // os.path.exists
    PyObject* isabs = nullptr;     // os.path.isabs
    PyObject* walk = nullptr;      // os.walk
    PyObject* path = nullptr;      // the module os.path
    bool nt_paths = false;         // os.path is ntpath
    PyObject* os = nullptr;        // the module os
    PyObject* getcwd = nullptr;    // os.getcwd
    PyObject* compile = nullptr;   // re.compile
    PyObject* pattern_type = nullptr;  // re.Pattern
    PyObject* filter = nullptr;    // fnmatch.filter
    PyObject* name_template = nullptr;  // the module's own template text
    PyObject* base_version = nullptr;   // the module's classes as created
    PyObject* version = nullptr;
    PyObject* version_file_system = nullptr;
    PyObject* base_init = nullptr;      // BaseVersion.__init__ as created
    PyObject* file_system_init = nullptr;  // VersionFileSystem.__init__ as created
};

extern Originals originals;

using gate::class_unchanged;

// Whether obj.name is sure to find the method of that name of the module's
// class as made: the class is unchanged and the instance has no attribute of
// that name in its own namespace. Up to 3.10 the namespace is a plain dict the
// interpreter keeps, read directly; from 3.11 on the interpreter's own method
// lookup says it, which reads the instance's inline values without turning
// them into a dict.
inline bool own_method(Borrowed obj, Borrowed name) {
    PyObject* o = obj.get();
#if PY_VERSION_HEX < 0x030B0000
    PyObject* namespace_ = compat::instance_dict(o);
    if (!namespace_ || !class_unchanged(Py_TYPE(o))) return false;
    if (PyDict_GetItemWithError(namespace_, name.get())) return false;
    if (PyErr_Occurred()) throw PyErrOccurred();
    return true;
#else
    if (!class_unchanged(Py_TYPE(o))) return false;
    return compat::unshadowed_method(o, name.get());
#endif
}

// Whether obj.name, a static method of the module's class as made, is sure
// to be the function `impl` implements (found through the class, or the very
// same function stored on the instance: calling either is the same).
bool own_static_method(Borrowed obj, Borrowed name, Impl impl);

// getattr(obj, name) for one of the eight attributes that a parsed name
// stores on its instance: for an instance of an unchanged class of the module
// (no class on its MRO defines them), the entry of its own namespace where
// the interpreter keeps that as a plain dict; otherwise, and for a missing
// entry, the general lookup with its fallbacks and messages.
inline Ref record_attribute(Borrowed obj, Borrowed name) {
    PyObject* o = obj.get();
    if (PyObject* namespace_ = compat::instance_dict(o)) {
        if (class_unchanged(Py_TYPE(o))) {
            if (PyObject* value = PyDict_GetItemWithError(namespace_, name.get())) {
                return Ref::borrow(value);
            }
            if (PyErr_Occurred()) throw PyErrOccurred();
        }
    }
    return getattr(obj, name);
}

// record_attribute for a reading that has no effect on its own: empty, with
// no error set, where it would fail (the caller then takes a path that reads
// it again and reports the failure where it belongs).
inline Ref try_record_attribute(Borrowed obj, Borrowed name) {
    try {
        return record_attribute(obj, name);
    } catch (const PyErrOccurred&) {
        // What a handler raised (KeyboardInterrupt, SystemExit) would not be
        // raised again by the second reading: it ends the call here.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Ref();
    }
}

// The entry `name` of an instance of an unchanged class of the module (see
// class_unchanged), read without running any code: no class on its MRO
// defines it and none has a __getattr__. An empty Ref when it is missing, so
// that the general lookup can say how that fails.
Ref record_entry(Borrowed obj, Borrowed name);

// os.path.exists(path) for an exact str, with its gate family open:
// one stat(2) of the encoded path, without the interpreter lock as os.stat
// runs it; False for a path that cannot be encoded or holds a NUL, whose
// ValueError os.path.exists swallows.
bool path_exists(Borrowed path);

// Whether the module `path` (what `os.path` gave) is the original os.path
// and the isabs family open.
bool isabs_is_original(Borrowed path);

// Takes the originals from the standard modules; a failure only leaves the
// fast paths off.
void capture_originals(Borrowed globals);

// Whether `super(VersionFileSystem, self).__init__` is, for this `self` and
// the class global `cls`, the original BaseVersion.__init__: then it can be
// called directly, with the same arguments by position.
bool base_init_is_original(Borrowed cls, Borrowed self);

// The extension of a path, as os.path.splitext(path)[1] gives it, for an
// exact str; and where it starts (-1 for none). Under ntpath's rules both
// slashes separate components.
Ref path_extension(Borrowed path);
Py_ssize_t extension_start(Borrowed path);

// posixpath.isabs for an exact str.
inline bool path_is_absolute(Borrowed path) {
    return PyUnicode_GET_LENGTH(path.get()) > 0 && PyUnicode_READ_CHAR(path.get(), 0) == '/';
}

// For an exact str, true only where os.path.isabs is true: posixpath.isabs
// itself; under ntpath, names with a drive and a root (any character, a
// colon, then either slash) on every version, and from 3.12 names that begin
// with two slashes of either kind (UNC names, \\?\ and \\.\), which
// ntpath up to 3.10 calls relative when the share has no root. False says
// nothing: ask os.path.isabs.
inline bool certainly_absolute(Borrowed path, bool nt_paths) {
    if (!nt_paths) return path_is_absolute(path);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path.get());
    auto slash = [&](Py_ssize_t i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(path.get(), i);
        return c == '\\' || c == '/';
    };
    if (length >= 3 && PyUnicode_READ_CHAR(path.get(), 1) == ':' && slash(2)) return true;
#if PY_VERSION_HEX >= 0x030C0000
    if (length >= 2 && slash(0) && slash(1)) return true;
#endif
    return false;
}

// The compiled name pattern for (postfix, ext) under the original template
// and the original re.compile, or an empty Ref when not cached. Bounded: the
// extensions come from file names on disk, so their variety is unbounded.
Ref cached_pattern(Borrowed postfix, Borrowed ext);
void remember_pattern(Borrowed postfix, Borrowed ext, Borrowed pattern);

// The compiled stem pattern "(.*)(?:" + postfix + ")" for an exact-str
// postfix under the original re.compile, or an empty Ref when not cached.
// Bounded like the name patterns.
Ref cached_stem_pattern(Borrowed postfix);
void remember_stem_pattern(Borrowed postfix, Borrowed pattern);

// The stem that the stem pattern, or failing a match the cut of
// len(postfix) characters, leaves of an exact-str head, for an exact-str
// postfix made of literal characters and dots: such a postfix matches
// exactly len(postfix) characters, so both rules cut the same. An empty Ref
// for any other postfix.
Ref plain_postfix_stem(Borrowed head, Borrowed postfix);

// The split that the name pattern for (postfix, ext) gives an exact str,
// computed without the regular-expression engine, for a pattern from
// `cached_pattern` whose fragments are plain enough (literal characters, the
// any-character dot, and ".*" as the whole extension). Sets `matched` and
// returns the (head, version, tail) tuple on a match; returns an empty Ref
// with `matched` false on no match; returns an empty Ref with `matched` true
// when it cannot answer and the pattern itself must be used.
Ref split_natively(Borrowed pattern, Borrowed name, bool& cannot_answer);

// Where split_natively would cut an exact str: the head is [0, head_end), the
// digits [head_end, digits_end) and the tail [digits_end, tail_end).
enum class NativeSplit { matched, unmatched, cannot_answer };
NativeSplit split_points(Borrowed pattern, Borrowed name, Py_ssize_t& head_end,
                         Py_ssize_t& digits_end, Py_ssize_t& tail_end);

// What split_natively finds, for a name given as code points and known to
// hold no line break: the position of the version digits. `cannot_answer`
// when the pattern itself must be used.
NativeSplit find_version_digits(Borrowed pattern, const std::u32string& name, size_t& begin,
                                size_t& end);

// fnmatch.filter(names, prefix + '*') for a list of exact str and a prefix
// without wildcard characters: the names that begin with the prefix. An
// empty Ref when that shortcut does not apply.
Ref filter_by_prefix(Borrowed names_list, Borrowed prefix);

// int(text) for an exact str of at most 18 ASCII digits; an empty Ref when
// the general conversion must run.
Ref parse_digits(Borrowed text);

// "%0<pads>d" % number for exact ints of a modest width; an empty Ref when
// the general formatting must run.
Ref pad_number(Borrowed pads, Borrowed number);

}  // namespace kv
