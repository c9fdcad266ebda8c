#include "classes.hpp"

#include "state.hpp"

namespace kv {

void create_class(Frame& body, const ClassDef& def, Borrowed bases) {
    body.at(def.line);
    Ref name = text(def.name);
    Borrowed metaclass = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)));
    Ref prepare = getattr(metaclass, names.dunder_prepare);
    Ref namespace_ = call(prepare, name, bases);
    setitem(namespace_, names.dunder_module, names.module_name);
    setitem(namespace_, names.dunder_qualname, name);

    for (const MemberDef& member : def.members) {
        body.at(member.first_line);
        Ref function = make_function(member, def.name, body.globals());
        // A decorator is evaluated on the line above the definition.
        if (member.kind == Kind::static_method) {
            body.at(member.first_line - 1);
            function = call(builtins.staticmethod, function);
        } else if (member.kind == Kind::property) {
            body.at(member.first_line - 1);
            function = call(builtins.property, function);
        }
        body.at(member.first_line);
        Ref member_name = text(member.name);
        setitem(namespace_, member_name, function);
    }

    body.at(def.line);
    Ref cls = call(metaclass, name, bases, namespace_);
    setitem(body.globals(), name, cls);
}

}  // namespace kv
