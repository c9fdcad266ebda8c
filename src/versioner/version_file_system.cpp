// VersionFileSystem: the versions of one name that exist on disk.
#include <cstring>
#include <vector>

#include "classes.hpp"
#include "fast_paths.hpp"
#include "gate.hpp"
#include "ops.hpp"
#include "query_scan.hpp"
#include "scan_generator.hpp"
#include "state.hpp"

namespace kv {
namespace {

// os.path.<name>, read through the module global at the call.
Ref os_path_function(Frame& f, Borrowed name) {
    return module_attribute(module_attribute(f.global(names.os), names.path), name);
}

// def __init__(self, filename, pads=3, postfix='.v', ext='.*'): anchors a
// relative name of an existing file, then parses as BaseVersion does.
// `fresh`: as for BaseVersion.__init__ (base_init_fresh), which it then
// calls so while nothing foreign has run.
Ref init_with(Frame& f, Args a, bool fresh) {
    Borrowed self = a[0];
    Borrowed filename = a[1];
    Ref pads = Ref::borrow(a[2]);
    Ref postfix = Ref::borrow(a[3]);
    Ref ext = Ref::borrow(a[4]);

    bool foreign = !fresh;
    Ref stored_name = store_name(f, self, filename, pads, postfix, ext,
                                 {133, 134, 135, 136, 137, 138, 140}, &foreign);

    f.at(142);
    Ref path = module_attribute(f.global(names.os), names.path);
    Ref exists = module_attribute(path, names.exists);
    Ref name = getattr(self, names.filename);
    // `exists(name) and not isabs(name)` is false for an absolute name,
    // whatever the disk says: with the original functions, and what they
    // call, no need to ask it (nor, for the items of a scan, a stat each).
    const bool absolute = exists.is(originals.exists) && PyUnicode_CheckExact(name.get()) &&
                          certainly_absolute(name, originals.nt_paths) &&
                          isabs_is_original(path) &&
                          gate::open({gate::Family::exists, gate::Family::isabs});
    if (!absolute) foreign = true;
    if (!absolute && truth(call(exists, name))) {
        Ref isabs = os_path_function(f, names.isabs);
        name = getattr(self, names.filename);
        if (!truth(call(isabs, name))) {
            f.at(143);
            Ref getcwd = module_attribute(f.global(names.os), names.getcwd);
            Ref cwd = call(getcwd);
            Ref old = getattr(self, names.filename);
            Ref anchored = Ref::check(PyNumber_Add(cwd.get(), names.slash));
            anchored = Ref::check(PyNumber_Add(anchored.get(), old.get()));
            setattr(self, names.filename, anchored);
        }
    }

    f.at(147);
    Ref cls = f.global(names.VersionFileSystem);
    if (base_init_is_original(cls, self)) {
        // super() would find BaseVersion.__init__ itself: call it directly,
        // the settings by position instead of by keyword.
        Ref stored = foreign ? getattr(self, names.filename) : std::move(stored_name);
        Ref text_name = str(stored);
        if (!foreign) {
            PyObject* args[] = {self.get(), text_name.get(), pads.get(), postfix.get(), ext.get()};
            run_member(f.globals(), "kestrum.versioner.BaseVersion.__init__", 12, base_init_fresh,
                       args);
        } else {
            call(originals.base_init, self, text_name, pads, postfix, ext);
        }
        return Ref::none();
    }
    Ref parent = call(builtins.super, cls, self);
    Ref parent_init = getattr(parent, names.dunder_init);
    Ref stored = getattr(self, names.filename);
    Ref text_name = str(stored);
    Ref kwnames = tuple(names.pads, names.postfix, names.ext);
    PyObject* args[] = {text_name.get(), pads.get(), postfix.get(), ext.get()};
    call_kw(parent_init, args, 1, kwnames);
    return Ref::none();
}

Ref init(Frame& f, Args a) { return init_with(f, a, false); }

// def __iter__(self): the scan, as a generator.
Ref scan(Frame& f, Args a) {
    f.at(150);
    return make_scan_generator(a[0], f.globals());
}

// What the constructor of a copy makes of its name: `exists(name) and not
// isabs(name)` then os.getcwd() + "/" + name. An empty Ref when getcwd
// fails: the general path then reports that.
Ref anchored(Borrowed name) {
    if (path_is_absolute(name) || !path_exists(name)) return Ref::borrow(name);
    Ref cwd = Ref::steal(PyObject_CallNoArgs(originals.getcwd));
    if (!cwd) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw PyErrOccurred();
        PyErr_Clear();
        return Ref();
    }
    if (!PyUnicode_CheckExact(cwd.get())) return Ref();
    Ref anchored = Ref::check(PyNumber_Add(cwd.get(), names.slash));
    return Ref::check(PyNumber_Add(anchored.get(), name.get()));
}

// The extension setting that the base constructor derives for `name`, given
// `ext`: the name's own extension without its dot, when it has one; `ext`
// itself when that is the same text.
Ref derived_ext(Borrowed name, Borrowed ext) {
    const Py_ssize_t dot = extension_start(name);
    if (dot < 0) return Ref::borrow(ext);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    if (PyUnicode_GET_LENGTH(ext.get()) == length - dot - 1) {
        const Py_ssize_t same = PyUnicode_Tailmatch(name.get(), ext.get(), dot + 1, length, 1);
        if (same < 0) throw PyErrOccurred();
        if (same) return Ref::borrow(ext);
    }
    return Ref::check(PyUnicode_Substring(name.get(), dot + 1, length));
}

// A part of a text: [start, end) of `text`.
struct Piece {
    PyObject* text;
    Py_ssize_t start, end;
};

// The pieces joined; for ASCII texts without the substrings in between.
Ref join_pieces(std::initializer_list<Piece> pieces) {
    Py_ssize_t length = 0;
    bool ascii = true;
    for (const Piece& p : pieces) {
        length += p.end - p.start;
        ascii = ascii && PyUnicode_IS_ASCII(p.text);
    }
    if (!ascii) {
        std::vector<Ref> parts;
        for (const Piece& p : pieces) {
            parts.push_back(Ref::check(PyUnicode_Substring(p.text, p.start, p.end)));
        }
        Ref joined = Ref::check(PyUnicode_New(0, 0));
        for (const Ref& part : parts) {
            joined = Ref::check(PyNumber_Add(joined.get(), part.get()));
        }
        return joined;
    }
    Ref joined = Ref::check(PyUnicode_New(length, 127));
    Py_ssize_t at = 0;
    for (const Piece& p : pieces) {
        std::memcpy(PyUnicode_1BYTE_DATA(joined.get()) + at, PyUnicode_1BYTE_DATA(p.text) + p.start,
                    static_cast<size_t>(p.end - p.start));
        at += p.end - p.start;
    }
    return joined;
}

// What `to(number)` makes of an exact-str `name` split by a cached name
// pattern, given the number's `digits`: head, digits, tail; or, for a name
// without a number, head, postfix, digits, tail. An empty Ref when the split
// has no head or tail, on which `to` refuses the name. `matched`: whether the
// pattern matched, and so read its three groups.
Ref renumbered_name(Borrowed pattern, Borrowed name, Borrowed postfix, Borrowed digits,
                    bool& matched) {
    matched = true;
    PyObject* text = name.get();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    PyObject* number = digits.get();
    const Py_ssize_t width = PyUnicode_GET_LENGTH(number);
    Py_ssize_t h = 0, d = 0, end = 0;
    switch (split_points(pattern, name, h, d, end)) {
        case NativeSplit::matched:
            return join_pieces({{text, 0, h}, {number, 0, width}, {text, d, end}});
        case NativeSplit::unmatched:
            break;
        case NativeSplit::cannot_answer: {
            Ref match = call_method(pattern, names.search, name);
            if (match.is_none()) break;
            PyObject* args[] = {match.get(), names.head, names.version, names.tail};
            Ref fields = Ref::steal(PyObject_VectorcallMethod(names.group, args, 4, nullptr));
            if (!fields) {
                // A pattern without those groups: the general path says how
                // the split fails.
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PyErrOccurred();
                PyErr_Clear();
                return Ref();
            }
            if (!PyTuple_CheckExact(fields.get()) || PyTuple_GET_SIZE(fields.get()) != 3) {
                return Ref();
            }
            Borrowed head = PyTuple_GET_ITEM(fields.get(), 0);
            Borrowed version = PyTuple_GET_ITEM(fields.get(), 1);
            Borrowed tail = PyTuple_GET_ITEM(fields.get(), 2);
            if (!PyUnicode_CheckExact(head.get()) || !PyUnicode_CheckExact(tail.get())) {
                return Ref();
            }
            if (!truth(version)) {
                return join_fields(names.four_fields, {head, postfix, digits, tail});
            }
            return join_fields(names.three_fields, {head, digits, tail});
        }
    }
    // No match: head and tail either side of the last dot, and no number.
    matched = false;
    const Py_ssize_t dot = PyUnicode_FindChar(text, '.', 0, length, -1);
    if (dot == -2) throw PyErrOccurred();
    if (dot < 0) return Ref();
    PyObject* post = postfix.get();
    return join_pieces({{text, 0, dot}, {post, 0, PyUnicode_GET_LENGTH(post)}, {number, 0, width},
                        {text, dot, length}});
}

// Whether a compiled name pattern has the groups head, version and tail: a
// fragment that opens a character class ('[') can swallow one and still
// compile, and a split that matches then fails on the missing group.
bool has_name_groups(Borrowed pattern) {
    Ref groups = getattr(pattern, names.groupindex);
    for (PyObject* group : {names.head, names.version, names.tail}) {
        const int found = PySequence_Contains(groups.get(), group);
        if (found < 0) throw PyErrOccurred();
        if (!found) return false;
    }
    return true;
}

// `number in self` without the copy and its re-numbered twin: the name that
// the twin would carry, and one stat of it. Only while nothing of the user's
// can take part (an unchanged class, the original globals and standard
// functions, exact str settings, an exact int width and number) and the name
// patterns that the two constructions use are already compiled; otherwise,
// and wherever the general path would raise, an empty Ref.
Ref contains_directly(Borrowed self, Borrowed number) {
    PyTypeObject* type = Py_TYPE(self.get());
    if (!PyLong_CheckExact(number.get()) ||
        reinterpret_cast<PyObject*>(type) != originals.version_file_system ||
        !class_unchanged(type) || !gate::open(gate::Family::renumbered)) {
        return Ref();
    }
    Ref filename = record_entry(self, names.filename);
    Ref pads = record_entry(self, names.pads);
    Ref postfix = record_entry(self, names.postfix);
    Ref ext = record_entry(self, names.ext);
    if (!filename || !pads || !postfix || !ext || !PyUnicode_CheckExact(filename.get()) ||
        !PyLong_CheckExact(pads.get()) || !PyUnicode_CheckExact(postfix.get()) ||
        !PyUnicode_CheckExact(ext.get())) {
        return Ref();
    }
    Ref digits = pad_number(pads, number);
    if (!digits) return Ref();

    // The copy: its name anchored, then split.
    Ref copy_name = anchored(filename);
    if (!copy_name) return Ref();
    Ref copy_ext = derived_ext(copy_name, ext);
    Ref pattern = cached_pattern(postfix, copy_ext);
    if (!pattern) return Ref();

    // copy.to(number): the new name, then the twin built from it.
    bool copy_matched = false;
    Ref new_name = renumbered_name(pattern, copy_name, postfix, digits, copy_matched);
    if (!new_name) return Ref();
    Ref twin_name = anchored(new_name);
    if (!twin_name) return Ref();
    // Nothing reads the twin's split, but it must not fail: its pattern must
    // be at hand, as the constructor compiles it, and hold the three groups
    // (known when it is the pattern whose match the copy's split read).
    Ref twin_pattern = cached_pattern(postfix, derived_ext(twin_name, copy_ext));
    if (!twin_pattern) return Ref();
    if ((!copy_matched || twin_pattern.get() != pattern.get()) && !has_name_groups(twin_pattern)) {
        return Ref();
    }
    return Ref::boolean(path_exists(twin_name));
}

// def __contains__(self, version): whether that number exists on disk.
Ref contains(Frame& f, Args a) {
    if (Ref found = contains_directly(a[0], a[1])) return found;
    f.at(159);
    Ref cls = f.global(names.VersionFileSystem);
    Ref copy = call(cls, a[0]);
    if (own_method(copy, names.to)) {
        Ref renumbered = call_own_to(f, copy, a[1]);
        return getattr(renumbered, names.exists);
    }
    Ref to = getattr(copy, names.to);
    Ref renumbered = call(to, a[1]);
    return getattr(renumbered, names.exists);
}

// All items of a fresh scan of `self` (the scan of its own class).
Ref scan_all(Borrowed self) { return Ref::check(PySequence_List(self.get())); }

// Whether `current == item`, with the object's own number on the left, so
// that the item's __eq__ answers for an int (and refuses None).
bool same_number(Borrowed current, Borrowed item) {
    return truth(Ref::check(PyObject_RichCompare(current.get(), item.get(), Py_EQ)));
}

// All items of a fresh scan of `self`, decided but not built.
std::vector<QueryItem> decide_all(QueryScan& scan) {
    std::vector<QueryItem> items;
    QueryItem item;
    while (scan.next(item)) items.push_back(std::move(item));
    return items;
}

// The digits that an item's number must have to equal `current`, the
// object's own number, when that is an int: then `current == item` is the
// item's __eq__ comparing its own number with it. False otherwise: the
// comparison must run on the built items.
bool wanted_number(Borrowed current, ItemNumber& wanted) {
    if (!PyLong_CheckExact(current.get())) return false;
    Ref text = Ref::steal(PyObject_Str(current.get()));
    if (!text) {
        // Past the digit limit of int-to-text conversion the items compare
        // themselves. A long conversion also runs the signal handlers: what
        // they raise ends the call.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyErrOccurred();
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* digits = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!digits) throw PyErrOccurred();
    wanted.present = true;
    if (!(size == 1 && digits[0] == '0')) wanted.digits.assign(digits, static_cast<size_t>(size));
    return true;
}

// __next__ (`step` 1) and __previous__ (`step` -1) on items decided natively:
// only the neighbour is built, when the object's number is an exact int.
// `lines`: listing, reading current, comparing, taking the neighbour.
Ref neighbour_natively(Frame& f, Borrowed self, int step, const int (&lines)[4]) {
    f.at(lines[0]);
    QueryScan scan(f.globals(), self);
    std::vector<QueryItem> vers = decide_all(scan);
    f.at(lines[1]);
    Ref current = getattr(self, names.current);
    const Py_ssize_t count = static_cast<Py_ssize_t>(vers.size());
    ItemNumber wanted;
    // Items built after a change compare as their class makes them.
    const bool by_number = !scan.builds_items() && wanted_number(current, wanted);
    // Otherwise the items' __eq__ compares, and the code it runs must find
    // them all built, as the general path builds them before comparing.
    std::vector<Ref> built;
    ItemSignals signals;
    if (!by_number) {
        f.at(lines[0]);
        for (const QueryItem& ver : vers) {
            signals.tick();
            built.push_back(scan.build(ver));
        }
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        const Py_ssize_t i = step > 0 ? k : count - 1 - k;
        if (!by_number) signals.tick();
        const QueryItem& ver = vers[static_cast<size_t>(i)];
        bool equal;
        if (by_number) {
            equal = ver.number.present && ver.number.digits == wanted.digits;
        } else {
            f.at(lines[2]);
            equal = same_number(current, built[static_cast<size_t>(i)]);
        }
        if (equal) {
            f.at(lines[3]);
            const Py_ssize_t j = i + step;
            if (j < 0 || j >= count) return Ref::none();
            if (!by_number) return std::move(built[static_cast<size_t>(j)]);
            f.at(lines[0]);
            return scan.build(vers[static_cast<size_t>(j)]);
        }
    }
    return Ref::none();
}

// def __next__(self): the item after the first one that carries this
// object's number. The list is walked by index rather than popped from the
// front: the outcome is the same and the walk stays linear.
Ref next_item(Frame& f, Args a) {
    Borrowed self = a[0];
    if (QueryScan::applies(f.globals(), self) && QueryScan::reads_current_plainly(self)) {
        return neighbour_natively(f, self, 1, {162, 163, 165, 167});
    }
    f.at(162);
    Ref vers = scan_all(self);
    f.at(163);
    Ref current = getattr(self, names.current);
    const Py_ssize_t count = PyList_GET_SIZE(vers.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vers.get()); ++i) {
        f.at(165);
        Ref item = Ref::borrow(PyList_GET_ITEM(vers.get(), i));
        if (same_number(current, item)) {
            f.at(167);
            if (i + 1 >= count) return Ref::none();
            return Ref::borrow(PyList_GET_ITEM(vers.get(), i + 1));
        }
    }
    return Ref::none();
}

