// The read-ahead pool shared by the walks of a process: its queue, its worker
// threads and what they learn of the listings' cost. Internal to the walk:
// walk_core.cpp and walk_pool.cpp alone include it.
#pragma once

#include "walk_core.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::walk {

// One mutex, the pool's, guards the queue, every job's state and result, and
// each walk's Shared record.

struct Job {
    enum State { kQueued, kRunning, kDone };
    std::string path;
    bool nofollow = false;
    // Lower: needed sooner. Moved by its walk without the mutex as the walk
    // advances; read by the workers choosing under it.
    std::atomic<std::uint64_t> priority{0};
    State state = kQueued;
    // state == kDone, readable without the mutex: a walk looks over every
    // listing in flight for each directory it hands out, and most are not
    // done yet.
    std::atomic<bool> done{false};
    std::atomic<bool> exempt{false};  // the walk waits for it: never abandoned
    bool orphaned = false;  // its walk dropped it: the result is not kept
    bool failed = false;  // the worker could not finish: the walk lists it itself
    double waited_us = 0;  // kDone: how long the listing waited off the CPU
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
    std::condition_variable left;              // a worker left while `stopping`
    int allowed = 0;                           // how many may run now; 0: not yet set
    double waiting_us = 0;  // a moving average of the time a listing spends off the CPU
    int peak_threads = 0;                      // for tests and benchmarks
    int exits = 0;       // for tests: workers that have left, all told
    int idle_exits = 0;  // ... of them after kIdle without work
    std::chrono::steady_clock::duration shortest_idle_exit = std::chrono::steady_clock::duration::max();  // ... of whom the one that waited least
};

struct Walker::Shared {
    std::shared_ptr<Pool> pool;
    Budget budget;
    DeviceTimes times;
    std::condition_variable done;  // a job of this walk finished
    std::uint64_t completions = 0;
    // The walk's epoch: stored with release by the caller's thread after the
    // caller's code ran, loaded with acquire by a worker before it opens a
    // directory (see Walker::refresh).
    std::atomic<std::uint64_t> epoch{0};
};

// Counts forks: a walk whose generation is older was made in the parent.
extern std::atomic<std::uint64_t> fork_generation;

// The pool of this process (a new one in the child of a fork), and the
// generation it belongs to.
std::shared_ptr<Pool> current_pool(std::uint64_t& generation);

// Starts one more worker when the queue holds more than the idle ones will
// take. A failure to start one is not an error: the walks list what nobody
// takes themselves; starting is tried again a second later.
void maybe_start(const std::shared_ptr<Pool>& pool);

// A walk had to wait for a listing (or list it itself, nobody free to take
// it): while listings are slow, the server is what holds the walk back, and
// more of them in flight help: at least twice as many, and as many as there
// are listings to take (a file server answers them side by side).
void note_wait(Pool& pool);

// A listing spent `waited` microseconds waiting for the file system.
void note_listing(Pool& pool, double waited);

// A walk whose listings wait for the server queued more: as many may run
// side by side as are queued (up to the cap).
void note_backlog(Pool& pool);

// What a listing spends waiting (for the disk, the server) rather than
// working. Time off the CPU without a wait of the thread's own is time other
// threads had the cores: more threads would not help.
// Whether this thread blocked (gave up the CPU of its own accord: the file
// system kept it waiting) for longer than a bound since construction. Time
// preempted on busy cores does not count. One system call unless the span
// was longer than the bound.
class BlockWatch {
public:
    BlockWatch();
    bool blocked_longer_than(std::chrono::microseconds bound) const;

private:
    std::chrono::steady_clock::time_point started_;
    long switches_;
};

// Time off the CPU counts as waiting only if the thread gave it up of its own
// accord meanwhile, and then without the time it spent ready to run while
// others had the cores: on a loaded machine a listing that blocks briefly
// may wait far longer for a core after it, which more listings side by side
// would not shorten.
class WaitClock {
public:
    WaitClock();
    double waited_us() const;

private:
    // The clocks read together: the wall clock and the thread's CPU time,
    // and the time it has spent ready to run as of then (-1 where the system
    // does not tell).
    struct Reading {
        std::chrono::steady_clock::time_point wall;
        double cpu;
        double queued;
    };
    Reading start_;
    long switches_;
};

// For tests: the delay set by delay_listings_for_tests, before a listing.
void delay_for_tests();

}  // namespace kv::walk
