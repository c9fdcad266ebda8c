// The function-like type of the module's members.
//
// A member is described by a `MemberDef` row of its class's table and
// implemented by a C++ function `Ref impl(Frame&, Args)`. The function object
// binds the call's arguments to the row's parameters (arguments.cpp), runs the
// implementation, and turns a thrown `PyErrOccurred` into a traceback entry at
// the line the implementation last marked with `Frame::at`.
#pragma once

#include <new>
#include <vector>

#include "lookup_cache.hpp"
#include "ref.hpp"

namespace kv {

enum class Kind { method, static_method, property, generator };

// A default value of a parameter: an integer or a text.
struct Default {
    enum class Type { integer, text } type;
    long integer;
    const char* text;
};
inline Default default_int(long v) { return {Default::Type::integer, v, nullptr}; }
inline Default default_text(const char* s) { return {Default::Type::text, 0, s}; }

// The running member: where its globals are and which statement runs now.
class Frame {
public:
    Frame(Borrowed globals, const char* traceback_name, int line) noexcept
        : globals_(globals), traceback_name_(traceback_name), line_(line) {}

    // Marks the statement that runs from here on.
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    Borrowed globals() const noexcept { return globals_; }

    // A module global read at the moment of use, falling back to the
    // built-ins as a global name does; NameError when neither has it.
    Ref global(Borrowed name) const {
        if (PyObject* value = cached_global(globals_.get(), name.get())) {
            return Ref::borrow(value);
        }
        return global_uncached(name);
    }

    // Adds this frame's entry at the current line to the exception in flight.
    void traceback_here() const;

private:
    Ref global_uncached(Borrowed name) const;

    Borrowed globals_;
    const char* traceback_name_;
    int line_;
};

// The exception that an except clause of a member has caught, taken off the
// indicator while the clause runs.
class Caught {
public:
    explicit Caught(Frame& frame)
        : frame_(frame), line_(frame.line()), exception_(fetch_exception()) {}

    // Whether the clause `except cls:` takes it. A `cls` that is neither an
    // exception class nor a tuple of them is refused as the interpreter
    // refuses it (a TypeError, thrown).
    bool matches(Borrowed cls) const;

    // Lets it go on unchanged, from the statement that raised it.
    [[noreturn]] void reraise();

    // For an exception raised while the clause runs (now in flight): the
    // caught one, with the entry of the statement that raised it, becomes
    // its context.
    [[noreturn]] void chain();

private:
    Frame& frame_;
    int line_;
    Ref exception_;
};

// The parameters bound for one call, one borrowed object per parameter.
using Args = PyObject* const*;
using Impl = Ref (*)(Frame&, Args);

// body(frame) as the member `traceback_name` (first line `first_line`) runs
// when called, for a caller that knows the call would reach it: in a frame
// of its own, whose entry a failure gets.
template <typename Body>
inline Ref run_member_body(Borrowed globals, const char* traceback_name, int first_line,
                           Body&& body) {
    Frame frame(globals, traceback_name, first_line);
    try {
        return body(frame);
    } catch (const PyErrOccurred&) {
        frame.traceback_here();
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        frame.traceback_here();
        throw PyErrOccurred();
    }
}

// impl(args), likewise.
inline Ref run_member(Borrowed globals, const char* traceback_name, int first_line, Impl impl,
                      Args args) {
    return run_member_body(globals, traceback_name, first_line,
                           [&](Frame& frame) { return impl(frame, args); });
}

struct MemberDef {
    const char* name;
    Kind kind;
    std::vector<const char*> params;
    std::vector<Default> defaults;  // of the last parameters, in order
    std::vector<const char*> locals;
    int first_line;
    Impl impl;
};

// The largest parameter count of any member.
inline constexpr size_t max_params = 8;

// Whether `obj` is one of the module's functions, implemented by `impl`.
bool is_member_function(PyObject* obj, Impl impl) noexcept;

// Readies the function type; call once per process before `make_function`.
void ready_function_type();

// A new function object for `def`, a member of the class `class_name`, whose
// globals are `globals`.
Ref make_function(const MemberDef& def, const char* class_name, Borrowed globals);

// Makes calls of `cls`, one of the module's classes, construct it directly
// while its __new__ and __init__ are the ones it was created with.
void enable_class_call(PyObject* cls);

}  // namespace kv