// def __previous__(self): the item before the last one that carries this
// object's number.
Ref previous_item(Frame& f, Args a) {
    Borrowed self = a[0];
    if (QueryScan::applies(f.globals(), self) && QueryScan::reads_current_plainly(self)) {
        return neighbour_natively(f, self, -1, {172, 173, 175, 177});
    }
    f.at(172);
    Ref vers = scan_all(self);
    f.at(173);
    Ref current = getattr(self, names.current);
    for (Py_ssize_t i = PyList_GET_SIZE(vers.get()) - 1; i >= 0; --i) {
        f.at(175);
        Ref item = Ref::borrow(PyList_GET_ITEM(vers.get(), i));
        if (same_number(current, item)) {
            f.at(177);
            if (i == 0) return Ref::none();
            return Ref::borrow(PyList_GET_ITEM(vers.get(), i - 1));
        }
    }
    return Ref::none();
}

// @property
// def first(self): the first item of the scan; only that much is read.
Ref first(Frame& f, Args a) {
    f.at(183);
    if (QueryScan::applies(f.globals(), a[0])) {
        // The smallest name of the first directory with any, built as the
        // scan would build it; the others are neither sorted nor decoded.
        QueryScan scan(f.globals(), a[0], false, true);
        QueryItem item;
        if (!scan.next(item)) return Ref::none();
        return scan.build(item);
    }
    Ref scan = iter(a[0]);
    Ref ver = next(scan);
    return ver ? std::move(ver) : Ref::none();
}

