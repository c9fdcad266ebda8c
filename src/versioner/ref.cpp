#include "ref.hpp"

#include <cstring>

namespace kv {

void raise(Borrowed cls) {
    PyObject* obj = cls.get();
    if (PyExceptionClass_Check(obj)) {
        Ref instance = Ref::check(PyObject_CallNoArgs(obj));
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         obj, Py_TYPE(instance.get()));
            throw PyErrOccurred();
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    } else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw PyErrOccurred();
}

}  // namespace kv

#include "ops.hpp"

namespace kv {
namespace {

[[noreturn]] void too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    throw PyErrOccurred();
}

[[noreturn]] void too_few(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    throw PyErrOccurred();
}

}  // namespace

Ref unpack_iter(Borrowed seq) {
    PyObject* obj = seq.get();
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (iterator) return iterator;
    // The interpreter's own wording for an unpacking of a non-iterable.
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr &&
        !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(obj)->tp_name);
    }
    throw PyErrOccurred();
}

void unpack3(Borrowed seq, Ref& a, Ref& b, Ref& c) {
    Ref* targets[] = {&a, &b, &c};
    PyObject* obj = seq.get();
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size > 3) too_many(3);
        if (size < 3) too_few(size);
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (int i = 0; i < 3; ++i) *targets[i] = Ref::borrow(items[i]);
        return;
    }
    Ref iterator = unpack_iter(seq);
    for (int i = 0; i < 3; ++i) {
        Ref item = next(iterator);
        if (!item) too_few(i);
        *targets[i] = std::move(item);
    }
    if (next(iterator)) too_many(3);
}

}  // namespace kv

namespace kv {

std::atomic<bool> exit_begun{false};

Ref fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref held_type = Ref::steal(type);
    Ref held_value = Ref::steal(value);
    Ref held_tb = Ref::steal(tb);
    if (held_tb && held_value) PyException_SetTraceback(held_value.get(), held_tb.get());
    return held_value;
}

void restore_exception(Ref value) noexcept {
    if (!value) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value.get()));
    PyObject* tb = PyException_GetTraceback(value.get());  // new reference or null
    Py_INCREF(type);
    PyErr_Restore(type, value.release(), tb);
}

}  // namespace kv

namespace kv {

Ref module_attribute_uncached(Borrowed obj, Borrowed name) {
    if (PyModule_CheckExact(obj.get())) {
        PyObject* dict = PyModule_GetDict(obj.get());
        if (PyObject* value = PyDict_GetItemWithError(dict, name.get())) {
            if (PyDict_CheckExact(dict)) remember_lookup(dict, name.get(), nullptr, value);
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) throw PyErrOccurred();
    }
    return getattr(obj, name);
}

Ref join_fields(Borrowed format_text, std::initializer_list<Borrowed> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (Borrowed part : parts) {
        if (!PyUnicode_CheckExact(part.get())) {
            Ref args = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
            Py_ssize_t i = 0;
            for (Borrowed item : parts) PyTuple_SET_ITEM(args.get(), i++, Ref::borrow(item).release());
            return format(format_text, args);
        }
        length += PyUnicode_GET_LENGTH(part.get());
        Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part.get());
        if (part_max > max_char) max_char = part_max;
    }
    Ref joined = Ref::check(PyUnicode_New(length, max_char));
    const int kind = PyUnicode_KIND(joined.get());
    char* data = static_cast<char*>(PyUnicode_DATA(joined.get()));
    Py_ssize_t at = 0;
    for (Borrowed part : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part.get());
        if (PyUnicode_KIND(part.get()) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(part.get()), static_cast<size_t>(n * kind));
        } else if (PyUnicode_CopyCharacters(joined.get(), at, part.get(), 0, n) < 0) {
            throw PyErrOccurred();
        }
        at += n;
    }
    return joined;
}

}  // namespace kv
