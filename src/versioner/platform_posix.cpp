// The POSIX side of platform.hpp.
#if !defined(_WIN32)

#include "platform.hpp"

#include "walk_core.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kv::sys {

// Network and user-space file systems, by statfs magic number.
bool remote_file_system(long type) {
    switch (static_cast<unsigned long>(type) & 0xFFFFFFFFul) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x65735546:  // FUSE (sshfs, cloud storage mounts, ...)
        case 0x00C36400:  // Ceph
        case 0x01021997:  // 9P
        case 0x0BD00BD0:  // Lustre
        case 0x47504653:  // GPFS
        case 0x5346414F:  // AFS
        case 0x6B414653:  // kAFS
        case 0x013111A8:  // IBRIX
        case 0x73757245:  // Coda
        case 0x564C:      // NCP
        case 0x7461636F:  // OCFS2
        case 0x01161970:  // GFS2
        case 0x19830326:  // FhGFS / BeeGFS
            return true;
        default:
            return false;
    }
}

namespace {

// Whether the file system of the open directory `fd` (device `dev`) is
// remote. Asked once per device and thread: on some servers statfs is a
// round trip of its own.
bool remote_device(int fd, dev_t dev) {
    thread_local dev_t known_dev = 0;
    thread_local bool known = false, known_remote = false;
    if (known && known_dev == dev) return known_remote;
    struct statfs fs;
    // When the system cannot tell, the directory is taken for remote: its
    // listings are then checked the careful way.
    const bool remote = fstatfs(fd, &fs) != 0 || remote_file_system(fs.f_type);
    known_dev = dev;
    known = true;
    known_remote = remote;
    return remote;
}

long long age_ns(const struct timespec& now, const struct timespec& then) {
    return (static_cast<long long>(now.tv_sec) - then.tv_sec) * 1000000000LL +
           (now.tv_nsec - then.tv_nsec);
}

DIR* dir_of(void* dir) { return static_cast<DIR*>(dir); }

}  // namespace

DirectoryReader::~DirectoryReader() {
    if (dir_) closedir(dir_of(dir_));
}

bool DirectoryReader::open(const std::string& path, bool nofollow) {
    DIR* dir;
    if (nofollow) {
        // One call both lists and refuses a link: no separate lstat round trip.
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return false;
        dir = fdopendir(fd);
        if (!dir) {
            close(fd);
            return false;
        }
    } else {
        dir = opendir(path.c_str());
        if (!dir) return false;
    }
    dir_ = dir;
    full_ = path;
    if (!full_.empty() && full_.back() != '/') full_ += '/';
    base_ = full_.size();
    return true;
}

bool DirectoryReader::next(Item& item) {
    struct stat st;
    while (true) {
        errno = 0;
        const struct dirent* entry = readdir(dir_of(dir_));
        if (!entry) {
            failed_ = errno != 0;
            return false;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        item.name = name;
        item.length = std::strlen(name);
        item.is_dir = entry->d_type == DT_DIR;
        item.is_link = entry->d_type == DT_LNK;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            full_.resize(base_);
            full_ += name;
            if (entry->d_type == DT_UNKNOWN && lstat(full_.c_str(), &st) == 0) {
                item.is_link = S_ISLNK(st.st_mode);
                item.is_dir = S_ISDIR(st.st_mode);
            }
            // Whether a link leads to a directory; a dangling link does not.
            if (item.is_link) item.is_dir = stat(full_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        return true;
    }
}

void DirectoryReader::stamp(walk::Stamp& stamp, walk::DeviceTimes* times) {
    struct stat st;
    const int fd = dirfd(dir_of(dir_));
    if (fstat(fd, &st) != 0) return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    stamp.remote = remote_device(fd, st.st_dev);
    // Whole-second timestamps (both without a fraction) or the server's clock.
    const bool coarse =
        stamp.remote || (st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0);
    const long long window = std::chrono::nanoseconds(
                                 coarse ? walk::kUntrustedCoarseChange : walk::kUntrustedChange)
                                 .count();
    stamp.trusted = age_ns(now, st.st_mtim) > window && age_ns(now, st.st_ctim) > window;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.mtime_s = st.st_mtim.tv_sec;
    stamp.mtime_ns = st.st_mtim.tv_nsec;
    stamp.ctime_s = st.st_ctim.tv_sec;
    stamp.ctime_ns = st.st_ctim.tv_nsec;
    if (stamp.remote && times) times->learn(stamp);
}

bool same_directory(const std::string& path, const walk::Stamp& stamp) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_dev == stamp.dev && st.st_ino == stamp.ino &&
           st.st_mtim.tv_sec == stamp.mtime_s && st.st_mtim.tv_nsec == stamp.mtime_ns &&
           st.st_ctim.tv_sec == stamp.ctime_s && st.st_ctim.tv_nsec == stamp.ctime_ns;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool is_directory_not_followed(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

double thread_cpu_us() {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

long voluntary_switches(long* all) {
    struct rusage usage;
    if (getrusage(RUSAGE_THREAD, &usage) != 0) {
        if (all) *all = -1;
        return 0;
    }
    if (all) *all = usage.ru_nvcsw + usage.ru_nivcsw;
    return usage.ru_nvcsw;
}

// Linux tells it in the thread's schedstat, its second field (the time on a
// CPU, the time waiting for one, the number of slices), in nanoseconds. A
// kernel older than 3.17 has no /proc/thread-self; one without scheduler
// statistics (or a process without /proc) has no such file, and is not asked
// again.
double run_queue_wait_us() {
#if defined(__linux__)
    static std::atomic<bool> missing{false};
    if (missing.load(std::memory_order_relaxed)) return -1;
    int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat",
                      static_cast<long>(syscall(SYS_gettid)));
        fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) missing.store(true, std::memory_order_relaxed);
            return -1;
        }
    }
    char text[96];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return -1;
    text[got] = '\0';
    unsigned long long on_cpu = 0, waiting = 0;
    if (std::sscanf(text, "%llu %llu", &on_cpu, &waiting) != 2) return -1;
    return static_cast<double>(waiting) / 1e3;
#else
    return -1;
#endif
}

long process_id() { return static_cast<long>(getpid()); }

void on_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
    pthread_atfork(prepare, parent, child);
}

bool stack_bounds(std::uintptr_t& low, std::size_t& size) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void* bottom = nullptr;
    std::size_t length = 0;
    const bool ok = pthread_attr_getstack(&attr, &bottom, &length) == 0 && bottom && length;
    pthread_attr_destroy(&attr);
    if (!ok) return false;
    low = reinterpret_cast<std::uintptr_t>(bottom);
    size = length;
    return true;
}

bool current_directory(std::string& out) {
    std::vector<char> buffer(1024);
    while (true) {
        if (getcwd(buffer.data(), buffer.size())) {
            out.assign(buffer.data());
            return true;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20)) return false;
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace kv::sys

#endif