// One step of `last`'s loop on a built item, as the general path takes it:
// its `current`, compared with `old`; NoVersionNumber passes the item over.
void last_step(Frame& f, Ref ver, Ref& old, Ref& last) {
    try {
        f.at(192);
        Ref number = getattr(ver, names.current);
        f.at(193);
        if (truth(number) &&
            require_status(PyObject_RichCompareBool(old.get(), number.get(), Py_LE))) {
            old = std::move(number);
            last = std::move(ver);
        }
    } catch (const PyErrOccurred&) {
        Caught caught(f);
        f.at(196);
        bool skip = false;
        try {
            skip = caught.matches(f.global(names.NoVersionNumber));
        } catch (const PyErrOccurred&) {
            caught.chain();
        }
        if (!skip) caught.reraise();
    }
}

// The rest of `last` once the scan builds its items (what their construction
// reads changed): `ver` the first so built, `best` the item found so far.
Ref last_of_built(Frame& f, QueryScan& scan, bool found, const QueryItem& best, QueryItem& ver) {
    Ref old = integer(0);
    Ref last = Ref::none();
    if (found) {
        const std::string& digits = best.number.digits;
        old = Ref::check(PyLong_FromString(digits.c_str(), nullptr, 10));
        last = scan.build(best);
    }
    do {
        last_step(f, std::move(ver.object), old, last);
        f.at(190);
    } while (scan.next(ver));
    return last;
}

