#include "splits.hpp"

#include <cstring>

#include "fast_paths.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace kv {

// The statements of _splits from the pattern search on, as written.
Ref splits_general(Frame& f, Borrowed pattern, Borrowed filename) {
    f.at(51);
    Ref matches = iter(call_method(pattern, names.finditer, filename));
    Ref info = Ref::check(PyList_New(0));
    while (true) {
        f.at(51);
        Ref match = next(matches);
        if (!match) break;
        f.at(50);
        Ref groups = call_method(match, names.groupdict);
        require_status(PyList_Append(info.get(), groups.get()));
    }
    if (PyList_GET_SIZE(info.get()) > 0) {
        f.at(53);
        Borrowed first = PyList_GET_ITEM(info.get(), 0);
        Ref head = getitem(first, names.head);
        Ref version = getitem(first, names.version);
        Ref tail = getitem(first, names.tail);
        return tuple(head, version, tail);
    }

    f.at(56);
    try {
        f.at(58);
        Ref index = call_method(filename, names.rindex, names.dot);
        Ref before = slice_to(filename, index);
        Ref after = slice_from(filename, index);
        return list(before, Py_None, after);
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(builtins.ValueError.get())) throw;
        PyErr_Clear();
    }
    f.at(60);
    return list(Py_None, Py_None, Py_None);
}

// name[start:end] is the exact str `text`.
bool same_text_at(Borrowed text, Borrowed name, Py_ssize_t start, Py_ssize_t end) {
    PyObject* t = text.get();
    if (!PyUnicode_CheckExact(t) || PyUnicode_GET_LENGTH(t) != end - start) return false;
    const int kind = PyUnicode_KIND(t);
    if (PyUnicode_KIND(name.get()) == kind) {
        const char* at = static_cast<const char*>(PyUnicode_DATA(name.get())) + start * kind;
        return std::memcmp(at, PyUnicode_DATA(t), static_cast<size_t>((end - start) * kind)) == 0;
    }
    const Py_ssize_t found = PyUnicode_Tailmatch(name.get(), t, start, end, 1);
    if (found < 0) throw PyErrOccurred();
    return found == 1;
}

// The three parts of a name that the split cuts at h, d and end; those of
// `hint` where the name is known to be their concatenation and the cuts fall
// between them.
void cut_parts(Borrowed name, Py_ssize_t h, Py_ssize_t d, Py_ssize_t end, const CopyParts* hint,
               Ref& head, Ref& version, Ref& tail) {
    PyObject* text = name.get();
    if (hint && h == PyUnicode_GET_LENGTH(hint->head) &&
        d - h == PyUnicode_GET_LENGTH(hint->version) && end == PyUnicode_GET_LENGTH(text)) {
        head = Ref::borrow(hint->head);
        version = Ref::borrow(hint->version);
        tail = Ref::borrow(hint->tail);
        return;
    }
    head = Ref::check(PyUnicode_Substring(text, 0, h));
    version = Ref::check(PyUnicode_Substring(text, h, d));
    tail = Ref::check(PyUnicode_Substring(text, d, end));
}

// The split of an exact str that the pattern does not match: before and
// from its last dot, or nothing without a dot.
void unmatched_parts(Frame& f, Borrowed filename, Ref& head, Ref& version, Ref& tail) {
    f.at(58);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(filename.get());
    const Py_ssize_t dot = PyUnicode_FindChar(filename.get(), '.', 0, length, -1);
    if (dot == -2) throw PyErrOccurred();
    version = Ref::none();
    if (dot >= 0) {
        head = Ref::check(PyUnicode_Substring(filename.get(), 0, dot));
        tail = Ref::check(PyUnicode_Substring(filename.get(), dot, length));
        return;
    }
    f.at(60);
    head = Ref::none();
    tail = Ref::none();
}

namespace {

// The split of an exact str by a pattern of the re module: only the first
// match is used, and matching has no side effects, so one search stands for
// collecting every match.
Ref splits_fast(Frame& f, Borrowed pattern, Borrowed filename) {
    f.at(51);
    bool cannot_answer = true;
    Ref fields = split_natively(pattern, filename, cannot_answer);
    if (fields) return fields;
    Ref match = cannot_answer ? call_method(pattern, names.search, filename) : Ref::none();
    if (!match.is_none()) {
        f.at(53);
        PyObject* args[] = {match.get(), names.head, names.version, names.tail};
        Ref fields = Ref::steal(PyObject_VectorcallMethod(names.group, args, 4, nullptr));
        if (fields && PyTuple_CheckExact(fields.get()) && PyTuple_GET_SIZE(fields.get()) == 3) {
            return fields;
        }
        // A pattern without those groups: the general path says how it fails.
        if (!fields) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PyErrOccurred();
            PyErr_Clear();
        }
        return splits_general(f, pattern, filename);
    }
    Ref head, version, tail;
    unmatched_parts(f, filename, head, version, tail);
    return list(head, version, tail);
}

}  // namespace

// _splits from its second statement on, with the pattern it read.
Ref splits_of(Frame& f, Borrowed pattern, Borrowed filename) {
    if (Py_TYPE(pattern.get()) == reinterpret_cast<PyTypeObject*>(originals.pattern_type) &&
        PyUnicode_CheckExact(filename.get())) {
        return splits_fast(f, pattern, filename);
    }
    return splits_general(f, pattern, filename);
}

// _splits(self, filename) given (self.regex_splits, filename), as read at
// its first statement.
Ref splits_by_pattern(Frame& f, Args a) {
    f.at(51);
    return splits_of(f, a[0], a[1]);
}

}  // namespace kv
