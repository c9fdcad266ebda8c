// Version: a BaseVersion that steps to its neighbouring numbers.
#include "classes.hpp"
#include "fast_paths.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace kv {
namespace {

// @property
// def next(self): one number up, within the width.
Ref next_version(Frame& f, Args a) {
    Borrowed self = a[0];
    f.at(105);
    if (!truth(current_attribute(f, self))) return Ref::none();
    f.at(108);
    Ref up = Ref::check(PyNumber_Add(current_attribute(f, self).get(), integer(1).get()));
    Ref pads = record_attribute(self, names.pads);
    // The largest number of the width: "9" * pads, as an unbounded integer.
    Ref nines = Ref::check(PyNumber_Multiply(pads.get(), names.nine));
    Ref limit = parse_digits(nines);
    if (!limit) limit = to_int(nines);
    if (require_status(PyObject_RichCompareBool(up.get(), limit.get(), Py_LE))) {
        f.at(109);
        const bool own_to = own_method(self, names.to);
        Ref to = own_to ? Ref() : getattr(self, names.to);
        Ref number = Ref::check(PyNumber_Add(current_attribute(f, self).get(), integer(1).get()));
        return own_to ? call_own_to(f, self, number) : call(to, number);
    }
    f.at(111);
    raise(f.global(names.ExceededPaddingVersion));
}

// @property
// def previous(self): one number down, never to zero.
Ref previous_version(Frame& f, Args a) {
    Borrowed self = a[0];
    f.at(115);
    Ref version = current_attribute(f, self);
    f.at(116);
    if (!truth(version)) return Ref::none();
    f.at(119);
    Ref one = integer(1);
    if (require_status(PyObject_RichCompareBool(version.get(), one.get(), Py_GT))) {
        f.at(120);
        const bool own_to = own_method(self, names.to);
        Ref to = own_to ? Ref() : getattr(self, names.to);
        Ref number =
            Ref::check(PyNumber_Subtract(current_attribute(f, self).get(), one.get()));
        return own_to ? call_own_to(f, self, number) : call(to, number);
    }
    f.at(122);
    if (require_status(PyObject_RichCompareBool(version.get(), one.get(), Py_EQ))) {
        f.at(123);
        raise(f.global(names.VersionZero));
    }
    return Ref::none();
}

// @property
// def fs(self): this file's versions on disk.
Ref file_system(Frame& f, Args a) {
    f.at(127);
    Ref cls = f.global(names.VersionFileSystem);
    return call(cls, a[0]);
}

const std::vector<MemberDef> members = {
    {"next", Kind::property, {"self"}, {}, {}, 104, next_version},
    {"previous", Kind::property, {"self"}, {}, {"version"}, 114, previous_version},
    {"fs", Kind::property, {"self"}, {}, {}, 126, file_system},
};

}  // namespace

const ClassDef version_class = {"Version", 102, members};

}  // namespace kv
