// The listing side of the native walk: plain C++, no Python in it.
//
// A Walker hands out directories in os.walk(top) top-down order (followlinks
// off). While the caller works on one directory, the directories the walk will
// enter next are listed ahead on a small process-wide pool of worker threads:
// never more than kMaxAhead directories announced or listed but not yet handed
// out, and what they hold together, queued, running or done, within
// kMaxAheadBytes: a worker gives up a listing that would go past it (unless
// the walk waits for that one), and none is queued while it is spent. The
// records of the subdirectories found in a listing taken ahead count too: a
// listing whose records do not fit keeps them unmade until the walk reaches
// it. What is
// ahead is taken in walk order, so the directory the caller needs next is
// always the first one a worker picks up; the caller lists it itself when no
// worker has started on it (unless listings wait so long that a free worker
// had better list it while the caller queues the others). Destroying a Walker cancels what is queued without
// waiting for listings under way; those finish on their worker, which owns
// everything it touches through shared pointers.
//
// Workers are started on demand (none before the first read-ahead) and exit
// after kIdle without work; nothing waits for them at exit. Before a fork the
// idle workers leave and are joined, and so are those whose listing is done
// within a few tens of milliseconds, so that the fork sees no thread of the
// module's; a worker blocked longer in the file system does not hold the fork
// up, and goes on in the parent. The parent's walks start workers again when
// they need them. In the child, a walker drops whatever the parent's workers
// had in hand and lists it itself; a new pool serves the child. When a thread
// cannot be started, the walk lists everything on the caller's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::walk {

// An entry of a listing; its name is `length` bytes at `offset` in the
// listing's `names`.
struct Entry {
    std::size_t offset;
    std::uint32_t length;
    bool is_dir;   // a directory after following links, as DirEntry.is_dir() tells
    bool is_link;  // a symbolic link itself
};

// A directory's entries with their names in one buffer.
struct Entries {
    std::vector<Entry> items;  // in the order the system lists them
    std::string names;

    std::string_view name(const Entry& entry) const {
        return std::string_view(names.data() + entry.offset, entry.length);
    }
    std::size_t size() const { return items.size(); }
    void clear() {
        items.clear();
        names.clear();
    }
    // Empties and gives the memory back (assigning an empty string keeps the
    // buffer).
    void release() {
        std::vector<Entry>().swap(items);
        std::string().swap(names);
    }
};

// What identifies a directory's entries at one moment: a listing taken ahead
// is used only while these are unchanged. Entries created, removed or renamed
// change the directory's modification and change times, but only to the file
// system's timestamp granularity; and a tool that sets the modification time
// back (tar, rsync -t, cp -p) leaves only the change time to tell. A listing of
// a directory whose timestamps are so recent that a later change could leave
// them equal is never trusted (`trusted` false), nor one that failed part way.
struct Stamp {
    bool trusted = false;
    // On a network or user-space file system: the times come from the server's
    // clock, and some of those keep them fixed (see unchanged_since).
    bool remote = false;
    unsigned long long dev = 0, ino = 0;
    long long mtime_s = 0, mtime_ns = 0, ctime_s = 0, ctime_ns = 0;
};

struct Listing {
    bool ok = false;  // false: not listed (unreadable, vanished, or a link where none is followed)
    bool abandoned = false;  // given up to keep within a walk's budget: to be listed again
    Entries entries;
    Stamp stamp;              // taken when asked for
    // The walk's epoch when the listing was started (Walker::caller_code_ran).
    std::uint64_t epoch = 0;
    std::size_t charged = 0;  // bytes counted against a walk's budget
};

// What the listings taken ahead for one walk may hold together, counted while
// they are read: a listing that would take the count past the limit is given
// up, unless the walk waits for it.
struct Budget {
    std::atomic<std::size_t> used{0};
    std::atomic<std::size_t> peak{0};  // the most `used` has been
    std::size_t limit = 0;
};

