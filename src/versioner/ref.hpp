// Reference handles and the small call/attribute helpers that member code is
// written with.
//
// Ownership rules:
//  * `Ref` owns one strong reference (or nothing). It is move-only and releases
//    its reference in the destructor. Every function here that creates a
//    reference returns a `Ref`.
//  * `Borrowed` is a plain, non-owning view. It is what parameters take; it
//    converts implicitly from `PyObject*` and from `const Ref&`.
//  * A failed C API call throws `PyErrOccurred`: the interpreter's error
//    indicator is set and is the truth about what went wrong. The function
//    type (function.cpp) catches it at the boundary with the interpreter.
//
// Nothing outside this header and the object types' own slot functions calls
// Py_INCREF / Py_DECREF.
#pragma once

#include "compat.hpp"

#include <atomic>
#include <cstddef>
#include <utility>

namespace kv {

// Set by the module's atexit callback (module.cpp). Up to then no thread is
// ended by the interpreter, so the destructors below need not ask whether
// they may let go: a load of this flag costs far less than that question on
// every reference the module lets go of.
extern std::atomic<bool> exit_begun __attribute__((visibility("hidden")));

// Whether this thread may touch Python objects now. False only once exit has
// begun, and then only in a thread that does not hold the interpreter lock:
// one that the interpreter ends by an unwind (unwind.hpp), whose destructors
// run without the lock, or one that runs after the interpreter is gone. Those
// let go of nothing, and what they held is left to the exiting process. The
// thread that holds the lock keeps working to the end: atexit callbacks that
// run after the module's and finalizers run while the modules are cleared may
// call any member.
inline bool may_touch_objects() noexcept {
    return __builtin_expect(!exit_begun.load(std::memory_order_relaxed), 1) ||
           compat::thread_holds_lock();
}

// Thrown when a C API call failed and left the error indicator set.
struct PyErrOccurred {};

// Throws PyErrOccurred when `p` is null; otherwise returns it.
inline PyObject* require(PyObject* p) {
    if (!p) throw PyErrOccurred();
    return p;
}

// Throws PyErrOccurred when a status-returning C API call reported failure.
inline int require_status(int status) {
    if (status < 0) throw PyErrOccurred();
    return status;
}

class Ref;

class Borrowed {
public:
    Borrowed() noexcept : p_(nullptr) {}
    Borrowed(PyObject* p) noexcept : p_(p) {}  // NOLINT: implicit by design
    inline Borrowed(const Ref& r) noexcept;     // NOLINT: implicit by design

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Borrowed other) const noexcept { return p_ == other.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    PyObject* p_;
};

class Ref {
public:
    Ref() noexcept : p_(nullptr) {}
    Ref(std::nullptr_t) noexcept : p_(nullptr) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() {
        if (p_ && may_touch_objects()) Py_DECREF(p_);
    }

    // Takes over a new reference; null stays null (no error check).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes over a new reference returned by a C API call; throws on null.
    static Ref check(PyObject* p) { return Ref(require(p)); }
    // Makes a new reference to a borrowed object (null stays null).
    static Ref borrow(Borrowed b) noexcept {
        Py_XINCREF(b.get());
        return Ref(b.get());
    }
    static Ref none() noexcept { return borrow(Py_None); }
    static Ref boolean(bool v) noexcept { return borrow(v ? Py_True : Py_False); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Borrowed other) const noexcept { return p_ == other.get(); }
    bool is_none() const noexcept { return p_ == Py_None; }

    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_;
};

inline Borrowed::Borrowed(const Ref& r) noexcept : p_(r.get()) {}

// ---------------------------------------------------------------------------
// Saving and restoring the exception in flight.

// Holds the pending exception aside while code that must not disturb it runs,
// and puts it back on destruction (unless taken with `restore()` earlier).
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        if (may_touch_objects()) restore();
    }
    void restore() noexcept {
        if (type_ || value_ || tb_) PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* tb_;
};

// The exception in flight, taken off the indicator and normalised, with its
// traceback attached to it; empty when none is set.
Ref fetch_exception();

// Puts an exception instance (with its own traceback) back in flight.
void restore_exception(Ref exception) noexcept;

