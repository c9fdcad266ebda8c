// Version: a BaseVersion that steps to its neighbouring numbers.
#include "classes.hpp"
#include "fast_paths.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace kv {
namespace {

// `limit` >= `number`, for limit = int("9" * pads): pads read from the
// instance, "9" * pads and int() as written, or natively for an exact int of
// at most 18 digits' width. `plain` is cleared when that ran code other than
// the module's own.
bool within_width(Borrowed pads, Borrowed number, bool& plain) {
    if (PyLong_CheckExact(pads.get()) && PyLong_CheckExact(number.get())) {
        int overflow = 0;
        long long width;
        if (!compat::compact_int(pads.get(), width)) {
            width = PyLong_AsLongLongAndOverflow(pads.get(), &overflow);
        }
        if (!overflow && width >= 0 && width <= 18) {
            if (width == 0) {
                // int('') fails as written.
                Ref nines = Ref::check(PyNumber_Multiply(pads.get(), names.nine));
                to_int(nines);
            }
            long long limit = 0;
            for (long long i = 0; i < width; ++i) limit = limit * 10 + 9;
            long long value;
            if (compat::compact_int(number.get(), value)) return value <= limit;
            value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
            if (overflow) return overflow < 0;
            if (value == -1 && PyErr_Occurred()) throw PyErrOccurred();
            return value <= limit;
        }
    }
    plain = false;
    // The largest number of the width: "9" * pads, as an unbounded integer.
    Ref nines = Ref::check(PyNumber_Multiply(pads.get(), names.nine));
    Ref limit = parse_digits(nines);
    if (!limit) limit = to_int(nines);
    return require_status(PyObject_RichCompareBool(number.get(), limit.get(), Py_LE));
}

// number + step (step 1 or -1), natively for an exact int held in one
// machine word: the same exact int the operator gives.
Ref step_by(Borrowed number, int step) {
    long long value;
    if (PyLong_CheckExact(number.get()) && compat::compact_int(number.get(), value)) {
        return Ref::check(PyLong_FromLongLong(value + step));
    }
    Ref delta = integer(step < 0 ? -step : step);
    return Ref::check(step < 0 ? PyNumber_Subtract(number.get(), delta.get())
                               : PyNumber_Add(number.get(), delta.get()));
}

// @property
// def next(self): one number up, within the width.
//
// The property reads self.current three times and self.pads twice (here and
// in self.to). When the first reading of current ran only the module's own
// code over plain values (`stable`), and what follows it does too, the
// later readings would give the same, and are taken from the first.
Ref next_version(Frame& f, Args a) {
    Borrowed self = a[0];
    f.at(105);
    CurrentRead read;
    Ref current = current_attribute(f, self, &read);
    bool stable = read.stable && (current.is_none() || PyLong_CheckExact(current.get()));
    if (!truth(current)) return Ref::none();
    f.at(108);
    if (!stable) current = current_attribute(f, self);
    Ref up = step_by(current, 1);
    stable = stable && PyLong_CheckExact(up.get());
    Ref pads = record_attribute(self, names.pads);
    if (within_width(pads, up, stable)) {
        f.at(109);
        const bool own_to = own_method(self, names.to);
        Ref to = own_to ? Ref() : getattr(self, names.to);
        Ref number = stable ? std::move(up) : step_by(current_attribute(f, self), 1);
        if (!own_to) return call(to, number);
        if (!stable) return call_own_to(f, self, number);
        return call_own_to(f, self, number, pads.get(), &read);
    }
    f.at(111);
    raise(f.global(names.ExceededPaddingVersion));
}

// version > 1, natively for an exact int.
bool greater_than_one(Borrowed version) {
    if (PyLong_CheckExact(version.get())) {
        int overflow = 0;
        long long value;
        if (compat::compact_int(version.get(), value)) return value > 1;
        value = PyLong_AsLongLongAndOverflow(version.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw PyErrOccurred();
        return overflow > 0 || (overflow == 0 && value > 1);
    }
    return require_status(PyObject_RichCompareBool(version.get(), integer(1).get(), Py_GT));
}

// @property
// def previous(self): one number down, never to zero. Later readings of
// self.current as for `next`.
Ref previous_version(Frame& f, Args a) {
    Borrowed self = a[0];
    f.at(115);
    CurrentRead read;
    Ref version = current_attribute(f, self, &read);
    const bool stable = read.stable && (version.is_none() || PyLong_CheckExact(version.get()));
    f.at(116);
    if (!truth(version)) return Ref::none();
    f.at(119);
    Ref one = integer(1);
    if (greater_than_one(version)) {
        f.at(120);
        const bool own_to = own_method(self, names.to);
        Ref to = own_to ? Ref() : getattr(self, names.to);
        Ref current = stable ? Ref::borrow(version) : current_attribute(f, self);
        Ref number = step_by(current, -1);
        if (!own_to) return call(to, number);
        return call_own_to(f, self, number, nullptr, stable ? &read : nullptr);
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
