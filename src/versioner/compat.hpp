// The one place where differences between the supported interpreters
// (CPython 3.9 to 3.13) are bridged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03090000
#error "kestrum.versioner needs CPython 3.9 or newer"
#endif

namespace kv::compat {

// The current interpreter's identifier.
inline int64_t interpreter_id() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

// From 3.12 on, generators warn when throw() gets the (type, value, traceback)
// signature.
inline constexpr bool throw_signature_deprecated = PY_VERSION_HEX >= 0x030C0000;

}  // namespace kv::compat