// ---------------------------------------------------------------------------
// Attribute and call helpers. Each mirrors one Python operation and throws
// PyErrOccurred when it fails.

inline Ref getattr(Borrowed obj, Borrowed name) {
    return Ref::check(PyObject_GetAttr(obj.get(), name.get()));
}

inline void setattr(Borrowed obj, Borrowed name, Borrowed value) {
    require_status(PyObject_SetAttr(obj.get(), name.get(), value.get()));
}

// callable(*args[:nargs]). A function of this module, or a bound method of
// one, runs directly, without the interpreter's call machinery in between
// (function.cpp); anything else is called through vectorcall.
Ref call_positional(Borrowed callable, PyObject* const* args, size_t nargs);

inline Ref call(Borrowed callable) { return call_positional(callable, nullptr, 0); }

template <typename... A>
inline Ref call(Borrowed callable, A&&... args) {
    PyObject* argv[] = {Borrowed(args).get()...};
    return call_positional(callable, argv, sizeof...(A));
}

// callable(*positional, **{kwnames[i]: values[i]}) through vectorcall.
inline Ref call_kw(Borrowed callable, PyObject* const* args, size_t npos, Borrowed kwnames) {
    return Ref::check(PyObject_Vectorcall(callable.get(), args, npos, kwnames.get()));
}

// obj.name(*args): the method is looked up as getattr would, without
// building a bound method on the way.
template <typename... A>
inline Ref call_method(Borrowed obj, Borrowed name, A&&... args) {
    PyObject* argv[] = {obj.get(), Borrowed(args).get()...};
    return Ref::check(PyObject_VectorcallMethod(name.get(), argv,
                                                (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

template <typename... A>
inline Ref tuple(A&&... items) {
    Ref t = Ref::check(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(Borrowed(items)).release()), ...);
    return t;
}

template <typename... A>
inline Ref list(A&&... items) {
    Ref l = Ref::check(PyList_New(sizeof...(A)));
    Py_ssize_t i = 0;
    (PyList_SET_ITEM(l.get(), i++, Ref::borrow(Borrowed(items)).release()), ...);
    return l;
}

inline Ref str(Borrowed obj) { return Ref::check(PyObject_Str(obj.get())); }

inline Ref text(const char* s) { return Ref::check(PyUnicode_FromString(s)); }

inline Ref integer(long v) { return Ref::check(PyLong_FromLong(v)); }

// `left % right`, the printf-style operator.
inline Ref format(Borrowed left, Borrowed right) {
    return Ref::check(PyNumber_Remainder(left.get(), right.get()));
}

inline Ref getitem(Borrowed obj, Borrowed key) {
    return Ref::check(PyObject_GetItem(obj.get(), key.get()));
}

inline void setitem(Borrowed obj, Borrowed key, Borrowed value) {
    require_status(PyObject_SetItem(obj.get(), key.get(), value.get()));
}

// bool(obj); the constants, exact ints and exact strs answered without a
// call (their truth runs no code).
inline bool truth(Borrowed obj) {
    PyObject* o = obj.get();
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    long long value;
    if (PyLong_CheckExact(o) && compat::compact_int(o, value)) return value != 0;
    return require_status(PyObject_IsTrue(o)) != 0;
}

inline bool isinstance(Borrowed obj, Borrowed cls) {
    return require_status(PyObject_IsInstance(obj.get(), cls.get())) != 0;
}

// `int(obj)` as the built-in conversion does it.
inline Ref to_int(Borrowed obj) { return Ref::check(PyNumber_Long(obj.get())); }

// The next item of an iterator; an empty Ref at the end.
inline Ref next(Borrowed iterator) {
    PyObject* item = PyIter_Next(iterator.get());
    if (!item && PyErr_Occurred()) throw PyErrOccurred();
    return Ref::steal(item);
}

inline Ref iter(Borrowed obj) { return Ref::check(PyObject_GetIter(obj.get())); }

// `raise cls`: a class is instantiated without arguments, an instance is
// raised as it is, anything else is refused as the interpreter refuses it.
[[noreturn]] void raise(Borrowed cls);

}  // namespace kv
