// BaseVersion: a parsed versioned file name.
//
// Each member is written statement by statement; `f.at(n)` marks the line
// that a traceback entry carries when the statements after it fail.
#include <cstring>

#include "classes.hpp"
#include "fast_paths.hpp"
#include "gate.hpp"
#include "ops.hpp"
#include "splits.hpp"
#include "state.hpp"

namespace kv {

Ref store_name(Frame& f, Borrowed self, Borrowed filename, Ref& pads, Ref& postfix, Ref& ext,
               const StoreNameLines& lines, bool* foreign) {
    if (PyUnicode_Check(filename.get())) {
        f.at(lines.store);
        // On a fresh instance of an unchanged class, the generic store.
        if (foreign && !*foreign) {
            require_status(PyObject_GenericSetAttr(self.get(), names.filename, filename.get()));
        } else {
            setattr(self, names.filename, filename);
        }
        return Ref::borrow(filename);
    }
    f.at(lines.test);
    // isinstance(filename, (Version, VersionFileSystem)), one class after the
    // other. The copy then reads only plain attributes of the source when its
    // class is one of the module's own as made and the class globals are the
    // originals, so that the tests are plain type checks.
    PyTypeObject* source_type = Py_TYPE(filename.get());
    bool plain = class_unchanged(source_type);
    Ref version_class = f.global(names.Version);
    plain = plain && version_class.is(originals.version);
    if (!isinstance(filename, version_class)) {
        Ref file_system_class = f.global(names.VersionFileSystem);
        plain = plain && file_system_class.is(originals.version_file_system);
        if (!isinstance(filename, file_system_class)) {
            f.at(lines.refuse);
            raise(builtins.TypeError);
        }
    }
    if (foreign && !plain) *foreign = true;
    f.at(lines.copy_name);
    Ref source_name = record_attribute(filename, names.filename);
    setattr(self, names.filename, source_name);
    f.at(lines.copy_pads);
    pads = record_attribute(filename, names.pads);
    f.at(lines.copy_postfix);
    postfix = record_attribute(filename, names.postfix);
    f.at(lines.copy_ext);
    ext = record_attribute(filename, names.ext);
    return source_name;
}

namespace {

// The instance that __init__ last completed with nothing foreign run, and
// the version it stored. Borrowed: read only by fresh_version, right after
// the construction that cleared it returned, with nothing run in between.
struct FreshInstance {
    PyObject* instance = nullptr;
    PyObject* version = nullptr;
};
FreshInstance last_fresh;
Ref current_number_of(Frame& f, Borrowed version, CurrentRead* read);
Ref current_reading(Frame& f, Borrowed self, CurrentRead* read);
Ref int_to_pad_of(Frame& f, Args a);
Ref to_with(Frame& f, Borrowed self, Borrowed version, PyObject* known_pads,
            const CurrentRead* known);

// self.name = value in __init__: while nothing foreign has run on a fresh
// instance of an unchanged class, its setattr is the generic one.
void store(Borrowed self, Borrowed name, Borrowed value, bool foreign) {
    if (foreign) return setattr(self, name, value);
    require_status(PyObject_GenericSetAttr(self.get(), name.get(), value.get()));
}
Ref is_versionless(Frame& f, Args a);

}  // namespace

// self.to(number) after `own_method` said yes.
Ref call_own_to(Frame& f, Borrowed self, Borrowed number, PyObject* known_pads,
                const CurrentRead* known) {
    return run_member_body(f.globals(), "kestrum.versioner.BaseVersion.to", 76, [&](Frame& g) {
        return to_with(g, self, number, known_pads, known && known->stable ? known : nullptr);
    });
}

// The two properties of the class: with the class unchanged, the property is
// the original one, a data descriptor that the instance cannot shadow, so
// its getter runs directly.
Ref current_attribute(Frame& f, Borrowed obj, CurrentRead* read) {
    if (!class_unchanged(Py_TYPE(obj.get()))) return getattr(obj, names.current);
    return run_member_body(f.globals(), "kestrum.versioner.BaseVersion.current", 69,
                           [&](Frame& g) { return current_reading(g, obj, read); });
}

Ref is_versionless_attribute(Frame& f, Borrowed obj) {
    if (!class_unchanged(Py_TYPE(obj.get()))) return getattr(obj, names.isVersionless);
    PyObject* args[] = {obj.get()};
    return run_member(f.globals(), "kestrum.versioner.BaseVersion.isVersionless", 73,
                      is_versionless, args);
}

namespace {

// def __init__(self, filename, pads=3, postfix='.v', ext='.*')
//
// `fresh`: self is a new instance of an unchanged class of the module (see
// class_unchanged), so an attribute stored and read back gives what was
// stored, as long as nothing foreign (a rebound global, an override) has run
// in between; then the read is skipped, and _splits, the original method,
// runs directly.
//
// `copied`: a fresh instance made as the copy of an instance of the module's
// Version, whose filename and settings, as read from it, are the arguments.
Ref init_with(Frame& f, Args a, bool fresh, bool copied = false,
              const CopyParts* hint = nullptr) {
    Borrowed self = a[0];
    Borrowed filename = a[1];
    Ref pads = Ref::borrow(a[2]);
    Ref postfix = Ref::borrow(a[3]);
    Ref ext = Ref::borrow(a[4]);
    bool foreign = !fresh;

    Ref stored;
    if (copied) {
        f.at(16);
        store(self, names.filename, filename, foreign);
        stored = Ref::borrow(filename);
    } else {
        stored = store_name(f, self, filename, pads, postfix, ext, {14, 15, 16, 17, 18, 19, 21},
                            &foreign);
    }
    f.at(23);
    store(self, names.postfix, postfix, foreign);
    f.at(24);
    store(self, names.pads, pads, foreign);

    f.at(25);
    Ref splitext = module_attribute(module_attribute(f.global(names.os), names.path),
                                    names.splitext);
    Ref stored_name = foreign ? record_attribute(self, names.filename) : std::move(stored);
    if (splitext.is(originals.splitext) && PyUnicode_CheckExact(stored_name.get()) &&
        gate::open(gate::Family::splitext)) {
        // extension[1:] of a non-empty extension, taken from the name itself.
        const Py_ssize_t dot = extension_start(stored_name);
        f.at(26);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(stored_name.get());
        // A copy keeps its source's extension object when it is that text.
        if (dot >= 0 && !(copied && same_text_at(ext, stored_name, dot + 1, length))) {
            ext = Ref::check(PyUnicode_Substring(stored_name.get(), dot + 1, length));
        }
    } else {
        foreign = true;
        Ref parts = call(splitext, stored_name);
        Ref extension = getitem(parts, integer(1));
        f.at(26);
        if (truth(extension)) ext = slice_from(extension, 1);
    }
    store(self, names.ext, ext, foreign);

    f.at(27);
    Ref compile = module_attribute(f.global(names.re), names.compile);
    Ref name_template = f.global(names.regex_splits);
    Ref self_postfix = foreign ? record_attribute(self, names.postfix) : std::move(postfix);
    Ref self_ext = foreign ? record_attribute(self, names.ext) : std::move(ext);
    // The same settings under the original template and re.compile give the
    // same pattern: keep it instead of formatting and compiling again.
    const bool cacheable = compile.is(originals.compile) &&
                           name_template.is(originals.name_template) &&
                           gate::open(gate::Family::compile) &&
                           PyUnicode_CheckExact(self_postfix.get()) &&
                           PyUnicode_CheckExact(self_ext.get());
    Ref pattern = cacheable ? cached_pattern(self_postfix, self_ext) : Ref();
    if (!pattern) {
        Ref pattern_text = format(name_template, tuple(self_postfix, self_ext));
        foreign = foreign || !cacheable;
        pattern = call(compile, pattern_text);
        if (cacheable) remember_pattern(self_postfix, self_ext, pattern);
    }
    store(self, names.regex_splits, pattern, foreign);

    f.at(28);
    Ref head, version, tail;
    if (!foreign && Py_TYPE(pattern.get()) ==
                        reinterpret_cast<PyTypeObject*>(originals.pattern_type) &&
        PyUnicode_CheckExact(stored_name.get())) {
        // The native split straight into the three parts, when it can answer.
        NativeSplit split = NativeSplit::cannot_answer;
        run_member_body(f.globals(), "kestrum.versioner.BaseVersion._splits", 49, [&](Frame& g) {
            g.at(51);
            Py_ssize_t h = 0, d = 0, end = 0;
            split = split_points(pattern, stored_name, h, d, end);
            if (split == NativeSplit::unmatched) {
                unmatched_parts(g, stored_name, head, version, tail);
            } else if (split == NativeSplit::matched) {
                cut_parts(stored_name, h, d, end, hint, head, version, tail);
            }
            return Ref::none();
        });
        if (split != NativeSplit::cannot_answer) {
            store(self, names.head, head, foreign);
            store(self, names.version, version, foreign);
            store(self, names.tail, tail, foreign);
            if (!foreign) last_fresh = {self.get(), version.get()};
            return Ref::none();
        }
    }
    Ref fields;
    if (!foreign) {
        // self._splits(self.filename), the original method on a fresh
        // instance: with the frame and traceback entry its call would have.
        PyObject* args[] = {pattern.get(), stored_name.get()};
        fields = run_member(f.globals(), "kestrum.versioner.BaseVersion._splits", 49,
                            splits_by_pattern, args);
    } else {
        Ref splits = getattr(self, names.splits);
        Ref split_name = record_attribute(self, names.filename);
        fields = call(splits, split_name);
    }
    unpack3(fields, head, version, tail);
    store(self, names.head, head, foreign);
    store(self, names.version, version, foreign);
    store(self, names.tail, tail, foreign);
    if (!foreign) last_fresh = {self.get(), version.get()};
    return Ref::none();
}

Ref init(Frame& f, Args a) { return init_with(f, a, false); }

// def __str__(self)
Ref to_str(Frame& f, Args a) {
    f.at(31);
    Ref filename = record_attribute(a[0], names.filename);
    return str(filename);
}

// def __repr__(self)
Ref to_repr(Frame& f, Args a) {
    f.at(34);
    Ref filename = record_attribute(a[0], names.filename);
    return str(filename);
}

// The version text that Version(name) stores for an exact str, found
// without the instance where the construction would run only the module's
// own code: the class as made and unchanged (run_as_version_init), the
// globals and attributes __init__ reads (os.path.splitext, re.compile, the
// template) the originals as last looked up, their families open, and the
// pattern of the name's settings compiled before. Empty, with nothing run
// that the construction would not run, when that does not hold.
Ref version_of_text(Borrowed name) {
    if (!PyUnicode_CheckExact(name.get())) return Ref();
    auto body = [](Frame& f, Args defaults, void* context) -> Ref {
        Borrowed text = static_cast<PyObject*>(context);
        PyObject* globals = f.globals().get();
        // Storing filename, postfix and pads on a new instance of the class
        // as made runs nothing; then come the reads.
        PyObject* os = cached_global(globals, names.os);
        if (os != originals.os || !PyModule_CheckExact(os)) return Ref();
        PyObject* path = cached_entry(PyModule_GetDict(os), names.path);
        if (path != originals.path || !PyModule_CheckExact(path) ||
            cached_entry(PyModule_GetDict(path), names.splitext) != originals.splitext ||
            !gate::open(gate::Family::splitext)) {
            return Ref();
        }
        PyObject* re = cached_global(globals, names.re);
        if (!re || !PyModule_CheckExact(re) ||
            cached_entry(PyModule_GetDict(re), names.compile) != originals.compile ||
            cached_global(globals, names.regex_splits) != originals.name_template ||
            !gate::open(gate::Family::compile)) {
            return Ref();
        }
        Borrowed postfix = defaults[1];
        Ref ext = Ref::borrow(defaults[2]);
        if (!PyUnicode_CheckExact(postfix.get()) || !PyUnicode_CheckExact(ext.get())) return Ref();
        f.at(26);
        const Py_ssize_t dot = extension_start(text);
        if (dot >= 0) {
            ext = Ref::check(
                PyUnicode_Substring(text.get(), dot + 1, PyUnicode_GET_LENGTH(text.get())));
        }
        Ref pattern = cached_pattern(postfix, ext);
        if (!pattern ||
            Py_TYPE(pattern.get()) != reinterpret_cast<PyTypeObject*>(originals.pattern_type)) {
            return Ref();
        }
        f.at(28);
        Py_ssize_t h = 0, d = 0, end = 0;
        switch (split_points(pattern, text, h, d, end)) {
            case NativeSplit::matched:
                return Ref::check(PyUnicode_Substring(text.get(), h, d));
            case NativeSplit::unmatched:
                return Ref::none();
            case NativeSplit::cannot_answer:
                break;
        }
        return Ref();
    };
    return run_as_version_init(body, name.get());
}

// def __eq__(self, version): versions are equal when their numbers are.
Ref eq(Frame& f, Args a) {
    Borrowed self = a[0];
    Borrowed version = a[1];
    if (PyUnicode_Check(version.get())) {
        f.at(38);
        Ref own = current_attribute(f, self);
        Ref version_class = f.global(names.Version);
        // With the global still the module's Version, a construction that
        // ran nothing foreign hands over the version it stored.
        // Where no instance needs making, none is made.
        const bool own_class = version_class.is(originals.version);
        Ref stored = own_class ? version_of_text(version) : Ref();
        Ref other;
        if (!stored) {
            if (own_class) {
                other = construct_noting_version(version_class.get(), version.get(), stored);
            }
            if (!other) other = call(version_class, version);
        }
        Ref other_current;
        if (stored) {
            // Its current is that of the version it stored, through the
            // property and _current as made.
            other_current = run_member_body(
                f.globals(), "kestrum.versioner.BaseVersion.current", 69, [&](Frame& g) {
                    g.at(70);
                    return run_member_body(g.globals(), "kestrum.versioner.BaseVersion._current",
                                           62, [&](Frame& h) {
                                               return current_number_of(h, stored, nullptr);
                                           });
                });
        } else {
            other_current = current_attribute(f, other);
        }
        return equals(own, other_current);
    }
    if (PyLong_Check(version.get())) {
        f.at(40);
        Ref own = current_attribute(f, self);
        return equals(own, version);
    }
    f.at(41);
    Ref version_class = f.global(names.Version);
    if (isinstance(version, version_class)) {
        f.at(42);
        Ref own = current_attribute(f, self);
        Ref other_current = current_attribute(f, version);
        return equals(own, other_current);
    }
    f.at(43);
    raise(builtins.TypeError);
}

// @staticmethod
// def int_to_pad(pads, number)
Ref int_to_pad_of(Frame& f, Args a) {
    Borrowed pads = a[0];
    Borrowed number = a[1];
    f.at(47);
    if (Ref padded = pad_number(pads, number)) return padded;
    // "%0<pads>d" built and applied with the % operator, so every printf rule
    // of the operator (sign, negative width, float truncation) holds.
    Ref width = format(names.d_format, pads);
    Ref number_format = format(names.pad_format, tuple(names.zero_flag, width));
    return format(number_format, number);
}

// def _splits(self, filename)
Ref splits(Frame& f, Args a) {
    f.at(51);
    Ref pattern = record_attribute(a[0], names.regex_splits);
    return splits_of(f, pattern, a[1]);
}

// The statements of _current for `self`. `read` (when given) is marked
// stable, with the version read, when that is None or an exact str, whose
// conversion runs no code.
Ref current_number(Frame& f, Borrowed self, CurrentRead* read) {
    f.at(64);
    Ref version;
    try {
        version = record_attribute(self, names.version);
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Ref::none();
    }
    return current_number_of(f, version, read);
}

// The rest of _current, for the version it read.
Ref current_number_of(Frame& f, Borrowed version, CurrentRead* read) {
    f.at(64);
    try {
        // int(None) would raise TypeError, which the handler below turns
        // into None: answer at once instead.
        if (read && (version.is_none() || PyUnicode_CheckExact(version.get()))) {
            read->stable = true;
            read->version = Ref::borrow(version);
        }
        if (version.is_none()) return Ref::none();
        if (Ref number = parse_digits(version)) return number;
        return to_int(version);
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
    return Ref::none();
}

// def _current(self, path)
Ref current_of(Frame& f, Args a) { return current_number(f, a[0], nullptr); }

// The statements of the property current; `read` as for current_attribute.
Ref current_reading(Frame& f, Borrowed self, CurrentRead* read) {
    f.at(70);
    if (class_unchanged(Py_TYPE(self.get()))) {
        // Reading self.filename runs no code here, so the method can be
        // looked up at the call, as a method call does, without binding it.
        Ref filename = record_attribute(self, names.filename);
        // Kept only as an exact str, whose release runs no code: another
        // value must be released where the general path releases it.
        if (read && PyUnicode_CheckExact(filename.get())) read->filename = Ref::borrow(filename);
        if (own_method(self, names.current_method)) {
            return run_member_body(f.globals(), "kestrum.versioner.BaseVersion._current", 62,
                                   [&](Frame& g) { return current_number(g, self, read); });
        }
        return call_method(self, names.current_method, filename);
    }
    Ref method = getattr(self, names.current_method);
    Ref filename = getattr(self, names.filename);
    return call(method, filename);
}

// @property
// def current(self)
Ref current(Frame& f, Args a) { return current_reading(f, a[0], nullptr); }

// @property
// def isVersionless(self)
Ref is_versionless(Frame& f, Args a) {
    f.at(74);
    Ref version = record_attribute(a[0], names.version);
    return Ref::boolean(!truth(version));
}

// def to(self, version): the same name at another number. Rewrites this
// object's filename, then builds a new object of its class from it.
Ref to_with(Frame& f, Borrowed self, Borrowed version, PyObject* known_pads,
            const CurrentRead* known) {
    PyObject* known_version = known ? known->version.get() : nullptr;
    f.at(77);
    const bool own_int_to_pad = own_static_method(self, names.int_to_pad, int_to_pad_of);
    Ref int_to_pad = own_int_to_pad ? Ref() : getattr(self, names.int_to_pad);
    Ref pads = known_pads ? Ref::borrow(known_pads) : record_attribute(self, names.pads);
    Ref width = PyLong_CheckExact(pads.get()) ? Ref::borrow(pads) : to_int(pads);
    Ref number = PyLong_CheckExact(version.get()) ? Ref::borrow(version) : to_int(version);
    Ref digits;
    if (own_int_to_pad) {
        PyObject* args[] = {width.get(), number.get()};
        digits = run_member(f.globals(), "kestrum.versioner.BaseVersion.int_to_pad", 46,
                            int_to_pad_of, args);
    } else {
        digits = call(int_to_pad, width, number);
    }

    f.at(79);
    // `not self.version` of a known None or exact str runs no code.
    Ref versionless = known_version ? Ref::boolean(!truth(known_version))
                                    : is_versionless_attribute(f, self);
    Ref new_name;
    bool plain_parts = false;  // all exact str: the join ran no code
    Ref name_head, name_tail;  // of a name with a number: new_name is head + digits + tail
    if (truth(versionless)) {
        f.at(80);
        Ref head = record_attribute(self, names.head);
        Ref postfix = record_attribute(self, names.postfix);
        f.at(81);
        Ref tail = record_attribute(self, names.tail);
        f.at(80);
        // A part that is None (both, on a name without a dot; one, after a
        // rebinding) would be rendered as the text 'None' in the new name.
        if (head.is_none() || postfix.is_none() || tail.is_none()) {
            raise(f.global(names.NoValidVersion));
        }
        plain_parts = PyUnicode_CheckExact(head.get()) && PyUnicode_CheckExact(postfix.get()) &&
                      PyUnicode_CheckExact(tail.get());
        new_name = join_fields(names.four_fields, {head, postfix, digits, tail});
    } else {
        f.at(83);
        Ref head = record_attribute(self, names.head);
        Ref tail = record_attribute(self, names.tail);
        if (head.is_none() || tail.is_none()) raise(f.global(names.NoValidVersion));
        plain_parts = PyUnicode_CheckExact(head.get()) && PyUnicode_CheckExact(tail.get());
        new_name = join_fields(names.three_fields, {head, digits, tail});
        name_head = std::move(head);
        name_tail = std::move(tail);
    }
    PyTypeObject* type = Py_TYPE(self.get());
    const bool unchanged = class_unchanged(type);
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    // When all that ran since self.pads was read is the module's own code
    // over plain values, and the name that the store replaces is an exact
    // str (whose release runs no code), the copy made below would read back
    // the name stored here and that same pads. The number's conversion runs
    // code of its own (__index__, __int__) unless it was an exact int.
    bool copy_known = false;
    Ref old_name;
    if (unchanged && cls == originals.version && own_int_to_pad && plain_parts &&
        PyLong_CheckExact(pads.get()) && PyLong_CheckExact(version.get()) &&
        PyUnicode_CheckExact(digits.get())) {
        old_name = known && known->filename ? Ref::borrow(known->filename)
                                            : try_record_attribute(self, names.filename);
        copy_known = !old_name || PyUnicode_CheckExact(old_name.get());
    }
    store(self, names.filename, new_name, !unchanged);
    // Released where the store would have released it.
    old_name.reset();

    f.at(85);
    // __class__ is a data descriptor of object: for an unchanged class, the
    // type itself.
    if (!unchanged) return call(getattr(self, names.dunder_class), self);
    if (cls == originals.version && f.global(names.Version).is(originals.version)) {
        // The constructor copies an instance of its Version: its filename
        // and settings, read here as it would read them. A failed reading
        // runs the constructor, which fails on it there.
        Ref name = copy_known ? Ref::borrow(new_name) : try_record_attribute(self, names.filename);
        Ref copied_pads = !name       ? Ref()
                          : copy_known ? Ref::borrow(pads)
                                       : try_record_attribute(self, names.pads);
        Ref postfix = copied_pads ? try_record_attribute(self, names.postfix) : Ref();
        Ref ext = postfix ? try_record_attribute(self, names.ext) : Ref();
        if (ext) {
            // The copy's name is the join of these parts: its split, where it
            // cuts between them, gives them again.
            const CopyParts parts = {name_head.get(), digits.get(), name_tail.get()};
            const bool hinted = copy_known && name_head;
            Ref made = construct_copy(cls, name.get(), copied_pads.get(), postfix.get(), ext.get(),
                                      hinted ? &parts : nullptr);
            if (made) return made;
        }
    }
    return call(Borrowed(cls), self);
}

Ref to(Frame& f, Args a) { return to_with(f, a[0], a[1], nullptr, nullptr); }

// head[:len(head) - len(postfix)], and nothing when the postfix is longer.
Ref cut_stem(Borrowed head, Borrowed postfix) {
    const Py_ssize_t head_length = PyObject_Size(head.get());
    if (head_length < 0) throw PyErrOccurred();
    const Py_ssize_t postfix_length = PyObject_Size(postfix.get());
    if (postfix_length < 0) throw PyErrOccurred();
    const Py_ssize_t keep = head_length - postfix_length;
    return slice_to(head, Ref::check(PyLong_FromSsize_t(keep > 0 ? keep : 0)));
}

// The head without the text that the postfix matched at its end:
// re.fullmatch('(.*)(?:' + postfix + ')', head).group(1), compiled through
// the `re` global; the cut of len(postfix) characters when the two no
// longer agree.
Ref stem_of(Frame& f, Borrowed head, Borrowed postfix) {
    Ref compile = module_attribute(f.global(names.re), names.compile);
    const bool cacheable = compile.is(originals.compile) && PyUnicode_CheckExact(postfix.get()) &&
                           gate::open(gate::Family::compile);
    if (cacheable && PyUnicode_CheckExact(head.get())) {
        if (Ref stem = plain_postfix_stem(head, postfix)) return stem;
    }
    Ref pattern = cacheable ? cached_stem_pattern(postfix) : Ref();
    if (!pattern) {
        Ref opened = Ref::check(PyNumber_Add(names.stem_open, postfix.get()));
        Ref pattern_text = Ref::check(PyNumber_Add(opened.get(), names.stem_close));
        pattern = call(compile, pattern_text);
        if (cacheable) remember_stem_pattern(postfix, pattern);
    }
    Ref match = call_method(pattern, names.fullmatch, head);
    if (match.is_none()) return cut_stem(head, postfix);
    return call_method(match, names.group, integer(1));
}

// Steps of `versionless`, all inside its `except Exception` guard.
Ref versionless_name(Frame& f, Borrowed self) {
    f.at(90);
    Ref tail = record_attribute(self, names.tail);
    if (!truth(tail)) {
        f.at(91);
        return record_attribute(self, names.head);
    }
    f.at(93);
    Ref versionless = is_versionless_attribute(f, self);
    if (!truth(versionless)) {
        f.at(94);
        Ref head = record_attribute(self, names.head);
        Ref postfix = record_attribute(self, names.postfix);
        Ref stem = stem_of(f, head, postfix);
        f.at(95);
        Ref version_class = f.global(names.Version);
        Ref name_tail = record_attribute(self, names.tail);
        Ref name = join_fields(names.two_fields, {stem, name_tail});
        return call(version_class, name);
    }
    f.at(97);
    Ref version_class = f.global(names.Version);
    Ref head = record_attribute(self, names.head);
    Ref name_tail = record_attribute(self, names.tail);
    Ref name = join_fields(names.two_fields, {head, name_tail});
    return call(version_class, name);
}

// @property
// def versionless(self): the name without its number, as a default Version.
Ref versionless(Frame& f, Args a) {
    try {
        return versionless_name(f, a[0]);
    } catch (const PyErrOccurred&) {
        Caught caught(f);
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        f.at(99);
        try {
            raise(f.global(names.NoValidVersion));
        } catch (const PyErrOccurred&) {
            caught.chain();
        }
    }
}

const std::vector<MemberDef> members = {
    {"__init__", Kind::method, {"self", "filename", "pads", "postfix", "ext"},
     {default_int(3), default_text(".v"), default_text(".*")}, {"extension"}, 12, init},
    {"__str__", Kind::method, {"self"}, {}, {}, 30, to_str},
    {"__repr__", Kind::method, {"self"}, {}, {}, 33, to_repr},
    {"__eq__", Kind::method, {"self", "version"}, {}, {}, 36, eq},
    {"int_to_pad", Kind::static_method, {"pads", "number"}, {}, {}, 46, int_to_pad_of},
    {"_splits", Kind::method, {"self", "filename"}, {}, {"info", "match"}, 49, splits},
    {"_current", Kind::method, {"self", "path"}, {}, {}, 62, current_of},
    {"current", Kind::property, {"self"}, {}, {}, 69, current},
    {"isVersionless", Kind::property, {"self"}, {}, {}, 73, is_versionless},
    {"to", Kind::method, {"self", "version"}, {}, {}, 76, to},
    {"versionless", Kind::property, {"self"}, {}, {"filename"}, 88, versionless},
};

}  // namespace

const ClassDef base_version_class = {"BaseVersion", 11, members};

Ref base_init_fresh(Frame& f, Args a) { return init_with(f, a, true); }

void forget_fresh() noexcept { last_fresh = {}; }

Ref fresh_version(PyObject* instance) noexcept {
    const FreshInstance fresh = last_fresh;
    last_fresh = {};
    if (!instance || instance != fresh.instance) return Ref();
    return Ref::borrow(fresh.version);
}
Ref base_init_copied(Frame& f, Args a, const CopyParts* parts) {
    return init_with(f, a, true, true, parts);
}

}  // namespace kv
