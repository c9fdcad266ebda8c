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

// Whether the constructors copy from `obj`: an instance of the module's
// `Version`, or else of its `VersionFileSystem` (both read at the call).
bool is_copy_source(Frame& f, Borrowed obj);

// Makes the class of `def` as the class statement does: the namespace from
// the metaclass's __prepare__ with __module__ and __qualname__ first, then the
// members in table order, then metaclass(name, bases, namespace); binds the
// class in the module namespace. `body` is the module body's frame, so a
// failure is reported at the statement that failed.
void create_class(Frame& body, const ClassDef& def, Borrowed bases);

}  // namespace kv
