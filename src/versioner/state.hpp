// Process-wide state: interned names and the built-ins captured when the
// module is executed.
//
// The module can be loaded into one interpreter per process only, so this
// state is per process. Its references are never released: they live as long
// as the interpreter that the module is bound to (releasing them from static
// destructors would run after the interpreter has gone).
#pragma once

#include "ref.hpp"

namespace kv {

// A process-lifetime reference: replaced with `set`, never released otherwise.
class Immortal {
public:
    PyObject* get() const noexcept { return p_; }
    operator Borrowed() const noexcept { return Borrowed(p_); }  // NOLINT
    void set(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }
    // Takes `value` and hands back what was held, for the caller to let go of
    // once its own state is whole again (letting go may run code).
    Ref exchange(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        return Ref::steal(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Attribute, global and parameter names, interned once.
#define KV_NAMES(X)                          \
    X(filename, "filename")                  \
    X(pads, "pads")                          \
    X(postfix, "postfix")                    \
    X(ext, "ext")                            \
    X(regex_splits, "regex_splits")          \
    X(head, "head")                          \
    X(version, "version")                    \
    X(tail, "tail")                          \
    X(splits, "_splits")                     \
    X(current_method, "_current")            \
    X(current, "current")                    \
    X(path, "path")                          \
    X(splitext, "splitext")                  \
    X(compile, "compile")                    \
    X(finditer, "finditer")                  \
    X(groupdict, "groupdict")                \
    X(groupindex, "groupindex")              \
    X(rindex, "rindex")                      \
    X(int_to_pad, "int_to_pad")              \
    X(os, "os")                              \
    X(re, "re")                              \
    X(fnmatch, "fnmatch")                    \
    X(BaseVersion, "BaseVersion")            \
    X(Version, "Version")                    \
    X(VersionFileSystem, "VersionFileSystem") \
    X(dunder_module, "__module__")           \
    X(dunder_qualname, "__qualname__")       \
    X(dunder_prepare, "__prepare__")         \
    X(dunder_builtins, "__builtins__")       \
    X(dunder_class, "__class__")             \
    X(dunder_init, "__init__")               \
    X(replace, "replace")                    \
    X(co_argcount, "co_argcount")            \
    X(co_nlocals, "co_nlocals")              \
    X(co_varnames, "co_varnames")            \
    X(co_flags, "co_flags")                  \
    X(module_name, "kestrum.versioner")      \
    X(loader, "loader")                      \
    X(origin, "origin")                      \
    X(parent, "parent")                      \
    X(submodule_search_locations, "submodule_search_locations") \
    X(dunder_loader, "__loader__")           \
    X(dunder_file, "__file__")               \
    X(dunder_package, "__package__")         \
    X(dunder_path, "__path__")               \
    X(name, "name")                          \
    X(errors, "errors")                      \
    X(NoValidVersion, "NoValidVersion")      \
    X(NoVersionNumber, "NoVersionNumber")    \
    X(VersionZero, "VersionZero")            \
    X(ExceededPaddingVersion, "ExceededPaddingVersion") \
    X(dot, ".")                              \
    X(d_format, "%d")                        \
    X(pad_format, "%s%sd")                   \
    X(zero_flag, "%0")                       \
    X(four_fields, "%s%s%s%s")               \
    X(three_fields, "%s%s%s")                \
    X(two_fields, "%s%s")                    \
    X(isVersionless, "isVersionless")        \
    X(exists, "exists")                      \
    X(isabs, "isabs")                        \
    X(getcwd, "getcwd")                      \
    X(split, "split")                        \
    X(walk, "walk")                          \
    X(filter, "filter")                      \
    X(to, "to")                              \
    X(slash, "/")                            \
    X(star, "*")                             \
    X(nine, "9")                             \
    X(dunder_iter, "__iter__")               \
    X(dunder_next, "__next__")               \
    X(dunder_previous, "__previous__")       \
    X(search, "search")                      \
    X(group, "group")                        \
    X(fullmatch, "fullmatch")                \
    X(stem_open, "(.*)(?:")                  \
    X(stem_close, ")")                       \
    X(scandir, "scandir")                    \
    X(private_walk, "_walk")                 \
    X(islink, "islink")                      \
    X(join, "join")                          \
    X(is_dir, "is_dir")                      \
    X(dunder_enter, "__enter__")             \
    X(dunder_exit, "__exit__")               \
    X(walk_symlinks_as_files, "_walk_symlinks_as_files")

struct Names {
#define KV_DECLARE(field, text) PyObject* field = nullptr;
    KV_NAMES(KV_DECLARE)
#undef KV_DECLARE
};

extern Names names;

// Interns every name once; later calls do nothing.
void intern_names();

// The built-in names that the module uses, fetched once per execution of the
// module body.
#define KV_BUILTINS(X)      \
    X(object)               \
    X(staticmethod)         \
    X(property)             \
    X(TypeError)            \
    X(ValueError)           \
    X(super)                \
    X(IndexError)

struct Builtins {
#define KV_DECLARE(field) Immortal field;
    KV_BUILTINS(KV_DECLARE)
#undef KV_DECLARE
};

extern Builtins builtins;

// Fetches the built-ins above from the `builtins` module. A missing one fails
// with NameError "name '%U' is not defined".
void capture_builtins(Borrowed builtins_module);

}  // namespace kv
