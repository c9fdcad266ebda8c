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
// the constructor at hand.
struct StoreNameLines {
    int store, test, copy_name, copy_pads, copy_postfix, copy_ext, refuse;
};
void store_name(Frame& f, Borrowed self, Borrowed filename, Ref& pads, Ref& postfix, Ref& ext,
                const StoreNameLines& lines);

// Makes the class of `def` as the class statement does: the namespace from
// the metaclass's __prepare__ with __module__ and __qualname__ first, then the
// members in table order, then metaclass(name, bases, namespace); binds the
// class in the module namespace. `body` is the module body's frame, so a
// failure is reported at the statement that failed.
void create_class(Frame& body, const ClassDef& def, Borrowed bases);

}  // namespace kv
