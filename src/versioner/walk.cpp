#include "walk.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <string>

#include "exit_watch.hpp"
#include "fast_paths.hpp"
#include "state.hpp"
#include "walk_core.hpp"

namespace kv {
namespace {

// The path as bytes in the file-system encoding.
std::string encode(Borrowed path) {
    Ref bytes = Ref::check(PyUnicode_EncodeFSDefault(path.get()));
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

Ref decode(const char* data, std::size_t size) {
    return Ref::check(PyUnicode_DecodeFSDefaultAndSize(data, static_cast<Py_ssize_t>(size)));
}

// posixpath.join(top, name) for a name without a leading slash.
Ref join(Borrowed top, Borrowed name) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(top.get());
    if (n == 0) return Ref::borrow(name);
    if (PyUnicode_READ_CHAR(top.get(), n - 1) == '/') {
        return Ref::check(PyUnicode_Concat(top.get(), name.get()));
    }
    Ref with_slash = Ref::check(PyUnicode_Concat(top.get(), names.slash));
    return Ref::check(PyUnicode_Concat(with_slash.get(), name.get()));
}

}  // namespace

// The directory's path as os.walk builds it: the top joined with each name
// below it in turn, each name decoded on its own as os.scandir decodes it.
// Only the names below the deepest directory this line still holds are
// joined: rebuilding each path from the top would cost a deep tree the square
// of its depth.
Ref PathLine::path(Borrowed top, const std::string& path, std::size_t rel) {
    if (rel >= path.size()) return Ref::borrow(top);
    if (rel != rel_) {
        known_.clear();
        rel_ = rel;
    }
    const std::size_t shorter = std::min(bytes_.size(), path.size());
    const std::size_t same = static_cast<std::size_t>(
        std::mismatch(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(shorter),
                      bytes_.begin())
            .first -
        path.begin());
    // Keep the directories that are `path` or above it: those ending within
    // the shared bytes, where `path` has a separator too (a name of `path` may
    // begin with a kept name, "ab" after "a").
    while (!known_.empty() &&
           (known_.back().end > same ||
            (known_.back().end < path.size() && path[known_.back().end] != '/'))) {
        known_.pop_back();
    }
    bytes_ = path;
    Ref out = Ref::borrow(known_.empty() ? top : Borrowed(known_.back().path));
    std::size_t at = known_.empty() ? rel : known_.back().end + 1;
    while (at < path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        out = join(out, decode(path.data() + at, end - at));
        known_.push_back(Known{end, Ref::borrow(out)});
        at = end + 1;
    }
    return out;
}

// Audit events and the interpreter lock, for the walk.
class DirectoryWalk::Hooks final : public walk::Hooks {
public:
    explicit Hooks(DirectoryWalk& walk) : walk_(walk) {}

    bool announce(std::uint64_t id, const std::string& path, std::size_t rel) override {
        try {
            Ref top = walk_.announced_.path(walk_.top_, path, rel);
            if (PySys_Audit("os.scandir", "O", top.get()) == 0) return true;
        } catch (const PyErrOccurred&) {
        }
        walk_.refusals_[id] = fetch_exception();
        return false;
    }
    // The handlers run only on the main thread; elsewhere this returns at once.
    void poll() override { check_signals(); }
    void unlock() override { saved_ = PyEval_SaveThread(); }
    void lock() override { retake_lock(saved_); }

private:
    DirectoryWalk& walk_;
    PyThreadState* saved_ = nullptr;
};

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PyErrOccurred();
}

bool DirectoryWalk::accepts(Borrowed top) {
    if (!PyUnicode_CheckExact(top.get())) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(top.get());
    if (PyUnicode_FindChar(top.get(), 0, 0, n, 1) != -1) return false;
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(top.get()));
    if (!bytes) {
        // The general walk reports the name that cannot be encoded.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrOccurred();
        PyErr_Clear();
        return false;
    }
    return true;
}

