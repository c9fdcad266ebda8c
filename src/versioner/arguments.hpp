// Binding of a call's arguments to a member's parameters.
#pragma once

#include "ref.hpp"

namespace kv {

struct MemberDef;

// Binds `args` (nargs positional, then the values of `kwnames`) to the
// parameters of `def`, writing one borrowed object per parameter into `out`
// (defaults filled in from `defaults`, a tuple). On a refused argument list it
// sets the interpreter's TypeError and throws PyErrOccurred.
void bind_arguments(const MemberDef& def, Borrowed param_names, Borrowed defaults,
                    PyObject* const* args, Py_ssize_t nargs, Borrowed kwnames, PyObject** out);

}  // namespace kv
