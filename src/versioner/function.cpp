#include "function.hpp"

#include <cstddef>
#include <new>
#include <string>

#include <structmember.h>

#include "arguments.hpp"
#include "classes.hpp"
#include "fast_paths.hpp"
#include "gate.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace kv {

Ref Frame::global_uncached(Borrowed name) const {
    PyObject* globals = globals_.get();
    if (PyObject* value = PyDict_GetItemWithError(globals, name.get())) {
        if (PyDict_CheckExact(globals)) remember_lookup(globals, name.get(), nullptr, value);
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) throw PyErrOccurred();
    // As for a global name in a function: the built-ins that the globals name.
    PyObject* builtins_obj = PyDict_GetItemWithError(globals, names.dunder_builtins);
    if (!builtins_obj && PyErr_Occurred()) throw PyErrOccurred();
    PyObject* builtins_dict = nullptr;
    // Without `__builtins__` the answer depends on the calling frame: not kept.
    bool keep = builtins_obj && PyDict_CheckExact(globals);
    if (builtins_obj && PyModule_Check(builtins_obj)) {
        builtins_dict = PyModule_GetDict(builtins_obj);
    } else if (builtins_obj && PyDict_Check(builtins_obj)) {
        builtins_dict = builtins_obj;
    } else {
        builtins_dict = PyEval_GetBuiltins();
        keep = false;
    }
    if (PyObject* value = PyDict_GetItemWithError(builtins_dict, name.get())) {
        // The built-ins dict lives as long as the unchanged globals hold
        // `__builtins__`, which is what the entry checks first.
        if (keep && PyDict_CheckExact(builtins_dict)) {
            remember_lookup(globals, name.get(), builtins_dict, value);
        }
        return Ref::borrow(value);
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    throw PyErrOccurred();
}

void Frame::traceback_here() const { add_traceback(traceback_name_, globals_, line_); }

bool Caught::matches(Borrowed cls) const {
    bool valid = PyExceptionClass_Check(cls.get());
    if (!valid && PyTuple_Check(cls.get())) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.get()); ++i) {
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(cls.get(), i));
        }
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        throw PyErrOccurred();
    }
    return PyErr_GivenExceptionMatches(exception_.get(), cls.get()) != 0;
}

void Caught::reraise() {
    frame_.at(line_);
    restore_exception(std::move(exception_));
    throw PyErrOccurred();
}

void Caught::chain() {
    Ref raised = fetch_exception();
    const int handler_line = frame_.line();
    restore_exception(std::move(exception_));
    frame_.at(line_);
    frame_.traceback_here();
    Ref context = fetch_exception();
    if (raised && context && !raised.is(context)) {
        PyException_SetContext(raised.get(), context.release());
    }
    frame_.at(handler_line);
    restore_exception(std::move(raised));
    throw PyErrOccurred();
}

namespace {

struct FunctionData {
    const MemberDef* def;
    std::string traceback_name;  // "kestrum.versioner.<Class>.<member>"
    Ref name;
    Ref qualname;
    Ref module;
    Ref defaults;     // tuple, or None
    Ref code;
    Ref globals;
    Ref annotations;  // dict
    Ref param_names;  // tuple of the parameter names
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weaklist;
    FunctionData data;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// What every call of a member begins with, in its frame: the gate's call
// count, and the recursion checks (members call back into Python through
// overridable attributes and module globals, so a runaway recursion through
// them must end in RecursionError). False, with the error and the frame's
// entry set, when the call is refused; else Py_LeaveRecursiveCall is due.
bool enter_member_call(const Frame& frame) {
    gate::call_begins();
    if (compat::stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        frame.traceback_here();
        return false;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        frame.traceback_here();
        return false;
    }
    return true;
}

// Runs the member of `data` for a call's arguments: what every call of a
// function of this module comes to. `impl`, when given, stands in for the
// member's implementation (a variant for a case known to the caller).
PyObject* invoke(FunctionData& data, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Impl impl = nullptr) {
    const MemberDef& def = *data.def;
    Frame frame(data.globals, data.traceback_name.c_str(), def.first_line);
    if (!enter_member_call(frame)) return nullptr;
    PyObject* result = nullptr;
    try {
        PyObject* bound[max_params];
        bind_arguments(def, data.param_names, data.defaults, args, nargs, kwnames, bound);
        result = (impl ? impl : def.impl)(frame, bound).release();
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    KV_CATCH_ANY_CXX_EXCEPTION {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in kestrum.versioner");
    }
    Py_LeaveRecursiveCall();
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s returned no result and set no error",
                         data.traceback_name.c_str());
        }
        frame.traceback_here();
    }
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return invoke(as_function(callable)->data, args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->data.qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->data.defaults.get());
    Py_VISIT(f->data.code.get());
    Py_VISIT(f->data.globals.get());
    Py_VISIT(f->data.annotations.get());
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    // The globals stay: a call during collection must still find them, and
    // the module namespace breaks any cycle through them by itself.
    Py_CLEAR(f->dict);
    f->data.annotations.reset();
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(f->dict);
    f->data.~FunctionData();
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// Attributes that make the object introspectable like a Python function.
template <Ref FunctionData::*field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = (as_function(self)->data.*field).get();
    return Ref::borrow(value ? value : Py_None).release();
}

