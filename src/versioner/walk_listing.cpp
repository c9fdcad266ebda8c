// Listings of one directory, their stamps, and the byte budget of what a
// walk holds ahead: plain C++, no Python in it.
#include "walk_core.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kv::walk {

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

void take_stamp(int fd, Stamp& stamp, DeviceTimes* times) {
    struct stat st;
    if (fstat(fd, &st) != 0) return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    stamp.remote = remote_device(fd, st.st_dev);
    // Whole-second timestamps (both without a fraction) or the server's clock.
    const bool coarse =
        stamp.remote || (st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0);
    const long long window =
        std::chrono::nanoseconds(coarse ? kUntrustedCoarseChange : kUntrustedChange).count();
    stamp.trusted = age_ns(now, st.st_mtim) > window && age_ns(now, st.st_ctim) > window;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.mtime_s = st.st_mtim.tv_sec;
    stamp.mtime_ns = st.st_mtim.tv_nsec;
    stamp.ctime_s = st.st_ctim.tv_sec;
    stamp.ctime_ns = st.st_ctim.tv_nsec;
    if (stamp.remote && times) times->learn(stamp);
}

}  // namespace

void DeviceTimes::learn(const Stamp& stamp) {
    const Seen now{stamp.ino, stamp.mtime_s, stamp.mtime_ns, stamp.ctime_s, stamp.ctime_ns};
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = std::find_if(devices_.begin(), devices_.end(),
                               [&](const Device& d) { return d.dev == stamp.dev; });
    if (device == devices_.end()) {
        devices_.emplace_back();
        device = devices_.end() - 1;
        device->dev = stamp.dev;
    }
    if (device->fixed) return;
    for (const Seen& before : device->recent) {
        if (before.mtime_s == now.mtime_s && before.mtime_ns == now.mtime_ns &&
            before.ctime_s == now.ctime_s && before.ctime_ns == now.ctime_ns) {
            if (before.ino != now.ino) device->fixed = true;
            return;
        }
    }
    if (device->recent.size() < kKept) {
        device->recent.push_back(now);
    } else {
        device->recent[device->next] = now;
        device->next = (device->next + 1) % kKept;
    }
    ++device->seen;
}

bool DeviceTimes::keeps_times(unsigned long long dev) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Device& device : devices_) {
        if (device.dev == dev) return !device.fixed && device.seen >= 2;
    }
    return false;
}

// An lstat, not an open, on remote file systems too: what the caller changed
// through this client updates the client's view of the directory's times at
// once (the kernel refreshes a parent's attributes on create, unlink and
// rename made through it). A change made on another client can go unseen
// until the client's attribute cache expires.
bool unchanged_since(const std::string& path, const Stamp& stamp, const DeviceTimes& times) {
    if (!stamp.trusted) return false;
    if (stamp.remote && !times.keeps_times(stamp.dev)) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_dev == stamp.dev && st.st_ino == stamp.ino &&
           st.st_mtim.tv_sec == stamp.mtime_s && st.st_mtim.tv_nsec == stamp.mtime_ns &&
           st.st_ctim.tv_sec == stamp.ctime_s && st.st_ctim.tv_nsec == stamp.ctime_ns;
}

namespace {

constexpr std::size_t kFirstRoom = 512;

void note_peak(Budget& budget, std::size_t used) {
    std::size_t peak = budget.peak.load(std::memory_order_relaxed);
    while (used > peak && !budget.peak.compare_exchange_weak(peak, used)) {
    }
}

// Brings what the listing counts against the budget up to what it holds.
void count(Listing& out, Budget& budget) {
    const std::size_t now =
        out.entries.names.capacity() + out.entries.items.capacity() * sizeof(Entry);
    note_peak(budget, budget.used.fetch_add(now - out.charged) + (now - out.charged));
    out.charged = now;
}

// Before the listing's buffers grow by `extra` bytes (a grown buffer is a new
// one, made while the old one is still held): counts them, or, when that
// would overspend the budget and the walk is not waiting for this listing,
// gives the listing up (emptied and marked abandoned) and returns false.
bool reserve(Listing& out, Budget& budget, const std::atomic<bool>* exempt, std::size_t extra) {
    const std::size_t used = budget.used.fetch_add(extra) + extra;
    if (used <= budget.limit || (exempt && exempt->load(std::memory_order_relaxed))) {
        note_peak(budget, used);
        return true;
    }
    budget.used.fetch_sub(extra + out.charged);
    out.charged = 0;
    out.entries.release();
    out.ok = false;
    out.abandoned = true;
    out.stamp.trusted = false;
    return false;
}

}  // namespace

Listing list_directory(const std::string& path, bool nofollow, bool stamp, Budget* budget,
                       const std::atomic<bool>* exempt, DeviceTimes* times) {
    Listing out;
    // Nothing is opened while the budget is spent.
    if (budget && !reserve(out, *budget, exempt, 0)) return out;
    DIR* dir;
    if (nofollow) {
        // One call both lists and refuses a link: no separate lstat round trip.
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return out;
        dir = fdopendir(fd);
        if (!dir) {
            close(fd);
            return out;
        }
    } else {
        dir = opendir(path.c_str());
        if (!dir) return out;
    }
    if (stamp) take_stamp(dirfd(dir), out.stamp, times);
    // Room for a small directory from the start: no growth to count for it.
    if (budget && reserve(out, *budget, exempt, kFirstRoom + 16 * sizeof(Entry))) {
        out.entries.names.reserve(kFirstRoom);
        out.entries.items.reserve(16);
        count(out, *budget);
        budget->used.fetch_sub(kFirstRoom + 16 * sizeof(Entry));
    } else if (budget) {
        closedir(dir);
        return out;
    }
    std::string full = path;
    if (!full.empty() && full.back() != '/') full += '/';
    const std::size_t base = full.size();
    struct stat st;
    bool ok = true;
    while (true) {
        errno = 0;
        const struct dirent* entry = readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        const std::size_t length = std::strlen(name);
        Entry item{out.entries.names.size(), static_cast<std::uint32_t>(length),
                   entry->d_type == DT_DIR, entry->d_type == DT_LNK};
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            full.resize(base);
            full += name;
            if (entry->d_type == DT_UNKNOWN && lstat(full.c_str(), &st) == 0) {
                item.is_link = S_ISLNK(st.st_mode);
                item.is_dir = S_ISDIR(st.st_mode);
            }
            // Whether a link leads to a directory; a dangling link does not.
            if (item.is_link) item.is_dir = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        Entries& entries = out.entries;
        std::size_t extra = 0;
        if (budget && entries.names.size() + length > entries.names.capacity()) {
            extra += std::max(2 * entries.names.capacity(), entries.names.size() + length);
        }
        if (budget && entries.items.size() == entries.items.capacity()) {
            extra += std::max<std::size_t>(2 * entries.items.capacity(), 1) * sizeof(Entry);
        }
        if (extra && !reserve(out, *budget, exempt, extra)) {
            closedir(dir);
            return out;
        }
        entries.names.append(name, length);
        entries.items.push_back(item);
        if (extra) {
            count(out, *budget);
            budget->used.fetch_sub(extra);
        }
    }
    closedir(dir);
    // A listing that fails part way is dropped whole, as os.walk drops it,
    // and its stamp is not trusted: the walk lists the directory again.
    out.ok = ok;
    if (!ok) {
        out.entries.release();
        out.stamp.trusted = false;
    }
    if (budget) count(out, *budget);
    return out;
}

}  // namespace kv::walk
