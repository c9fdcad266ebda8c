// Giving the interpreter lock up around blocking calls, and the exit of
// daemon threads that wait to take it back.
#pragma once

#include "compat.hpp"

#include <atomic>

namespace kv {

namespace exit_watch {

// Threads now inside PyEval_RestoreThread from this module.
extern std::atomic<int> retaking __attribute__((visibility("hidden")));

struct Retaking {
    Retaking() noexcept { retaking.fetch_add(1, std::memory_order_acq_rel); }
    // Runs also in the unwind by which the interpreter ends the thread.
    ~Retaking() { retaking.fetch_sub(1, std::memory_order_acq_rel); }
    Retaking(const Retaking&) = delete;
    Retaking& operator=(const Retaking&) = delete;
};

// Called by the module's atexit callback: whether other threads are alive,
// and the switch interval. Throws PyErrOccurred when that cannot be read.
void note_threads_at_exit();

// Puts the object whose release, while the interpreter clears its state,
// waits for those threads (module.cpp).
void install();

}  // namespace exit_watch

// Takes the interpreter lock back. Not noexcept: the interpreter may end the
// thread here (unwind.hpp).
inline void retake_lock(PyThreadState* saved) {
    exit_watch::Retaking counted;
    PyEval_RestoreThread(saved);
}

// The interpreter lock given up for a scope, for a blocking call that touches
// no Python object.
class WithoutLock {
public:
    WithoutLock() noexcept : saved_(PyEval_SaveThread()) {}
    ~WithoutLock() noexcept(false) { retake_lock(saved_); }
    WithoutLock(const WithoutLock&) = delete;
    WithoutLock& operator=(const WithoutLock&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace kv