namespace {

// os.walk asks islink of a subdirectory when its recursion reaches it up to
// 3.11; from 3.12 on, of all of a directory's subdirectories as it resumes
// after yielding that directory, and scandir then follows what is no link.
// The module is built for one interpreter version.
constexpr walk::LinkRule kLinkRule =
    PY_VERSION_HEX >= 0x030C0000 ? walk::LinkRule::kAtParentResume : walk::LinkRule::kAtEntry;

}  // namespace

DirectoryWalk::DirectoryWalk(Borrowed top)
    : top_(Ref::borrow(top)),
      walker_(std::make_unique<walk::Walker>(encode(top), walk::worker_cap() != 0, kLinkRule)) {
    // The walk is native only while os.path is the module as captured, with
    // its functions as they were.
    PyObject* path = PyModule_GetDict(originals.path);
    islink_ = Ref::borrow(PyDict_GetItemWithError(path, names.islink));
    if (!islink_ && PyErr_Occurred()) throw PyErrOccurred();
    join_ = Ref::borrow(PyDict_GetItemWithError(path, names.join));
    if (!join_ && PyErr_Occurred()) throw PyErrOccurred();
}

void DirectoryWalk::caller_code_ran() { walker_->caller_code_ran(); }

DirectoryWalk::~DirectoryWalk() = default;

bool DirectoryWalk::next_listing(Ref& root, walk::Entries& entries) {
    if (!started_) {
        started_ = true;
        if (PySys_Audit("os.walk", "OOOO", top_.get(), Py_True, Py_None, Py_False) < 0) {
            throw PyErrOccurred();
        }
    }
    Hooks hooks(*this);
    walk::Step step;
    while (true) {
        try {
            if (!walker_->next(hooks, step)) return false;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            throw PyErrOccurred();
        }
        if (step.kind == walk::Step::kRefused) {
            auto it = refusals_.find(step.id);
            Ref error = std::move(it->second);
            refusals_.erase(it);
            // os.walk passes over a directory whose scandir raised OSError.
            if (PyErr_GivenExceptionMatches(error.get(), PyExc_OSError)) continue;
            restore_exception(std::move(error));
            throw PyErrOccurred();
        }
        root = handed_out_.path(top_, step.path, step.rel);
        last_root_ = Ref::borrow(root);
        entries = std::move(step.entries);
        return true;
    }
}

Ref DirectoryWalk::filenames(const walk::Entries& entries) {
    Ref nondirs = Ref::check(PyList_New(0));
    for (const walk::Entry& entry : entries.items) {
        if (entry.is_dir) continue;
        Ref name = decode(entries.names.data() + entry.offset, entry.length);
        require_status(PyList_Append(nondirs.get(), name.get()));
    }
    return nondirs;
}

bool DirectoryWalk::next(Ref& root, Ref& dirnames, Ref& filenames) {
    walk::Entries entries;
    Ref top;
    if (!next_listing(top, entries)) return false;
    Ref dirs = Ref::check(PyList_New(0));
    Ref nondirs = Ref::check(PyList_New(0));
    for (const walk::Entry& entry : entries.items) {
        Ref name = decode(entries.names.data() + entry.offset, entry.length);
        require_status(PyList_Append(entry.is_dir ? dirs.get() : nondirs.get(), name.get()));
    }
    root = std::move(top);
    dirnames = std::move(dirs);
    filenames = std::move(nondirs);
    return true;
}

// ---- The rest of a walk, through the interpreter's functions

namespace {

#if PY_VERSION_HEX >= 0x030C0000
// Used from 3.12 on, by the walk that goes on through the interpreter.
bool raised(PyObject* kind) { return PyErr_ExceptionMatches(kind) != 0; }

// A method of `obj` looked up on its type, as the interpreter looks up
// __enter__ and __exit__; empty when the type has none.
Ref special_method(Borrowed obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj.get());
    PyObject* attr = compat::type_lookup(type, name);
    if (!attr) return Ref();
    if (descrgetfunc get = Py_TYPE(attr)->tp_descr_get) {
        return Ref::check(get(attr, obj.get(), reinterpret_cast<PyObject*>(type)));
    }
    return Ref::borrow(attr);
}

