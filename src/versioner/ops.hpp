// Python operations that member code needs beyond single C API calls.
#pragma once

#include <initializer_list>

#include "lookup_cache.hpp"
#include "ref.hpp"

namespace kv {

Ref module_attribute_uncached(Borrowed obj, Borrowed name);

// getattr(obj, name) for an ordinary name (not a dunder): for a plain module
// object, whose type defines no such attribute, the entry of its namespace.
inline Ref module_attribute(Borrowed obj, Borrowed name) {
    if (PyModule_CheckExact(obj.get())) {
        if (PyObject* value = cached_entry(PyModule_GetDict(obj.get()), name.get())) {
            return Ref::borrow(value);
        }
    }
    return module_attribute_uncached(obj, name);
}

// obj[start:]
inline Ref slice_from(Borrowed obj, Borrowed start) {
    Ref slice = Ref::check(PySlice_New(start.get(), nullptr, nullptr));
    return getitem(obj, slice);
}
inline Ref slice_from(Borrowed obj, long start) { return slice_from(obj, integer(start)); }

// obj[:stop]
inline Ref slice_to(Borrowed obj, Borrowed stop) {
    Ref slice = Ref::check(PySlice_New(nullptr, stop.get(), nullptr));
    return getitem(obj, slice);
}

// a == b
inline Ref equals(Borrowed a, Borrowed b) {
    return Ref::check(PyObject_RichCompare(a.get(), b.get(), Py_EQ));
}

// len(obj) as an int object.
inline Ref length(Borrowed obj) {
    Py_ssize_t n = PyObject_Size(obj.get());
    if (n < 0) throw PyErrOccurred();
    return Ref::check(PyLong_FromSsize_t(n));
}

// `"%s%s..." % (parts...)` with one "%s" per part: the parts joined when all
// are exact str (each "%s" then renders the text itself), otherwise the
// formatting as written.
Ref join_fields(Borrowed format_text, std::initializer_list<Borrowed> parts);

// iter(seq) for an unpacking assignment, which words the refusal of a
// non-iterable its own way.
Ref unpack_iter(Borrowed seq);

// a, b, c = seq, with the refusals of an unpacking assignment.
void unpack3(Borrowed seq, Ref& a, Ref& b, Ref& c);

}  // namespace kv