PyObject* get_none(PyObject*, void*) { return Ref::none().release(); }

PyObject* get_annotations(PyObject* self, void*) {
    FunctionData& data = as_function(self)->data;
    if (!data.annotations) {
        data.annotations = Ref::steal(PyDict_New());
        if (!data.annotations) return nullptr;
    }
    return Ref::borrow(data.annotations).release();
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        as_function(self)->data.annotations.reset();
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->data.annotations = Ref::borrow(value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionData::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionData::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&FunctionData::module>, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&FunctionData::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_field<&FunctionData::code>, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&FunctionData::globals>, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python functions are: the qualified name is looked
// up in the module again.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Ref::borrow(as_function(self)->data.qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "kestrum.versioner.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

// Made once per process, like the module it serves.
Immortal function_type;

Ref interned(const char* s) { return Ref::check(PyUnicode_InternFromString(s)); }

Ref default_value(const Default& d) {
    return d.type == Default::Type::integer ? integer(d.integer) : text(d.text);
}

// A real code object that carries the member's signature, so that
// inspect.signature() and help() read it as they read a Python function's.
Ref make_code(const MemberDef& def, Borrowed param_names) {
    Ref code = Ref::check(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, def.name, def.first_line)));
    const Py_ssize_t nparams = PyTuple_GET_SIZE(param_names.get());
    const Py_ssize_t nvars = nparams + static_cast<Py_ssize_t>(def.locals.size());
    Ref varnames = Ref::check(PyTuple_New(nvars));
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i,
                         Ref::borrow(PyTuple_GET_ITEM(param_names.get(), i)).release());
    }
    for (size_t i = 0; i < def.locals.size(); ++i) {
        PyTuple_SET_ITEM(varnames.get(), nparams + static_cast<Py_ssize_t>(i),
                         interned(def.locals[i]).release());
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (def.kind == Kind::generator) flags |= CO_GENERATOR;
    Ref argcount = Ref::check(PyLong_FromSsize_t(nparams));
    Ref nlocals = Ref::check(PyLong_FromSsize_t(nvars));
    Ref co_flags = integer(flags);
    Ref replace = getattr(code, names.replace);
    Ref kwnames = tuple(names.co_argcount, names.co_nlocals, names.co_varnames, names.co_flags);
    PyObject* values[] = {argcount.get(), nlocals.get(), varnames.get(), co_flags.get()};
    return call_kw(replace, values, 0, kwnames);
}

}  // namespace