// `with manager [as value]:` up to the body: its __exit__, and what
// __enter__ returned in `value`.
Ref enter_context(Borrowed manager, Ref& value) {
    Ref enter = special_method(manager, names.dunder_enter);
    Ref exit = enter ? special_method(manager, names.dunder_exit) : Ref();
    if (!enter || !exit) {
        PyErr_Format(PyExc_TypeError,
                     exit || !enter ? "'%.200s' object does not support the context manager "
                                      "protocol"
                                    : "'%.200s' object does not support the context manager "
                                      "protocol (missed __exit__ method)",
                     Py_TYPE(manager.get())->tp_name);
        throw PyErrOccurred();
    }
    value = call(enter);
    return exit;
}

// The end of the `with` statement's body: normally (no error set), or with
// the error set, which __exit__ may swallow; throws what is left raised.
void exit_context(Borrowed exit) {
    if (!PyErr_Occurred()) {
        call(exit, Py_None, Py_None, Py_None);
        return;
    }
    Ref error = fetch_exception();
    Ref tb = Ref::steal(PyException_GetTraceback(error.get()));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
    Ref swallowed = Ref::steal(PyObject_Vectorcall(
        exit.get(), std::array<PyObject*, 3>{type, error.get(), tb ? tb.get() : Py_None}.data(),
        3, nullptr));
    if (!swallowed) {
        Ref later = fetch_exception();
        PyException_SetContext(later.get(), error.release());
        restore_exception(std::move(later));
        throw PyErrOccurred();
    }
    const int truth = PyObject_IsTrue(swallowed.get());
    if (truth < 0) throw PyErrOccurred();
    if (truth) return;
    restore_exception(std::move(error));
    throw PyErrOccurred();
}
#endif

}  // namespace

// A global of os's code: its namespace, then the built-ins it names.
Ref WalkRest::os_global(PyObject* name) const {
    PyObject* dict = os_dict_.get();
    if (PyObject* value = PyDict_GetItemWithError(dict, name)) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PyErrOccurred();
    PyObject* builtins = PyDict_GetItemWithError(dict, names.dunder_builtins);
    if (!builtins && PyErr_Occurred()) throw PyErrOccurred();
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    if (builtins && PyDict_Check(builtins)) {
        if (PyObject* value = PyDict_GetItemWithError(builtins, name)) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PyErrOccurred();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrOccurred();
}

int WalkRest::traverse(visitproc visit, void* arg) const {
    Py_VISIT(os_dict_.get());
#if PY_VERSION_HEX >= 0x030C0000
    Py_VISIT(stack_.get());
    Py_VISIT(islink_.get());
    Py_VISIT(join_.get());
    Py_VISIT(resume_top_.get());
    Py_VISIT(resume_dirs_.get());
#else
    for (std::size_t i = index_; i < queue_.size(); ++i) {
        Py_VISIT(queue_[i].top.get());
        Py_VISIT(queue_[i].name.get());
        Py_VISIT(queue_[i].islink.get());
        Py_VISIT(queue_[i].join.get());
    }
    Py_VISIT(sub_.get());
#endif
    return 0;
}

std::unique_ptr<WalkRest> DirectoryWalk::rest() {
    std::unique_ptr<WalkRest> rest(new WalkRest());
    rest->os_dict_ = Ref::borrow(PyModule_GetDict(originals.os));
    std::vector<std::pair<std::string, std::size_t>> pending;
    std::size_t undecided = 0;
    walker_->pending(pending, undecided);
    auto name_of = [](const std::string& path, std::size_t rel, std::size_t& slash) {
        std::size_t at = path.rfind('/');
        at = at == std::string::npos || at + 1 < rel ? rel : at + 1;
        slash = at;
        return decode(path.data() + at, path.size() - at);
    };
    const std::size_t n = pending.size();
#if PY_VERSION_HEX >= 0x030C0000
    // os.walk's stack: what was decided to be entered, then the directory
    // handed out last with its subdirectories, which it decides on as it
    // moves on.
    rest->islink_ = Ref::borrow(islink_);
    rest->join_ = Ref::borrow(join_);
    rest->stack_ = Ref::check(PyList_New(0));
    PathLine line;
    for (std::size_t i = 0; i + undecided < n; ++i) {
        Ref path = line.path(top_, pending[i].first, pending[i].second);
        require_status(PyList_Append(rest->stack_.get(), path.get()));
    }
    Ref dirs = Ref::check(PyList_New(0));
    for (std::size_t i = n; i > n - undecided; --i) {
        std::size_t at = 0;
        Ref name = name_of(pending[i - 1].first, pending[i - 1].second, at);
        require_status(PyList_Append(dirs.get(), name.get()));
    }
    rest->resume_top_ = Ref::borrow(last_root_);
    rest->resume_dirs_ = std::move(dirs);
#else
    // The levels of os.walk's recursion, deepest first: each subdirectory
    // pending, in walk order, with its parent.
    PathLine line;
    for (std::size_t i = n; i > 0; --i) {
        const auto& [path, rel] = pending[i - 1];
        std::size_t at = 0;
        Ref name = name_of(path, rel, at);
        Ref parent = n - i < undecided ? Ref::borrow(last_root_)
                                       : line.path(top_, path.substr(0, at > rel ? at - 1 : 0),
                                                   rel);
        rest->queue_.push_back({std::move(parent), std::move(name), Ref::borrow(islink_),
                                Ref::borrow(join_)});
    }
    rest->undecided_ = undecided;
#endif
    walker_.reset();  // what is queued is not listed
    return rest;
}

#if PY_VERSION_HEX >= 0x030C0000

// After the consumer had the directory `top`: its subdirectories that are no
// links are put on the stack, the first one on top.
void WalkRest::push_subdirectories(Borrowed top, Borrowed dirs) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyList_GET_SIZE(dirs.get()) == 0) return;
    Ref empty = Ref::check(PySequence_GetSlice(top.get(), 0, 0));
    Ref prefix = call(join_, top, empty);  // with a trailing slash
