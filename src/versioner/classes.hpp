// The classes of the module: their member tables and how a class is made from
// its table.
#pragma once

#include <vector>

#include "function.hpp"

namespace kv {

struct ClassDef {
    const char* name;
    int line;  // of the class statement in the module body
    const std::vector<MemberDef>& members;
};

extern const ClassDef base_version_class;
extern const ClassDef version_class;
extern const ClassDef version_file_system_class;

// The constructors' first statements: store a text name, or copy the name of
// a source object (an instance of the module's `Version`, or else of its
// `VersionFileSystem`) and take its settings in place of the call's; refuse
// anything else with TypeError. `lines` are the lines of those statements in
// the constructor at hand. Returns the name stored; sets `*foreign` when code
// other than the module's own plain reads may have run (given a `foreign`).
struct StoreNameLines {
    int store, test, copy_name, copy_pads, copy_postfix, copy_ext, refuse;
};
Ref store_name(Frame& f, Borrowed self, Borrowed filename, Ref& pads, Ref& postfix, Ref& ext,
               const StoreNameLines& lines, bool* foreign = nullptr);

// BaseVersion.__init__ for an instance just allocated by the call of its
// class, when `class_unchanged` holds for that class: the same statements,
// but what it stores it need not read back while nothing foreign has run.
Ref base_init_fresh(Frame& f, Args a);

// The exact-str parts that a copy's name is known to be the concatenation
// of (see to): a split that cuts it between them gives them again.
struct CopyParts {
    PyObject* head;
    PyObject* version;
    PyObject* tail;
};

// The same, for the copy of an instance of the module's Version whose
// filename, pads, postfix and ext (as read from it) are the arguments: what
// the constructor does with that instance, without reading it again.
// `parts`, when given, as above.
Ref base_init_copied(Frame& f, Args a, const CopyParts* parts);

// cls(source) as `construct_copy` makes it: for `cls` one of the module's
// classes as created, unchanged, whose __init__ is BaseVersion.__init__ as
// created, with the source's filename and settings already read. Empty when
// that does not hold: then the call must run.
Ref construct_copy(PyObject* cls, PyObject* filename, PyObject* pads, PyObject* postfix,
                   PyObject* ext, const CopyParts* parts);
Ref file_system_init_fresh(Frame& f, Args a);

// cls(name) for `cls` the module's Version as made and unchanged, made the
// way a call of the class makes it; with `version` set to the version text
// its __init__ stored when nothing foreign ran during the construction (so
// reading it back from the instance would give that very object). Empty
// when the class cannot be called that way: then the call must run.
Ref construct_noting_version(PyObject* cls, PyObject* name, Ref& version);

// body(frame, defaults, context) where a call of the module's Version as made and
// unchanged would run its __init__ (BaseVersion.__init__ as made) on a new
// instance: in that member's frame (`defaults` its defaults of pads, postfix
// and ext), after the checks every call of a member
// begins with (a RecursionError raised as that call raises it), but with no
// instance made. For a caller that needs only something __init__ would
// compute, and knows that nothing else of the construction could be seen.
// Empty, with nothing run, when a call of the class would not come to that.
Ref run_as_version_init(Ref (*body)(Frame&, Args, void*), void* context);

// What construct_noting_version reads: forget_fresh before the
// construction, fresh_version right after it, with nothing run in between.
void forget_fresh() noexcept;
Ref fresh_version(PyObject* instance) noexcept;

// What a reading of obj.current tells beyond its value: `stable` when it
// ran none but the module's own code over plain attribute values (the class
// unchanged, its _current not shadowed, a version that is None or an exact
// str): reading it again, with nothing else run in between, gives the same;
// `version` and `filename` are then the attributes it read.
struct CurrentRead {
    bool stable = false;
    Ref version;
    Ref filename;
};

// obj.current and obj.isVersionless, for member code; `read`, when given,
// as above.
Ref current_attribute(Frame& f, Borrowed obj, CurrentRead* read = nullptr);
Ref is_versionless_attribute(Frame& f, Borrowed obj);

// self.to(number), once `own_method(self, "to")` holds. `known_pads`, when
// given, is what self.pads would read at the call (the caller has read it,
// and nothing but the module's own code over plain values has run since).
// Likewise `known` for self.version and self.filename (when stable).
Ref call_own_to(Frame& f, Borrowed self, Borrowed number, PyObject* known_pads = nullptr,
                const CurrentRead* known = nullptr);

// Makes the class of `def` as the class statement does: the namespace from
// the metaclass's __prepare__ with __module__ and __qualname__ first, then the
// members in table order, then metaclass(name, bases, namespace); binds the
// class in the module namespace. `body` is the module body's frame, so a
// failure is reported at the statement that failed.
void create_class(Frame& body, const ClassDef& def, Borrowed bases);

}  // namespace kv