namespace {

// cls(*args, **kwargs) for one of the module's own classes as created, when
// calling it comes to what `type` does for it: allocate with the class's own
// allocator (its __new__ is object's) and run its __init__, one of this
// module's functions. Without the interpreter's argument tuples in between.
// Empty when that does not hold.
Ref construct(PyObject* cls, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    if (cls != originals.version && cls != originals.version_file_system &&
        cls != originals.base_version) {
        return Ref();
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    // An abstract class is refused by object's __new__, so it takes the
    // general path that says so.
    if (Py_TYPE(cls) != &PyType_Type || type->tp_new != PyBaseObject_Type.tp_new ||
        (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) || nargs + nkw + 1 > max_params) {
        return Ref();
    }
    // An unchanged class has the __init__ it was made with, found without a
    // lookup.
    const bool unchanged = class_unchanged(type);
    PyObject* init = !unchanged ? compat::type_lookup(type, names.dunder_init)
                     : cls == originals.version_file_system ? originals.file_system_init
                                                            : originals.base_init;
    if (!init || Py_TYPE(init) != reinterpret_cast<PyTypeObject*>(function_type.get())) {
        return Ref();
    }
    Ref keep_init = Ref::borrow(init);
    // object.__new__ itself, not just the allocator: from 3.11 on it also
    // readies the instance's inline attribute values, without which the
    // first attribute makes a dict of its own instead of sharing the class's
    // keys (larger, and slower to read).
    Ref no_arguments = Ref::check(PyTuple_New(0));
    Ref instance = Ref::check(type->tp_new(type, no_arguments.get(), nullptr));
    PyObject* with_self[max_params];
    with_self[0] = instance.get();
    for (size_t i = 0; i < nargs + nkw; ++i) with_self[i + 1] = args[i];
    // A new instance of an unchanged class: BaseVersion.__init__ may take
    // what it stores for what it would read back.
    Impl fresh = nullptr;
    if (unchanged) {
        if (init == originals.base_init) fresh = base_init_fresh;
        if (init == originals.file_system_init) fresh = file_system_init_fresh;
    }
    Ref result = Ref::check(invoke(as_function(init)->data, with_self,
                                   static_cast<Py_ssize_t>(nargs + 1), kwnames, fresh));
    if (!result.is_none()) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        throw PyErrOccurred();
    }
    return instance;
}

// The call of one of the module's classes (their tp_vectorcall, never
// inherited by subclasses): `construct`, or else what type.__call__ does.
PyObject* class_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    const size_t nargs = PyVectorcall_NARGS(nargsf);
    try {
        if (Ref made = construct(cls, args, nargs, kwnames)) return made.release();
        Ref positional = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
        for (size_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(positional.get(), static_cast<Py_ssize_t>(i),
                             Ref::borrow(args[i]).release());
        }
        Ref keywords;
        if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
            keywords = Ref::check(PyDict_New());
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
                require_status(PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, j),
                                              args[nargs + static_cast<size_t>(j)]));
            }
        }
        return PyType_Type.tp_call(cls, positional.get(), keywords.get());
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

}  // namespace

namespace {

// The module's Version as made and unchanged, called as `type` calls it: its
// __init__ is BaseVersion.__init__ as made, run on what object.__new__ makes.
bool version_class_as_made() {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(originals.version);
    return Py_TYPE(originals.version) == &PyType_Type &&
           type->tp_new == PyBaseObject_Type.tp_new &&
           !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) && class_unchanged(type);
}

}  // namespace

Ref construct_copy(PyObject* cls, PyObject* filename, PyObject* pads, PyObject* postfix,
                   PyObject* ext, const CopyParts* parts) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (cls != originals.version || !version_class_as_made()) return Ref();
    // The class as made: its __init__ is BaseVersion.__init__ as made, run
    // here in its own frame as a call of the class would run it.
    FunctionData& init = as_function(originals.base_init)->data;
    Ref no_arguments = Ref::check(PyTuple_New(0));
    Ref instance = Ref::check(type->tp_new(type, no_arguments.get(), nullptr));
    PyObject* args[] = {instance.get(), filename, pads, postfix, ext};
    run_member_body(init.globals, init.traceback_name.c_str(), init.def->first_line,
                    [&](Frame& f) { return base_init_copied(f, args, parts); });
    return instance;
}

