#include "walk.hpp"

#include <algorithm>
#include <new>
#include <string>

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
    void lock() override { PyEval_RestoreThread(saved_); }

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
      walker_(std::make_unique<walk::Walker>(encode(top), walk::worker_cap() != 0, kLinkRule)) {}

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

}  // namespace kv
