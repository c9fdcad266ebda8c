// The walk core on its own, without Python: run by tools/tsan under
// ThreadSanitizer. Exits non-zero on the first failed check.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "../../src/versioner/walk_core.hpp"
#include "../../src/versioner/walk_pool.hpp"
#include "../../src/versioner/platform.hpp"

using namespace kv::walk;

namespace {

int failures = 0;

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                      \
        }                                                                    \
    } while (0)

struct Hooks final : kv::walk::Hooks {
    std::function<bool(const std::string&)> refuse = [](const std::string&) { return false; };
    std::vector<std::string> announced;
    bool announce(std::uint64_t, const std::string& path, std::size_t) override {
        announced.push_back(path);
        return !refuse(path);
    }
};

// One step as text: the path, then each entry with its kind, as listed.
std::string render(const Step& step) {
    std::string out = step.kind == Step::kRefused ? "refused " : "";
    out += step.path + ":";
    for (const Entry& e : step.entries.items) {
        out += " " + std::string(step.entries.name(e)) + (e.is_link ? "@" : "") + (e.is_dir ? "/" : "");
    }
    return out;
}

std::vector<std::string> walk(const std::string& top, bool read_ahead, Hooks& hooks,
                              std::size_t limit = SIZE_MAX,
                              const std::function<void(std::size_t)>& between = nullptr) {
    Walker walker(top, read_ahead);
    std::vector<std::string> out;
    Step step;
    while (out.size() < limit && walker.next(hooks, step)) {
        out.push_back(render(step));
        if (between) between(out.size());
    }
    return out;
}

std::vector<std::string> walk(const std::string& top, bool read_ahead) {
    Hooks hooks;
    return walk(top, read_ahead, hooks);
}

void touch(const std::string& path) { std::fclose(std::fopen(path.c_str(), "w")); }

// A random tree of about `dirs` directories with files and links.
void make_tree(const std::string& top, int dirs, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> all{top};
    for (int i = 0; i < dirs; ++i) {
        const std::string parent = all[rng() % all.size()];
        const std::string dir = parent + "/d" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        all.push_back(dir);
        for (unsigned f = rng() % 4; f > 0; --f) touch(dir + "/f" + std::to_string(rng() % 100));
        if (rng() % 8 == 0) symlink(all[rng() % all.size()].c_str(), (dir + "/link").c_str());
        if (rng() % 16 == 0) symlink("/nonexistent", (dir + "/dangling").c_str());
    }
}

std::string temp_dir() {
    char name[] = "/tmp/kestrum-walk-core.XXXXXX";
    if (!mkdtemp(name)) std::abort();
    return name;
}

// The directory temp_dir() made that holds `path`; never anything above it.
std::string tree_top(const std::string& path) {
    const std::size_t at = path.find("/kestrum-walk-core.");
    if (at == std::string::npos) std::abort();
    return path.substr(0, path.find('/', at + 1));
}