Ref construct_noting_version(PyObject* cls, PyObject* name, Ref& version) {
    version.reset();
    if (cls != originals.version) return Ref();
    forget_fresh();
    PyObject* args[] = {name};
    Ref made = construct(cls, args, 1, nullptr);
    // Nothing ran between the end of __init__ and here: what it noted is
    // still stored on the instance, which holds it.
    version = fresh_version(made.get());
    return made;
}

Ref run_as_version_init(Ref (*body)(Frame&, Args, void*), void* context) {
    if (!originals.version || !version_class_as_made()) return Ref();
    // What invoke() does for the call of __init__, short of the instance.
    FunctionData& init = as_function(originals.base_init)->data;
    Frame frame(init.globals, init.traceback_name.c_str(), init.def->first_line);
    if (!enter_member_call(frame)) throw PyErrOccurred();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    // The defaults of pads, postfix and ext.
    Args defaults = &PyTuple_GET_ITEM(init.defaults.get(), 0);
    return run_member_body(init.globals, init.traceback_name.c_str(), init.def->first_line,
                           [&](Frame& f) { return body(f, defaults, context); });
}

void enable_class_call(PyObject* cls) {
    reinterpret_cast<PyTypeObject*>(cls)->tp_vectorcall = class_vectorcall;
}

Ref call_positional(Borrowed callable, PyObject* const* args, size_t nargs) {
    PyObject* target = callable.get();
    if (Ref made = construct(target, args, nargs, nullptr)) return made;
    PyTypeObject* own_type = reinterpret_cast<PyTypeObject*>(function_type.get());
    if (Py_TYPE(target) == own_type) {
        return Ref::check(invoke(as_function(target)->data, args, static_cast<Py_ssize_t>(nargs),
                                 nullptr));
    }
    if (PyMethod_Check(target) && Py_TYPE(PyMethod_GET_FUNCTION(target)) == own_type &&
        nargs < max_params) {
        PyObject* with_self[max_params];
        with_self[0] = PyMethod_GET_SELF(target);
        for (size_t i = 0; i < nargs; ++i) with_self[i + 1] = args[i];
        return Ref::check(invoke(as_function(PyMethod_GET_FUNCTION(target))->data, with_self,
                                 static_cast<Py_ssize_t>(nargs + 1), nullptr));
    }
    return Ref::check(PyObject_Vectorcall(target, args, nargs, nullptr));
}

bool is_member_function(PyObject* obj, Impl impl) noexcept {
    return Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(function_type.get()) &&
           as_function(obj)->data.def->impl == impl;
}

void ready_function_type() {
    if (function_type.get()) return;
    function_type.set(Ref::check(PyType_FromSpec(&function_spec)));
}

Ref make_function(const MemberDef& def, const char* class_name, Borrowed globals) {
    if (def.params.size() > max_params || def.defaults.size() > def.params.size()) {
        PyErr_Format(PyExc_SystemError, "member %s.%s has a bad parameter list", class_name,
                     def.name);
        throw PyErrOccurred();
    }
    Ref param_names = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    for (size_t i = 0; i < def.params.size(); ++i) {
        PyTuple_SET_ITEM(param_names.get(), static_cast<Py_ssize_t>(i),
                         interned(def.params[i]).release());
    }
    Ref defaults = Ref::none();
    if (!def.defaults.empty()) {
        defaults = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(def.defaults.size())));
        for (size_t i = 0; i < def.defaults.size(); ++i) {
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i),
                             default_value(def.defaults[i]).release());
        }
    }
    Ref code = make_code(def, param_names);
    Ref name = interned(def.name);
    Ref qualname = Ref::check(PyUnicode_FromFormat("%s.%s", class_name, def.name));
    Ref annotations = Ref::check(PyDict_New());

    FunctionData data{&def,
                      std::string("kestrum.versioner.") + class_name + "." + def.name,
                      std::move(name),
                      std::move(qualname),
                      Ref::borrow(names.module_name),
                      std::move(defaults),
                      std::move(code),
                      Ref::borrow(globals),
                      std::move(annotations),
                      std::move(param_names)};
    FunctionObject* f = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(function_type.get()));
    if (!f) throw PyErrOccurred();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weaklist = nullptr;
    new (&f->data) FunctionData(std::move(data));
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace kv
