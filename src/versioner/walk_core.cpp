#include "walk_core.hpp"

#include "unwind.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace kv::walk {

// ---------------------------------------------------------------------------
// The pool. One mutex guards the queue, every job's state and result, and each
// walk's Shared record.

namespace {

struct Pool;

struct Job {
    enum State { kQueued, kRunning, kDone };
    std::string path;
    bool nofollow = false;
    std::uint64_t priority = 0;  // lower: needed sooner
    State state = kQueued;
    std::atomic<bool> exempt{false};  // the walk waits for it: never abandoned
    bool orphaned = false;  // its walk dropped it: the result is not kept
    bool failed = false;  // the worker could not finish: the walk lists it itself
    Listing result;
    std::shared_ptr<Walker::Shared> owner;
};

struct Pool {
    std::mutex mutex;
    std::condition_variable work;
    std::vector<std::shared_ptr<Job>> queue;
    int threads = 0;
    int idle = 0;
    int busy = 0;
    std::chrono::steady_clock::time_point no_start_before{};
    std::vector<std::thread> workers;          // started and not yet joined
    std::vector<std::thread::id> finished;     // left, to be joined
    bool stopping = false;                     // around a fork: workers leave
    int allowed = 0;                           // how many may run now; 0: not yet set
    double waiting_us = 0;  // a moving average of the time a listing spends off the CPU
    int peak_threads = 0;                      // for tests and benchmarks
};

std::atomic<int> configured_cap{-1};
std::atomic<long long> listing_delay_us{0};  // for tests: a slow file server

double thread_cpu_us() {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// How often this thread gave up the CPU of its own accord (to wait for the
// disk, the server, a lock), as opposed to being preempted.
long voluntary_switches() {
    struct rusage usage;
    if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
    return usage.ru_nvcsw;
}

int cores() {
    const unsigned n = std::thread::hardware_concurrency();
    return n < 2 ? 2 : static_cast<int>(n);
}

// How many workers the pool may run: the configured cap, or what the cost
// of listings has called for so far.
int allowed_workers(Pool& pool) {
    const int cap = configured_cap.load(std::memory_order_relaxed);
    if (cap >= 0) return cap;
    if (pool.allowed == 0) pool.allowed = std::min(cores(), kMaxWorkers);
    return pool.allowed;
}

// A walk had to wait for a listing (or list it itself, nobody free to take
// it): while listings are slow, the server is what holds the walk back, and
// more of them in flight help: at least twice as many, and as many as there
// are listings to take (a file server answers them side by side).
void note_wait(Pool& pool) {
    if (configured_cap.load(std::memory_order_relaxed) >= 0) return;
    if (pool.waiting_us < static_cast<double>(kSlowListing.count())) return;
    const int backlog = static_cast<int>(std::min<std::size_t>(
                            pool.queue.size(), static_cast<std::size_t>(kMaxWorkers))) +
                        pool.busy;
    pool.allowed = std::min(kMaxWorkers, std::max(std::max(allowed_workers(pool), 1) * 2, backlog));
}

std::atomic<std::uint64_t> fork_generation{0};
std::atomic<bool> fail_starts{false};

// The pool of this process. Never destroyed: workers may still run it when
// static destructors run.
std::mutex& registry_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::shared_ptr<Pool>* registered_pool = nullptr;
std::uint64_t registered_generation = 0;
Pool* locked_for_fork = nullptr;

// Joins the workers that have left.
void reap(Pool& pool) {
    for (std::thread::id id : pool.finished) {
        auto it = std::find_if(pool.workers.begin(), pool.workers.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
        if (it == pool.workers.end()) continue;
        it->join();  // it has let go of the mutex: it is on its way out
        pool.workers.erase(it);
    }
    pool.finished.clear();
}

// Around fork(): no worker is left when the process forks, so a fork sees the
// threads of the interpreter's own alone (3.12 and 3.13 warn about a process
// with other threads); each finishes the listing in hand first. The child
// gets the pool in a consistent state and leaves it, starting a pool of its
// own when it needs one; the parent's walks start workers again on demand.
// Has every worker leave, after the listing in hand, and joins it; new ones
// are started only once `stopping` is cleared again.
void stop(Pool& pool) {
    std::vector<std::thread> leaving;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.stopping = true;
        pool.work.notify_all();
        leaving = std::move(pool.workers);
        pool.workers.clear();
        pool.finished.clear();
    }
    for (std::thread& thread : leaving) thread.join();
}

void prepare_fork() {
    registry_mutex().lock();
    locked_for_fork = registered_pool && *registered_pool ? registered_pool->get() : nullptr;
    if (!locked_for_fork) return;
    stop(*locked_for_fork);
    locked_for_fork->mutex.lock();
}
void parent_after_fork() {
    if (locked_for_fork) {
        locked_for_fork->stopping = false;
        locked_for_fork->mutex.unlock();
    }
    locked_for_fork = nullptr;
    registry_mutex().unlock();
}
void child_after_fork() {
    fork_generation.fetch_add(1, std::memory_order_acq_rel);
    parent_after_fork();
}

std::shared_ptr<Pool> current_pool(std::uint64_t& generation) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    if (!registered_pool) {
        pthread_atfork(prepare_fork, parent_after_fork, child_after_fork);
        registered_pool = new std::shared_ptr<Pool>();
    }
    generation = fork_generation.load(std::memory_order_acquire);
    if (!*registered_pool || registered_generation != generation) {
        *registered_pool = std::make_shared<Pool>();
        registered_generation = generation;
    }
    return *registered_pool;
}

void worker(std::shared_ptr<Pool> pool);

// Starts one more worker when the queue holds more than the idle ones will
// take. A failure to start one is not an error: the walks list what nobody
// takes themselves; starting is tried again a second later.
void maybe_start(const std::shared_ptr<Pool>& pool) {
    Pool& p = *pool;
    if (p.stopping || p.threads >= allowed_workers(p) ||
        p.queue.size() <= static_cast<std::size_t>(p.idle)) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < p.no_start_before) return;
    reap(p);
    try {
        if (fail_starts.load(std::memory_order_relaxed)) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        p.workers.emplace_back(worker, pool);
        ++p.threads;
        p.peak_threads = std::max(p.peak_threads, p.threads);
    } catch (const std::exception&) {
        p.no_start_before = now + std::chrono::seconds(1);
    }
}

}  // namespace

