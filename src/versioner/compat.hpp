// The one place where differences between the supported interpreters
// (CPython 3.9 to 3.15) are bridged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03090000
#error "kestrum.versioner needs CPython 3.9 or newer"
#endif

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX >= 0x030D0000
// The interpreter's method lookup (what a method call does), exported but no
// longer declared in the public headers from 3.13 on.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace kv::compat {

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
inline thread_local StackLimit stack_limit __attribute__((tls_model("initial-exec")));

inline bool stack_nearly_exhausted() noexcept {
    StackLimit& state = stack_limit;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (__builtin_expect(!state.measured, 0)) {
        state.measured = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size) {
                // Keep a quarter of the stack, at most 64 KiB, for the interpreter
                // code that runs between two of the module's calls.
                const std::size_t reserve = size / 4 < 65536 ? size / 4 : 65536;
                state.lowest = reinterpret_cast<std::uintptr_t>(low) + reserve;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return here < state.lowest;
}

// The type's version tag, or 0 while it has none. The interpreter gives a
// type a new tag after any change to it or to a class on its MRO (a change
// to a base clears the tags of all its subclasses), so an unchanged nonzero
// tag means an unchanged namespace along the whole MRO.
inline unsigned int type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // A change sets the tag to 0; the flag is no longer kept.
    return type->tp_version_tag;
#else
    // A change clears the flag and leaves the old tag in place.
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    return type->tp_version_tag;
#endif
}

// Gives the type a version tag if it has none, and returns it (0 if none
// could be given).
inline unsigned int assign_type_version(PyTypeObject* type, PyObject* some_name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)some_name;
    PyUnstable_Type_AssignVersionTag(type);
#else
    // Before 3.12 a lookup through the method cache is what assigns one.
    _PyType_Lookup(type, some_name);
#endif
    return type_version(type);
}

// The dict's version tag. Every dict gets a fresh tag when it is made and at
// each change of its entries (storing the very object a key already holds is
// no change), drawn from one counter of the interpreter that only grows (64
// bits; from 3.12 on the low bits serve the dict's watchers and the count runs
// above them). So within one interpreter a tag names one state of one dict: an
// equal tag read from a live dict means that very dict, unchanged since the
// tag was taken, even if another dict once lived at the same address.
#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 on dicts carry no version tag. Until the module learns of changes
// another way, every read hands out a number never handed out before, so no
// recorded tag ever matches: every lookup is made afresh (the general path),
// which is slower but never stale. One counter for the process, atomic so that
// it stays sound wherever two threads read at once.
inline std::atomic<std::uint64_t> dict_version_stand_in{0};

inline std::uint64_t dict_version(PyObject*) noexcept {
    return dict_version_stand_in.fetch_add(1, std::memory_order_relaxed) + 1;
}
#else
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 the field is marked deprecated (it is gone in 3.14); it is still
// kept up to date on every version this module builds for.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
}
#endif

// The instance's own namespace where the interpreter keeps it as a plain
// dict from the start (up to 3.10); null when it has none yet, when it is not
// an exact dict, and always from 3.11 on, where asking for it would turn the
// instance's inline values into a dict and slow every later access.
inline PyObject* instance_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (slot && *slot && PyDict_CheckExact(*slot)) return *slot;
#else
    (void)obj;
#endif
    return nullptr;
}

#if PY_VERSION_HEX >= 0x030B0000

// Whether obj.name finds a method of obj's type (a method descriptor that
// the instance does not shadow), as the interpreter's method lookup tells
// without making a bound method. False on a failed lookup, whose error is
// dropped: the caller's general path then meets it again.
inline bool unshadowed_method(PyObject* obj, PyObject* name) noexcept {
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(obj, name, &found);
    if (!found) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(found);
    return unbound == 1;
}
#endif

}  // namespace kv::compat