#endif
    for (Py_ssize_t i = PyList_GET_SIZE(dirs.get()); i > 0; --i) {
        if (i > PyList_GET_SIZE(dirs.get())) continue;  // shortened meanwhile
        Ref dirname = Ref::borrow(PyList_GET_ITEM(dirs.get(), i - 1));
#if PY_VERSION_HEX >= 0x030E0000
        Ref new_path = Ref::check(PyNumber_Add(prefix.get(), dirname.get()));
#else
        Ref new_path = call(join_, top, dirname);
#endif
        if (!truth(call(islink_, new_path))) {
            require_status(PyList_Append(stack_.get(), new_path.get()));
        }
    }
}

// scandir(top) and the loop over its entries; false when os.walk passes the
// directory over (an OSError, with no onerror to tell).
bool WalkRest::list_directory(Borrowed top, Ref& dirs, Ref& nondirs) {
    dirs = Ref::check(PyList_New(0));
    nondirs = Ref::check(PyList_New(0));
    auto add = [&](Borrowed entry) {
        Ref is_dir;
#if PY_VERSION_HEX >= 0x030D0000
        const bool as_files = os_global(names.walk_symlinks_as_files).is(Py_False);
#endif
        try {
#if PY_VERSION_HEX >= 0x030D0000
            if (as_files) {
                // followlinks is _walk_symlinks_as_files
                Ref kwnames = tuple(Ref::check(PyUnicode_FromString("follow_symlinks")));
                Ref method = getattr(entry, names.is_dir);
                PyObject* argv[] = {Py_False};
                is_dir = call_kw(method, argv, 0, kwnames);
                if (truth(is_dir)) {
                    Ref junction =
                        Ref::check(PyObject_CallMethod(entry.get(), "is_junction", nullptr));
                    is_dir = Ref::boolean(!truth(junction));
                }
            } else
#endif
            {
                is_dir = call_method(entry, names.is_dir);
            }
        } catch (const PyErrOccurred&) {
            if (!raised(PyExc_OSError)) throw;
            PyErr_Clear();
            is_dir = Ref::boolean(false);
        }
        Ref name = getattr(entry, names.name);
        require_status(PyList_Append(truth(is_dir) ? dirs.get() : nondirs.get(), name.get()));
    };
    Ref scandir = os_global(names.scandir);
#if PY_VERSION_HEX >= 0x030E0000
    // try: with scandir(top) as entries: for entry in entries: ...
    // except OSError: continue
    try {
        Ref manager = call(scandir, top);
        Ref entries;
        Ref exit = enter_context(manager, entries);
        try {
            Ref iterator = iter(entries);
            while (Ref entry = kv::next(iterator)) add(entry);
        } catch (const PyErrOccurred&) {
        }
        exit_context(exit);
    } catch (const PyErrOccurred&) {
        if (!raised(PyExc_OSError)) throw;
        PyErr_Clear();
        return false;
    }
    return true;
#else
    Ref scandir_it;
    try {
        scandir_it = call(scandir, top);
    } catch (const PyErrOccurred&) {
        if (!raised(PyExc_OSError)) throw;
        PyErr_Clear();
        return false;
    }
    bool cont = false;
    Ref unused;
    Ref exit = enter_context(scandir_it, unused);
    try {
        iternextfunc step = Py_TYPE(scandir_it.get())->tp_iternext;
        if (!PyIter_Check(scandir_it.get()) || !step) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator",
                         Py_TYPE(scandir_it.get())->tp_name);
            throw PyErrOccurred();
        }
        while (true) {
            Ref entry = Ref::steal(step(scandir_it.get()));
            if (!entry) {
                if (!PyErr_Occurred()) break;
                if (raised(PyExc_StopIteration)) {
                    PyErr_Clear();
                    break;
                }
                if (!raised(PyExc_OSError)) throw PyErrOccurred();
                PyErr_Clear();
                cont = true;
                break;
            }
            add(entry);
        }
    } catch (const PyErrOccurred&) {
    }
    exit_context(exit);
    return !cont;
