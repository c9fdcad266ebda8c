#include "state.hpp"

#include "lookup_cache.hpp"

namespace kv {

Names names;
Builtins builtins;
CachedLookup lookup_cache[(1u << lookup_cache_bits) + lookup_window - 1];

void intern_names() {
    static bool done = false;
    if (done) return;
#define KV_INTERN(field, text)                                      \
    names.field = PyUnicode_InternFromString(text);                 \
    if (!names.field) throw PyErrOccurred();
    KV_NAMES(KV_INTERN)
#undef KV_INTERN
    done = true;
}

void capture_builtins(Borrowed builtins_module) {
#define KV_CAPTURE(field)                                                          \
    {                                                                              \
        Ref name = text(#field);                                                   \
        PyObject* value = PyObject_GetAttr(builtins_module.get(), name.get());     \
        if (!value) {                                                              \
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrOccurred(); \
            PyErr_Clear();                                                         \
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get()); \
            throw PyErrOccurred();                                                 \
        }                                                                          \
        builtins.field.set(Ref::steal(value));                                     \
    }
    KV_BUILTINS(KV_CAPTURE)
#undef KV_CAPTURE
}

}  // namespace kv
