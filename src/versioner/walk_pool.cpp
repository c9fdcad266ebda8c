#include "walk_pool.hpp"

#include "unwind.hpp"

#include "platform.hpp"

#include <algorithm>
#include <system_error>

namespace kv::walk {

namespace {

std::atomic<int> configured_cap{-1};
std::atomic<long long> listing_delay_us{0};  // for tests: a slow file server
std::atomic<long long> worker_delay_us{0};   // for tests: a hung one, for workers alone

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

// The listings queued (as many as could run) and under way.
int backlog(const Pool& pool) {
    return static_cast<int>(
               std::min<std::size_t>(pool.queue.size(), static_cast<std::size_t>(kMaxWorkers))) +
           pool.busy;
}

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

// How long a fork waits for the listings under way, so that after a quick
// one (a local disk, a warm cache) it sees no worker of the module's. A
// listing blocked on a hung server is not waited for: the fork goes on with
// its worker still in the file system (the child does not have that thread,
// and its walks list again what it had in hand); what would release the
// listing may even need the thread that forks.
constexpr std::chrono::milliseconds kForkGrace{50};

// The registered pool if this process made it. In the child of a fork, until
// a walk there makes a new one, it is the parent's: the workers it records do
// not exist here, and nothing may wait for or join them.
Pool* live_pool() {
    if (!registered_pool || !*registered_pool ||
        registered_generation != fork_generation.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return registered_pool->get();
}

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

// Has every worker leave and joins it: the idle ones at once, one in a
// listing once it is done, if that is before `until`. Past it, a worker still
// in its listing stays (counted in `threads` and `busy`, its thread in
// `workers`) and works on once `stopping` is cleared. Whatever `until`, no
// worker is left outside a listing: they hold the pool's mutex only for
// moments, so the mutex is free of them when this returns. `lock` holds
// the pool's mutex throughout, except while waiting. Whether none is left.
bool stop(Pool& pool, std::unique_lock<std::mutex>& lock,
          std::chrono::steady_clock::time_point until) {
    pool.stopping = true;
    pool.work.notify_all();
    pool.left.wait_until(lock, until, [&] { return pool.threads == 0; });
    pool.left.wait(lock, [&] { return pool.threads == pool.busy; });
    reap(pool);
    return pool.threads == 0;
}

// Around fork(): the threads of the interpreter's own are all the fork sees
// (3.12 and later warn about a process with other threads), but for a worker
// blocked in the file system. The pool's mutex is taken last and held across
// the fork, so the child gets it unlocked and the pool as it was; the child
// leaves that pool and starts its own when a walk there needs one. The
// parent's walks start workers again on demand; one that was in a listing
// goes on with it.
void prepare_fork() {
    registry_mutex().lock();
    Pool* pool = live_pool();
    if (!pool) return;
    std::unique_lock<std::mutex> lock(pool->mutex);
    stop(*pool, lock, std::chrono::steady_clock::now() + kForkGrace);
    lock.release();
    locked_for_fork = pool;
}
void parent_after_fork() {
    if (locked_for_fork) {
        locked_for_fork->stopping = false;
        locked_for_fork->mutex.unlock();
    }
    locked_for_fork = nullptr;
    registry_mutex().unlock();
}
// The workers the parent's pool still records are never joined here (there
// are no such threads), and the pool is never destroyed here either, with
// their handles joinable: each of them holds a reference to it that no thread
// of the child's will drop.
void child_after_fork() {
    fork_generation.fetch_add(1, std::memory_order_acq_rel);
    parent_after_fork();
}

void worker(std::shared_ptr<Pool> pool);

}  // namespace

std::atomic<std::uint64_t> fork_generation{0};

std::shared_ptr<Pool> current_pool(std::uint64_t& generation) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    if (!registered_pool) {
        sys::on_fork(prepare_fork, parent_after_fork, child_after_fork);
        registered_pool = new std::shared_ptr<Pool>();
    }
    generation = fork_generation.load(std::memory_order_acquire);
    if (!*registered_pool || registered_generation != generation) {
        *registered_pool = std::make_shared<Pool>();
        registered_generation = generation;
    }
    return *registered_pool;
}

BlockWatch::BlockWatch()
    : started_(std::chrono::steady_clock::now()), switches_(sys::voluntary_switches()) {}

bool BlockWatch::blocked_longer_than(std::chrono::microseconds bound) const {
    if (std::chrono::steady_clock::now() - started_ < bound) return false;
    // Where the system does not count them, a long span is taken for a wait.
    const long switches = sys::voluntary_switches();
    return switches < 0 || switches != switches_;
}

namespace {

// The time spent ready to run as last read on this thread (in this process),
// and how often the thread had left the CPU before that read: while that
// count stands, the thread has not been off the CPU since, and neither has
// the time it spent ready to run grown. A walk's first listings, one after
// another on the caller's thread, mostly read it once.
struct QueueSeen {
    long switches = -1;
    long process = 0;
    double queued = -1;
};
thread_local QueueSeen queue_seen;

double queued_now(long switches) {
    const long process = sys::process_id();
    if (switches >= 0 && queue_seen.switches == switches && queue_seen.process == process) {
        return queue_seen.queued;
    }
    const double queued = sys::run_queue_wait_us();
    queue_seen = QueueSeen{queued >= 0 ? switches : -1, process, queued};
    return queued;
}

}  // namespace

// The time spent ready to run is told by another clock, read apart from the
// others (one read in the middle of a preemption would count it as waiting,
// or the other way round). At the start it is read before the others: a
// preemption in between is not counted as waiting. At the end, only after a
// wait of the thread's own, one read before the others and one after that
// agree show that the thread was not preempted in between; where they keep
// disagreeing, the one after is taken.
WaitClock::WaitClock() {
    long all = -1;
    switches_ = sys::voluntary_switches(&all);
    start_.queued = queued_now(all);
    start_.wall = std::chrono::steady_clock::now();
    start_.cpu = sys::thread_cpu_us();
}

double WaitClock::waited_us() const {
    // Where the system does not count the times a thread gave up the CPU,
    // all the time off it is taken for waiting.
    long all = -1;
    const long switches = sys::voluntary_switches(&all);
    if (switches >= 0 && switches == switches_) return 0.0;
    Reading end{};
    double before = start_.queued >= 0 ? queued_now(all) : -1;
    for (int attempt = 1;; ++attempt) {
        end.wall = std::chrono::steady_clock::now();
        end.cpu = sys::thread_cpu_us();
        end.queued = before;
        if (before < 0) break;
        end.queued = sys::run_queue_wait_us();
        if (end.queued == before || end.queued < 0 || attempt == 3) break;
        before = end.queued;
    }
    double off_cpu = std::chrono::duration<double, std::micro>(end.wall - start_.wall).count() -
                     (end.cpu - start_.cpu);
    // Where the system does not tell the time spent ready to run, that is
    // counted too.
    if (start_.queued >= 0 && end.queued >= 0) off_cpu -= end.queued - start_.queued;
    return std::max(off_cpu, 0.0);
}

void delay_for_tests() {
    if (const long long delay = listing_delay_us.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
    }
}

// A walk had to wait for a listing (or list it itself, nobody free to take
// it): while listings are slow, the server is what holds the walk back, and
// more of them in flight help: at least twice as many, and as many as there
// are listings to take (a file server answers them side by side).
void note_wait(Pool& pool) {
    if (configured_cap.load(std::memory_order_relaxed) >= 0) return;
    if (pool.waiting_us < static_cast<double>(kSlowListing.count())) return;
    pool.allowed =
        std::min(kMaxWorkers, std::max(std::max(allowed_workers(pool), 1) * 2, backlog(pool)));
}

// A listing spent `waited` microseconds waiting for the file system.
void note_listing(Pool& pool, double waited) {
    pool.waiting_us = pool.waiting_us * 0.8 + waited * 0.2;
}

// A walk whose listings wait for the server queued more: as many may run
// side by side as are queued (up to the cap).
void note_backlog(Pool& pool) {
    if (configured_cap.load(std::memory_order_relaxed) >= 0) return;
    pool.allowed = std::min(kMaxWorkers, std::max(allowed_workers(pool), backlog(pool)));
}

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

namespace {

void worker(std::shared_ptr<Pool> pool) {
    std::unique_lock<std::mutex> lock(pool->mutex);
    while (true) {
        if (pool->stopping) break;
        if (pool->queue.empty()) {
            ++pool->idle;
            const auto idle_from = std::chrono::steady_clock::now();
            const bool woken = pool->work.wait_for(
                lock, kIdle, [&] { return !pool->queue.empty() || pool->stopping; });
            --pool->idle;
            if (!woken || pool->stopping) {
                // Quiet: the next walk starts again from what the cores use.
                if (!woken && pool->allowed > 0) pool->allowed = std::min(cores(), kMaxWorkers);
                if (!woken) {
                    pool->waiting_us = 0;
                    ++pool->idle_exits;
                    pool->shortest_idle_exit =
                        std::min(pool->shortest_idle_exit, std::chrono::steady_clock::now() - idle_from);
                }
                break;
            }
        }
        auto it = std::min_element(
            pool->queue.begin(), pool->queue.end(),
            [](const auto& a, const auto& b) {
                return a->priority.load(std::memory_order_relaxed) <
                       b->priority.load(std::memory_order_relaxed);
            });
        std::shared_ptr<Job> job = std::move(*it);
        pool->queue.erase(it);
        job->state = Job::kRunning;
        ++pool->busy;
        maybe_start(pool);
        lock.unlock();
        const WaitClock clock;
        delay_for_tests();
        if (const long long delay = worker_delay_us.load(std::memory_order_relaxed)) {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
        }
        Listing listing;
        bool failed = false;
        try {
            const std::uint64_t epoch = job->owner->epoch.load(std::memory_order_acquire);
            listing = list_directory(job->path, job->nofollow, true, &job->owner->budget,
                                     &job->exempt, &job->owner->times);
            listing.epoch = epoch;
        }
        KV_CATCH_ANY_CXX_EXCEPTION {
            failed = true;
        }
        const double waited = clock.waited_us();
        lock.lock();
        note_listing(*pool, waited);
        --pool->busy;
        if (job->orphaned) {
            job->owner->budget.used.fetch_sub(listing.charged);
        } else {
            job->result = std::move(listing);
        }
        job->failed = failed || job->result.abandoned;
        job->waited_us = waited;
        job->state = Job::kDone;
        job->done.store(true, std::memory_order_release);
        ++job->owner->completions;
        job->owner->done.notify_all();
        job.reset();
    }
    --pool->threads;
    ++pool->exits;
    pool->finished.push_back(std::this_thread::get_id());
    if (pool->stopping) pool->left.notify_all();
}

}  // namespace

PoolStats pool_stats() {
    std::lock_guard<std::mutex> registry(registry_mutex());
    PoolStats stats;
    Pool* pool = live_pool();
    if (!pool) return stats;
    std::lock_guard<std::mutex> lock(pool->mutex);
    stats.threads = pool->threads;
    stats.peak_threads = pool->peak_threads;
    stats.allowed = allowed_workers(*pool);
    stats.busy = pool->busy;
    stats.queued = pool->queue.size();
    stats.unjoined = static_cast<int>(pool->workers.size());
    stats.exits = pool->exits;
    stats.idle_exits = pool->idle_exits;
    stats.shortest_idle_exit = pool->shortest_idle_exit;
    return stats;
}

void fail_thread_starts_for_tests(bool fail) { fail_starts.store(fail); }

void delay_listings_for_tests(std::chrono::microseconds delay) {
    listing_delay_us.store(delay.count());
}

void delay_worker_listings_for_tests(std::chrono::microseconds delay) {
    worker_delay_us.store(delay.count());
}

bool stop_workers(std::chrono::milliseconds within) {
    std::lock_guard<std::mutex> registry(registry_mutex());
    Pool* pool = live_pool();
    if (!pool) return true;
    std::unique_lock<std::mutex> lock(pool->mutex);
    const bool none_left = stop(*pool, lock, std::chrono::steady_clock::now() + within);
    pool->stopping = false;
    return none_left;
}

void reset_peak_for_tests() {
    std::lock_guard<std::mutex> registry(registry_mutex());
    Pool* pool = live_pool();
    if (!pool) return;
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->peak_threads = pool->threads;
}

void set_worker_cap(int cap) { configured_cap.store(cap < 0 ? -1 : std::min(cap, kMaxWorkers)); }

int worker_cap() { return configured_cap.load(); }

}  // namespace kv::walk
