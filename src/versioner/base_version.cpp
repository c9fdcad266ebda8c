// BaseVersion: a parsed versioned file name.
//
// Each member is written statement by statement; `f.at(n)` marks the line
// that a traceback entry carries when the statements after it fail.
#include "classes.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace kv {
namespace {

// Either source class whose instances the constructor copies from: the
// module's `Version`, or else its `VersionFileSystem`.
bool is_copy_source(Frame& f, Borrowed obj) {
    Ref version_class = f.global(names.Version);
    if (isinstance(obj, version_class)) return true;
    Ref file_system_class = f.global(names.VersionFileSystem);
    return isinstance(obj, file_system_class);
}

// def __init__(self, filename, pads=3, postfix='.v', ext='.*')
Ref init(Frame& f, Args a) {
    Borrowed self = a[0];
    Borrowed filename = a[1];
    Ref pads = Ref::borrow(a[2]);
    Ref postfix = Ref::borrow(a[3]);
    Ref ext = Ref::borrow(a[4]);

    if (PyUnicode_Check(filename.get())) {
        f.at(14);
        setattr(self, names.filename, filename);
    } else {
        f.at(15);
        if (!is_copy_source(f, filename)) {
            f.at(21);
            raise(builtins.TypeError);
        }
        f.at(16);
        Ref source_name = getattr(filename, names.filename);
        setattr(self, names.filename, source_name);
        f.at(17);
        pads = getattr(filename, names.pads);
        f.at(18);
        postfix = getattr(filename, names.postfix);
        f.at(19);
        ext = getattr(filename, names.ext);
    }
    f.at(23);
    setattr(self, names.postfix, postfix);
    f.at(24);
    setattr(self, names.pads, pads);

    f.at(25);
    Ref splitext = getattr(getattr(f.global(names.os), names.path), names.splitext);
    Ref stored_name = getattr(self, names.filename);
    Ref parts = call(splitext, stored_name);
    Ref extension = getitem(parts, integer(1));

    f.at(26);
    if (truth(extension)) ext = slice_from(extension, 1);
    setattr(self, names.ext, ext);

    f.at(27);
    Ref compile = getattr(f.global(names.re), names.compile);
    Ref name_template = f.global(names.regex_splits);
    Ref self_postfix = getattr(self, names.postfix);
    Ref self_ext = getattr(self, names.ext);
    Ref pattern_text = format(name_template, tuple(self_postfix, self_ext));
    Ref pattern = call(compile, pattern_text);
    setattr(self, names.regex_splits, pattern);

    f.at(28);
    Ref splits = getattr(self, names.splits);
    Ref split_name = getattr(self, names.filename);
    Ref fields = call(splits, split_name);
    Ref head, version, tail;
    unpack3(fields, head, version, tail);
    setattr(self, names.head, head);
    setattr(self, names.version, version);
    setattr(self, names.tail, tail);
    return Ref::none();
}

// @staticmethod
// def int_to_pad(pads, number)
Ref int_to_pad(Frame& f, Args a) {
    Borrowed pads = a[0];
    Borrowed number = a[1];
    f.at(47);
    // "%0<pads>d" built and applied with the % operator, so every printf rule
    // of the operator (sign, negative width, float truncation) holds.
    Ref width = format(names.d_format, pads);
    Ref number_format = format(names.pad_format, tuple(names.zero_flag, width));
    return format(number_format, number);
}

// def _splits(self, filename)
Ref splits(Frame& f, Args a) {
    Borrowed self = a[0];
    Borrowed filename = a[1];

    f.at(51);
    Ref pattern = getattr(self, names.regex_splits);
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

// def _current(self, path)
Ref current_of(Frame& f, Args a) {
    Borrowed self = a[0];
    f.at(64);
    try {
        Ref version = getattr(self, names.version);
        // int(None) would raise TypeError, which the handler below turns
        // into None: answer at once instead.
        if (version.is_none()) return Ref::none();
        return to_int(version);
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
    return Ref::none();
}

// @property
// def current(self)
Ref current(Frame& f, Args a) {
    Borrowed self = a[0];
    f.at(70);
    Ref method = getattr(self, names.current_method);
    Ref filename = getattr(self, names.filename);
    return call(method, filename);
}

const std::vector<MemberDef> members = {
    {"__init__", Kind::method, {"self", "filename", "pads", "postfix", "ext"},
     {default_int(3), default_text(".v"), default_text(".*")}, {"extension"}, 12, init},
    {"int_to_pad", Kind::static_method, {"pads", "number"}, {}, {}, 46, int_to_pad},
    {"_splits", Kind::method, {"self", "filename"}, {}, {"info", "match"}, 49, splits},
    {"_current", Kind::method, {"self", "path"}, {}, {}, 62, current_of},
    {"current", Kind::property, {"self"}, {}, {}, 69, current},
};

}  // namespace

const ClassDef base_version_class = {"BaseVersion", 11, members};

}  // namespace kv