// `last` on items decided natively: only the one returned is built.
Ref last_natively(Frame& f, Borrowed self) {
    f.at(190);
    // Only the highest number and, among equal ones, the place in scan
    // order count: no need to sort a directory's names.
    QueryScan scan(f.globals(), self, true);
    QueryItem ver, last;
    scan.hold(&last);
    bool found = false;
    while (scan.next(ver)) {
        if (scan.builds_items()) return last_of_built(f, scan, found, last, ver);
        // `if new and old <= new`, with `old` starting at 0: on a tie the
        // one later in scan order.
        if (ver.number.truthy() &&
            (!found || last.number.less(ver.number) ||
             (!ver.number.less(last.number) && ver.not_before(last)))) {
            std::swap(last, ver);
            found = true;
        }
    }
    if (!found) return Ref::none();
    return scan.build(last);
}

// @property
// def last(self): the item with the highest number, the later one on ties.
Ref last(Frame& f, Args a) {
    if (QueryScan::applies(f.globals(), a[0])) return last_natively(f, a[0]);
    Ref old = integer(0);
    Ref last = Ref::none();
    f.at(190);
    Ref scan = iter(a[0]);
    while (true) {
        f.at(190);
        Ref ver = next(scan);
        if (!ver) break;
        last_step(f, std::move(ver), old, last);
    }
    return last;
}

