// A native rendering of os.walk(top) with its defaults, for the scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ref.hpp"

namespace kv {

namespace walk {
class Walker;
struct Entries;
}

// Runs the signal handlers that are due and raises what they raised, as the
// interpreter does between bytecodes: a walk polls before each directory and
// while it waits for a worker.
void check_signals();

// For loops over the items of one directory, which may be many: signals
// checked once every kEvery items, so that no call is made per item.
class ItemSignals {
public:
    // Whether the handlers were given their turn.
    bool tick() {
        if (++count_ % kEvery != 0) return false;
        check_signals();
        return true;
    }

private:
    static constexpr unsigned kEvery = 256;
    unsigned count_ = 0;
};

// The Python paths of the directories along one line of descent, the last
// path asked for and those above it: a walk asks mostly for a child of the
// last one, which then costs one join.
class PathLine {
public:
    // os.walk's path for the directory `path` (bytes, in the file-system
    // encoding) whose part below `top` starts at `rel`.
    Ref path(Borrowed top, const std::string& path, std::size_t rel);

private:
    struct Known {
        std::size_t end;  // where its bytes end in `bytes_`
        Ref path;
    };
    std::string bytes_;  // the last path asked for
    std::size_t rel_ = 0;
    std::vector<Known> known_;  // top-down
};

// Walks the tree below `top` top-down as os.walk(top) does with its defaults:
// a directory that cannot be listed skipped, entries that are directories
// (symbolic links to them included) given as dirnames, everything else as
// filenames, each list in the order the system lists them, and symbolic links
// to directories not descended into. Audit events are raised as os.walk and
// os.scandir raise them, each directory's before it is listed.
//
// The listings run without the interpreter lock, those of the directories the
// walk enters next ahead of time on worker threads (walk_core.hpp); what comes
// out is what a walk listing each directory when it reaches it could have
// seen. Destroying the walk cancels what is still queued.
// The rest of os.walk(top) from where a DirectoryWalk stands, taken through
// the interpreter's own functions as the os.walk generator would take it from
// there on: the directories already handed out stay handed out; each one
// pending is entered, listed and its links asked of as that generator does
// at that step, through what os.scandir, os._walk (up to 3.11) and the other
// names os.walk reads at each step are then. For a walk that user code
// changed the ground of while it ran (gate.hpp, Family::walk).
class WalkRest {
public:
    // The next item of the walk, (root, dirnames, filenames) as os.walk
    // yields it; empty at the end.
    Ref next();
    int traverse(visitproc visit, void* arg) const;

private:
    friend class DirectoryWalk;
    WalkRest() = default;
    Ref os_global(PyObject* name) const;
#if PY_VERSION_HEX >= 0x030C0000
    bool list_directory(Borrowed top, Ref& dirs, Ref& nondirs);
    void push_subdirectories(Borrowed top, Borrowed dirs);

    Ref stack_;                       // os.walk's own: the paths to enter, the next one last
    Ref islink_, join_;               // as os.walk took them when it started
    Ref resume_top_, resume_dirs_;    // the directory handed out last, not yet moved on from
#else
    // What the levels of os.walk's recursion have yet to enter, in walk
    // order: each subdirectory with its parent and the islink and join that
    // its level took when it moved on from its directory.
    struct Pending {
        Ref top, name, islink, join;
    };
    std::vector<Pending> queue_;
    std::size_t index_ = 0;
    std::size_t undecided_ = 0;  // the first ones: of the directory handed out last
    bool resumed_ = false;
    Ref sub_;  // the _walk(...) of the subdirectory being walked
#endif
    Ref os_dict_;
};

class DirectoryWalk {
public:
    // Whether `top` can be walked natively: an exact str without NUL
    // characters that the file-system encoding can encode.
    static bool accepts(Borrowed top);

    explicit DirectoryWalk(Borrowed top);
    ~DirectoryWalk();
    DirectoryWalk(const DirectoryWalk&) = delete;
    DirectoryWalk& operator=(const DirectoryWalk&) = delete;

    // The next (root, dirnames, filenames); false at the end.
    bool next(Ref& root, Ref& dirnames, Ref& filenames);

    // The same step with the directory's entries as listed, names undecoded:
    // `root` as next() gives it, `entries` dirnames and filenames together.
    bool next_listing(Ref& root, walk::Entries& entries);

    // Code of the caller's may have run since the last step (a scan resumed
    // after a yield, a function of the caller's called): what the walk listed
    // ahead before now is checked when the walk reaches it.
    void caller_code_ran();

    // The filenames list that next() gives for these entries.
    static Ref filenames(const walk::Entries& entries);

    // The rest of the walk from here on, through the interpreter's functions;
    // this walk is done with after it. Only once a directory was handed out.
    std::unique_ptr<WalkRest> rest();
    bool handed_out_any() const noexcept { return static_cast<bool>(last_root_); }

private:
    class Hooks;

    Ref top_;
    std::unique_ptr<walk::Walker> walker_;
    // What an audit hook raised for a directory listed ahead; it takes effect
    // when the walk reaches that directory.
    std::unordered_map<std::uint64_t, Ref> refusals_;
    // Announcements and hand-outs each follow the walk's order, one ahead of
    // the other: each keeps its own line.
    PathLine announced_;
    PathLine handed_out_;
    bool started_ = false;
    Ref last_root_;  // the directory handed out last
    // os.path.islink and os.path.join as os.walk takes them where it starts
    // (from 3.12 on) or moves on from a directory.
    Ref islink_, join_;
};

}  // namespace kv
