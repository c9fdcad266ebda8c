// The one place where differences between the supported interpreters
// (CPython 3.9 to 3.15) are bridged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03090000
#error "kestrum.versioner needs CPython 3.9 or newer"
#endif

#include "platform.hpp"
#include "unwind.hpp"

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX >= 0x030D0000
// The interpreter's method lookup (what a method call does), exported but no
// longer declared in the public headers from 3.13 on; used in method_lookup
// only.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

// From 3.12 on a module can say it cannot be loaded into several
// interpreters: an isolated sub-interpreter is then refused before the module
// is made, and the interpreter that imports it later may still load it.
#if PY_VERSION_HEX >= 0x030C0000
#define KV_ONE_INTERPRETER_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KV_ONE_INTERPRETER_SLOT
#endif

// From 3.12 on the interpreter tells of changes to dicts and types through
// watchers; the dict version tag is deprecated there and gone from 3.14 on.
#if PY_VERSION_HEX >= 0x030C0000
#define KV_DICT_WATCHERS 1
#else
#define KV_DICT_WATCHERS 0
#endif

namespace kv::compat {

// The value of an exact int, read without a call where the interpreter keeps
// it in one machine word (3.12 on: the unstable but public compact-value
// accessors); false otherwise, and then the caller asks PyLong_As*.
inline bool compact_int(PyObject* exact_int, long long& value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    const PyLongObject* number = reinterpret_cast<const PyLongObject*>(exact_int);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = PyUnstable_Long_CompactValue(number);
    return true;
#else
    (void)exact_int;
    (void)value;
    return false;
#endif
}

// Whether the interpreter has begun to finalize: from then on 3.9 to 3.13
// end a thread that asks for the interpreter lock back (unwind.hpp).
inline bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    // Private up to 3.12; Py_IsFinalizing() replaces it from 3.13 on.
    return _Py_IsFinalizing();
#endif
}

// Whether the running thread holds the interpreter lock with its own thread
// state. Up to 3.11 the "current" thread state is one for the whole process
// (the lock holder's, whichever thread that is), so it is compared with this
// thread's own; from 3.12 on it is per thread and null in a thread that does
// not hold the lock. Both are null once the interpreter is gone.
inline bool thread_holds_lock() noexcept {
    PyThreadState* own = PyGILState_GetThisThreadState();
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* current = PyThreadState_GetUnchecked();
#else
    // Private up to 3.12; PyThreadState_GetUnchecked() replaces it from 3.13 on.
    PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
    return own != nullptr && own == current;
}

// The current interpreter's identifier.
inline int64_t interpreter_id() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

// From 3.12 on, generators warn when throw() gets the (type, value, traceback)
// signature.
inline constexpr bool throw_signature_deprecated = PY_VERSION_HEX >= 0x030C0000;

// Whether the running thread is close to the end of its C stack. The
// interpreter's recursion limit counts calls, not bytes: from 3.11 on, Python
// code calling Python code uses hardly any C stack, so a thread with a small
// stack can reach that limit in plain Python yet overflow it through the
// module's members, which do use C stack. Those members call this first and
// refuse with RecursionError while there is still room to do so.
// Per thread, read on every call of a member: the initial-exec model makes
// it one load relative to the thread pointer instead of a call into the
// dynamic loader for each access, as a variable of a loaded module would
// otherwise need.
struct StackLimit {
    std::uintptr_t lowest = 0;  // lowest usable address; 0: unknown
    bool measured = false;
};
#if defined(_WIN32)
// A module's thread-local variables are reached through its own TLS index
// there, without a call into the loader.
inline thread_local StackLimit stack_limit;
#else
inline thread_local StackLimit stack_limit __attribute__((tls_model("initial-exec")));
#endif

inline bool stack_nearly_exhausted() noexcept {
    StackLimit& state = stack_limit;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (__builtin_expect(!state.measured, 0)) {
        state.measured = true;
        std::uintptr_t low = 0;
        std::size_t size = 0;
        if (sys::stack_bounds(low, size)) {
            // Keep a quarter of the stack, at most 64 KiB, for the interpreter
            // code that runs between two of the module's calls.
            const std::size_t reserve = size / 4 < 65536 ? size / 4 : 65536;
            state.lowest = low + reserve;
        }
    }
    return here < state.lowest;
}

#if !KV_DICT_WATCHERS
// The type's version tag, or 0 while it has none (up to 3.11; from 3.12 on
// the gate learns of class changes from the dict watcher on the classes'
// namespaces). The interpreter gives a type a new tag after any change to it
// or to a class on its MRO (a change to a base clears the tags of all its
// subclasses), so an unchanged nonzero tag means an unchanged namespace along
// the whole MRO. A change clears the flag and leaves the old tag in place.
inline unsigned int type_version(PyTypeObject* type) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    return type->tp_version_tag;
}

// Gives the type a version tag if it has none, and returns it (0 if none
// could be given): a lookup through the type's method cache is what assigns
// one, and reading an attribute of the class does that lookup.
inline unsigned int assign_type_version(PyTypeObject* type, PyObject* some_name) {
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), some_name);
    if (found) {
        Py_DECREF(found);
    } else {
        PyErr_Clear();
    }
    return type_version(type);
}
#endif

#if !KV_DICT_WATCHERS
// The dict's version tag (up to 3.11). Every dict gets a fresh tag when it is
// made and at each change of its entries (storing the very object a key
// already holds is no change), drawn from one counter of the interpreter that
// only grows (64 bits). So within one interpreter a tag names one state of one
// dict: an equal tag read from a live dict means that very dict, unchanged
// since the tag was taken, even if another dict once lived at the same
// address.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// The instance's own namespace where the interpreter keeps it as a plain
// dict from the start (up to 3.10); null when it has none yet, when it is not
// an exact dict, and always from 3.11 on, where asking for it would turn the
// instance's inline values into a dict and slow every later access.
inline PyObject* instance_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    // The slot at tp_dictoffset; a negative offset (variable-sized objects,
    // none of the module's) is left to the general path.
    const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
    if (dict && PyDict_CheckExact(dict)) return dict;
#else
    (void)obj;
#endif
    return nullptr;
}

// What the class's attribute lookup finds for `name` along the MRO of
// `type` (borrowed; null when nothing), read from the namespaces themselves.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        // The built-in types keep theirs per interpreter from 3.12 on.
        PyObject* dict = PyType_GetDict(base);
        Py_XDECREF(dict);  // the type holds it
#else
        PyObject* dict = base->tp_dict;
#endif
        if (!dict) continue;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

#if PY_VERSION_HEX >= 0x030B0000
// obj.name as a method call finds it, without making a bound method: a new
// reference to what it found (null, with no error set, on a failed lookup),
// and whether that is a method of obj's type not shadowed by the instance.
//
// Private: no public function looks a method up without binding it (up to
// 3.15, PyObject_GetAttr and PyObject_GetOptionalAttr make the bound method);
// one that does replaces it here.
inline PyObject* method_lookup(PyObject* obj, PyObject* name, bool& unbound) {
    PyObject* found = nullptr;
    unbound = _PyObject_GetMethod(obj, name, &found) == 1;
    if (!found) PyErr_Clear();
    return found;
}

// Whether obj.name finds a method of obj's type that the instance does not
// shadow. False on a failed lookup, whose error is dropped: the caller's
// general path then meets it again.
inline bool unshadowed_method(PyObject* obj, PyObject* name) {
    bool unbound = false;
    PyObject* found = method_lookup(obj, name, unbound);
    Py_XDECREF(found);
    return found && unbound;
}
#endif

}  // namespace kv::compat
