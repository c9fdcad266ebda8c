// VersionFileSystem: the versions of one name that exist on disk.
#include "classes.hpp"
#include "ops.hpp"
#include "scan_generator.hpp"
#include "state.hpp"

namespace kv {
namespace {

// os.path.<name>, read through the module global at the call.
Ref os_path_function(Frame& f, Borrowed name) {
    return getattr(getattr(f.global(names.os), names.path), name);
}

// def __init__(self, filename, pads=3, postfix='.v', ext='.*'): anchors a
// relative name of an existing file, then parses as BaseVersion does.
Ref init(Frame& f, Args a) {
    Borrowed self = a[0];
    Borrowed filename = a[1];
    Ref pads = Ref::borrow(a[2]);
    Ref postfix = Ref::borrow(a[3]);
    Ref ext = Ref::borrow(a[4]);

    if (PyUnicode_Check(filename.get())) {
        f.at(133);
        setattr(self, names.filename, filename);
    } else {
        f.at(134);
        if (!is_copy_source(f, filename)) {
            f.at(140);
            raise(builtins.TypeError);
        }
        f.at(135);
        Ref source_name = getattr(filename, names.filename);
        setattr(self, names.filename, source_name);
        f.at(136);
        pads = getattr(filename, names.pads);
        f.at(137);
        postfix = getattr(filename, names.postfix);
        f.at(138);
        ext = getattr(filename, names.ext);
    }

    f.at(142);
    Ref exists = os_path_function(f, names.exists);
    Ref name = getattr(self, names.filename);
    if (truth(call(exists, name))) {
        Ref isabs = os_path_function(f, names.isabs);
        name = getattr(self, names.filename);
        if (!truth(call(isabs, name))) {
            f.at(143);
            Ref getcwd = getattr(f.global(names.os), names.getcwd);
            Ref cwd = call(getcwd);
            Ref old = getattr(self, names.filename);
            Ref anchored = Ref::check(PyNumber_Add(cwd.get(), names.slash));
            anchored = Ref::check(PyNumber_Add(anchored.get(), old.get()));
            setattr(self, names.filename, anchored);
        }
    }

    f.at(147);
    Ref cls = f.global(names.VersionFileSystem);
    Ref parent = call(builtins.super, cls, self);
    Ref parent_init = getattr(parent, names.dunder_init);
    Ref stored = getattr(self, names.filename);
    Ref text_name = str(stored);
    Ref kwnames = tuple(names.pads, names.postfix, names.ext);
    PyObject* args[] = {text_name.get(), pads.get(), postfix.get(), ext.get()};
    call_kw(parent_init, args, 1, kwnames);
    return Ref::none();
}

// def __iter__(self): the scan, as a generator.
Ref scan(Frame& f, Args a) {
    f.at(150);
    return make_scan_generator(a[0], f.globals());
}

// def __contains__(self, version): whether that number exists on disk.
Ref contains(Frame& f, Args a) {
    f.at(159);
    Ref cls = f.global(names.VersionFileSystem);
    Ref copy = call(cls, a[0]);
    Ref to = getattr(copy, names.to);
    Ref renumbered = call(to, a[1]);
    return getattr(renumbered, names.exists);
}

// @property
// def exists(self)
Ref exists(Frame& f, Args a) {
    f.at(211);
    Ref path_exists = os_path_function(f, names.exists);
    Ref name = getattr(a[0], names.filename);
    return call(path_exists, name);
}

const std::vector<MemberDef> members = {
    {"__init__", Kind::method, {"self", "filename", "pads", "postfix", "ext"},
     {default_int(3), default_text(".v"), default_text(".*")}, {}, 131, init},
    {"__iter__", Kind::generator, {"self"}, {},
     {"dirname", "basename", "root", "dirnames", "filenames", "filename"}, 150, scan},
    {"__contains__", Kind::method, {"self", "version"}, {}, {}, 158, contains},
    {"exists", Kind::property, {"self"}, {}, {}, 210, exists},
};

}  // namespace

const ClassDef version_file_system_class = {"VersionFileSystem", 130, members};

}  // namespace kv
