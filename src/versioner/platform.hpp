// What differs between POSIX systems and Windows: directory listings, the
// kinds of paths, the thread clocks a listing's wait is measured with, fork
// handlers, the bounds of the current thread's stack and the working
// directory. Plain C++, no Python in it: platform_posix.cpp and
// platform_windows.cpp each build on one of the two.
//
// Paths are bytes: on POSIX systems what os.fsencode gives, on Windows UTF-8
// that may carry lone surrogates (as os.fsencode encodes them there, with
// surrogatepass), turned into the system's UTF-16 names and back here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::walk {
struct Stamp;
class DeviceTimes;
}  // namespace kv::walk

namespace kv::sys {

// One pass over a directory's entries, as os.scandir gives them: every name
// but "." and "..", each with its kind as the listing tells it, without a
// stat per entry (but for a symbolic link, whose target is asked whether it
// is a directory, as DirEntry.is_dir() asks).
class DirectoryReader {
public:
    struct Item {
        const char* name;  // valid until the next call of next()
        std::size_t length;
        bool is_dir;   // a directory, or a link to one
        bool is_link;  // a symbolic link (DirEntry.is_symlink())
    };

    DirectoryReader() = default;
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;
    ~DirectoryReader();

    // Opens `path` for listing; with `nofollow` a symbolic link is refused.
    // False when it cannot be listed.
    bool open(const std::string& path, bool nofollow);
    // The next entry; false at the end, or when the listing failed part way
    // (then failed() is true).
    bool next(Item& item);
    bool failed() const { return failed_; }
    // What the open directory's times and identity are now, and whether they
    // can be trusted to show a later change (see walk::Stamp).
    void stamp(walk::Stamp& stamp, walk::DeviceTimes* times);

private:
    bool failed_ = false;
    std::string full_;   // the path, a separator, and the entry's name when asked
    std::size_t base_ = 0;
#if defined(_WIN32)
    void* handle_ = nullptr;  // of FindFirstFileExW
    bool first_ = true;       // the first entry is in find_data_ already
    void* find_data_ = nullptr;
    std::string name_;        // the current entry's name, as bytes
#else
    void* dir_ = nullptr;  // DIR*
#endif
};

#if !defined(_WIN32)
// Whether a file system of statfs type `type` is a network or user-space
// one, whose directories are listed the careful way.
bool remote_file_system(long type);
#endif

// Whether the directory at `path` (not followed if a link) is still the one
// `stamp` describes, with the same times.
bool same_directory(const std::string& path, const walk::Stamp& stamp);

// What os.stat(path) (following links) finds: whether it exists, and whether
// it is a directory.
bool exists(const std::string& path);
bool is_directory(const std::string& path);
// What os.lstat(path) finds: a symbolic link; a directory (not a link to one).
bool is_link(const std::string& path);
bool is_directory_not_followed(const std::string& path);

// The current thread's CPU time, in microseconds.
double thread_cpu_us();
// How often this thread gave up the CPU of its own accord (to wait for the
// disk, the server, a lock), as opposed to being preempted; -1 where the
// system does not count them. With `all`, also how often it left the CPU
// either way (-1 likewise).
long voluntary_switches(long* all = nullptr);
// How long this thread has spent ready to run but waiting for a CPU
// (preempted, or woken and not yet scheduled), in microseconds; -1 where the
// system does not tell.
double run_queue_wait_us();
// The calling process's id.
long process_id();

// Has the three functions run around each fork (nothing where there is none).
void on_fork(void (*prepare)(), void (*parent)(), void (*child)());

// The lowest address and the size of the calling thread's stack; false when
// they cannot be told.
bool stack_bounds(std::uintptr_t& low, std::size_t& size);

// The working directory as os.getcwd() would name it, as bytes; false when
// it cannot be told.
bool current_directory(std::string& out);

}  // namespace kv::sys
