// Python operations that member code needs beyond single C API calls.
#pragma once

#include "ref.hpp"

namespace kv {

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

// a, b, c = seq, with the refusals of an unpacking assignment.
void unpack3(Borrowed seq, Ref& a, Ref& b, Ref& c);

}  // namespace kv