struct Walker::Shared {
    std::shared_ptr<Pool> pool;
    Budget budget;
    std::condition_variable done;  // a job of this walk finished
    std::uint64_t completions = 0;
};

namespace {

void worker(std::shared_ptr<Pool> pool) {
    std::unique_lock<std::mutex> lock(pool->mutex);
    while (true) {
        if (pool->stopping) break;
        if (pool->queue.empty()) {
            ++pool->idle;
            const bool woken = pool->work.wait_for(
                lock, kIdle, [&] { return !pool->queue.empty() || pool->stopping; });
            --pool->idle;
            if (!woken || pool->stopping) {
                // Quiet: the next walk starts again from what the cores use.
                if (!woken && pool->allowed > 0) pool->allowed = std::min(cores(), kMaxWorkers);
                if (!woken) pool->waiting_us = 0;
                break;
            }
        }
        auto it = std::min_element(
            pool->queue.begin(), pool->queue.end(),
            [](const auto& a, const auto& b) { return a->priority < b->priority; });
        std::shared_ptr<Job> job = std::move(*it);
        pool->queue.erase(it);
        job->state = Job::kRunning;
        ++pool->busy;
        maybe_start(pool);
        lock.unlock();
        const auto started = std::chrono::steady_clock::now();
        const double cpu_before = thread_cpu_us();
        const long switches_before = voluntary_switches();
        if (const long long delay = listing_delay_us.load(std::memory_order_relaxed)) {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
        }
        Listing listing;
        bool failed = false;
        try {
            listing = list_directory(job->path, job->nofollow, true, &job->owner->budget,
                                     &job->exempt);
        }
        KV_CATCH_ANY_CXX_EXCEPTION {
            failed = true;
        }
        // What the listing spent waiting (for the disk, the server) rather
        // than working. Time off the CPU without a wait of its own is time
        // other threads had the cores: more threads would not help.
        const double off_cpu = std::chrono::duration<double, std::micro>(
                                   std::chrono::steady_clock::now() - started).count() -
                               (thread_cpu_us() - cpu_before);
        const double waited = voluntary_switches() != switches_before ? off_cpu : 0.0;
        lock.lock();
        pool->waiting_us = pool->waiting_us * 0.8 + std::max(waited, 0.0) * 0.2;
        --pool->busy;
        if (job->orphaned) {
            job->owner->budget.used.fetch_sub(listing.charged);
        } else {
            job->result = std::move(listing);
        }
        job->failed = failed || job->result.abandoned;
        job->state = Job::kDone;
        ++job->owner->completions;
        job->owner->done.notify_all();
        job.reset();
    }
    --pool->threads;
    if (!pool->stopping) pool->finished.push_back(std::this_thread::get_id());
}

// Retaking the interpreter lock may end the thread (unwind.hpp): the
// destructor lets that unwind pass.
class Unlocked {
public:
    explicit Unlocked(Hooks& hooks) : hooks_(hooks) { hooks_.unlock(); }
    ~Unlocked() noexcept(false) { hooks_.lock(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    Hooks& hooks_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The walk. Everything below runs on the caller's thread.

struct Walker::Node {
    enum State { kNew, kRefused, kAnnounced, kListed };
    std::uint64_t id = 0;
    std::string path;
    std::size_t rel = 0;
    bool nofollow = false;
    // A symbolic link to a directory when its parent was listed: entered only
    // if a real directory has replaced it by the time the walk reaches it, as
    // os.walk asks islink then.
    bool link = false;
    State state = kNew;
    std::shared_ptr<Job> job;  // kAnnounced, while the pool has it
    Listing listing;           // kListed
    bool ahead = false;        // listed by a worker: checked when the walk reaches it
    std::vector<std::unique_ptr<Node>> children;  // kListed: the subdirectories to enter
};

Walker::Walker(std::string top, bool read_ahead)
    : top_(std::move(top)), read_ahead_(read_ahead), generation_(0) {}

Walker::~Walker() { cancel(); }

void Walker::cancel() noexcept {
    if (!shared_ || generation_ != fork_generation.load(std::memory_order_acquire)) return;
    Pool& pool = *shared_->pool;
    std::lock_guard<std::mutex> lock(pool.mutex);
    const Shared* mine = shared_.get();
    pool.queue.erase(std::remove_if(pool.queue.begin(), pool.queue.end(),
                                    [mine](const auto& job) { return job->owner.get() == mine; }),
                     pool.queue.end());
}

// In the child of a fork: what the parent's workers had in hand is listed
// again here, and the listings kept count against a new budget.
void Walker::after_fork() {
    std::vector<Node*> nodes;
    for (auto& node : pending_) nodes.push_back(node.get());
    while (!nodes.empty()) {
        Node* node = nodes.back();
        nodes.pop_back();
        node->job.reset();
        node->listing.charged = 0;
        for (auto& child : node->children) nodes.push_back(child.get());
    }
    shared_.reset();
}

void Walker::submit(Node& node, std::uint64_t priority) {
    if (shared_ && generation_ != fork_generation.load(std::memory_order_acquire)) after_fork();
    if (!shared_) {
        shared_ = std::make_shared<Shared>();
        shared_->budget.limit = kMaxAheadBytes;
        shared_->pool = current_pool(generation_);
    }
    auto job = std::make_shared<Job>();
    job->path = node.path;
    job->nofollow = node.nofollow;
    job->priority = priority;
    job->owner = shared_;
    node.job = job;
    Pool& pool = *shared_->pool;
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.queue.push_back(std::move(job));
    if (pool.idle > 0) {
        pool.work.notify_one();
    } else if (pool.threads == 0 || pool.busy == pool.threads) {
        // Starting a thread costs the caller tens of microseconds: it starts
        // one only when no worker is free to start the next one itself, which
        // each does when it finds more work queued than idle workers.
        maybe_start(shared_->pool);
    }
}

std::size_t Walker::peak_ahead_bytes() const {
    return shared_ ? shared_->budget.peak.load() : 0;
}

namespace {

std::vector<std::unique_ptr<Walker::Node>> expand(Walker::Node& node, std::uint64_t& next_id,
                                                  bool is_top);

}  // namespace

// Gives back what a listing taken ahead counted against the walk's budget.
void Walker::release(Listing& listing) noexcept {
    if (listing.charged && shared_) shared_->budget.used.fetch_sub(listing.charged);
    listing.charged = 0;
}

// Takes the node's listing from its job when the job is done; otherwise
// records how soon the walk needs it.
bool Walker::collect(Node& node) {
    {
        std::lock_guard<std::mutex> lock(shared_->pool->mutex);
        if (node.job->state != Job::kDone) return false;
        if (!node.job->failed) {
            node.listing = std::move(node.job->result);
            node.state = Node::kListed;
            node.ahead = true;
        }
    }
    node.job.reset();
    if (node.state != Node::kListed) return false;
    expand(node, next_id_, node.id == 0);
    return true;
}

namespace {

std::string join(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path += '/';
    return path += name;
}

// Makes the node's children from its listing: its subdirectories, in order,
// links to directories among them. Children it had before (a listing
// replaced by a fresh one) are kept where the fresh listing still names them
// as the same kind; the others are returned.
std::vector<std::unique_ptr<Walker::Node>> expand(Walker::Node& node, std::uint64_t& next_id,
                                                  bool is_top) {
    std::unordered_map<std::string, std::unique_ptr<Walker::Node>> before;
    for (auto& child : node.children) {
        std::string path = child->path;
        before.emplace(std::move(path), std::move(child));
    }
    node.children.clear();
    for (const Entry& entry : node.listing.entries.items) {
        if (!entry.is_dir) continue;
        std::string path = join(node.path, node.listing.entries.name(entry));
        auto kept = before.find(path);
        if (kept != before.end() && kept->second->link == entry.is_link) {
            node.children.push_back(std::move(kept->second));
            before.erase(kept);
            continue;
        }
        auto child = std::make_unique<Walker::Node>();
        child->id = next_id++;
        child->path = std::move(path);
        child->rel = is_top ? child->path.size() - entry.length : node.rel;
        child->nofollow = true;
        child->link = entry.is_link;
        node.children.push_back(std::move(child));
    }
    std::vector<std::unique_ptr<Walker::Node>> gone;
    for (auto& entry : before) {
        if (entry.second) gone.push_back(std::move(entry.second));
    }
    return gone;
}

}  // namespace

// Announces and queues, in walk order, what is known of the walk ahead: the
// pending directories and, below those already listed, their subdirectories.
void Walker::schedule(Hooks& hooks) {
    if (shared_ && generation_ != fork_generation.load(std::memory_order_acquire)) after_fork();
    if (!shared_ && std::chrono::steady_clock::now() - started_at_ < kThreadStartCost) return;
    std::vector<Node*> order;
    for (auto& node : pending_) order.push_back(node.get());
    // The reach doubles with each directory handed out, up to kMaxAhead: a
    // caller that stops after a few directories (the first item) sets few
    // listings going, a full walk soon has them all in flight.
    const std::size_t reach =
        handed_out_ >= 6 ? kMaxAhead : std::min(kMaxAhead, std::size_t{1} << handed_out_);
    std::size_t ahead = 0;
    while (!order.empty() && ahead < reach) {
        Node& node = *order.back();
        order.pop_back();
        // Whether a link is entered is decided when the walk reaches it.
        if (node.link) continue;
        const bool needed_now = ahead == 0;
        ++ahead;
        if (node.state == Node::kNew) {
            // Every listing ahead counts, queued, running or done: none is
            // queued while those under way hold the budget.
            if (shared_ && shared_->budget.used.load() >= shared_->budget.limit) break;
            node.state = hooks.announce(node.id, node.path, node.rel) ? Node::kAnnounced
                                                                       : Node::kRefused;
            // The directory needed now is listed on this thread, without a
            // hand-over.
            if (node.state == Node::kAnnounced && !needed_now) submit(node, ahead);
            continue;
        }
        if (node.state == Node::kAnnounced && node.job && shared_) {
            if (!collect(node)) {
                if (node.job) {
                    std::lock_guard<std::mutex> lock(shared_->pool->mutex);
                    node.job->priority = ahead;
                }
                continue;
            }
        }
        if (node.state == Node::kListed) {
            for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) {
                order.push_back(it->get());
            }
        }
    }
}

// Makes the listing of `node`, the directory the walk turns to, available.
void Walker::obtain(Hooks& hooks, Node& node) {
    while (node.state == Node::kAnnounced) {
        if (node.job && generation_ != fork_generation.load(std::memory_order_acquire)) {
            after_fork();
        }
        if (!node.job) {
            Listing listing;
            {
                Unlocked unlocked(hooks);
                listing = list_directory(node.path, node.nofollow);
            }
            node.listing = std::move(listing);
            node.state = Node::kListed;
            expand(node, next_id_, node.id == 0);
            return;
        }
        bool others_done = false;
        bool taken_back = false;
        {
            Unlocked unlocked(hooks);
            Pool& pool = *shared_->pool;
            std::unique_lock<std::mutex> lock(pool.mutex);
            Job& job = *node.job;
            if (job.state == Job::kQueued) {
                // Nobody has started on it: list it here rather than wait.
                pool.queue.erase(std::find(pool.queue.begin(), pool.queue.end(), node.job));
                taken_back = true;
                note_wait(pool);
            } else {
                // What the walk waits for is finished whatever the budget.
                job.exempt.store(true);
                note_wait(pool);
                const std::uint64_t seen = shared_->completions;
                shared_->done.wait(lock, [&] {
                    return job.state == Job::kDone || shared_->completions != seen;
                });
                others_done = job.state != Job::kDone;
            }
        }
        if (taken_back) {
            node.job.reset();
        } else if (others_done) {
            // Listings further ahead came in meanwhile: look past them.
            schedule(hooks);
        } else {
            collect(node);
        }
    }
}

// A listing taken ahead is used only if the directory has not changed since;
// otherwise the directory is listed again now, as a walk reaching it now would.
void Walker::refresh(Hooks& hooks, Node& node) {
    node.ahead = false;
    bool same;
    Listing fresh;
    {
        Unlocked unlocked(hooks);
        same = unchanged_since(node.path, node.listing.stamp);
        if (!same) fresh = list_directory(node.path, node.nofollow);
    }
    if (same) return;
    release(node.listing);
    node.listing = std::move(fresh);
    for (auto& gone : expand(node, next_id_, node.id == 0)) discard(*gone);
}

// Whether the link `node` names has become a directory by now.
bool Walker::became_directory(Hooks& hooks, Node& node) {
    struct stat st;
    int status;
    {
        Unlocked unlocked(hooks);
        status = lstat(node.path.c_str(), &st);
    }
    node.link = !(status == 0 && S_ISDIR(st.st_mode));
    return !node.link;
}

// Drops a subtree the walk will not enter after all.
void Walker::discard(Node& node) noexcept {
    release(node.listing);
    if (node.job && shared_ && generation_ == fork_generation.load(std::memory_order_acquire)) {
        Pool& pool = *shared_->pool;
        std::lock_guard<std::mutex> lock(pool.mutex);
        auto it = std::find(pool.queue.begin(), pool.queue.end(), node.job);
        if (it != pool.queue.end()) {
            pool.queue.erase(it);
        } else if (node.job->state == Job::kDone) {
            release(node.job->result);
        } else {
            node.job->orphaned = true;  // its worker gives back what it counted
        }
    }
    node.job.reset();
    for (auto& child : node.children) discard(*child);
}

bool Walker::next(Hooks& hooks, Step& out) {
    if (!started_) {
        started_ = true;
        started_at_ = std::chrono::steady_clock::now();
        auto top = std::make_unique<Node>();
        top->id = next_id_++;
        top->path = top_;
        top->rel = top_.size();
        pending_.push_back(std::move(top));
    }
    while (!pending_.empty()) {
        if (read_ahead_) schedule(hooks);
        Node& node = *pending_.back();
        if (node.link && !became_directory(hooks, node)) {
            pending_.pop_back();
            continue;
        }
        if (node.state == Node::kNew) {
            node.state = hooks.announce(node.id, node.path, node.rel) ? Node::kAnnounced
                                                                       : Node::kRefused;
        }
        obtain(hooks, node);
        if (node.state == Node::kListed && node.ahead) refresh(hooks, node);
        std::unique_ptr<Node> taken = std::move(pending_.back());
        pending_.pop_back();
        out.id = taken->id;
        out.path = std::move(taken->path);
        out.rel = taken->rel;
        out.entries.clear();
        if (taken->state == Node::kRefused) {
            out.kind = Step::kRefused;
            return true;
        }
        release(taken->listing);
        if (!taken->listing.ok) continue;
        for (auto it = taken->children.rbegin(); it != taken->children.rend(); ++it) {
            pending_.push_back(std::move(*it));
        }
        out.kind = Step::kListed;
        out.entries = std::move(taken->listing.entries);
        // Listings ahead start now, while the caller works on this directory;
        // not after the first one, so that a caller that needs only the first
        // directory's items pays for nothing more.
        if (read_ahead_ && ++handed_out_ > 1) schedule(hooks);
        return true;
    }
    return false;
}

PoolStats pool_stats() {
    std::lock_guard<std::mutex> registry(registry_mutex());
    PoolStats stats;
    if (!registered_pool || !*registered_pool ||
        registered_generation != fork_generation.load(std::memory_order_acquire)) {
        return stats;
    }
    Pool& pool = **registered_pool;
    std::lock_guard<std::mutex> lock(pool.mutex);
    stats.threads = pool.threads;
    stats.peak_threads = pool.peak_threads;
    stats.allowed = allowed_workers(pool);
    stats.busy = pool.busy;
    stats.queued = pool.queue.size();
    return stats;
}

void fail_thread_starts_for_tests(bool fail) { fail_starts.store(fail); }

void delay_listings_for_tests(std::chrono::microseconds delay) {
    listing_delay_us.store(delay.count());
}

void stop_workers() {
    std::lock_guard<std::mutex> registry(registry_mutex());
    if (!registered_pool || !*registered_pool) return;
    Pool& pool = **registered_pool;
    stop(pool);
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.stopping = false;
}

void reset_peak_for_tests() {
    std::lock_guard<std::mutex> registry(registry_mutex());
    if (!registered_pool || !*registered_pool) return;
    std::lock_guard<std::mutex> lock((*registered_pool)->mutex);
    (*registered_pool)->peak_threads = (*registered_pool)->threads;
}

void set_worker_cap(int cap) { configured_cap.store(cap < 0 ? -1 : std::min(cap, kMaxWorkers)); }

int worker_cap() { return configured_cap.load(); }

}  // namespace kv::walk