// Directories get an old modification time, so that listings taken ahead of
// them are trusted (a directory changed in the last moments never is).
void age(const std::string& top) {
    std::vector<std::string> dirs{top};
    while (!dirs.empty()) {
        const std::string dir = dirs.back();
        dirs.pop_back();
        const Listing listing = list_directory(dir, true);
        for (const Entry& e : listing.entries.items) {
            if (e.is_dir && !e.is_link) dirs.push_back(dir + "/" + std::string(listing.entries.name(e)));
        }
        struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, dir.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

int threads_now() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Waits until the pool has nothing queued and nothing under way (and, with
// `no_threads`, no worker left: idle ones leave after kIdle). A condition,
// not a time: the bound is only there so that a pool that never settles
// fails the run rather than hangs it, far beyond anything a loaded machine
// takes.
bool pool_settles(bool no_threads) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (true) {
        const PoolStats s = pool_stats();
        if (s.busy == 0 && s.queued == 0 && (!no_threads || s.threads == 0)) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void test_order_matches_sequential_listing() {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const std::string top = temp_dir();
        make_tree(top, 40 * static_cast<int>(seed), seed);
        age(top);
        const auto sequential = walk(top, false);
        CHECK(walk(top, true) == sequential);
        CHECK(walk(top + "/", true) == walk(top + "/", false));
        // Refused directories come out where the walk meets them, their
        // subtrees unwalked, whichever way they were listed.
        Hooks a, b;
        a.refuse = b.refuse = [](const std::string& p) { return p.back() == '3'; };
        CHECK(walk(top, true, a) == walk(top, false, b));
        std::system(("rm -rf " + top).c_str());
    }
}

void test_missing_and_link_tops() {
    CHECK(walk("/nonexistent/kestrum", true).empty());
    CHECK(walk("", true).empty());
    const std::string top = temp_dir();
    make_tree(top, 10, 7);
    symlink(top.c_str(), (top + "-link").c_str());
    CHECK(walk(top + "-link", true) == walk(top + "-link", false));  // a link at the top is followed
    unlink((top + "-link").c_str());
    std::system(("rm -rf " + top).c_str());
}

void test_cancellation_leaves_no_busy_worker() {
    const std::string top = temp_dir();
    for (int i = 0; i < 1000; ++i) {
        const std::string dir = top + "/d" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        touch(dir + "/f");
    }
    age(top);
    Hooks hooks;
    CHECK(walk(top, true, hooks, 2).size() == 2);
    // At most the bound was announced ahead of what was taken.
    CHECK(hooks.announced.size() <= 2 + kMaxAhead);
    CHECK(pool_settles(false));
    // Idle workers leave.
    CHECK(pool_settles(true));
    std::system(("rm -rf " + top).c_str());
}

// Threads that cannot be started: the walk lists everything itself. Once a
// start failed, none is tried for a second (each walk would pay for the
// failure again); after that, workers start as before.
void test_without_threads() {
    const std::string top = temp_dir();
    make_tree(top, 80, 11);
    age(top);
    const auto expected = walk(top, false);
    CHECK(pool_settles(true));
    const auto failed_from = std::chrono::steady_clock::now();
    fail_thread_starts_for_tests(true);
    CHECK(walk(top, true) == expected);
    fail_thread_starts_for_tests(false);
    reset_peak_for_tests();
    CHECK(walk(top, true) == expected);
    if (std::chrono::steady_clock::now() - failed_from < std::chrono::seconds(1)) {
        CHECK(pool_stats().peak_threads == 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    CHECK(walk(top, true) == expected);
    CHECK(pool_stats().peak_threads > 0);
    std::system(("rm -rf " + top).c_str());
}

// Listings taken ahead and then changed under the walk: after the caller's
// code ran (told), each is checked at arrival and taken again; until then,
// one started after the caller's code last ran is used as it is, without a
// look at the directory (an lstat would have seen the change).
void test_changes_while_suspended() {
    for (const bool told : {true, false}) {
        const std::string top = temp_dir();
        for (int i = 0; i < 30; ++i) {
            const std::string dir = top + "/d" + std::to_string(i);
            mkdir(dir.c_str(), 0755);
            mkdir((dir + "/sub").c_str(), 0755);
            mkdir((dir + "/sub/x").c_str(), 0755);  // records made ahead for "sub"
            touch(dir + "/f");
        }
        age(top);
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        std::vector<std::string> seen;
        // Pauses between the steps let the workers list ahead and the walk
        // take those listings in, and so list the subdirectories found there.
        for (int i = 0; i < 3 && walker.next(hooks, step); ++i) {
            seen.push_back(step.path);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        CHECK(pool_settles(false));  // the listings ahead are in
        // Change every directory the walk has not reached.
        std::set<std::string> reached(seen.begin(), seen.end()), changed;
        for (int i = 0; i < 30; ++i) {
            const std::string dir = top + "/d" + std::to_string(i);
            if (reached.count(dir)) continue;
            touch(dir + "/g");
            rmdir((dir + "/sub/x").c_str());
            rmdir((dir + "/sub").c_str());
            changed.insert(dir);
        }
        if (told) walker.caller_code_ran();
        std::size_t fresh = 0;
        while (walker.next(hooks, step)) {
            CHECK(reached.insert(step.path).second);
            const bool sub =
                step.path.size() > 4 && step.path.compare(step.path.size() - 4, 4, "/sub") == 0;
            if (sub && told) CHECK(!changed.count(step.path.substr(0, step.path.size() - 4)));
            if (!changed.count(step.path)) continue;
            bool g = false;
            for (const Entry& e : step.entries.items) g = g || step.entries.name(e) == "g";
            fresh += g;
        }
        // What was held ahead, of the subtrees dropped too, is given back.
        CHECK(walker.ahead_bytes() == 0);
        // Untold, those listed ahead come out as they were listed.
        if (told) {
            CHECK(fresh == changed.size());
        } else {
            CHECK(fresh < changed.size());
        }
        std::system(("rm -rf " + top).c_str());
    }
}

// Directories created, removed and renamed by another thread during the walk:
// no directory comes out twice, and the sanitizer sees no race.
void test_concurrent_changes() {
    const std::string top = temp_dir();
    make_tree(top, 200, 5);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        std::mt19937 rng(3);
        int n = 0;
        while (!stop.load()) {
            const std::string a = top + "/d" + std::to_string(rng() % 200);
            const std::string b = top + "/x" + std::to_string(n++);
            if (rename(a.c_str(), b.c_str()) != 0) mkdir(a.c_str(), 0755);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int round = 0; round < 10; ++round) {
        const auto steps = walk(top, true);
        std::set<std::string> roots;
        for (const auto& s : steps) CHECK(roots.insert(s.substr(0, s.find(':'))).second);
    }
    stop = true;
    changer.join();
    std::system(("rm -rf " + top).c_str());
}

// A fork with a walk under way: the child finishes it without the parent's
// workers.
void test_fork_with_a_suspended_walk() {
    const std::string top = temp_dir();
    make_tree(top, 300, 9);
    age(top);
    const auto expected = walk(top, false);
    // A worker still in its listing when the fork's grace runs out stays in
    // the parent, as one may on a loaded machine: the fewest workers left in
    // up to three forks.
    int fewest_left = -1;
    for (int attempt = 0; attempt < 3 && fewest_left != 0; ++attempt) {
        stop_workers();
        const int alone = threads_now();  // (a sanitizer may run a thread of its own)
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        std::vector<std::string> out;
        // Steps until a worker runs (listings are under way), however long the
        // machine takes to start one; the tree is far larger than the reach.
        while (pool_stats().threads == 0 && out.size() < expected.size() / 2 &&
               walker.next(hooks, step)) {
            out.push_back(render(step));
            std::this_thread::sleep_for(kThreadStartCost);
        }
        CHECK(pool_stats().threads > 0);
        // The listings ahead taken in, and counted, by one more step.
        CHECK(pool_settles(false));
        if (walker.next(hooks, step)) out.push_back(render(step));
        CHECK(walker.ahead_bytes() > 0);
        const pid_t pid = fork();
        if (pid == 0) {
            while (walker.next(hooks, step)) out.push_back(render(step));
            // What the parent's listings counted is not the child's to give back.
            const bool same =
                out == expected && walker.ahead_bytes() == 0 && walk(top, true) == expected;
            std::_Exit(same ? 0 : 1);
        }
        // No worker is left when the process forks: each finished its listing
        // and was joined first.
        const int left = threads_now() - alone;
        if (fewest_left < 0 || left < fewest_left) fewest_left = left;
        int status = 0;
        waitpid(pid, &status, 0);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        while (walker.next(hooks, step)) out.push_back(render(step));
        CHECK(out == expected);
    }
    CHECK(fewest_left == 0);
    std::system(("rm -rf " + top).c_str());
}

// Many large sibling directories walked by a consumer that takes its time:
// what the listings ahead hold stays within the budget, counted as they are
// read, and the heap with it.
void test_memory_ahead_is_bounded() {
    const std::string top = temp_dir();
    const std::string stem(190, 'x');
    for (int i = 0; i < 40; ++i) {
        const std::string dir = top + "/d" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        for (int j = 0; j < 1500; ++j) touch(dir + "/" + std::to_string(j) + stem);
    }
    age(top);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto heap = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const std::size_t base = heap();
    std::atomic<std::size_t> peak{0};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done.load()) {
            const std::size_t now = heap();
            if (now > base && now - base > peak.load()) peak.store(now - base);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    Hooks hooks;
    std::size_t largest = 0, ahead = 0;
    {
        Walker walker(top, true);
        Step step;
        int steps = 0;
        while (walker.next(hooks, step)) {
            ++steps;
            largest = std::max(largest, step.entries.names.capacity() +
                                            step.entries.items.capacity() * sizeof(Entry));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        CHECK(steps == 41);
        ahead = walker.peak_ahead_bytes();
    }
    done = true;
    sampler.join();
    std::fprintf(stderr, "memory ahead: peak %zu (budget %zu), heap peak %zu, largest listing %zu\n",
                 ahead, kMaxAheadBytes, peak.load(), largest);
    // The listing the walk waits for is finished whatever the budget, and
    // while one of its buffers grows it holds the old one beside the new,
    // twice as large: up to half as much again as it ends with. The heap
    // holds besides the listing handed out and what the walk keeps of it.
    CHECK(ahead > 0 && ahead <= kMaxAheadBytes + largest + largest / 2);
    CHECK(peak.load() <= kMaxAheadBytes + 3 * largest);
    std::system(("rm -rf " + top).c_str());
}

// A tree of `dirs` directories of one file each below `top`.
std::string flat_tree(int dirs) {
    const std::string top = temp_dir();
    for (int i = 0; i < dirs; ++i) {
        const std::string dir = top + "/d" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        touch(dir + "/f");
    }
    age(top);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    return top;
}

// Waits for the child `pid` for up to `within`; kills it past that. Whether it
// exited with status 0.
bool child_succeeded(pid_t pid, std::chrono::seconds within) {
    const auto until = std::chrono::steady_clock::now() + within;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Before any walk: no pool, nothing to stop, and a fork goes through as any.
void test_no_pool_yet() {
    CHECK(stop_workers(std::chrono::milliseconds(0)));
    CHECK(pool_stats().threads == 0);
    const pid_t pid = fork();
    if (pid == 0) std::_Exit(stop_workers(std::chrono::milliseconds(0)) ? 0 : 1);
    CHECK(child_succeeded(pid, std::chrono::seconds(10)));
}

// Workers blocked in listings (a hung server) hold up neither a fork nor
// stop_workers; they go on in the parent, which walks on in order once they
// are done. The child has none of them and does not wait for them.
void test_fork_with_a_stalled_listing() {
    const std::string top = flat_tree(60);
    const auto expected = walk(top, false);
    CHECK(stop_workers());
    constexpr auto stall = std::chrono::seconds(2);
    delay_worker_listings_for_tests(stall);
    Hooks hooks;
    Walker walker(top, true);
    Step step;
    std::vector<std::string> out;
    for (int i = 0; i < 3 && walker.next(hooks, step); ++i) {
        out.push_back(render(step));
        std::this_thread::sleep_for(kThreadStartCost);
    }
    const auto since = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::steady_clock::now() - t;
    };
    auto begin = std::chrono::steady_clock::now();
    while (pool_stats().busy == 0 && since(begin) < std::chrono::seconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CHECK(pool_stats().busy > 0);
    begin = std::chrono::steady_clock::now();
    CHECK(!stop_workers(std::chrono::milliseconds(10)));
    CHECK(since(begin) < std::chrono::seconds(1));

    begin = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    const auto took = since(begin);
    if (pid == 0) {
        delay_worker_listings_for_tests(std::chrono::microseconds(0));
        // The parent's pool is not this process's: nothing to stop or join.
        const bool nothing_here = stop_workers(std::chrono::milliseconds(0)) &&
                                  pool_stats().threads == 0;
        const pid_t grandchild = fork();
        if (grandchild == 0) std::_Exit(walk(top, true) == expected ? 0 : 1);
        while (walker.next(hooks, step)) out.push_back(render(step));
        const bool same = out == expected && walk(top, true) == expected;
        const bool grandchild_ok = child_succeeded(grandchild, std::chrono::seconds(20));
        std::_Exit(nothing_here && same && grandchild_ok ? 0 : 1);
    }
    std::fprintf(stderr, "fork with listings stalled for %lld ms: %.2f ms\n",
                 static_cast<long long>(std::chrono::milliseconds(stall).count()),
                 std::chrono::duration<double, std::milli>(took).count());
    CHECK(took < std::chrono::seconds(1));
    // The workers in a listing are still the parent's, to be joined.
    const PoolStats after = pool_stats();
    CHECK(after.busy > 0 && after.threads >= after.busy && after.unjoined == after.threads);
    CHECK(child_succeeded(pid, std::chrono::seconds(30)));
    delay_worker_listings_for_tests(std::chrono::microseconds(0));
    while (walker.next(hooks, step)) out.push_back(render(step));
    CHECK(out == expected);
    // Idle workers leave without a wait for the deadline.
    CHECK(pool_settles(false));
    CHECK(stop_workers(std::chrono::milliseconds(0)));
    const PoolStats stopped = pool_stats();
    CHECK(stopped.threads == 0 && stopped.unjoined == 0);
    // However few, idle workers are not left behind for want of time.
    int left_behind = 0;
    for (int round = 0; round < 100; ++round) {
        CHECK(walk(top, true) == expected);
        CHECK(pool_settles(false));
        left_behind += !stop_workers(std::chrono::milliseconds(0));
    }
    CHECK(left_behind == 0);
    std::system(("rm -rf " + top).c_str());
}

// Quick listings use no more threads than the cores, nor do listings that
// wait less than kSlowListing; slower ones, more, up to kMaxWorkers, also
// below kFarListing (the walk waits for them); a configured cap holds, and a
// cap of 0 starts no thread. Each walk's order is the sequential one.
void test_threads_follow_listing_cost() {
    const std::string top = flat_tree(400);
    const auto expected = walk(top, false);
    const int cores = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    constexpr int kMore = -1;  // more than the cores
    const struct {
        long long delay_us;  // each listing
        int cap;
        int most;  // threads at most, or kMore
    } cases[] = {
        {0, -1, cores},
        {1000, -1, kMore},
        {2000, -1, kMore},
        {2000, 3, 3},
        {2000, 0, 0},
    };
    // What earlier walks taught the pool stays until its workers idle out (a
    // fork, or stop_workers, has them leave without): one walk, then none left.
    CHECK(walk(top, true) == expected);
    CHECK(pool_settles(true));
    for (const auto& c : cases) {
        CHECK(pool_settles(true));  // (the workers of the last case gone, what they learnt with them)
        set_worker_cap(c.cap);
        delay_listings_for_tests(std::chrono::microseconds(c.delay_us));
        reset_peak_for_tests();
        const PoolStats before = pool_stats();
        const auto begin = std::chrono::steady_clock::now();
        CHECK(walk(top, true) == expected);
        const auto took = std::chrono::steady_clock::now() - begin;
        const int peak = pool_stats().peak_threads;
        std::fprintf(stderr, "listings of %lld us, cap %d: %d threads at most, walk %lld ms\n", c.delay_us,
                     c.cap, peak,
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        if (c.most == kMore) {
            CHECK(peak > cores && peak <= kMaxWorkers);
        } else {
            CHECK(peak <= c.most);
        }
        // Workers stay for kIdle once they ran out of work, for the next walk:
        // every one that has left since the walk's start left for want of
        // work, after waiting that long for it (however long the walk took).
        CHECK(pool_settles(false));
        const PoolStats after = pool_stats();
        CHECK(after.exits - before.exits == after.idle_exits - before.idle_exits);
        CHECK(after.shortest_idle_exit >= kIdle);
    }
    set_worker_cap(-1);

    // Cancelled with many listings in flight: the pool settles.
    delay_listings_for_tests(std::chrono::milliseconds(2));
    {
        Hooks hooks;
        CHECK(walk(top, true, hooks, 20).size() == 20);
    }
    CHECK(pool_settles(false));
    delay_listings_for_tests(std::chrono::microseconds(0));
    CHECK(pool_settles(true));
    std::system(("rm -rf " + top).c_str());
}

// A walk whose listings wait long sets its whole reach going at once, and
// allows as many workers as it queued; quick listings ramp up step by step.
void test_slow_listings_reach_far_at_once() {
    const std::string top = flat_tree(200);
    for (const bool slow : {false, true}) {
        CHECK(pool_settles(true));
        delay_listings_for_tests(slow ? kFarListing + std::chrono::milliseconds(1)
                                      : std::chrono::microseconds(0));
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        CHECK(walker.next(hooks, step) && walker.next(hooks, step));
        const PoolStats stats = pool_stats();
        if (slow) {
            CHECK(hooks.announced.size() > kMaxAhead);
            CHECK(stats.allowed == kMaxWorkers);
        } else {
            CHECK(hooks.announced.size() <= 8);
        }
    }
    delay_listings_for_tests(std::chrono::microseconds(0));
    std::system(("rm -rf " + top).c_str());
}

// Listings that wait, but less than far: the reach doubles with each
// directory handed out, and the hand-out that completes the ramp sets the
// whole reach going, not eight hand-outs later.
void test_the_ramp_ends_with_the_whole_reach() {
    const std::string top = flat_tree(200);
    CHECK(pool_settles(true));
    delay_listings_for_tests(std::chrono::microseconds(300));
    Hooks hooks;
    Walker walker(top, true);
    Step step;
    for (int i = 0; i < 7; ++i) CHECK(walker.next(hooks, step));
    CHECK(hooks.announced.size() >= kMaxAhead);
    delay_listings_for_tests(std::chrono::microseconds(0));
    std::system(("rm -rf " + top).c_str());
}

void own_walk(const std::string& dir, std::vector<std::string>& out);

// Quick listings of empty directories are cheaper to make on the caller's
// thread than to hand over: a walk of them stops listing ahead. A walk of
// listings that block, or of directories with entries, never does; one that
// goes quiet and then meets blocking listings lists ahead again.
void test_quick_small_listings_stay_on_the_caller() {
    struct Case {
        const char* name;
        int files;                    // per directory
        long long delay_us;           // each listing, from the start
        long long later_delay_us;     // each listing, from the middle of the walk on
        bool alone_at_end;
    };
    const Case cases[] = {
        {"empty, quick", 0, 0, 0, true},
        {"empty, blocking", 0, 300, 300, false},
        {"a file each, quick", 1, 0, 0, false},
        {"quick, then blocking", 0, 0, 300, false},
    };
    for (const Case& c : cases) {
        const std::string top = temp_dir();
        for (int i = 0; i < 200; ++i) {
            const std::string dir = top + "/d" + std::to_string(i);
            mkdir(dir.c_str(), 0755);
            for (int j = 0; j < c.files; ++j) touch(dir + "/f" + std::to_string(j));
        }
        age(top);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        std::vector<std::string> expected;
        own_walk(top, expected);
        delay_listings_for_tests(std::chrono::microseconds(c.delay_us));
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        std::vector<std::string> out;
        bool alone_midway = false;
        while (walker.next(hooks, step)) {
            out.push_back(render(step));
            if (out.size() == expected.size() / 2) {
                alone_midway = walker.listing_alone();
                delay_listings_for_tests(std::chrono::microseconds(c.later_delay_us));
            }
        }
        delay_listings_for_tests(std::chrono::microseconds(0));
        if (out != expected || walker.listing_alone() != c.alone_at_end ||
            alone_midway != (c.delay_us == 0 && c.files == 0)) {
            std::fprintf(stderr, "quick listings, %s: order %s, alone midway %d, at end %d\n",
                         c.name, out == expected ? "same" : "differs", alone_midway,
                         walker.listing_alone());
        }
        CHECK(out == expected);
        CHECK(walker.listing_alone() == c.alone_at_end);
        CHECK(alone_midway == (c.delay_us == 0 && c.files == 0));
        std::system(("rm -rf " + top).c_str());
    }
}

// What a caller's poll throws when a signal handler raised.
struct Interrupted {};

struct PollingHooks final : kv::walk::Hooks {
    std::atomic<bool> pending{false};
    bool announce(std::uint64_t, const std::string&, std::size_t) override { return true; }
    void poll() override {
        if (pending.exchange(false)) throw Interrupted{};
    }
};

// A poll that throws ends the step: before a directory is taken, and while
// the walk waits for a slow listing on a worker, long before that listing
// ends. The walk can then go on as though nothing happened, or be dropped
// without leaving a worker busy.
void test_polls_end_a_step() {
    const std::string top = flat_tree(6);
    const auto expected = walk(top, false);
    {
        PollingHooks hooks;
        Walker walker(top, false);
        Step step;
        hooks.pending = true;
        bool thrown = false;
        try {
            walker.next(hooks, step);
        } catch (const Interrupted&) {
            thrown = true;
        }
        CHECK(thrown);
        CHECK(walker.next(hooks, step) && render(step) == expected[0]);
    }
    // A chain: once the walk knows its listings are slow, each directory is
    // left to the worker that listed the one before, and the walk waits for
    // it (the first it takes back, the worker not yet started). Listings stay
    // shorter than kIdle, so that the worker is still there.
    const std::string chain = temp_dir();
    std::string path = chain;
    for (int i = 0; i < 4; ++i) mkdir((path += "/c").c_str(), 0755);
    const auto chain_expected = walk(chain, false);
    const auto listing = std::chrono::milliseconds(300);
    for (const bool resume : {true, false}) {
        CHECK(pool_settles(true));
        delay_listings_for_tests(listing);
        PollingHooks hooks;
        auto walker = std::make_unique<Walker>(chain, true);
        Step step;
        std::vector<std::string> out;
        for (int i = 0; i < 2 && walker->next(hooks, step); ++i) out.push_back(render(step));
        std::thread signal([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            hooks.pending = true;
        });
        const auto start = std::chrono::steady_clock::now();
        bool thrown = false;
        try {
            if (walker->next(hooks, step)) out.push_back(render(step));
        } catch (const Interrupted&) {
            thrown = true;
        }
        const auto took = std::chrono::steady_clock::now() - start;
        signal.join();
        hooks.pending = false;
        CHECK(thrown);
        CHECK(took < listing * 2 / 3);
        if (resume) {
            while (walker->next(hooks, step)) out.push_back(render(step));
            CHECK(out == chain_expected);
        }
        walker.reset();
        delay_listings_for_tests(std::chrono::microseconds(0));
        CHECK(pool_settles(false));
    }
    std::system(("rm -rf " + chain).c_str());
    std::system(("rm -rf " + top).c_str());
}

// A walk that ends sooner than a thread would start uses none.
void test_short_walks_start_no_thread() {
    const std::string top = flat_tree(3);
    CHECK(pool_settles(true));
    const auto expected = walk(top, false);
    for (int i = 0; i < 20; ++i) {
        reset_peak_for_tests();
        const int before = pool_stats().threads;  // idle ones, from a slower walk
        const auto begin = std::chrono::steady_clock::now();
        CHECK(walk(top, true) == expected);
        // (Under a sanitizer the walk may well take longer than that.)
        if (std::chrono::steady_clock::now() - begin < kThreadStartCost) {
            CHECK(pool_stats().peak_threads == before);
        }
    }
    std::system(("rm -rf " + top).c_str());
}


// What a walk of `dir` gives, by the test's own recursive listing: each
// directory's entries as listed, entered in that order, links to directories
// named but not entered.
void own_walk(const std::string& dir, std::vector<std::string>& out) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::string line = dir + ":";
    std::vector<std::string> subdirs;
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        const bool link = lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        const bool is_dir = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        line += " " + name + (link ? "@" : "") + (is_dir ? "/" : "");
        if (is_dir && !link) subdirs.push_back(path);
    }
    closedir(d);
    out.push_back(line);
    for (const auto& sub : subdirs) own_walk(sub, out);
}

// A wide directory of subdirectories, links to directories among them
// (passed over by the walk, in a run longer than the walk's reach), nested
// directories and files: the order is that of the test's own listing, also
// when each listing waits (the walk then waits for workers, or reaches far);
// and a look ahead visits no more than its reach and as many links.
void test_order_of_a_wide_tree() {
    const std::string top = temp_dir();
    mkdir((top + "/target").c_str(), 0755);
    for (int i = 0; i < 600; ++i) {
        const std::string dir = top + "/d" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        if (i % 50 == 0) {
            for (int j = 0; j < 5; ++j) mkdir((dir + "/n" + std::to_string(j)).c_str(), 0755);
            touch(dir + "/n0/f");
        }
        if (i % 3 == 0) touch(dir + "/f");
        if (i % 7 == 0) symlink("../target", (dir + "/up").c_str());
    }
    for (int i = 0; i < 3 * static_cast<int>(kMaxAhead); ++i) {
        symlink((top + "/target").c_str(), (top + "/l" + std::to_string(i)).c_str());
    }
    symlink("/nonexistent", (top + "/dangling").c_str());
    age(top);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    std::vector<std::string> expected;
    own_walk(top, expected);
    for (const auto delay : {0, 1, 3}) {
        delay_listings_for_tests(std::chrono::milliseconds(delay));
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        std::vector<std::string> out;
        while (walker.next(hooks, step)) out.push_back(render(step));
        CHECK(out == expected);
        CHECK(walker.most_visited() <= 2 * kMaxAhead + 1);
        CHECK(walker.ahead_bytes() == 0);  // all given back
    }
    delay_listings_for_tests(std::chrono::microseconds(0));
    // Passes over the reach come every few directories handed out, not twice
    // for each, nor one for each link passed over: over 600 directories their
    // cost is the walk's. Without workers, so that no pass is made for
    // listings that came in while the walk waited (as many as the machine's
    // load makes them).
    set_worker_cap(0);
    {
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        std::size_t steps = 0;
        while (walker.next(hooks, step)) ++steps;
        CHECK(steps == expected.size());
        if (walker.passes() >= steps / 2) std::fprintf(stderr, "  %zu passes for %zu steps\n", walker.passes(), steps);
        CHECK(walker.passes() < steps / 2);
    }
    set_worker_cap(-1);
    std::system(("rm -rf " + top).c_str());
}

// A tree below a long path, so that the records of the subdirectories found
// ahead hold far more than the listings: `siblings` directories of `each`
// empty subdirectories. Returns the directory that holds the siblings.
std::string long_tree(int siblings, int each) {
    std::string top = temp_dir();
    std::string dir = top;
    while (dir.size() < 3200) {
        dir += "/" + std::string(200, 'p');
        mkdir(dir.c_str(), 0755);
    }
    for (int s = 0; s < siblings; ++s) {
        const std::string sibling = dir + "/s" + std::to_string(s);
        mkdir(sibling.c_str(), 0755);
        for (int i = 0; i < each; ++i) mkdir((sibling + "/" + std::to_string(i)).c_str(), 0755);
    }
    age(top);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    return dir;
}

// Walks `dir` with pauses, so that the walk runs as far ahead as it may;
// returns the peak of what it held ahead and checks that it gave all back.
std::size_t walk_slowly(const std::string& dir, int expected_steps) {
    Hooks hooks;
    Walker walker(dir, true);
    Step step;
    int steps = 0;
    while (walker.next(hooks, step)) {
        if (++steps < 12 || steps % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    CHECK(steps == expected_steps);
    CHECK(walker.ahead_bytes() == 0);
    return walker.peak_ahead_bytes();
}

// The records made for subdirectories found ahead count against the budget:
// narrow siblings are expanded ahead and counted; siblings too wide for the
// budget are left to be expanded when the walk reaches them.
void test_records_ahead_count_against_the_budget() {
    {
        const std::string dir = long_tree(12, 10);
        const std::size_t peak = walk_slowly(dir, 1 + 12 * 11);
        std::fprintf(stderr, "narrow siblings: peak ahead %zu\n", peak);
        // The listings alone hold about 1 KB each; the records of any 7
        // siblings' subdirectories, over 220 KB.
        CHECK(peak > 192 * 1024);
        std::system(("rm -rf " + tree_top(dir)).c_str());
    }
    {
        const std::string dir = long_tree(4, 800);  // 800 records of 3.2 KB: over the budget
        const std::size_t peak = walk_slowly(dir, 1 + 4 * 801);
        std::fprintf(stderr, "wide siblings: peak ahead %zu\n", peak);
        CHECK(peak <= kMaxAheadBytes + 64 * 1024);
        std::system(("rm -rf " + tree_top(dir)).c_str());
    }
}
}  // namespace

void test_listing_names() {
    // Names from one byte to the longest allowed, of files, directories and
    // links, each read back whole and unchanged from the listing's buffer.
    const std::string top = temp_dir();
    std::set<std::string> expected;
    for (std::size_t length : {1, 2, 15, 16, 17, 40, 254, 255}) {
        for (char kind : {'f', 'd', 'l'}) {
            std::string name(length, kind);
            if (length > 3) name[1] = static_cast<char>(0xC3), name[2] = static_cast<char>(0xA9);
            const std::string path = top + "/" + name;
            if (kind == 'f') close(open(path.c_str(), O_CREAT | O_WRONLY, 0644));
            if (kind == 'd') mkdir(path.c_str(), 0755);
            if (kind == 'l') CHECK(symlink(".", path.c_str()) == 0);
            expected.insert(name + (kind == 'l' ? "@/" : kind == 'd' ? "/" : ""));
        }
    }
    const Listing listing = list_directory(top, true);
    CHECK(listing.ok);
    std::set<std::string> seen;
    std::size_t total = 0;
    for (const Entry& e : listing.entries.items) {
        total += e.length;
        seen.insert(std::string(listing.entries.name(e)) + (e.is_link ? "@" : "") + (e.is_dir ? "/" : ""));
    }
    CHECK(seen == expected);
    CHECK(listing.entries.size() == expected.size());
    CHECK(listing.entries.names.size() == total);
    std::system(("rm -rf " + top).c_str());
}

namespace {

// --- against the system's own answers -----------------------------------------------------
// What the system tells of each entry, by opendir, lstat and stat: the names
// and kinds a listing must give ("name", "@" for a link, "/" for a directory
// after following links).
std::set<std::string> system_listing(const std::string& dir) {
    std::set<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        const bool link = lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        const bool is_dir = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out.insert(name + (link ? "@" : "") + (is_dir ? "/" : ""));
    }
    closedir(d);
    return out;
}

std::set<std::string> as_set(const Entries& entries) {
    std::set<std::string> out;
    for (const Entry& e : entries.items) {
        out.insert(std::string(entries.name(e)) + (e.is_link ? "@" : "") + (e.is_dir ? "/" : ""));
    }
    return out;
}

// A directory holding an entry of every kind, under names the dot rules
// could mistake for "." and "..".
std::string odd_names_tree() {
    const std::string top = temp_dir();
    mkdir((top + "/dir").c_str(), 0755);
    mkdir((top + "/dir/..inner").c_str(), 0755);
    touch(top + "/dir/f");
    touch(top + "/file");
    const struct {
        const char* name;
        const char* kind;  // d: directory, f: file, else a link's target
    } entries[] = {
        {"..foo", "d"},   {".foo", "d"},         {"...", "d"},         {".", nullptr},
        {"..f", "f"},     {".x", "f"},           {"a..", "f"},         {"to_file", "file"},
        {"to_dir", "dir"}, {"dangling", "nowhere"}, {"to_link", "to_dir"}, {"..to_dir", "dir"},
        {"to_self", "to_self"},
    };
    for (const auto& e : entries) {
        if (!e.kind) continue;
        const std::string path = top + "/" + e.name;
        if (std::string(e.kind) == "d") {
            mkdir(path.c_str(), 0755);
            touch(path + "/inside");
        } else if (std::string(e.kind) == "f") {
            touch(path);
        } else {
            CHECK(symlink(e.kind, path.c_str()) == 0);
        }
    }
    return top;
}

void test_kinds_and_names_as_the_system_tells() {
    const std::string top = odd_names_tree();
    const std::set<std::string> truth = system_listing(top);
    CHECK(truth.count("to_file@") == 1 && truth.count("to_dir@/") == 1);  // the oracle itself
    for (const bool nofollow : {true, false}) {
        for (const bool stamp : {true, false}) {
            Budget budget;
            budget.limit = SIZE_MAX;
            const Listing listing = list_directory(top, nofollow, stamp, stamp ? &budget : nullptr);
            CHECK(listing.ok);
            CHECK(as_set(listing.entries) == truth);
        }
    }
    // Whole walks, both ways, against the test's own recursive listing.
    std::vector<std::string> expected;
    own_walk(top, expected);
    CHECK(walk(top, true) == expected);
    CHECK(walk(top, false) == expected);
    std::system(("rm -rf " + top).c_str());
}

// Whether a listing opens what a path leads to, by what lstat says it is:
// a link is refused with `nofollow` and followed without; a top that is a
// link is followed.
void test_links_refused_where_not_followed() {
    const std::string top = odd_names_tree();
    const struct {
        const char* name;
        bool nofollow;
        bool ok;
    } cases[] = {
        {"dir", true, true},     {"dir", false, true},     {"to_dir", true, false},
        {"to_dir", false, true}, {"to_link", true, false}, {"to_link", false, true},
        {"file", false, false},  {"to_file", false, false}, {"dangling", false, false},
        {"missing", false, false},
    };
    for (const auto& c : cases) {
        const std::string path = top + "/" + c.name;
        const Listing listing = list_directory(path, c.nofollow);
        if (listing.ok != c.ok) std::fprintf(stderr, "  listing %s nofollow=%d\n", c.name, c.nofollow);
        CHECK(listing.ok == c.ok);
        if (c.ok) CHECK(as_set(listing.entries) == system_listing(path));
    }
    // A top that is a link is walked as its target is; links below it are not entered.
    std::vector<std::string> expected;
    own_walk(top + "/dir", expected);
    for (const bool read_ahead : {true, false}) {
        const auto steps = walk(top + "/to_link", read_ahead);
        CHECK(steps.size() == expected.size());
        if (!steps.empty()) CHECK(steps[0] == top + "/to_link:" + expected[0].substr(expected[0].find(':') + 1));
    }
    std::system(("rm -rf " + top).c_str());
}

// The ids and relative paths of steps against the tree: each step's path
// below the top is the one the test's own walk finds there, announced once
// under the id the step carries, ids all different.
struct Recorder final : kv::walk::Hooks {
    std::vector<std::tuple<std::uint64_t, std::string, std::size_t>> announced;
    bool announce(std::uint64_t id, const std::string& path, std::size_t rel) override {
        announced.emplace_back(id, path, rel);
        return true;
    }
};

void relative_dirs(const std::string& dir, const std::string& rel, std::vector<std::string>& out) {
    out.push_back(rel);
    std::vector<std::string> subdirs;
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        struct stat st;
        if (name == "." || name == ".." || lstat((dir + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) subdirs.push_back(name);
    }
    closedir(d);
    for (const auto& name : subdirs) relative_dirs(dir + "/" + name, rel.empty() ? name : rel + "/" + name, out);
}

void test_ids_and_relative_paths() {
    const std::string top = temp_dir();
    make_tree(top, 120, 5);
    age(top);
    std::vector<std::string> expected;
    relative_dirs(top, "", expected);
    // Links are announced under neither rule: one is passed over when the walk
    // reaches it, the other when the walk moves on from its parent.
    for (const std::string& given : {top, top + "/"}) {
        for (const auto& [read_ahead, rule] : {std::pair{true, LinkRule::kAtEntry}, std::pair{false, LinkRule::kAtEntry},
                                               std::pair{true, LinkRule::kAtParentResume},
                                               std::pair{false, LinkRule::kAtParentResume}}) {
            Recorder hooks;
            Walker walker(given, read_ahead, rule);
            Step step;
            std::vector<std::string> rels;
            std::set<std::uint64_t> ids;
            while (walker.next(hooks, step)) {
                rels.push_back(step.path.substr(step.rel));
                CHECK(step.path.substr(0, top.size()) == top);
                const std::string below = step.rel == step.path.size() ? "" : step.path.substr(step.rel);
                CHECK(step.path == (below.empty() ? given : top + "/" + below));
                ids.insert(step.id);
                const auto count = std::count_if(hooks.announced.begin(), hooks.announced.end(),
                                                 [&](const auto& a) { return std::get<0>(a) == step.id; });
                CHECK(count == 1);
                for (const auto& [id, path, rel] : hooks.announced) {
                    if (id == step.id) CHECK(path == step.path && rel == step.rel);
                }
            }
            CHECK(rels == expected);
            CHECK(ids.size() == expected.size());
            CHECK(hooks.announced.size() == expected.size());
        }
    }
    std::system(("rm -rf " + top).c_str());
}

// How often each directory is opened, as the kernel reports it (inotify):
// a walk over a tree nobody changes opens each directory once, whether its
// listing was taken ahead or not, and whether or not the caller's code ran
// between steps (a listing taken ahead of an unchanged directory is used,
// not taken again).
std::vector<std::string> all_dirs(const std::string& top) {
    std::vector<std::string> rels;
    relative_dirs(top, "", rels);
    std::vector<std::string> out;
    for (const auto& rel : rels) out.push_back(rel.empty() ? top : top + "/" + rel);
    return out;
}

void test_each_directory_opened_once() {
    const std::string top = temp_dir();
    make_tree(top, 300, 9);
    for (int i = 0; i < 40; ++i) mkdir((top + "/w" + std::to_string(i)).c_str(), 0755);
    age(top);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const std::vector<std::string> dirs = all_dirs(top);
    for (const int delay_ms : {0, 3}) {
        for (const bool read_ahead : {true, false}) {
            for (const bool told : {false, true}) {
                if (!read_ahead && told) continue;
                const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
                CHECK(fd >= 0);
                std::map<int, std::string> watched;
                for (const auto& dir : dirs) watched[inotify_add_watch(fd, dir.c_str(), IN_OPEN)] = dir;
                delay_listings_for_tests(std::chrono::milliseconds(delay_ms));
                Hooks hooks;
                Walker walker(top, read_ahead);
                Step step;
                std::size_t steps = 0;
                while (walker.next(hooks, step)) {
                    ++steps;
                    if (told) walker.caller_code_ran();
                }
                delay_listings_for_tests(std::chrono::microseconds(0));
                CHECK(steps == dirs.size());
                std::map<std::string, int> opens;
                alignas(inotify_event) char buffer[1 << 16];
                ssize_t got;
                while ((got = read(fd, buffer, sizeof buffer)) > 0) {
                    for (char* p = buffer; p < buffer + got;) {
                        const auto* event = reinterpret_cast<const inotify_event*>(p);
                        // The directory itself, not an entry of it.
                        if ((event->mask & IN_OPEN) && event->len == 0) ++opens[watched[event->wd]];
                        CHECK(!(event->mask & IN_Q_OVERFLOW));
                        p += sizeof(inotify_event) + event->len;
                    }
                }
                close(fd);
                int twice = 0;
                for (const auto& dir : dirs) {
                    CHECK(opens[dir] >= 1);
                    twice += opens[dir] > 1;
                }
                if (twice) {
                    std::fprintf(stderr, "  %d of %zu directories opened more than once (read ahead %d, told %d, delay %d ms)\n",
                                 twice, dirs.size(), read_ahead, told, delay_ms);
                }
                CHECK(twice == 0);
            }
        }
    }
    std::system(("rm -rf " + top).c_str());
}

// Local file systems are taken for local ones (by the system's statfs: the
// test's temporary directory, /dev/shm and /proc when present).
void test_local_file_systems() {
    const std::string top = temp_dir();
    for (const std::string& dir : {top, std::string("/dev/shm"), std::string("/proc/self")}) {
        struct statfs fs;
        if (statfs(dir.c_str(), &fs) != 0) continue;
        const Listing listing = list_directory(dir, false, true);
        CHECK(listing.ok);
        if (listing.stamp.remote) std::fprintf(stderr, "  %s (type %lx) taken for remote\n", dir.c_str(), static_cast<unsigned long>(fs.f_type));
        CHECK(!listing.stamp.remote);
    }
    // When a file system named in KESTRUM_TEST_REMOTE_DIR (a FUSE mount) is given: remote.
    if (const char* remote = std::getenv("KESTRUM_TEST_REMOTE_DIR")) {
        const Listing listing = list_directory(remote, false, true);
        CHECK(listing.ok && listing.stamp.remote);
    }
    std::system(("rm -rf " + top).c_str());
}

// What a listing holds is what it counts against the budget, while it grows
// and once done; over the limit it is given up and gives everything back,
// unless the walk waits for it.
void test_listing_charges_what_it_holds() {
    const std::string top = temp_dir();
    std::set<std::string> names;
    for (int i = 0; i < 400; ++i) {
        const std::string name = std::string(60, 'n') + std::to_string(i);
        touch(top + "/" + name);
        names.insert(name);
    }
    const auto holds = [](const Listing& l) {
        return l.entries.names.capacity() + l.entries.items.capacity() * sizeof(Entry);
    };
    {
        Budget budget;
        budget.limit = SIZE_MAX / 2;
        Listing listing = list_directory(top, true, false, &budget);
        CHECK(listing.ok && as_set(listing.entries) == names);
        CHECK(listing.charged == holds(listing));
        CHECK(budget.used.load() == listing.charged);
        CHECK(budget.peak.load() >= listing.charged);
    }
    const std::size_t needs = 400 * 64;
    for (const bool exempt_set : {false, true}) {
        Budget budget;
        budget.limit = needs / 4;
        std::atomic<bool> exempt{exempt_set};
        Listing listing = list_directory(top, true, false, &budget, &exempt);
        CHECK(listing.ok == exempt_set);
        CHECK(listing.abandoned == !exempt_set);
        if (exempt_set) {
            CHECK(as_set(listing.entries) == names);
            CHECK(budget.used.load() == holds(listing));
        } else {
            CHECK(budget.used.load() == 0);
            CHECK(listing.entries.size() == 0 && listing.entries.names.capacity() < 64);
            CHECK(budget.peak.load() <= budget.limit);
        }
    }
    std::system(("rm -rf " + top).c_str());
}

// A walk given up takes what it queued off the pool's queue at once: no
// worker lists a directory for a walk that is gone.
void test_cancel_empties_the_queue() {
    const std::string top = flat_tree(400);
    CHECK(pool_settles(false));
    delay_worker_listings_for_tests(std::chrono::milliseconds(20));
    {
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        for (int i = 0; i < 3 && walker.next(hooks, step); ++i) {
        }
        CHECK(pool_stats().queued > 0);
    }
    CHECK(pool_stats().queued == 0);
    delay_worker_listings_for_tests(std::chrono::microseconds(0));
    CHECK(pool_settles(false));
    std::system(("rm -rf " + top).c_str());
}

// The file systems' kinds by the kernel's own list of magic numbers: the
// network and user-space ones are remote, the local ones not (a type read
// as a negative long, as a 32-bit f_type is sign-extended, is the same one).
void test_remote_file_system_types() {
    const struct {
        unsigned long type;
        bool remote;
    } cases[] = {
        // by statfs(2)'s table of f_type values
        {0x6969, true} /* NFS */,         {0x517B, true} /* SMB */,      {0xFF534D42, true} /* CIFS */,
        {0xFE534D42, true} /* SMB2 */,    {0x65735546, true} /* FUSE */, {0x00C36400, true} /* Ceph */,
        {0x01021997, true} /* 9P */,      {0x5346414F, true} /* AFS */,  {0x73757245, true} /* Coda */,
        {0x564C, true} /* NCP */,         {0x7461636F, true} /* OCFS2 */,
        {0x01021994, false} /* tmpfs */,  {0xEF53, false} /* ext4 */,    {0x9123683E, false} /* btrfs */,
        {0x58465342, false} /* XFS */,    {0x9FA0, false} /* proc */,    {0, false},
    };
    for (const auto& c : cases) {
        const bool got = kv::sys::remote_file_system(static_cast<long>(c.type));
        const bool got_signed = kv::sys::remote_file_system(static_cast<long>(static_cast<std::int32_t>(c.type)));
        if (got != c.remote || got_signed != c.remote) std::fprintf(stderr, "  type %lx\n", c.type);
        CHECK(got == c.remote);
        CHECK(got_signed == c.remote);
    }
}

// Whether a local of the calling thread lies within the stack bounds told
// for it, which span at least `at_least` bytes.
bool stack_holds_a_local(std::size_t at_least) {
    std::uintptr_t low = 0;
    std::size_t size = 0;
    const int local = 0;
    const auto at = reinterpret_cast<std::uintptr_t>(&local);
    return kv::sys::stack_bounds(low, size) && size >= at_least && at >= low && at - low < size;
}

int open_descriptors() { return static_cast<int>(system_listing("/proc/self/fd").size()); }

// The thread's clocks and stack by the system's own accounts: its CPU time as
// getrusage tells it, once past a whole second (the tests before have mostly
// run that long on this thread; else it spins until it has); the bounds of
// the stack of this thread and of one started with a stack of 1 MiB; its
// time in the run queue read without leaving a descriptor open.
void test_thread_clocks_and_stack() {
    const auto rusage_us = [] {
        struct rusage u;
        if (getrusage(RUSAGE_THREAD, &u) != 0) return -1.0;
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    };
    while (rusage_us() >= 0 && rusage_us() < 1.05e6) {
    }
    const double before = kv::sys::thread_cpu_us();
    const double told = rusage_us();
    const double after = kv::sys::thread_cpu_us();
    // (getrusage may lag behind by what the thread ran since the last tick.)
    if (told >= 0 && !(before < told + 1e5 && told < after + 1e5)) {
        std::fprintf(stderr, "  thread CPU time %.0f, %.0f us; getrusage %.0f us\n", before, after, told);
    }
    CHECK(told < 0 || (before < told + 1e5 && told < after + 1e5));

    CHECK(stack_holds_a_local(16 * 1024));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::size_t{1} << 20);
    bool held = false;
    pthread_t thread;
    const auto run = [](void* out) -> void* {
        *static_cast<bool*>(out) = stack_holds_a_local(std::size_t{1} << 20);
        return nullptr;
    };
    CHECK(pthread_create(&thread, &attr, run, &held) == 0 && pthread_join(thread, nullptr) == 0);
    pthread_attr_destroy(&attr);
    CHECK(held);

    CHECK(pool_settles(false));  // (no worker opening a directory meanwhile)
    const int open_before = open_descriptors();
    for (int i = 0; i < 20; ++i) kv::sys::run_queue_wait_us();
    CHECK(open_descriptors() == open_before);
}

// A device's kind is asked once per thread and device: listings on this
// thread that go from one device to the other and back, a local directory and
// one served through FUSE (by the tests' daemon, where it was built and the
// system lets it mount), are each told their own device's kind, in order of
// the device numbers and the other way round. The truth: statfs's type.
void test_device_kind_per_device() {
#if defined(KESTRUM_FUSE_DAEMON)
    const std::string top = temp_dir();
    const std::string source = top + "/source", mount = top + "/mount";
    mkdir(source.c_str(), 0755);
    mkdir(mount.c_str(), 0755);
    touch(source + "/f");
    const auto device = [](const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_dev : dev_t{0};
    };
    // (KESTRUM_FUSE_DAEMON in the environment: the daemon elsewhere, as where /tmp is covered.)
    const char* path = std::getenv("KESTRUM_FUSE_DAEMON") ? std::getenv("KESTRUM_FUSE_DAEMON") : KESTRUM_FUSE_DAEMON;
    pid_t daemon = 0;
    const char* argv[] = {"fuse_delay", source.c_str(), mount.c_str(), nullptr};
    if (posix_spawn(&daemon, path, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        daemon = 0;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (daemon && device(mount) == device(top) && waitpid(daemon, nullptr, WNOHANG) == 0 &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    struct statfs fs;
    if (device(mount) != device(top) && statfs(mount.c_str(), &fs) == 0) {
        CHECK(fs.f_type == 0x65735546);  // FUSE's
        const struct {
            std::string path;
            dev_t dev;
            bool remote;
        } local{top, device(top), false}, remote{mount, device(mount), true};
        const auto& low = local.dev < remote.dev ? local : remote;
        const auto& high = local.dev < remote.dev ? remote : local;
        for (const auto* dir : {&low, &high, &low, &high}) {
            const Listing listing = list_directory(dir->path, false, true);
            CHECK(listing.ok && listing.stamp.remote == dir->remote);
        }
        if (umount2(mount.c_str(), 0) != 0) std::system(("fusermount3 -u " + mount).c_str());
    } else {
        std::fprintf(stderr, "  no FUSE mount here: the kinds of two devices not checked\n");
    }
    if (daemon && !child_succeeded(daemon, std::chrono::seconds(10))) {
        std::fprintf(stderr, "  the FUSE daemon did not end cleanly\n");
    }
    // (Never through a mount still there: its files are the source's.)
    if (device(mount) == device(top)) std::system(("rm -rf " + top).c_str());
#endif
}

// What a remote device's directory times tell: it keeps them (a listing of
// an unchanged directory may be trusted) once two different directories were
// seen with times that differ in any field; not before, and never once two
// different directories showed the very same times. Devices are told apart.
void test_device_times() {
    const auto stamp = [](unsigned long long dev, unsigned long long ino, long long ms, long long mns,
                          long long cs, long long cns) {
        Stamp s;
        s.trusted = s.remote = true;
        s.dev = dev;
        s.ino = ino;
        s.mtime_s = ms, s.mtime_ns = mns, s.ctime_s = cs, s.ctime_ns = cns;
        return s;
    };
    const Stamp first = stamp(7, 100, 1000, 10, 2000, 20);
    // A second directory of the device, its times differing in one field
    // (or none), and whether the device then counts as keeping its times.
    const struct {
        Stamp second;
        bool keeps;
    } cases[] = {
        {stamp(7, 101, 1001, 10, 2000, 20), true},  {stamp(7, 101, 1000, 11, 2000, 20), true},
        {stamp(7, 101, 1000, 10, 2001, 20), true},  {stamp(7, 101, 1000, 10, 2000, 21), true},
        {stamp(7, 101, 1000, 10, 2000, 20), false},  // the very same times: fixed
        {stamp(7, 100, 1000, 10, 2000, 20), false},  // the same directory again: one seen
        {stamp(8, 101, 1000, 10, 2000, 20), false},  // another device: one seen of each
    };
    for (const auto& c : cases) {
        DeviceTimes times;
        CHECK(!times.keeps_times(7));
        times.learn(first);
        CHECK(!times.keeps_times(7));  // one directory tells nothing
        times.learn(c.second);
        CHECK(times.keeps_times(7) == c.keeps);
        CHECK(!times.keeps_times(8));
        CHECK(!times.keeps_times(9));
    }
    // Two devices learnt side by side: one fixed, the other keeping its times.
    DeviceTimes times;
    for (unsigned long long ino = 1; ino <= 3; ++ino) {
        times.learn(stamp(7, ino, 5, 5, 5, 5));
        times.learn(stamp(8, ino, 5, static_cast<long long>(ino), 5, 5));
    }
    CHECK(!times.keeps_times(7));
    CHECK(times.keeps_times(8));
    // Many directories, then one with the times of one seen long before: the
    // device is judged by what it showed lately, and still keeps its times.
    DeviceTimes many;
    for (unsigned long long ino = 1; ino <= 200; ++ino) many.learn(stamp(9, ino, 10, static_cast<long long>(ino), 10, 0));
    CHECK(many.keeps_times(9));
    many.learn(stamp(9, 1000, 10, 150, 10, 0));  // the times of ino 150, recently seen
    CHECK(!many.keeps_times(9));
}

// A subdirectory the caller replaces with a link to another directory, after
// the walk handed out its parent and before it moves on, is passed over as
// a link (by lstat, as a walk moving on now would find it), whichever rule
// decides links and whether its listing was taken ahead.

// The entries of `top` named in `order`, in that order, that lstat finds to be
// directories (not links to them): what a walk enters.
std::vector<std::string> real_directories(const std::string& top,
                                          const std::vector<std::string>& order) {
    std::vector<std::string> found;
    for (const auto& name : order) {
        struct stat st;
        if (lstat((top + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            found.push_back(top + "/" + name);
        }
    }
    return found;
}

void test_directory_replaced_by_a_link() {
    for (const LinkRule rule : {LinkRule::kAtEntry, LinkRule::kAtParentResume}) {
        for (const bool read_ahead : {true, false}) {
            const std::string top = temp_dir();
            for (const char* name : {"a", "b", "c"}) {
                mkdir((top + "/" + name).c_str(), 0755);
                touch(top + "/" + name + "/in_" + name);
            }
            age(top);
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            Hooks hooks;
            Walker walker(top, read_ahead, rule);
            Step step;
            std::vector<std::string> paths;
            CHECK(walker.next(hooks, step));
            std::vector<std::string> order;  // the top's subdirectories as listed
            for (const Entry& e : step.entries.items) order.push_back(std::string(step.entries.name(e)));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // listings ahead done
            std::system(("rm -rf " + top + "/a").c_str());
            CHECK(symlink("c", (top + "/a").c_str()) == 0);
            walker.caller_code_ran();
            while (walker.next(hooks, step)) paths.push_back(step.path);
            const std::vector<std::string> expected = real_directories(top, order);
            CHECK(expected.size() == 2);
            if (paths != expected) std::fprintf(stderr, "  rule %d, read ahead %d\n", static_cast<int>(rule), read_ahead);
            CHECK(paths == expected);
            std::system(("rm -rf " + top).c_str());
        }
    }
}

// Whether a directory is unchanged since a stamp, by the directory's lstat
// as the test reads it: the same directory (not a file, nor a link to it)
// with every time the same; a stamp not trusted never holds, nor one of a
// remote device not yet shown to keep its times.
void test_unchanged_since() {
    const std::string top = temp_dir();
    mkdir((top + "/dir").c_str(), 0755);
    touch(top + "/file");
    CHECK(symlink("dir", (top + "/link").c_str()) == 0);
    const auto stamp_of = [](const std::string& path) {
        struct stat st;
        Stamp s;
        if (lstat(path.c_str(), &st) != 0) return s;
        s.trusted = true;
        s.dev = st.st_dev, s.ino = st.st_ino;
        s.mtime_s = st.st_mtim.tv_sec, s.mtime_ns = st.st_mtim.tv_nsec;
        s.ctime_s = st.st_ctim.tv_sec, s.ctime_ns = st.st_ctim.tv_nsec;
        return s;
    };
    const Stamp dir = stamp_of(top + "/dir");
    DeviceTimes none, keeping;
    Stamp other = dir;
    other.remote = true;
    keeping.learn(other);
    other.ino += 1, other.mtime_ns += 1;
    keeping.learn(other);
    CHECK(keeping.keeps_times(dir.dev));
    const struct {
        const char* path;
        std::function<void(Stamp&)> change;
        const DeviceTimes* times;
        bool unchanged;
    } cases[] = {
        {"dir", [](Stamp&) {}, &none, true},
        {"dir", [](Stamp& s) { s.trusted = false; }, &none, false},
        {"dir", [](Stamp& s) { s.ino += 1; }, &none, false},
        {"dir", [](Stamp& s) { s.dev += 1; }, &none, false},
        {"dir", [](Stamp& s) { s.mtime_s += 1; }, &none, false},
        {"dir", [](Stamp& s) { s.mtime_ns += 1; }, &none, false},
        {"dir", [](Stamp& s) { s.ctime_s += 1; }, &none, false},
        {"dir", [](Stamp& s) { s.ctime_ns += 1; }, &none, false},
        {"dir", [](Stamp& s) { s.ctime_ns -= 1; }, &none, false},
        {"dir", [](Stamp& s) { s.remote = true; }, &none, false},
        {"dir", [](Stamp& s) { s.remote = true; }, &keeping, true},
        {"link", [](Stamp&) {}, &none, false},  // the directory's stamp, reached through a link
        {"missing", [](Stamp&) {}, &none, false},
    };
    for (const auto& c : cases) {
        Stamp s = dir;
        c.change(s);
        const bool got = unchanged_since(top + "/" + c.path, s, *c.times);
        if (got != c.unchanged) std::fprintf(stderr, "  unchanged_since case %td\n", &c - cases);
        CHECK(got == c.unchanged);
    }
    // A file with its own stamp is not a directory.
    CHECK(!unchanged_since(top + "/file", stamp_of(top + "/file"), none));
    std::system(("rm -rf " + top).c_str());
}

// Links in listings taken ahead of unchanged directories, the caller's code
// run at each step: their kinds are read again (by stat), and a link to a
// file or a dangling one is still no directory, as the test's own walk finds.
void test_link_kinds_read_again_ahead() {
    const std::string top = temp_dir();
    touch(top + "/file");
    for (int i = 0; i < 8; ++i) {
        const std::string dir = top + "/a" + std::to_string(i);
        mkdir(dir.c_str(), 0755);
        touch(dir + "/f");
        CHECK(symlink("../file", (dir + "/to_file").c_str()) == 0);
        CHECK(symlink("nowhere", (dir + "/dangling").c_str()) == 0);
        CHECK(symlink("..", (dir + "/to_dir").c_str()) == 0);
    }
    age(top);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    std::vector<std::string> expected;
    own_walk(top, expected);
    Hooks hooks;
    Walker walker(top, true);
    Step step;
    std::vector<std::string> out;
    while (walker.next(hooks, step)) {
        out.push_back(render(step));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // listings ahead come in
        walker.caller_code_ran();
    }
    CHECK(out == expected);
    std::system(("rm -rf " + top).c_str());
}

// The other way round: a link among the top's entries that the caller
// replaces with a directory before the walk moves on is entered, as lstat
// finds it then, whichever rule decides links. A walk that lists nothing
// ahead holds nothing ahead.
void test_link_replaced_by_a_directory() {
    for (const LinkRule rule : {LinkRule::kAtEntry, LinkRule::kAtParentResume}) {
        for (const bool read_ahead : {true, false}) {
            const std::string top = temp_dir();
            for (const char* name : {"a", "b"}) {
                mkdir((top + "/" + name).c_str(), 0755);
                touch(top + "/" + name + "/in_" + name);
            }
            CHECK(symlink("a", (top + "/l").c_str()) == 0);
            age(top);
            Hooks hooks;
            Walker walker(top, read_ahead, rule);
            Step step;
            CHECK(walker.next(hooks, step));
            std::vector<std::string> order;
            for (const Entry& e : step.entries.items) order.push_back(std::string(step.entries.name(e)));
            CHECK(unlink((top + "/l").c_str()) == 0);
            mkdir((top + "/l").c_str(), 0755);
            walker.caller_code_ran();
            std::vector<std::string> paths;
            while (walker.next(hooks, step)) paths.push_back(step.path);
            const std::vector<std::string> expected = real_directories(top, order);
            CHECK(expected.size() == 3);
            if (paths != expected) std::fprintf(stderr, "  rule %d, read ahead %d\n", static_cast<int>(rule), read_ahead);
            CHECK(paths == expected);
            if (!read_ahead) CHECK(walker.ahead_bytes() == 0);
            std::system(("rm -rf " + top).c_str());
        }
    }
}

// Subdirectories whose listings are queued ahead (no worker takes them) and
// that the caller turns into links before the walk moves on from their
// parent: dropped with their jobs, none of which stays queued to be listed
// for nothing, the one at the head of the queue included.
void test_dropped_subtrees_leave_no_job_queued() {
    for (const int children : {3, 6, 12}) {
        const std::string top = temp_dir();
        const std::string p = top + "/p";
        mkdir(p.c_str(), 0755);
        mkdir((top + "/target").c_str(), 0755);
        for (int i = 0; i < children; ++i) {
            const std::string c = p + "/c" + std::to_string(i);
            mkdir(c.c_str(), 0755);
            touch(c + "/f");
        }
        age(top);
        // No worker to take a job: they stay queued until dropped.
        CHECK(pool_settles(true));
        fail_thread_starts_for_tests(true);
        {
            Hooks hooks;
            Walker walker(top, true, LinkRule::kAtParentResume);
            Step step;
            std::size_t steps = 0;
            bool dropped = false;
            while (walker.next(hooks, step)) {
                ++steps;
                if (step.path == p) {
                    for (int i = 0; i < children; ++i) {
                        const std::string c = p + "/c" + std::to_string(i);
                        std::system(("rm -rf " + c).c_str());
                        CHECK(symlink((top + "/target").c_str(), c.c_str()) == 0);
                    }
                    walker.caller_code_ran();
                    dropped = true;
                    break;
                }
                std::this_thread::sleep_for(2 * kThreadStartCost);
            }
            if (dropped) {
                while (walker.next(hooks, step)) ++steps;
                const PoolStats stats = pool_stats();
                if (stats.queued != 0) std::fprintf(stderr, "  %d children: %zu left queued\n", children, stats.queued);
                CHECK(stats.queued == 0);
            }
            CHECK(dropped);
        }
        fail_thread_starts_for_tests(false);
        std::system(("rm -rf " + top).c_str());
    }
}

// A pass over the reach looks past at most kMaxAhead links, and stops at the
// next one: a directory holding only `links` links to itself, reached after a
// pause (so that the pass is not skipped as too early to start a thread),
// has its links visited up to that bound, by the count the tree was made with.
void test_links_a_pass_looks_past() {
    const struct {
        std::size_t links;
        std::size_t visited;
    } cases[] = {
        {1, 1}, {kMaxAhead, kMaxAhead}, {kMaxAhead + 1, kMaxAhead + 1}, {kMaxAhead + 40, kMaxAhead + 1},
    };
    for (const auto& c : cases) {
        const std::string top = temp_dir();
        const std::string x = top + "/x";
        mkdir(x.c_str(), 0755);
        for (std::size_t i = 0; i < c.links; ++i) CHECK(symlink(".", (x + "/l" + std::to_string(i)).c_str()) == 0);
        age(top);
        Hooks hooks;
        Walker walker(top, true);
        Step step;
        std::size_t steps = 0;
        while (walker.next(hooks, step)) {
            ++steps;
            std::this_thread::sleep_for(2 * kThreadStartCost);
        }
        CHECK(steps == 2);
        if (walker.most_visited() != c.visited) {
            std::fprintf(stderr, "  %zu links: %zu visited\n", c.links, walker.most_visited());
        }
        CHECK(walker.most_visited() == c.visited);
        std::system(("rm -rf " + top).c_str());
    }
}

// A link to a file, in directories listed ahead, whose target the caller
// turns into a directory (the link's own directory unchanged), and which the
// caller then replaces with a real directory once the walk handed its parent
// out: entered, whichever rule decides links, as a walk listing each
// directory when it reaches it would. The truth is the test's own walk of
// the tree as it ends up.
void test_link_target_turned_into_a_directory() {
    for (const LinkRule rule : {LinkRule::kAtEntry, LinkRule::kAtParentResume}) {
        const std::string top = temp_dir();
        const std::string targets = temp_dir();
        for (int i = 0; i < 8; ++i) {
            const std::string dir = top + "/a" + std::to_string(i);
            mkdir(dir.c_str(), 0755);
            touch(targets + "/t" + std::to_string(i));
            CHECK(symlink((targets + "/t" + std::to_string(i)).c_str(), (dir + "/l").c_str()) == 0);
        }
        age(top);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // (their stamps trusted)
        Hooks hooks;
        Walker walker(top, true, rule);
        Step step;
        std::vector<std::string> paths;
        std::set<std::string> reached;
        // Two steps apart enough for the reach to be set going, then the
        // listings ahead all in.
        for (int i = 0; i < 2 && walker.next(hooks, step); ++i) {
            paths.push_back(step.path);
            reached.insert(step.path);
            std::this_thread::sleep_for(2 * kThreadStartCost);
        }
        CHECK(pool_settles(false));
        for (int i = 0; i < 8; ++i) {
            if (reached.count(top + "/a" + std::to_string(i))) continue;
            const std::string target = targets + "/t" + std::to_string(i);
            CHECK(unlink(target.c_str()) == 0);
            mkdir(target.c_str(), 0755);
        }
        walker.caller_code_ran();
        while (walker.next(hooks, step)) {
            paths.push_back(step.path);
            const std::string link = step.path + "/l";
            struct stat st;
            if (stat(link.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && lstat(link.c_str(), &st) == 0 &&
                S_ISLNK(st.st_mode)) {
                CHECK(unlink(link.c_str()) == 0);
                mkdir(link.c_str(), 0755);
                walker.caller_code_ran();
            }
        }
        const std::vector<std::string> expected = all_dirs(top);
        if (paths != expected) std::fprintf(stderr, "  rule %d: %zu of %zu\n", static_cast<int>(rule), paths.size(), expected.size());
        CHECK(paths == expected);
        CHECK(expected.size() > 2 + 1);  // (links turned into directories were entered)
        std::system(("rm -rf " + top).c_str());
        std::system(("rm -rf " + targets).c_str());
    }
}

// A listing's wait, as WaitClock tells it, against what the span was made
// of: a sleep counts whole; time spent ready to run while another thread has
// the only core allowed (a loaded machine) does not, even after a sleep, or a
// brief block on a busy machine would take the walk for one on a far server.
// Both threads are kept to one CPU, so the spinner takes its share of the
// span; the test's own clocks show that the span was kept off the CPU for
// longer than kFarListing.
void test_wait_clock_leaves_out_preemption() {
    using namespace std::chrono;
    if (kv::sys::run_queue_wait_us() < 0) {
        std::fprintf(stderr, "  wait clock: the system does not tell the run queue wait, not checked\n");
        return;
    }
    const double far = static_cast<double>(kFarListing.count());
    const struct {
        const char* name;
        microseconds sleep;  // of the measured thread, first
        milliseconds busy;   // then on the CPU, for this long of wall time
        bool contended;      // a spinner shares the one CPU meanwhile
    } cases[] = {
        {"a sleep", kFarListing + milliseconds(1), milliseconds(0), false},
        {"a sleep, then preempted", microseconds(200), milliseconds(40), true},
        {"a long sleep, then preempted", kFarListing + milliseconds(1), milliseconds(40), true},
    };
    cpu_set_t before;
    CHECK(pthread_getaffinity_np(pthread_self(), sizeof before, &before) == 0);
    const int cpu = sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu < 0 ? 0 : cpu, &one);
    for (const auto& c : cases) {
        // Time off the CPU that is neither a sleep nor a wait for a core (the
        // hypervisor's, interrupts') can make one span look longer: the case
        // holds if one of a few does.
        bool exercised = false;
        bool held = false;
        std::string seen;
        for (int attempt = 0; attempt < 5 && !held; ++attempt) {
            CHECK(pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0);
            std::atomic<bool> stop{false};
            std::atomic<bool> spinning{false};
            std::thread spinner;
            if (c.contended) {
                spinner = std::thread([&] {
                    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
                    spinning.store(true);
                    while (!stop.load(std::memory_order_relaxed)) {
                    }
                });
                while (!spinning.load()) std::this_thread::yield();
            }
            const auto start = steady_clock::now();
            const double cpu_start = kv::sys::thread_cpu_us();
            const WaitClock clock;
            std::this_thread::sleep_for(c.sleep);
            const auto busy_from = steady_clock::now();
            while (steady_clock::now() - busy_from < c.busy) {
            }
            const double waited = clock.waited_us();
            const double off_cpu = duration<double, std::micro>(steady_clock::now() - start).count() -
                                   (kv::sys::thread_cpu_us() - cpu_start);
            stop.store(true);
            if (spinner.joinable()) spinner.join();
            CHECK(pthread_setaffinity_np(pthread_self(), sizeof before, &before) == 0);
            const double slept = static_cast<double>(c.sleep.count());
            // Off the CPU for more than the sleep and kFarListing besides:
            // the spinner did take the core (else the span does not count).
            if (c.contended && off_cpu < slept + far) continue;
            exercised = true;
            held = waited >= slept * 0.9 && waited < slept + far / 2;
            seen += " " + std::to_string(static_cast<long>(waited)) + " of " +
                    std::to_string(static_cast<long>(off_cpu));
        }
        if (!exercised) std::fprintf(stderr, "  wait clock, %s: never preempted for long\n", c.name);
        if (exercised && !held) {
            std::fprintf(stderr, "  wait clock, %s: waited (us off the CPU):%s\n", c.name, seen.c_str());
        }
        CHECK(exercised && held);
    }
}

// In a child forked from a thread that has read its time in the run queue,
// that reading is not taken for the child's own: the child's wait for a short
// sleep is no longer than the wall time it took. The thread first waits in
// the run queue (a spinner shares its one CPU); the child then leaves the CPU
// as often as the thread had when it read (a child's count starts at 0), so
// that only the process tells the two readings apart.
void test_run_queue_reading_stays_with_its_process() {
    using namespace std::chrono;
    if (kv::sys::run_queue_wait_us() < 0) {
        std::fprintf(stderr, "  the system does not tell the run queue wait, not checked\n");
        return;
    }
    const auto switches = [] {
        long all = -1;
        kv::sys::voluntary_switches(&all);
        return all;
    };
    int status = -1;
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        std::atomic<bool> stop{false};
        std::thread spinner([&] {
            pthread_setaffinity_np(pthread_self(), sizeof one, &one);
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
        const auto from = steady_clock::now();
        while (kv::sys::run_queue_wait_us() < 5000 && steady_clock::now() - from < seconds(5)) {
        }
        stop.store(true);
        spinner.join();
        long seen;
        do {
            seen = switches();
            const WaitClock clock;
        } while (switches() != seen);
        const pid_t pid = fork();
        if (pid == 0) {
            while (switches() < seen) std::this_thread::sleep_for(microseconds(1));
            if (switches() != seen) _exit(3);  // one too many: not told apart
            const auto start = steady_clock::now();
            const WaitClock clock;
            std::this_thread::sleep_for(microseconds(200));
            const double waited = clock.waited_us();
            _exit(waited <= duration<double, std::micro>(steady_clock::now() - start).count() ? 0 : 1);
        }
        if (pid > 0) waitpid(pid, &status, 0);
    }).join();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        std::fprintf(stderr, "  run queue reading: the child left the CPU once too often, not checked\n");
    }
    CHECK(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3));
}

// A listing under way for a subtree that the walk drops meanwhile gives back
// what it counted against the walk's budget once done: after the walk, with
// the pool settled, nothing is counted. The walk drops the subtree as it
// finds its top replaced by a link to the same directory moved, through which
// the listing under way still succeeds. (Not run within a second of a failed
// thread start, after which the pool starts none for that long.)
void test_dropped_listing_gives_back_its_budget() {
    using namespace std::chrono;
    const std::string top = temp_dir();
    for (const char* name : {"/x", "/y"}) {
        const std::string c = top + name + "/c";
        mkdir((top + name).c_str(), 0755);
        mkdir(c.c_str(), 0755);
        for (int i = 0; i < 50; ++i) touch(c + "/f" + std::to_string(i));
    }
    age(top);
    CHECK(pool_settles(true));
    Hooks hooks;
    Walker walker(top, true);
    Step step;
    CHECK(walker.next(hooks, step) && step.path == top);
    std::this_thread::sleep_for(2 * kThreadStartCost);
    // Each listing a worker takes is slow from now on: the walk queues the
    // other's subdirectory only once the other's listing is in.
    delay_worker_listings_for_tests(milliseconds(100));
    CHECK(walker.next(hooks, step));  // one of the two, the other listed ahead
    const std::string first = step.path;
    const std::string other = first == top + "/x" ? "y" : "x";
    CHECK(pool_settles(false));
    CHECK(walker.next(hooks, step) && step.path == first + "/c");  // (other/c queued meanwhile)
    const auto until = steady_clock::now() + seconds(10);
    while (pool_stats().busy == 0 && steady_clock::now() < until) std::this_thread::sleep_for(microseconds(100));
    CHECK(pool_stats().busy > 0);
    CHECK(rename((top + "/" + other).c_str(), (top + "/moved").c_str()) == 0);
    CHECK(symlink("moved", (top + "/" + other).c_str()) == 0);
    walker.caller_code_ran();
    CHECK(!walker.next(hooks, step));
    delay_worker_listings_for_tests(microseconds(0));
    CHECK(pool_settles(false));
    CHECK(walker.ahead_bytes() == 0);
    std::system(("rm -rf " + top).c_str());
}

// The pool's thread heuristics on a pool of the test's own (no worker runs on
// it): what a run of listings' waits makes of how many workers may run, by
// the thresholds the walk is built around.
void test_pool_heuristics() {
    using namespace std::chrono;
    const double slow = static_cast<double>(kSlowListing.count());
    const struct {
        const char* name;
        std::vector<double> waits;  // of listings, in microseconds, in order
        bool grows;                 // whether a walk waiting then allows more workers
    } cases[] = {
        {"none yet", {}, false},
        {"quick", std::vector<double>(40, 0.0), false},
        {"just below", std::vector<double>(40, slow * 0.9), false},
        {"slow", std::vector<double>(40, slow * 4), true},
        {"one slow among quick ones", {0, 0, 0, slow * 2, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"slow, then quick long enough", [&] {
             std::vector<double> w(20, slow * 4);
             w.resize(60, 0.0);
             return w;
         }(), false},
        {"quick, then slow", [&] {
             std::vector<double> w(20, 0.0);
             w.resize(60, slow * 4);
             return w;
         }(), true},
    };
    for (const auto& c : cases) {
        Pool pool;
        pool.allowed = 2;
        for (const double w : c.waits) note_listing(pool, w);
        note_wait(pool);
        if ((pool.allowed > 2) != c.grows) std::fprintf(stderr, "  pool heuristics: %s, %d allowed\n", c.name, pool.allowed);
        CHECK((pool.allowed > 2) == c.grows);
        if (c.grows) CHECK(pool.allowed >= 4 && pool.allowed <= kMaxWorkers);
    }
    // Growth doubles at least, up to the cap, and covers what is queued and busy.
    {
        Pool pool;
        pool.allowed = 2;
        for (int i = 0; i < 40; ++i) note_listing(pool, slow * 4);
        int before = pool.allowed;
        for (int i = 0; i < 10; ++i) {
            note_wait(pool);
            CHECK(pool.allowed == std::min(kMaxWorkers, 2 * before));
            before = pool.allowed;
        }
        CHECK(pool.allowed == kMaxWorkers);
        Pool busy;
        busy.allowed = 2;
        for (int i = 0; i < 40; ++i) note_listing(busy, slow * 4);
        for (int i = 0; i < 20; ++i) busy.queue.push_back(std::make_shared<Job>());
        busy.busy = 3;
        note_wait(busy);
        CHECK(busy.allowed == 23);
        Pool backlog;
        backlog.allowed = 2;
        for (int i = 0; i < 100; ++i) backlog.queue.push_back(std::make_shared<Job>());
        note_backlog(backlog);
        CHECK(backlog.allowed == kMaxWorkers);
    }
    // A configured cap is left as it is.
    set_worker_cap(3);
    {
        Pool pool;
        pool.allowed = 2;
        for (int i = 0; i < 40; ++i) note_listing(pool, slow * 4);
        for (int i = 0; i < 10; ++i) pool.queue.push_back(std::make_shared<Job>());
        note_wait(pool);
        note_backlog(pool);
        CHECK(pool.allowed == 2);
    }
    set_worker_cap(-1);
}

// On a pool of the test's own, with workers of its own: one start sets as
// many going as may run (each worker that takes a job starts the next while
// the queue holds more than the idle ones take), on a pool made afresh as many
// as the system's cores (at least two); workers told to leave keep what the
// pool has learnt of how many may run.
void test_pool_workers_start_one_another() {
    using namespace std::chrono;
    const std::string dir = temp_dir();
    const int cores = static_cast<int>(std::min<long>(std::max(2L, sysconf(_SC_NPROCESSORS_ONLN)), kMaxWorkers));
    auto pool = std::make_shared<Pool>();
    auto owner = std::make_shared<Walker::Shared>();
    owner->pool = pool;
    owner->budget.limit = SIZE_MAX / 2;
    delay_worker_listings_for_tests(milliseconds(20));
    std::unique_lock<std::mutex> lock(pool->mutex);
    for (int i = 0; i < cores + 2; ++i) {
        pool->queue.push_back(std::make_shared<Job>());
        pool->queue.back()->path = dir;
        pool->queue.back()->owner = owner;
    }
    maybe_start(pool);
    const auto until = steady_clock::now() + seconds(30);
    while (!(pool->queue.empty() && pool->busy == 0) && steady_clock::now() < until) {
        lock.unlock();
        std::this_thread::sleep_for(milliseconds(1));
        lock.lock();
    }
    delay_worker_listings_for_tests(microseconds(0));
    CHECK(pool->queue.empty() && pool->busy == 0);
    if (pool->peak_threads != cores) std::fprintf(stderr, "  %d workers of %d cores\n", pool->peak_threads, cores);
    CHECK(pool->peak_threads == cores);
    pool->allowed = cores + 1;
    pool->stopping = true;
    pool->work.notify_all();
    pool->left.wait(lock, [&] { return pool->threads == 0; });
    CHECK(pool->allowed == cores + 1);
    lock.unlock();
    for (std::thread& t : pool->workers) t.join();
    std::system(("rm -rf " + dir).c_str());
}

// stop_workers waits for a worker in a listing when given the time: none is
// left after it, busy or idle, and none is still to be joined.
void test_stop_waits_for_busy_workers() {
    const std::string top = flat_tree(60);
    const auto expected = walk(top, false);
    CHECK(pool_settles(true));
    delay_worker_listings_for_tests(std::chrono::milliseconds(100));
    Hooks hooks;
    Walker walker(top, true);
    Step step;
    std::vector<std::string> out;
    while (pool_stats().busy == 0 && out.size() < expected.size() && walker.next(hooks, step)) {
        out.push_back(render(step));
        std::this_thread::sleep_for(kThreadStartCost);
    }
    CHECK(pool_stats().busy > 0);
    CHECK(stop_workers(std::chrono::seconds(60)));
    const PoolStats stopped = pool_stats();
    CHECK(stopped.threads == 0 && stopped.busy == 0 && stopped.unjoined == 0);
    delay_worker_listings_for_tests(std::chrono::microseconds(0));
    while (walker.next(hooks, step)) out.push_back(render(step));
    CHECK(out == expected);
    std::system(("rm -rf " + top).c_str());
}

// Under kAtParentResume, a subdirectory's kind is decided once, when the walk
// moves on from its parent: one the caller replaces with a link to a
// directory after that is entered all the same, through the link, also when
// the step before it was a refused one. The truth: the link's own listing by
// opendir and stat.
void test_kinds_decided_once_per_parent() {
    for (const bool read_ahead : {true, false}) {
        const std::string top = temp_dir();
        for (const char* name : {"a", "b", "c"}) {
            mkdir((top + "/" + name).c_str(), 0755);
            touch(top + "/" + name + "/in_" + name);
        }
        const std::string elsewhere = temp_dir();
        touch(elsewhere + "/there");
        age(top);
        Hooks hooks;
        std::string refused;  // the first directory the walk turns to below the top
        hooks.refuse = [&](const std::string& path) {
            if (path != top && refused.empty()) refused = path;
            return path == refused;
        };
        Walker walker(top, read_ahead, LinkRule::kAtParentResume);
        Step step;
        CHECK(walker.next(hooks, step) && step.path == top);
        CHECK(walker.next(hooks, step) && step.kind == Step::kRefused && step.path == refused);
        // The last of the top's subdirectories in walk order becomes a link.
        std::vector<std::pair<std::string, std::size_t>> left;
        std::size_t undecided = 0;
        walker.pending(left, undecided);
        CHECK(left.size() == 2 && undecided == 0);
        const std::string replaced = left.front().first;  // (the next one last)
        std::system(("rm -rf " + replaced).c_str());
        CHECK(symlink(elsewhere.c_str(), replaced.c_str()) == 0);
        walker.caller_code_ran();
        std::map<std::string, std::set<std::string>> seen;
        while (walker.next(hooks, step)) seen[step.path] = as_set(step.entries);
        CHECK(seen.size() == 2);
        CHECK(seen.count(replaced) == 1);
        if (seen.count(replaced)) CHECK(seen[replaced] == system_listing(replaced));
        std::system(("rm -rf " + top).c_str());
        std::system(("rm -rf " + elsewhere).c_str());
    }
}
}  // namespace

// Runs every test, or those named on the command line, in this order.
int main(int argc, char** argv) {
    const struct {
        const char* name;
        void (*run)();
    } tests[] = {
        {"test_no_pool_yet", test_no_pool_yet},
        {"test_listing_names", test_listing_names},
        {"test_order_matches_sequential_listing", test_order_matches_sequential_listing},
        {"test_missing_and_link_tops", test_missing_and_link_tops},
        {"test_without_threads", test_without_threads},
        {"test_changes_while_suspended", test_changes_while_suspended},
        {"test_concurrent_changes", test_concurrent_changes},
        {"test_fork_with_a_suspended_walk", test_fork_with_a_suspended_walk},
        {"test_fork_with_a_stalled_listing", test_fork_with_a_stalled_listing},
        {"test_cancellation_leaves_no_busy_worker", test_cancellation_leaves_no_busy_worker},
        {"test_memory_ahead_is_bounded", test_memory_ahead_is_bounded},
        {"test_order_of_a_wide_tree", test_order_of_a_wide_tree},
        {"test_records_ahead_count_against_the_budget", test_records_ahead_count_against_the_budget},
        {"test_short_walks_start_no_thread", test_short_walks_start_no_thread},
        {"test_threads_follow_listing_cost", test_threads_follow_listing_cost},
        {"test_slow_listings_reach_far_at_once", test_slow_listings_reach_far_at_once},
        {"test_the_ramp_ends_with_the_whole_reach", test_the_ramp_ends_with_the_whole_reach},
        {"test_quick_small_listings_stay_on_the_caller", test_quick_small_listings_stay_on_the_caller},
        {"test_polls_end_a_step", test_polls_end_a_step},
        {"test_kinds_and_names_as_the_system_tells", test_kinds_and_names_as_the_system_tells},
        {"test_links_refused_where_not_followed", test_links_refused_where_not_followed},
        {"test_ids_and_relative_paths", test_ids_and_relative_paths},
        {"test_each_directory_opened_once", test_each_directory_opened_once},
        {"test_local_file_systems", test_local_file_systems},
        {"test_remote_file_system_types", test_remote_file_system_types},
        {"test_device_kind_per_device", test_device_kind_per_device},
        {"test_listing_charges_what_it_holds", test_listing_charges_what_it_holds},
        {"test_cancel_empties_the_queue", test_cancel_empties_the_queue},
        {"test_device_times", test_device_times},
        {"test_directory_replaced_by_a_link", test_directory_replaced_by_a_link},
        {"test_unchanged_since", test_unchanged_since},
        {"test_link_kinds_read_again_ahead", test_link_kinds_read_again_ahead},
        {"test_link_replaced_by_a_directory", test_link_replaced_by_a_directory},
        {"test_links_a_pass_looks_past", test_links_a_pass_looks_past},
        {"test_link_target_turned_into_a_directory", test_link_target_turned_into_a_directory},
        {"test_wait_clock_leaves_out_preemption", test_wait_clock_leaves_out_preemption},
        {"test_pool_heuristics", test_pool_heuristics},
        {"test_pool_workers_start_one_another", test_pool_workers_start_one_another},
        {"test_stop_waits_for_busy_workers", test_stop_waits_for_busy_workers},
        {"test_kinds_decided_once_per_parent", test_kinds_decided_once_per_parent},
        {"test_dropped_listing_gives_back_its_budget", test_dropped_listing_gives_back_its_budget},
        {"test_dropped_subtrees_leave_no_job_queued", test_dropped_subtrees_leave_no_job_queued},
        {"test_thread_clocks_and_stack", test_thread_clocks_and_stack},
        {"test_run_queue_reading_stays_with_its_process", test_run_queue_reading_stays_with_its_process},
    };
    for (const auto& t : tests) {
        if (argc > 1 && std::find_if(argv + 1, argv + argc, [&](const char* a) {
                            return std::string(a) == t.name;
                        }) == argv + argc) {
            continue;
        }
        t.run();
    }
    stop_workers();
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::puts("walk core: all checks passed");
    return 0;
}