// What the listings of one walk have shown of each remote device's
// directory times. A device is taken to keep them fixed once two of its
// directories report the very same times to the nanosecond (every directory
// the same time, or time zero, as mounts of object stores report them), and
// is not trusted before the stamps of two directories were seen. Directories
// made within one clock tick can share their times too: the device is then
// taken for one that keeps them fixed all the same, which costs listings, not
// answers. Guarded by its own mutex (workers learn, the caller's thread asks).
class DeviceTimes {
public:
    void learn(const Stamp& stamp);
    bool keeps_times(unsigned long long dev) const;

private:
    struct Seen {
        unsigned long long ino;
        long long mtime_s, mtime_ns, ctime_s, ctime_ns;
    };
    struct Device {
        unsigned long long dev = 0;
        bool fixed = false;
        std::size_t seen = 0;      // stamps of different directories
        std::vector<Seen> recent;  // the last kKept of them
        std::size_t next = 0;
    };
    static constexpr std::size_t kKept = 64;
    mutable std::mutex mutex_;
    std::vector<Device> devices_;
};

// Lists the directory `path`; with `nofollow`, a symbolic link is refused
// rather than followed. With `stamp`, records the directory's Stamp first
// (and what it shows of a remote device's times in `times`, if given).
// With `budget`, counts what the listing holds against it, and abandons the
// listing when the budget is spent and `exempt` (if given) is not set.
Listing list_directory(const std::string& path, bool nofollow, bool stamp = false,
                       Budget* budget = nullptr, const std::atomic<bool>* exempt = nullptr,
                       DeviceTimes* times = nullptr);


// Whether the directory at `path` is still the one `stamp` describes, unchanged
// and not a symbolic link, by one lstat; false also when it is gone, always for
// a stamp not trusted, and for a remote device that `times` does not show to
// keep its directories' times.
bool unchanged_since(const std::string& path, const Stamp& stamp, const DeviceTimes& times);

// How old a directory's timestamps must be for a listing to be trusted: older
// than the kernel's clock tick where timestamps carry nanoseconds; older than
// the coarsest granularity in use (FAT's two seconds) where they carry whole
// seconds, and on network file systems, whose timestamps come from the
// server's clock.
inline constexpr std::chrono::milliseconds kUntrustedChange{50};
inline constexpr std::chrono::milliseconds kUntrustedCoarseChange{2000};

// What a walk asks of its caller, always on the caller's thread.
class Hooks {
public:
    // Once per directory the walk will list, before the listing is queued or
    // made; `path[rel:]` is the part below the top ("a/b"; empty for the top).
    // False refuses the listing: the walk hands the directory out as refused
    // when it reaches it.
    virtual bool announce(std::uint64_t id, const std::string& path, std::size_t rel) = 0;
    // Around waits for a worker and listings made on the caller's thread;
    // always paired, also when an exception leaves the walk.
    virtual void unlock() {}
    virtual void lock() {}
    // Before each directory the walk turns to, and every kPollInterval while
    // it waits for a worker, with the lock held: the caller's chance to stop
    // the walk by throwing (a signal handler raised). The walk stays as it
    // was: it can go on from there, or be destroyed.
    virtual void poll() {}

protected:
    ~Hooks() = default;
};

struct Step {
    enum Kind { kListed, kRefused };
    Kind kind = kListed;
    std::uint64_t id = 0;  // as announced
    std::string path;
    std::size_t rel = 0;
    Entries entries;  // kListed: the directory's entries
};

// How long the caller waits for a worker between two polls: what a signal
// may wait for on top of the listing in hand.
inline constexpr std::chrono::milliseconds kPollInterval{15};

