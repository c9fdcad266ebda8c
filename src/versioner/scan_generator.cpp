#include "scan_generator.hpp"

#include <memory>
#include <new>

#include <structmember.h>

#include "fast_paths.hpp"
#include "function.hpp"
#include "gate.hpp"
#include "ops.hpp"
#include "state.hpp"
#include "walk.hpp"

namespace kv {
namespace {

enum class Stage { created, suspended, finished };

// Everything the suspended body holds between two items.
struct ScanData {
    Ref self;
    Ref globals;
    Ref basename;
    Ref walk;      // the iterator over os.walk(dirname), or
    std::unique_ptr<DirectoryWalk> native_walk;  // the same walk, natively
    std::unique_ptr<WalkRest> rest_walk;  // its rest, once its ground changed
    ItemSignals signals;
    Ref root;      // of the directory at hand
    Ref selected;  // its sorted matching names (a list)
    Py_ssize_t index = 0;
    Stage stage = Stage::created;
    bool running = false;

    // Ends the body: what it held is dropped.
    void finish() noexcept {
        stage = Stage::finished;
        basename.reset();
        walk.reset();
        native_walk.reset();
        rest_walk.reset();
        root.reset();
        selected.reset();
        self.reset();
    }
};

struct ScanObject {
    PyObject_HEAD
    PyObject* weaklist;
    ScanData data;
};

ScanObject* as_scan(PyObject* obj) { return reinterpret_cast<ScanObject*>(obj); }

constexpr const char* body_name = "__iter__";

// Runs the body up to its next yield: the next item, or an empty Ref when
// the walk is exhausted.
Ref run_to_yield(Frame& f, ScanData& s) {
    if (s.stage == Stage::created) {
        s.stage = Stage::suspended;
        Ref dirname;
        split_head(f, s.self, dirname, s.basename);
        f.at(153);
        Ref walk = module_attribute(f.global(names.os), names.walk);
        if (walk.is(originals.walk) && gate::open(gate::Family::walk) &&
            DirectoryWalk::accepts(dirname)) {
            s.native_walk = std::make_unique<DirectoryWalk>(dirname);
        } else {
            s.walk = iter(call(walk, dirname));
        }
    }
    while (true) {
        if (s.selected && s.index < PyList_GET_SIZE(s.selected.get())) {
            f.at(155);
            s.signals.tick();
            Borrowed filename = PyList_GET_ITEM(s.selected.get(), s.index);
            ++s.index;
            Ref path;
            if (PyUnicode_CheckExact(s.root.get()) && PyUnicode_CheckExact(filename.get())) {
                path = join_fields(names.three_fields, {s.root, names.slash, filename});
            } else {
                path = Ref::check(PyNumber_Add(s.root.get(), names.slash));
                path = Ref::check(PyNumber_Add(path.get(), filename.get()));
            }
            Ref cls = f.global(names.VersionFileSystem);
            return call(cls, path);
        }
        f.at(153);
        Ref root, dirnames, filenames;
        // What os.walk reads as it moves on, checked where it reads it.
        if (s.native_walk && s.native_walk->handed_out_any() &&
            !gate::open(gate::Family::walk)) {
            s.rest_walk = s.native_walk->rest();
            s.native_walk.reset();
        }
        if (s.native_walk) {
            if (!s.native_walk->next(root, dirnames, filenames)) return Ref();
        } else {
            Ref entry = s.rest_walk ? s.rest_walk->next() : next(s.walk);
            if (!entry) return Ref();
            unpack3(entry, root, dirnames, filenames);
        }
        s.root = std::move(root);
        s.selected.reset();
        f.at(154);
        Ref filter = module_attribute(f.global(names.fnmatch), names.filter);
        Ref pattern = Ref::check(PyNumber_Add(s.basename.get(), names.star));
        // With the original fnmatch.filter, a pattern that is a plain prefix
        // and a star selects the names that begin with that prefix.
        Ref matched = filter.is(originals.filter) && gate::open(gate::Family::filter)
                          ? filter_by_prefix(filenames, s.basename)
                          : Ref();
        if (!matched) {
            matched = call(filter, filenames, pattern);
            if (s.native_walk) s.native_walk->caller_code_ran();
        }
        Ref sorted_names = Ref::check(PySequence_List(matched.get()));
        require_status(PyList_Sort(sorted_names.get()));
        s.selected = std::move(sorted_names);
        s.index = 0;
    }
}

// Resumes the body. Returns the next item; null with no error set at the
// end; null with an error set on failure. `thrown` (an exception instance
// with its type) is raised at the point where the body is suspended.
PyObject* resume(PyObject* obj, PyObject* thrown_type = nullptr, PyObject* thrown_value = nullptr,
                 PyObject* thrown_tb = nullptr) {
    ScanData& s = as_scan(obj)->data;
    if (s.running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (s.stage == Stage::finished) {
        if (thrown_type) {
            Py_XINCREF(thrown_type);
            Py_XINCREF(thrown_value);
            Py_XINCREF(thrown_tb);
            PyErr_Restore(thrown_type, thrown_value, thrown_tb);
        }
        return nullptr;
    }
    Frame f(s.globals, body_name, s.stage == Stage::created ? 150 : 155);
    if (thrown_type) {
        // Nothing in the body catches: the exception leaves it at once.
        Py_XINCREF(thrown_type);
        Py_XINCREF(thrown_value);
        Py_XINCREF(thrown_tb);
        PyErr_Restore(thrown_type, thrown_value, thrown_tb);
        f.traceback_here();
        replace_stop_iteration();
        s.finish();
        return nullptr;
    }
    if (compat::stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while running a generator");
        f.traceback_here();
        s.finish();
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while running a generator")) {
        f.traceback_here();
        s.finish();
        return nullptr;
    }
    s.running = true;
    // The caller ran between the last item and this resume.
    if (s.native_walk) s.native_walk->caller_code_ran();
    // The body may drop the last other reference to this generator.
    Ref keep = Ref::borrow(obj);
    PyObject* result = nullptr;
    try {
        result = run_to_yield(f, s).release();
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    KV_CATCH_ANY_CXX_EXCEPTION {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in kestrum.versioner");
    }
    s.running = false;
    Py_LeaveRecursiveCall();
    if (!result) {
        if (PyErr_Occurred()) {
            f.traceback_here();
            replace_stop_iteration();
        }
        s.finish();
    }
    return result;
}

PyObject* scan_iternext(PyObject* self) {
    gate::call_begins();
    return resume(self);
}

PyObject* scan_send(PyObject* self, PyObject* value) {
    ScanData& s = as_scan(self)->data;
    if (s.stage == Stage::created && value != Py_None && !s.running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* result = resume(self);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// throw(value) or the older throw(type[, value[, traceback]]).
PyObject* scan_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (compat::throw_signature_deprecated && nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                     "signature instead.",
                     1) < 0) {
        return nullptr;
    }
    PyObject* kind = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(kind)) {
        // Instantiated as raising the class with this value would.
        PyObject* type = Ref::borrow(kind).release();
        PyObject* instance = Ref::borrow(value).release();
        PyObject* traceback = Ref::borrow(tb).release();
        PyErr_NormalizeException(&type, &instance, &traceback);
        Ref held_type = Ref::steal(type);
        Ref held_value = Ref::steal(instance);
        Ref held_tb = Ref::steal(traceback);
        if (PyErr_Occurred()) return nullptr;
        return resume(self, held_type.get(), held_value.get(), held_tb.get());
    }
    if (PyExceptionInstance_Check(kind)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        Ref own_tb = tb ? Ref::borrow(tb) : Ref::steal(PyException_GetTraceback(kind));
        return resume(self, reinterpret_cast<PyObject*>(Py_TYPE(kind)), kind, own_tb.get());
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(kind)->tp_name);
    return nullptr;
}

// The body holds no handler, so closing never runs anything: it just ends.
PyObject* scan_close(PyObject* self, PyObject*) {
    ScanData& s = as_scan(self)->data;
    if (s.running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    s.finish();
    return Ref::none().release();
}

PyObject* scan_get_running(PyObject* self, void*) {
    return Ref::boolean(as_scan(self)->data.running).release();
}

PyObject* scan_get_none(PyObject*, void*) { return Ref::none().release(); }

PyObject* scan_get_name(PyObject*, void*) { return text("__iter__").release(); }

PyObject* scan_get_qualname(PyObject*, void*) {
    return text("VersionFileSystem.__iter__").release();
}

PyObject* scan_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object VersionFileSystem.__iter__ at %p>", self);
}

int scan_traverse(PyObject* obj, visitproc visit, void* arg) {
    ScanData& s = as_scan(obj)->data;
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(s.self.get());
    Py_VISIT(s.globals.get());
    Py_VISIT(s.basename.get());
    Py_VISIT(s.walk.get());
    if (s.rest_walk) {
        if (int status = s.rest_walk->traverse(visit, arg)) return status;
    }
    Py_VISIT(s.root.get());
    Py_VISIT(s.selected.get());
    return 0;
}

int scan_clear(PyObject* obj) {
    ScanData& s = as_scan(obj)->data;
    s.finish();
    s.globals.reset();
    return 0;
}

void scan_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    ScanObject* scan = as_scan(obj);
    if (scan->weaklist) PyObject_ClearWeakRefs(obj);
    scan->data.~ScanData();
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

PyObject* scan_iter(PyObject* self) { return Ref::borrow(self).release(); }

PyMethodDef scan_methods[] = {
    {"send", scan_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(scan_throw)),
     METH_FASTCALL, nullptr},
    {"close", scan_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scan_getset[] = {
    {"gi_running", scan_get_running, nullptr, nullptr, nullptr},
    {"gi_frame", scan_get_none, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", scan_get_none, nullptr, nullptr, nullptr},
    {"__name__", scan_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", scan_get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef scan_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ScanObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot scan_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(scan_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(scan_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scan_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(scan_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(scan_iternext)},
    {Py_tp_methods, scan_methods},
    {Py_tp_getset, scan_getset},
    {Py_tp_members, scan_members},
    {0, nullptr},
};

PyType_Spec scan_spec = {
    "kestrum.versioner.generator",
    sizeof(ScanObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    scan_slots,
};

Immortal scan_type;

}  // namespace

void split_head(Frame& f, Borrowed self, Ref& dirname, Ref& basename) {
    f.at(151);
    Ref split = module_attribute(module_attribute(f.global(names.os), names.path), names.split);
    Ref head = getattr(self, names.head);
    Ref parts = call(split, head);
    Ref iterator = unpack_iter(parts);
    Ref first = next(iterator);
    if (!first) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", Py_ssize_t(0), "s");
        throw PyErrOccurred();
    }
    Ref second = next(iterator);
    if (!second) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", Py_ssize_t(1), "");
        throw PyErrOccurred();
    }
    if (next(iterator)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
        throw PyErrOccurred();
    }
    dirname = std::move(first);
    basename = std::move(second);
}

void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Ref stop = fetch_exception();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    Ref error = fetch_exception();
    PyException_SetCause(error.get(), Ref::borrow(stop).release());
    PyException_SetContext(error.get(), stop.release());
    restore_exception(std::move(error));
}

void ready_scan_generator_type() {
    if (scan_type.get()) return;
    scan_type.set(Ref::check(PyType_FromSpec(&scan_spec)));
}

Ref make_scan_generator(Borrowed self, Borrowed globals) {
    ScanData data;
    data.self = Ref::borrow(self);
    data.globals = Ref::borrow(globals);
    ScanObject* scan = PyObject_GC_New(ScanObject, reinterpret_cast<PyTypeObject*>(scan_type.get()));
    if (!scan) throw PyErrOccurred();
    scan->weaklist = nullptr;
    new (&scan->data) ScanData(std::move(data));
    PyObject_GC_Track(reinterpret_cast<PyObject*>(scan));
    return Ref::steal(reinterpret_cast<PyObject*>(scan));
}

}  // namespace kv
