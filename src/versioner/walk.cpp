#include "walk.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "state.hpp"

namespace kv {
namespace {

struct Entry {
    std::string name;
    bool is_dir;
};

// The entries of one directory, or false when it cannot be listed. Runs
// without the interpreter lock.
bool list_directory(const std::string& path, std::vector<Entry>& out) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return false;
    bool ok = true;
    while (true) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        bool is_dir = false;
        if (entry->d_type == DT_DIR) {
            is_dir = true;
        } else if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            // Whether it is a directory after following links, as
            // DirEntry.is_dir() tells; a dangling link is not one.
            std::string full = path;
            if (!full.empty() && full.back() != '/') full += '/';
            full += name;
            struct stat st;
            is_dir = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        out.push_back({name, is_dir});
    }
    closedir(dir);
    return ok;
}

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The path as bytes in the file-system encoding.
std::string encode(Borrowed path) {
    Ref bytes = Ref::check(PyUnicode_EncodeFSDefault(path.get()));
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
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

bool DirectoryWalk::accepts(Borrowed top) {
    if (!PyUnicode_CheckExact(top.get())) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(top.get());
    if (PyUnicode_FindChar(top.get(), 0, 0, n, 1) != -1) return false;
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(top.get()));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    return true;
}

DirectoryWalk::DirectoryWalk(Borrowed top) { pending_.push_back({Ref::borrow(top), false}); }

bool DirectoryWalk::next(Ref& root, Ref& dirnames, Ref& filenames) {
    if (!started_) {
        started_ = true;
        if (PySys_Audit("os.walk", "OOOO", pending_.back().path.get(), Py_True, Py_None,
                        Py_False) < 0) {
            throw PyErrOccurred();
        }
    }
    while (!pending_.empty()) {
        Ref top = std::move(pending_.back().path);
        const bool below_top = pending_.back().below_top;
        pending_.pop_back();
        if (below_top) {
            const std::string link_path = encode(top);
            bool link;
            Py_BEGIN_ALLOW_THREADS
            link = is_link(link_path);
            Py_END_ALLOW_THREADS
            if (link) continue;
        }
        if (PySys_Audit("os.scandir", "O", top.get()) < 0) {
            // os.walk ignores what scandir raises as OSError.
            if (!PyErr_ExceptionMatches(PyExc_OSError)) throw PyErrOccurred();
            PyErr_Clear();
            continue;
        }
        const std::string path = encode(top);
        std::vector<Entry> entries;
        bool listed;
        Py_BEGIN_ALLOW_THREADS
        listed = list_directory(path, entries);
        Py_END_ALLOW_THREADS
        if (!listed) continue;

        Ref dirs = Ref::check(PyList_New(0));
        Ref nondirs = Ref::check(PyList_New(0));
        for (const Entry& entry : entries) {
            Ref name = Ref::check(PyUnicode_DecodeFSDefaultAndSize(
                entry.name.data(), static_cast<Py_ssize_t>(entry.name.size())));
            require_status(PyList_Append(entry.is_dir ? dirs.get() : nondirs.get(), name.get()));
        }
        // Subdirectories are walked in order, each one unless it is a link;
        // the test runs when the walk turns to it.
        std::vector<Ref> below;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dirs.get()); ++i) {
            below.push_back(join(top, PyList_GET_ITEM(dirs.get(), i)));
        }
        for (auto it = below.rbegin(); it != below.rend(); ++it) {
            pending_.push_back({std::move(*it), true});
        }
        root = std::move(top);
        dirnames = std::move(dirs);
        filenames = std::move(nondirs);
        return true;
    }
    return false;
}

}  // namespace kv