inline constexpr std::size_t kMaxAhead = 128;
// What the listings ahead of one walk may hold, queued, running or done:
// their names and entries together.
inline constexpr std::size_t kMaxAheadBytes = std::size_t{2} << 20;
// The most worker threads the pool runs. How many it starts follows what the
// listings cost: no more than the cores can use while they are quick; more,
// up to the cap, while a walk waits for slow ones (a file server answers many
// requests at once).
inline constexpr int kMaxWorkers = 64;
// How long a listing must spend off the CPU, on average, for a walk waiting
// on it to be waiting for the server rather than for the cores.
inline constexpr std::chrono::microseconds kSlowListing{250};
// A listing that waits this long is worth more than setting a walk's whole
// reach going at once costs the caller (queueing it, waking the pool). At
// 0.75 ms, fs.first over 2,000 small directories 1 ms away took 15 ms against
// 3.6 ms: the workers started for a walk that needed three directories.
inline constexpr std::chrono::microseconds kFarListing{2000};
// A listing that waits no longer than this for the file system, of a
// directory with fewer entries than kSmallListing, is cheaper than handing it
// over between threads. After kQuietRun such listings (nearly all of them in
// a row) a walk lists on the caller's thread alone (a local skeleton of empty
// directories, in the page cache) until listings are slower or larger. With
// even three entries a directory, the workers still pay (2,000 directories of
// three files: fs.last 15 ms with them, 17 ms without).
inline constexpr std::chrono::microseconds kQuickListing{100};
inline constexpr std::size_t kSmallListing = 1;
inline constexpr std::size_t kQuietRun = 32;
// A walk sets no listing going before it has run this long: a walk that ends
// sooner than a thread starts uses none.
inline constexpr std::chrono::microseconds kThreadStartCost{100};

// The cap on worker threads, from the module's configuration; read before the
// first walk. -1 (the default): up to kMaxWorkers, as the listings' cost
// says; 0: no workers, every directory listed on the caller's thread;
// otherwise exactly that cap.
void set_worker_cap(int cap);
int worker_cap();
inline constexpr std::chrono::milliseconds kIdle{500};

// When a walk decides whether a subdirectory is a symbolic link (and so not
// entered): when it reaches the subdirectory (kAtEntry), or for all of a
// directory's subdirectories at once when the walk moves on from that
// directory, each then entered as whatever its path leads to (kAtParentResume).
enum class LinkRule { kAtEntry, kAtParentResume };

class Walker {
public:
    // Without `read_ahead`, every directory is listed on the caller's thread
    // when the walk reaches it.
    Walker(std::string top, bool read_ahead, LinkRule links = LinkRule::kAtEntry);
    ~Walker();
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    // The next directory in walk order, listed or refused; false at the end.
    // Directories that cannot be listed, and links below the top (still links
    // when the walk reaches them), are passed
    // over.
    bool next(Hooks& hooks, Step& out);

    // Code of the caller's may have run since the last step (it may have
    // changed the tree): listings started before now are checked when the
    // walk reaches them. Without it, the walk takes the tree as unchanged by
    // the caller, and a listing taken ahead is used as it is.
    void caller_code_ran();

    // What the walk has yet to enter, for a caller that goes on without it:
    // each directory pending as (path, rel), the next one last. The last
    // `undecided` of them are the subdirectories of the directory handed out
    // last (under kAtParentResume, whose link kinds are not decided yet).
    void pending(std::vector<std::pair<std::string, std::size_t>>& out,
                 std::size_t& undecided) const;

    struct Node;
    struct Shared;

private:
    void schedule(Hooks& hooks);
    bool pass_due() const;
    void obtain(Hooks& hooks, Node& node);
    bool collect(Node& node);
    void submit(Node& node, std::uint64_t priority);
    void refresh(Hooks& hooks, Node& node);
    bool became_directory(Hooks& hooks, Node& node);
    void decide_links(Hooks& hooks);
    void release(Listing& listing) noexcept;
    bool expand_ahead(Node& node);
    void release_records(Node& node) noexcept;
    void discard(Node& node) noexcept;
    void after_fork();
    void cancel() noexcept;