// @property
// def next(self)
Ref next_property(Frame& f, Args a) {
    f.at(203);
    return call_method(a[0], names.dunder_next);
}

// @property
// def previous(self)
Ref previous_property(Frame& f, Args a) {
    f.at(207);
    return call_method(a[0], names.dunder_previous);
}

// @property
// def exists(self)
Ref exists(Frame& f, Args a) {
    f.at(211);
    Ref exists_function = os_path_function(f, names.exists);
    Ref name = getattr(a[0], names.filename);
    // The original os.path.exists over the original os.stat: one stat here
    // (a POSIX stat: where os.path is ntpath, Windows answers through os.path).
    if (!originals.nt_paths && exists_function.is(originals.exists) &&
        PyUnicode_CheckExact(name.get()) && gate::open(gate::Family::exists)) {
        return Ref::boolean(path_exists(name));
    }
    return call(exists_function, name);
}

const std::vector<MemberDef> members = {
    {"__init__", Kind::method, {"self", "filename", "pads", "postfix", "ext"},
     {default_int(3), default_text(".v"), default_text(".*")}, {}, 131, init},
    {"__iter__", Kind::generator, {"self"}, {},
     {"dirname", "basename", "root", "dirnames", "filenames", "filename"}, 150, scan},
    {"__contains__", Kind::method, {"self", "version"}, {}, {}, 158, contains},
    {"__next__", Kind::method, {"self"}, {}, {"vers", "current"}, 161, next_item},
    {"__previous__", Kind::method, {"self"}, {}, {"vers", "current"}, 171, previous_item},
    {"first", Kind::property, {"self"}, {}, {"ver"}, 182, first},
    {"last", Kind::property, {"self"}, {}, {"old", "last", "ver", "new"}, 187, last},
    {"next", Kind::property, {"self"}, {}, {}, 202, next_property},
    {"previous", Kind::property, {"self"}, {}, {}, 206, previous_property},
    {"exists", Kind::property, {"self"}, {}, {}, 210, exists},
};

}  // namespace

Ref file_system_init_fresh(Frame& f, Args a) { return init_with(f, a, true); }

const ClassDef version_file_system_class = {"VersionFileSystem", 130, members};

}  // namespace kv
