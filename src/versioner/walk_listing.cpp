// Listings of one directory, their stamps, and the byte budget of what a
// walk holds ahead: plain C++, no Python in it.
#include "walk_core.hpp"

#include "platform.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kv::walk {

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
    return sys::same_directory(path, stamp);
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
    sys::DirectoryReader dir;
    if (!dir.open(path, nofollow)) return out;
    if (stamp) dir.stamp(out.stamp, times);
    // Room for a small directory from the start: no growth to count for it.
    if (budget && reserve(out, *budget, exempt, kFirstRoom + 16 * sizeof(Entry))) {
        out.entries.names.reserve(kFirstRoom);
        out.entries.items.reserve(16);
        count(out, *budget);
        budget->used.fetch_sub(kFirstRoom + 16 * sizeof(Entry));
    } else if (budget) {
        return out;
    }
    sys::DirectoryReader::Item entry;
    while (dir.next(entry)) {
        const char* name = entry.name;
        const std::size_t length = entry.length;
        Entry item{out.entries.names.size(), static_cast<std::uint32_t>(length), entry.is_dir,
                   entry.is_link};
        Entries& entries = out.entries;
        std::size_t extra = 0;
        if (budget && entries.names.size() + length > entries.names.capacity()) {
            extra += std::max(2 * entries.names.capacity(), entries.names.size() + length);
        }
        if (budget && entries.items.size() == entries.items.capacity()) {
            extra += std::max<std::size_t>(2 * entries.items.capacity(), 1) * sizeof(Entry);
        }
        if (extra && !reserve(out, *budget, exempt, extra)) return out;
        entries.names.append(name, length);
        entries.items.push_back(item);
        if (extra) {
            count(out, *budget);
            budget->used.fetch_sub(extra);
        }
    }
    const bool ok = !dir.failed();
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