    std::string top_;
    bool read_ahead_;
    LinkRule links_;
    // Bumped by caller_code_ran; mirrored in Shared for the workers.
    std::uint64_t epoch_ = 0;
    // kAtParentResume: how many of pending_'s last nodes are the children of
    // the directory handed out last, whose kinds are yet to be decided, and
    // the epoch as of which those kinds were known.
    std::size_t undecided_ = 0;
    std::uint64_t kinds_known_at_ = 0;
    bool started_ = false;
    std::size_t handed_out_ = 0;
    std::uint64_t next_id_ = 0;
    std::uint64_t generation_;
    std::vector<std::unique_ptr<Node>> pending_;  // next one last
    // Where schedule() is in its walk over what is pending: one frame per
    // level, pending_ itself read from its back, a listed node's children
    // from their front. Kept between calls only for its memory.
    struct Frame {
        std::vector<std::unique_ptr<Node>>* nodes;
        std::size_t taken;
        bool from_back;
    };
    std::vector<Frame> frames_;
    std::size_t most_visited_ = 0;
    std::size_t passes_ = 0;
    std::shared_ptr<Shared> shared_;              // this walk's link with the pool
    std::chrono::steady_clock::time_point started_at_{};
    // A listing this walk made itself waited kFarListing or more: the walk
    // reaches ahead as far as it may at once, has those listings run side by
    // side, and leaves even the one it needs next to a free worker.
    bool far_ = false;
    double own_wait_us_ = -1;  // a listing made here, not yet told to the pool
    // How far the listings, as they came in, were quick and small (see
    // note_cost); from kQuietRun on, the walk queues nothing ahead.
    std::size_t quiet_score_ = 0;
    void note_cost(bool quick, std::size_t entries);
    bool quiet() const { return quiet_score_ >= kQuietRun; }
    static constexpr std::size_t kRampSteps = 6;
    static constexpr std::size_t kPassEvery = 8;
    std::size_t passed_at_ = 0;  // handed_out_ at the last pass of schedule()

public:
    // For tests: the most the listings ahead of this walk held together, in
    // bytes (since the last fork).
    std::size_t peak_ahead_bytes() const;
    // For tests: what the walk holds ahead now, listings and records, in bytes.
    std::size_t ahead_bytes() const;
    // For tests: the most nodes one look ahead has visited.
    std::size_t most_visited() const { return most_visited_; }
    // For tests: whether the walk lists ahead no more (quick, small listings).
    bool listing_alone() const { return quiet(); }
    // For tests: how many passes over the reach schedule() made.
    std::size_t passes() const { return passes_; }
};

// The pool as it is now, for tests.
struct PoolStats {
    int threads = 0;  // started and not yet exited
    int peak_threads = 0;  // the most at once so far
    int allowed = 0;       // how many may run now
    int busy = 0;     // listing
    std::size_t queued = 0;
    int unjoined = 0;  // threads started and not yet joined, exited or not
    int exits = 0;       // workers that have left, all told
    int idle_exits = 0;  // ... of them after kIdle without work
    std::chrono::steady_clock::duration shortest_idle_exit = std::chrono::steady_clock::duration::max();  // ... of whom the one that waited least
};
PoolStats pool_stats();

// For tests: has every worker leave, the idle ones at once, one in a listing
// once it is done, and joins it; waits up to `within` for listings under way
// (holding up every walk that starts meanwhile). Whether no worker is left;
// one still in a listing then stays and works on. Walks start new ones when
// they need them.
bool stop_workers(std::chrono::milliseconds within = std::chrono::seconds(30));

// For tests: make every later attempt to start a worker fail (or not).
void fail_thread_starts_for_tests(bool fail);
// For tests: each listing of a walk waits this long first, as for a server.
void delay_listings_for_tests(std::chrono::microseconds delay);
// For tests: each listing on a worker waits this long first, as for a server
// that hangs; one under way when this changes waits it out.
void delay_worker_listings_for_tests(std::chrono::microseconds delay);
// For tests: the peak of threads starts again from those running now.
void reset_peak_for_tests();

}  // namespace kv::walk
