#include "walk_pool.hpp"

#include "unwind.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <system_error>

namespace kv::walk {

namespace {

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

void worker(std::shared_ptr<Pool> pool);

}  // namespace

std::atomic<std::uint64_t> fork_generation{0};

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

WaitClock::WaitClock()
    : started_(std::chrono::steady_clock::now()),
      cpu_(thread_cpu_us()),
      switches_(voluntary_switches()) {}

double WaitClock::waited_us() const {
    const double off_cpu = std::chrono::duration<double, std::micro>(
                               std::chrono::steady_clock::now() - started_).count() -
                           (thread_cpu_us() - cpu_);
    return voluntary_switches() != switches_ ? std::max(off_cpu, 0.0) : 0.0;
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
        const WaitClock clock;
        delay_for_tests();
        Listing listing;
        bool failed = false;
        try {
            listing = list_directory(job->path, job->nofollow, true, &job->owner->budget,
                                     &job->exempt);
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
        job->state = Job::kDone;
        ++job->owner->completions;
        job->owner->done.notify_all();
        job.reset();
    }
    --pool->threads;
    if (!pool->stopping) pool->finished.push_back(std::this_thread::get_id());
}

}  // namespace

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
