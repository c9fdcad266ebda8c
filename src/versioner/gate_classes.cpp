// The gate's view of the module's classes: whether each is as it was made,
// its MRO and the namespaces along it included.
#include "gate.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace kv::gate {

namespace {

// A class as made: a copy of its namespace and its MRO; and when it was last
// found so, or not.
struct ClassState {
    PyObject* cls = nullptr;
    PyObject* namespace_ = nullptr;
    PyObject* mro = nullptr;
#if !KV_DICT_WATCHERS
    unsigned int tag = 0;      // the version tag under which it was last found as made
    unsigned int refused = 0;  // ... or not
#endif
};
ClassState class_states[3];
#if KV_DICT_WATCHERS
bool classes_watched = false;  // every class's namespace reports its changes
#endif

ClassState* state_of(PyObject* cls) noexcept {
    for (ClassState& state : class_states) {
        if (state.cls && state.cls == cls) return &state;
    }
    return nullptr;
}

// Whether the namespace of `state`'s class holds exactly what it held as made.
bool namespace_as_made(const ClassState& state) {
    PyObject* now = reinterpret_cast<PyTypeObject*>(state.cls)->tp_dict;
    if (!now || !PyDict_CheckExact(now) ||
        PyDict_GET_SIZE(now) != PyDict_GET_SIZE(state.namespace_)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(state.namespace_, &pos, &key, &value)) {
        PyObject* found = PyDict_GetItemWithError(now, key);
        if (!found && PyErr_Occurred()) throw PyErrOccurred();  // a key's __eq__ failed
        if (found != value) return false;
    }
    return true;
}

// Whether every class on the MRO of `state`'s class is as made (a test that
// patched a class and undid it finds it so again), the MRO itself included.
bool as_made(const ClassState& state) {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(state.cls)->tp_mro;
    if (!mro || PyTuple_GET_SIZE(mro) != PyTuple_GET_SIZE(state.mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (base != PyTuple_GET_ITEM(state.mro, i)) return false;
        if (base == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) continue;
        const ClassState* base_state = state_of(base);
        if (!base_state || !namespace_as_made(*base_state)) return false;
    }
    return true;
}

}  // namespace

#if KV_DICT_WATCHERS
detail::ClassVerdict detail::class_verdicts[3];

// Changes come from the dict watcher on the classes' namespaces, not from a
// type watcher: the interpreter tells a type watcher only of a class that
// holds a version tag, and a class changed often enough runs out of them for
// good. A new MRO (an assignment to __bases__) leaves the namespaces as they
// are; the tuple it makes is a new one, and no verdict is kept for it.
bool detail::class_unchanged_checked(PyTypeObject* type) {
    ClassState* state = state_of(reinterpret_cast<PyObject*>(type));
    if (!state) return false;
    // Taken first: a change made while the namespaces are compared is not
    // covered by the verdict.
    const std::uint64_t stamp = detail::generation;
    const bool unchanged = classes_watched && as_made(*state);
    if (type->tp_mro == state->mro) {
        ClassVerdict& verdict = class_verdicts[state - class_states];
        verdict.stamp = stamp;
        verdict.unchanged = unchanged;
    }
    return unchanged;
}
#else
bool class_unchanged(PyTypeObject* type) {
    ClassState* state = state_of(reinterpret_cast<PyObject*>(type));
    if (!state) return false;
    unsigned int tag = compat::type_version(type);
    if (__builtin_expect(tag != 0 && tag == state->tag, 1)) return true;
    if (tag == 0) tag = compat::assign_type_version(type, names.dunder_init);
    if (tag == 0 || tag == state->refused) return false;
    if (!as_made(*state)) {
        state->refused = tag;
        return false;
    }
    state->tag = tag;
    return true;
}
#endif

void detail::capture_classes(Borrowed globals) {
    ClassState states[3];
    int i = 0;
    for (const char* name : {"BaseVersion", "Version", "VersionFileSystem"}) {
        PyObject* cls = PyDict_GetItemString(globals.get(), name);
        if (!cls || !PyType_Check(cls)) {
            PyErr_SetString(PyExc_KeyError, name);
            throw PyErrOccurred();
        }
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        ClassState& state = states[i++];
        // Kept for the life of the process, like the classes themselves.
        state.namespace_ = Ref::check(PyDict_Copy(type->tp_dict)).release();
        state.mro = Ref::borrow(type->tp_mro).release();
        state.cls = Ref::borrow(cls).release();
#if !KV_DICT_WATCHERS
        state.tag = compat::assign_type_version(type, names.dunder_init);
#endif
    }
#if KV_DICT_WATCHERS
    bool watched = true;
    for (const ClassState& state : states) {
        watched = watch(reinterpret_cast<PyTypeObject*>(state.cls)->tp_dict) && watched;
    }
    classes_watched = watched;
#endif
    for (int j = 0; j < 3; ++j) {
        class_states[j] = states[j];
#if KV_DICT_WATCHERS
        // Checked at first use.
        class_verdicts[j] = {reinterpret_cast<PyTypeObject*>(states[j].cls), states[j].mro,
                             detail::generation - 1, false};
#endif
    }
}

}  // namespace kv::gate