#endif
}

Ref WalkRest::next() {
    if (resume_top_) {
        Ref top = std::move(resume_top_);
        Ref dirs = std::move(resume_dirs_);
        push_subdirectories(top, dirs);
    }
    while (PyList_GET_SIZE(stack_.get()) > 0) {
        const Py_ssize_t n = PyList_GET_SIZE(stack_.get());
        Ref top = Ref::borrow(PyList_GET_ITEM(stack_.get(), n - 1));
        require_status(PyList_SetSlice(stack_.get(), n - 1, n, nullptr));
        Ref dirs, nondirs;
        if (!list_directory(top, dirs, nondirs)) continue;
        resume_top_ = Ref::borrow(top);
        resume_dirs_ = Ref::borrow(dirs);
        return tuple(top, dirs, nondirs);
    }
    return Ref();
}

#else

Ref WalkRest::next() {
    if (sub_) {
        if (Ref item = kv::next(sub_)) return item;
        sub_.reset();
    }
    if (!resumed_) {
        // The level of the directory handed out last moves on from it:
        // islink, join = path.islink, path.join
        resumed_ = true;
        Ref path = os_global(names.path);
        Ref islink = getattr(path, names.islink);
        Ref join = getattr(path, names.join);
        for (std::size_t i = 0; i < undecided_ && i < queue_.size(); ++i) {
            queue_[i].islink = Ref::borrow(islink);
            queue_[i].join = Ref::borrow(join);
        }
    }
    while (index_ < queue_.size()) {
        Pending p = std::move(queue_[index_++]);
        Ref new_path = call(p.join, p.top, p.name);
        if (truth(call(p.islink, new_path))) continue;
        // yield from _walk(new_path, topdown, onerror, followlinks)
        Ref walk = os_global(names.private_walk);
        sub_ = iter(call(walk, new_path, Py_True, Py_None, Py_False));
        if (Ref item = kv::next(sub_)) return item;
        sub_.reset();
    }
    return Ref();
}

#endif

}  // namespace kv
