#include "arguments.hpp"

#include "function.hpp"

namespace kv {
namespace {

[[noreturn]] void refuse_count(const char* name, bool exact, Py_ssize_t expected, const char* bound,
                               Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, exact ? "exactly" : bound, expected, expected == 1 ? "" : "s", given);
    throw PyErrOccurred();
}

// The index of the parameter called `key`, or -1. Names from a call are
// usually the interned parameter names themselves; the comparison of texts
// covers names built at run time.
Py_ssize_t find_param(Borrowed param_names, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(param_names.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(param_names.get(), i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(param_names.get(), i), key) == 0) return i;
    }
    return -1;
}

Py_ssize_t find_keyword(Borrowed kwnames, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames.get());
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyTuple_GET_ITEM(kwnames.get(), j) == name) return j;
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames.get(), j), name) == 0) return j;
    }
    return -1;
}

}  // namespace

void bind_arguments(const MemberDef& def, Borrowed param_names, Borrowed defaults,
                    PyObject* const* args, Py_ssize_t nargs, Borrowed kwnames, PyObject** out) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def.params.size());
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames.get()) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        // Only a caller in C can pass other keys; the comparisons below need texts.
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames.get(), j))) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
            throw PyErrOccurred();
        }
    }

    if (nparams == 1) {
        // A member whose only parameter is the instance.
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def.name);
            throw PyErrOccurred();
        }
        if (nargs != 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                         def.name, nargs);
            throw PyErrOccurred();
        }
        out[0] = args[0];
        return;
    }

    const Py_ssize_t ndefaults = static_cast<Py_ssize_t>(def.defaults.size());
    const Py_ssize_t nrequired = nparams - ndefaults;
    const bool exact = ndefaults == 0;

    if (nargs > nparams) refuse_count(def.name, exact, nparams, "at most", nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    Py_ssize_t taken = 0;
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        Py_ssize_t j = nkw > 0 ? find_keyword(kwnames, PyTuple_GET_ITEM(param_names.get(), i)) : -1;
        if (j >= 0) {
            out[i] = args[nargs + j];
            ++taken;
        } else if (i < nrequired) {
            refuse_count(def.name, exact, nrequired, "at least", i);
        } else {
            out[i] = PyTuple_GET_ITEM(defaults.get(), i - nrequired);
        }
    }

    if (taken < nkw) {
        // Some keyword named no parameter still open: either it names one
        // already given by position, or none at all.
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames.get(), j);
            Py_ssize_t i = find_param(param_names, key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             def.name, key);
                throw PyErrOccurred();
            }
            if (i < nargs) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'", def.name, key);
                throw PyErrOccurred();
            }
        }
    }
}

}  // namespace kv
